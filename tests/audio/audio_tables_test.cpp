#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "audio/analysis_filter.h"
#include "audio/audio_tables.h"
#include "audio/psycho_tables.h"

namespace quillon::audio {
namespace {

// The project's copy of the tables as typed from the standard.
std::string tableFile(const std::string& name) { return std::string(QUILLON_AUDIO_TABLES_DIR) + "/" + name; }

std::vector<std::string> linesOf(const std::string& name) {
    std::ifstream in(tableFile(name));
    EXPECT_TRUE(in.good()) << name;
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) lines.push_back(line);
    return lines;
}

std::vector<std::string> fieldsOf(const std::string& line) {
    std::vector<std::string> fields;
    std::stringstream in(line);
    for (std::string f; std::getline(in, f, ',');) fields.push_back(f);
    return fields;
}

double number(const std::string& text) { return std::strtod(text.c_str(), nullptr); }

TEST(AudioTables, AnalysisWindowIsTableC1) {
    std::vector<std::string> file = linesOf("c1_analysis_window.txt");
    ASSERT_EQ(file.size(), 512u);
    for (int i = 0; i < 512; ++i) {
        ASSERT_EQ(kTableC1[i], number(file[i])) << "C[" << i << "]";
        // Whole multiples of 2^-21, printed to nine decimals.
        double scaled = kTableC1[i] * (1 << 21);
        EXPECT_NEAR(scaled, std::round(scaled), 0.5e-9 * (1 << 21)) << i;
    }
    EXPECT_EQ(kTableC1[0], 0.0);
    for (int i = 1; i < 256; ++i) {
        if (i % 64 == 0)
            EXPECT_EQ(kTableC1[512 - i], kTableC1[i]) << i;
        else
            EXPECT_EQ(kTableC1[512 - i], -kTableC1[i]) << i;
    }
}

// The decoder's synthesis of ISO/IEC 11172-3 (window 32 x C.1) behind our
// analysis gives the input back, 481 samples late.
TEST(AudioTables, FilterBankReconstructsThroughTheStandardSynthesis) {
    AnalysisMatrix matrix;
    AnalysisFilter filter;
    double n[64][32];
    for (int i = 0; i < 64; ++i)
        for (int k = 0; k < 32; ++k) n[i][k] = std::cos((16 + i) * (2 * k + 1) * M_PI / 64);
    const int blocks = 200;
    std::vector<int16_t> in(32 * blocks);
    uint32_t seed = 7;
    for (int16_t& s : in) {
        seed = seed * 1664525u + 1013904223u;
        s = static_cast<int16_t>(static_cast<int>((seed >> 16) & 0x7FFF) - 16384);
    }
    std::vector<double> v(1024, 0.0), out(in.size());
    for (int b = 0; b < blocks; ++b) {
        double s[32];
        filter.filter(matrix, &in[32 * b], s);
        for (int i = 1023; i >= 64; --i) v[i] = v[i - 64];
        for (int i = 0; i < 64; ++i) {
            v[i] = 0;
            for (int k = 0; k < 32; ++k) v[i] += n[i][k] * s[k];
        }
        for (int j = 0; j < 32; ++j) {
            double sum = 0;
            for (int i = 0; i < 16; ++i) {
                int u = (i / 2) * 128 + (i % 2) * 96 + j;  // the U vector's source in V
                sum += v[u] * 32 * kTableC1[j + 32 * i];
            }
            out[32 * b + j] = sum * 32768;
        }
    }
    double signal = 0, error = 0;
    for (size_t t = 1000; t < in.size(); ++t) {
        double d = out[t] - in[t - 481];
        signal += double(in[t - 481]) * in[t - 481];
        error += d * d;
    }
    EXPECT_GT(10 * std::log10(signal / error), 80.0);
}

TEST(AudioTables, ScaleFactorsAndQuantiserClasses) {
    for (int i = 0; i < 63; ++i) EXPECT_NEAR(kTableB1[i], 2.0 * std::pow(2.0, -i / 3.0), 1e-15) << i;
    EXPECT_EQ(kTableB1[63], 1e-20);
    for (int c = 0; c < kQuantiserClassCount; ++c) {
        const QuantiserClass& q = kQuantiserClasses[c];
        EXPECT_EQ(1 << q.bits, static_cast<int>(std::bit_ceil(static_cast<unsigned>(q.levels)))) << c;
        double a = static_cast<double>(q.levels) / (1 << q.bits);
        EXPECT_NEAR(kTableC5[c][0], a, 6e-10) << c;
        EXPECT_NEAR(kTableC5[c][1], a - 1, 6e-10) << c;
        EXPECT_GT(kClassSnr[c + 1], kClassSnr[c]);
        // Grouped codes hold three samples of the class's levels.
        if (q.groupBits) {
            EXPECT_EQ(1 << q.groupBits, static_cast<int>(std::bit_ceil(static_cast<unsigned>(q.levels * q.levels * q.levels))));
        }
    }
    // Layer I uses 2^(n+1) - 1 levels for allocation n.
    for (int a = 1; a <= 14; ++a) EXPECT_EQ(kQuantiserClasses[layerOneClass(a)].levels, (2 << a) - 1) << a;
}

TEST(AudioTables, AllocationTablesHaveTheirLimitsAndFieldWidths) {
    struct Want { const AllocationTable* t; int sblimit; int lastNbal; int topClass; };
    for (Want w : {Want{&kTableB2a, 27, 2, 16}, Want{&kTableB2b, 30, 2, 16}, Want{&kTableB2c, 8, 3, 7},
                   Want{&kTableB2d, 12, 3, 7}}) {
        EXPECT_EQ(w.t->sblimit, w.sblimit) << w.t->name;
        EXPECT_EQ(w.t->nbal[0], 4);
        EXPECT_EQ(w.t->nbal[w.sblimit - 1], w.lastNbal);
        EXPECT_EQ(w.t->nbal[w.sblimit], 0);
        for (int sb = 0; sb < w.sblimit; ++sb) {
            int last = (1 << w.t->nbal[sb]) - 1;
            EXPECT_EQ(w.t->classes[sb][0], -1);
            for (int a = 1; a <= last; ++a) {
                ASSERT_GE(w.t->classes[sb][a], 0) << w.t->name << sb << " " << a;
                if (a > 1) {
                    EXPECT_GT(w.t->classes[sb][a], w.t->classes[sb][a - 1]);
                }
            }
        }
        EXPECT_EQ(w.t->classes[w.sblimit - 1][(1 << w.lastNbal) - 1], w.topClass);
    }
    // The low sub-bands of tables a and b reach 16 bits; c and d stop at 15.
    EXPECT_EQ(kQuantiserClasses[kTableB2a.classes[0][15]].levels, 65535);
    EXPECT_EQ(kQuantiserClasses[kTableB2c.classes[0][15]].levels, 32767);
}

// Every entry of D.1a-f and D.2a-f against the files, each table reached
// through the header's code for its rate.
TEST(AudioTables, ModelOneTablesAreD1AndD2) {
    struct Want {
        int layer, code, rate;
        int entries, boundaries;
    };
    const Want wants[] = {
        {1, 2, 32000, 108, 24}, {1, 0, 44100, 106, 25}, {1, 1, 48000, 102, 26},
        {2, 2, 32000, 132, 25}, {2, 0, 44100, 130, 27}, {2, 1, 48000, 126, 27},
    };
    for (const Want& w : wants) {
        std::string suffix = "_layer" + std::to_string(w.layer) + "_" + std::to_string(w.rate);
        SCOPED_TRACE(suffix);
        ModelOneTables t = modelOneTables(w.layer, w.code);
        std::vector<std::string> d1 = linesOf("d1" + suffix + ".csv");
        ASSERT_EQ(d1.size(), static_cast<size_t>(w.entries) + 1);  // and the heading
        EXPECT_EQ(d1[0], "index,k,frequency_hz,z_bark,threshold_db");
        ASSERT_EQ(t.entryCount, w.entries);
        int n = w.layer == 1 ? 512 : 1024;
        for (int i = 0; i < t.entryCount; ++i) {
            std::vector<std::string> f = fieldsOf(d1[i + 1]);
            ASSERT_EQ(f.size(), 5u);
            const FrequencyEntry& e = t.entries[i];
            ASSERT_EQ(std::atoi(f[0].c_str()), i + 1);
            ASSERT_EQ(e.line, std::atoi(f[1].c_str())) << i;
            ASSERT_EQ(e.bark, number(f[3])) << i;
            ASSERT_EQ(e.quietDb, number(f[4])) << i;
            // The frequency column is the line's frequency to two decimals.
            EXPECT_NEAR(static_cast<double>(e.line) * w.rate / n, number(f[2]), 0.005 + 1e-9) << i;
            if (i > 0) {
                EXPECT_GT(e.line, t.entries[i - 1].line);
                EXPECT_GT(e.bark, t.entries[i - 1].bark);
            }
        }
        // Every line up to 48, every second up to 96, then every fourth
        // (Layer II: every fourth up to 192, every eighth above).
        for (int i = 1; i < t.entryCount; ++i) {
            int k = t.entries[i - 1].line;
            int step = k < 48 ? 1 : k < 96 ? 2 : w.layer == 1 || k < 192 ? 4 : 8;
            EXPECT_EQ(t.entries[i].line - k, step) << i;
        }
        std::vector<std::string> d2 = linesOf("d2" + suffix + ".txt");
        ASSERT_EQ(t.boundaryCount, w.boundaries);
        ASSERT_EQ(d2.size(), static_cast<size_t>(w.boundaries));
        for (int b = 0; b < t.boundaryCount; ++b) {
            ASSERT_EQ(t.boundaries[b], std::atoi(d2[b].c_str())) << b;
            if (b > 0) {
                EXPECT_GT(t.boundaries[b], t.boundaries[b - 1]);
            }
        }
        EXPECT_EQ(t.boundaries[0], 1);
        EXPECT_EQ(t.boundaries[t.boundaryCount - 1], t.entryCount);
        // The bands cover the table's lines once each, in order.
        int next = t.entries[0].line;
        for (int b = 0; b + 1 < t.boundaryCount; ++b) {
            LineSpan span = criticalBandLines(t, b);
            EXPECT_EQ(span.first, next) << b;
            EXPECT_GE(span.last, span.first) << b;
            next = span.last + 1;
        }
        EXPECT_EQ(next, t.entries[t.entryCount - 1].line + 1);
    }
    // D.2e (Layer II, 44.1 kHz) counts its boundaries from entry 1: band 0 is
    // line 1 alone, band 3 runs from entry 5 to entry 6, the top band from
    // entry 117 (line 360) to the last entry (line 464).
    ModelOneTables e = modelOneTables(2, 0);
    EXPECT_EQ(criticalBandLines(e, 0).first, 1);
    EXPECT_EQ(criticalBandLines(e, 0).last, 1);
    EXPECT_EQ(criticalBandLines(e, 3).first, 5);
    EXPECT_EQ(criticalBandLines(e, 3).last, 6);
    EXPECT_EQ(criticalBandLines(e, 25).first, 360);
    EXPECT_EQ(criticalBandLines(e, 25).last, 464);
}

}  // namespace
}  // namespace quillon::audio

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
#include "audio/hearing_curves.h"
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

TEST(AudioTables, ModelOneFrequencyTablesFollowTheHearingCurves) {
    const int wantEntries[2][3] = {{108, 104, 104}, {132, 128, 134}};  // 44.1, 48, 32 kHz
    const int rates[3] = {44100, 48000, 32000};
    for (int layer = 1; layer <= 2; ++layer)
        for (int sf = 0; sf < 3; ++sf) {
            ModelOneTables t = modelOneTables(layer, sf);
            SCOPED_TRACE(testing::Message() << "layer " << layer << " rate " << rates[sf]);
            EXPECT_EQ(t.entryCount, wantEntries[layer - 1][sf]);
            double lineHz = rates[sf] / (layer == 1 ? 512.0 : 1024.0);
            for (int i = 0; i < t.entryCount; ++i) {
                const FrequencyEntry& e = t.entries[i];
                if (i > 0) {
                    ASSERT_GT(e.line, t.entries[i - 1].line);
                }
                EXPECT_NEAR(e.bark, barkOf(e.line * lineHz), 0.0005);
                EXPECT_NEAR(e.quietDb, thresholdInQuietDb(e.line * lineHz), 0.005);
            }
            // Critical bands: from the first entry to the last, each within one Bark.
            ASSERT_GE(t.bandCount, 24);
            EXPECT_EQ(t.bandStarts[0], 0);
            EXPECT_EQ(t.bandStarts[t.bandCount - 1], t.entryCount - 1);
            for (int b = 1; b < t.bandCount; ++b) {
                ASSERT_GT(t.bandStarts[b], t.bandStarts[b - 1]);
                EXPECT_LT(t.entries[t.bandStarts[b] - 1].bark - t.entries[t.bandStarts[b - 1]].bark, 1.0);
            }
        }
    // Known entries: the first lines of Layer I at 44.1 kHz.
    const FrequencyEntry* d1b = modelOneTables(1, 0).entries;
    EXPECT_EQ(d1b[0].bark, 0.850);
    EXPECT_EQ(d1b[0].quietDb, 25.87);
    EXPECT_EQ(d1b[3].bark, 3.337);
    EXPECT_EQ(d1b[3].quietDb, 8.50);
}

}  // namespace
}  // namespace quillon::audio

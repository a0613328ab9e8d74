// The cost-based level choice against plain rounding, and its bit counts
// against the block coder's.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <random>

#include "video/dsp/quantize.h"
#include "video/dsp/scan_mask.h"
#include "video/dsp/trellis.h"
#include "video/dsp/vlc.h"

namespace quillon {
namespace {

struct Matrices {
    uint8_t intra[64];
    uint8_t nonIntra8[64];
    uint16_t nonIntra16[64];
    uint16_t reciprocal[64];
    Matrices() {
        for (int i = 0; i < 64; ++i) {
            intra[i] = static_cast<uint8_t>(i == 0 ? 8 : 16 + (i % 8) + 2 * (i / 8));
            nonIntra8[i] = static_cast<uint8_t>(16 + (i % 8) + (i / 8));
            nonIntra16[i] = nonIntra8[i];
            reciprocal[i] = static_cast<uint16_t>(65536 / nonIntra8[i]);
        }
    }
};

// A transform-like block: large at low frequencies, falling off, with the
// sparse tail real blocks have.
void randomBlock(std::mt19937& rng, int scale, int16_t* out) {
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    for (int i = 0; i < 64; ++i) {
        const int f = (i % 8) + (i / 8);
        const double amplitude = scale / (1.0 + f);
        out[i] = static_cast<int16_t>(u(rng) * amplitude * (rng() % 4 == 0 ? 0.2 : 1.0));
    }
    out[0] = static_cast<int16_t>(out[0] % 1000);  // a DC any syntax can code
}

// The bits the block coder writes for the levels' run/level codes and end
// of block (an intra block's DC code taken out).
int coderBits(const TrellisBlock& t, const BlockCoding& coding, const int16_t* levels) {
    BitCounter counter;
    if (t.intra) {
        BitCounter dcOnly;
        int16_t dc[64] = {levels[0]};
        int predictor = 0;
        putIntraBlock<BitCounter>(nullptr, dcOnly, coding, dc, 0, predictor);
        predictor = 0;
        EXPECT_TRUE(putIntraBlock<BitCounter>(nullptr, counter, coding, levels, 0, predictor));
        // The DC-only block also carries an end of block.
        return static_cast<int>(counter.bits() - dcOnly.bits()) + (coding.intraVlcFormat ? 4 : 2);
    }
    bool any = false;
    for (int i = 0; i < 64; ++i) any = any || levels[i] != 0;
    if (!any) return 0;
    EXPECT_TRUE(putNonIntraBlock<BitCounter>(nullptr, counter, coding, levels));
    return static_cast<int>(counter.bits());
}

// The cost as this test sees it: squared error of the rebuilt coefficients
// (the plain inverse quantiser's values, without mismatch control) plus
// lambda times the coder's bits.
double independentCost(const TrellisBlock& t, const BlockCoding& coding, const int16_t* coefficients,
                       const int16_t* levels) {
    double d = 0;
    for (int i = t.intra ? 1 : 0; i < 64; ++i) {
        const int m = std::abs(levels[i]);
        int v = 0;
        if (m) {
            v = t.intra ? m * t.weights[i] * t.mquant / 16 : (2 * m + 1) * t.weights[i] * t.mquant / 32;
            if (!t.mpeg2 && v != 0 && v % 2 == 0) v -= 1;
        }
        const double e = std::abs(coefficients[i]) - v;
        d += e * e;
    }
    return d + t.lambda * coderBits(t, coding, levels);
}

struct Case {
    bool mpeg2, intra, b15, alternate;
};

TEST(Trellis, NeverCostsMoreThanRoundingAndCountsTheCodersBits) {
    static const Matrices q;
    std::mt19937 rng(15);
    const Case cases[] = {{true, false, false, false}, {true, false, false, true}, {false, false, false, false},
                          {true, true, false, true},   {true, true, true, false},  {false, true, false, false}};
    int lowered = 0;
    for (const Case& c : cases) {
        for (int trial = 0; trial < 400; ++trial) {
            const int mquant = 2 + static_cast<int>(rng() % 40);
            int16_t coefficients[64], levels[64];
            randomBlock(rng, 40 + static_cast<int>(rng() % 1200), coefficients);
            if (c.intra)
                quantizeIntraBlock(coefficients, levels, c.mpeg2 ? 1 : 0, q.intra, mquant, c.mpeg2);
            else
                quantizeNonIntraBlock(coefficients, levels, q.nonIntra16, q.reciprocal, mquant, c.mpeg2);
            TrellisBlock t;
            t.mpeg2 = c.mpeg2;
            t.intra = c.intra;
            t.tableB15 = c.b15;
            t.scan = c.alternate ? kAlternateScan : kZigzagScan;
            t.weights = c.intra ? q.intra : q.nonIntra8;
            t.mquant = mquant;
            t.lambda = 0.05 * (1 + rng() % 6) * mquant * mquant;
            t.lookBack = trial % 2 ? 64 : 1 + static_cast<int>(rng() % 8);
            const BlockCoding coding{c.mpeg2, c.b15 ? 1 : 0, c.alternate ? 1 : 0};

            int16_t chosen[64];
            std::copy(levels, levels + 64, chosen);
            trellisQuantise(t, coefficients, chosen);
            const double rounding = independentCost(t, coding, coefficients, levels);
            const double trellis = independentCost(t, coding, coefficients, chosen);
            ASSERT_LE(trellis, rounding + 1e-6) << "mquant " << mquant << " case " << (&c - cases);
            // Its own account of the cost is the coder's.
            ASSERT_NEAR(trellisCost(t, coefficients, chosen), trellis, 1e-6);
            ASSERT_NEAR(trellisCost(t, coefficients, levels), rounding, 1e-6);
            for (int i = 0; i < 64; ++i) {
                ASSERT_LE(std::abs(chosen[i]), std::abs(levels[i]));
                ASSERT_TRUE(chosen[i] == 0 || (chosen[i] < 0) == (levels[i] < 0));
            }
            if (c.intra) ASSERT_EQ(chosen[0], levels[0]);
            // Searching every path is never worse than a short look-back.
            TrellisBlock every = t;
            every.lookBack = 64;
            int16_t full[64];
            std::copy(levels, levels + 64, full);
            trellisQuantise(every, coefficients, full);
            ASSERT_LE(trellisCost(every, coefficients, full), trellisCost(every, coefficients, chosen) + 1e-6);
            lowered += trellis < rounding - 1e-6;
        }
    }
    // Plain rounding is rarely the cheapest.
    EXPECT_GT(lowered, 1000);
}

// The search written plainly: every option after every parent within the
// look-back, each code's bits asked of runLevelBits. The encoder's form
// skips parents and reads a flat table, and must land on the same levels.
void referenceTrellis(const TrellisBlock& b, const int16_t* coefficients, int16_t* levels) {
    int position[64];
    int count = 0;
    for (int n = b.intra ? 1 : 0; n < 64; ++n)
        if (levels[b.scan[n]] != 0) position[count++] = n;
    if (count == 0) return;
    const int eob = b.intra && b.tableB15 ? 4 : 2;
    auto first = [&](int n, int m) {
        if (!b.intra && n == 0 && m == 1) return 2;
        return runLevelBits(b.mpeg2, b.tableB15, b.intra ? n - 1 : n, m);
    };
    int magnitude[64][2], from[64][2];
    double best[64][2];
    double bestEnd = b.intra ? b.lambda * eob : 0.0;
    int bestLast = -1;
    for (int j = 0; j < count; ++j) {
        const int natural = b.scan[position[j]];
        const double x = std::abs(coefficients[natural]);
        for (int o = 0; o < 2; ++o) {
            const int m = std::abs(levels[natural]) - o;
            magnitude[j][o] = m;
            best[j][o] = 1e300;
            from[j][o] = -1;
            if (m < 1) continue;
            const double r = reconstructedMagnitude(b, natural, m);
            double cost = b.lambda * first(position[j], m);
            for (int i = j > b.lookBack ? j - b.lookBack : 0; i < j; ++i)
                for (int u = 0; u < 2; ++u) {
                    if (magnitude[i][u] < 1) continue;
                    const double c =
                        best[i][u] + b.lambda * runLevelBits(b.mpeg2, b.tableB15, position[j] - position[i] - 1, m);
                    if (c < cost) {
                        cost = c;
                        from[j][o] = 2 * i + u;
                    }
                }
            best[j][o] = cost + ((x - r) * (x - r) - x * x);
            if (best[j][o] + b.lambda * eob < bestEnd) {
                bestEnd = best[j][o] + b.lambda * eob;
                bestLast = 2 * j + o;
            }
        }
    }
    for (int j = 0; j < count; ++j) levels[b.scan[position[j]]] = 0;
    for (int at = bestLast; at >= 0; at = from[at / 2][at % 2]) {
        const int natural = b.scan[position[at / 2]];
        const int m = magnitude[at / 2][at % 2];
        levels[natural] = static_cast<int16_t>(coefficients[natural] < 0 ? -m : m);
    }
}

TEST(Trellis, ChoosesWhatThePlainSearchChoosesAndReportsTheKeptPositions) {
    static const Matrices q;
    std::mt19937 rng(41);
    const Case cases[] = {{true, false, false, false}, {true, false, false, true}, {false, false, false, false},
                          {true, true, false, true},   {true, true, true, false},  {false, true, false, false}};
    int changed = 0;
    for (const Case& c : cases) {
        for (int trial = 0; trial < 1500; ++trial) {
            // Small quantisers give escapes and long tables' codes, large
            // ones the sparse blocks of ones the grain leaves.
            const int mquant = trial % 3 == 0 ? 1 + static_cast<int>(rng() % 4) : 2 + static_cast<int>(rng() % 60);
            int16_t coefficients[64], levels[64];
            randomBlock(rng, 40 + static_cast<int>(rng() % 2000), coefficients);
            if (c.intra)
                quantizeIntraBlock(coefficients, levels, c.mpeg2 ? 1 : 0, q.intra, mquant, c.mpeg2);
            else
                quantizeNonIntraBlock(coefficients, levels, q.nonIntra16, q.reciprocal, mquant, c.mpeg2);
            TrellisBlock t;
            t.mpeg2 = c.mpeg2;
            t.intra = c.intra;
            t.tableB15 = c.b15;
            t.scan = c.alternate ? kAlternateScan : kZigzagScan;
            t.weights = c.intra ? q.intra : q.nonIntra8;
            t.mquant = mquant;
            t.lambda = 0.02 * (1 + rng() % 12) * mquant * mquant;
            t.lookBack = trial % 3 == 0 ? 64 : 1 + static_cast<int>(rng() % 10);

            int16_t expected[64], fast[64];
            std::copy(levels, levels + 64, expected);
            std::copy(levels, levels + 64, fast);
            referenceTrellis(t, coefficients, expected);
            const uint64_t kept = trellisQuantise(t, coefficients, fast, scanOrderMask(levels, c.alternate));
            for (int i = 0; i < 64; ++i) {
                ASSERT_EQ(fast[i], expected[i]) << "case " << (&c - cases) << " trial " << trial;
            }
            ASSERT_EQ(kept, scanOrderMask(fast, c.alternate));
            int16_t plain[64];
            std::copy(levels, levels + 64, plain);
            const bool any = trellisQuantise(t, coefficients, plain);
            ASSERT_TRUE(std::equal(plain, plain + 64, fast));
            ASSERT_EQ(any, (c.intra ? kept & ~uint64_t{1} : kept) != 0);
            changed += !std::equal(levels, levels + 64, fast);
        }
    }
    EXPECT_GT(changed, 3000);
}

TEST(Trellis, ZeroLambdaKeepsTheNearestLevelsAndHugeLambdaEmptiesNonIntraBlocks) {
    static const Matrices q;
    std::mt19937 rng(7);
    int16_t coefficients[64], levels[64];
    randomBlock(rng, 600, coefficients);
    quantizeNonIntraBlock(coefficients, levels, q.nonIntra16, q.reciprocal, 6, true);
    TrellisBlock t;
    t.scan = kZigzagScan;
    t.weights = q.nonIntra8;
    t.mquant = 6;
    int16_t chosen[64];
    std::copy(levels, levels + 64, chosen);
    t.lambda = 0;
    trellisQuantise(t, coefficients, chosen);
    for (int i = 0; i < 64; ++i) {
        // Rounded levels rebuild at the middle of their interval, so one less
        // is never nearer than the level itself.
        const int m = std::abs(levels[i]);
        if (m == 0) continue;
        const int x = std::abs(coefficients[i]);
        const int here = std::abs(x - reconstructedMagnitude(t, i, m));
        const int below = std::abs(x - reconstructedMagnitude(t, i, m - 1));
        if (below < here) EXPECT_EQ(std::abs(chosen[i]), m - 1) << i;
        if (below > here) EXPECT_EQ(std::abs(chosen[i]), m) << i;
    }
    t.lambda = 1e12;
    std::copy(levels, levels + 64, chosen);
    EXPECT_FALSE(trellisQuantise(t, coefficients, chosen));
    for (int16_t v : chosen) EXPECT_EQ(v, 0);
}

TEST(Trellis, RunLevelBitsMatchTheCoderIncludingEscapes) {
    for (bool mpeg2 : {false, true})
        for (bool b15 : {false, true})
            for (int run = 0; run < 64; run += 3)
                for (int level : {1, 2, 5, 6, 17, 40, 41, 127, 128, 255}) {
                    if (!mpeg2 && b15) continue;
                    BitCounter c;
                    ASSERT_TRUE(putRunLevel<BitCounter>(nullptr, c, mpeg2, b15, run, -level));
                    EXPECT_EQ(runLevelBits(mpeg2, b15, run, level), static_cast<int>(c.bits()))
                        << mpeg2 << b15 << " run " << run << " level " << level;
                }
}

}  // namespace
}  // namespace quillon

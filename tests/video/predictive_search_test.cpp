// Vectors chosen by distance plus the weight of their bits: the bit count
// is the coder's, and a cheaper vector wins only where the weight pays for
// its larger distance.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <random>
#include <utility>
#include <vector>

#include "video/dsp/vlc.h"
#include "video/encoder/predictive_search.h"

namespace quillon::testing {
namespace {

TEST(PredictiveSearch, DeltaBitsAreTheCodersBits) {
    for (int fCode = 1; fCode <= 5; ++fCode) {
        const int f = 1 << (fCode - 1);
        for (int delta = -16 * f; delta < 16 * f; ++delta) {
            BitCounter counter;
            putMotionDelta<BitCounter>(nullptr, counter, delta, fCode, false);
            ASSERT_EQ(motionDeltaBits(delta, fCode), static_cast<int>(counter.bits()))
                << "delta " << delta << " f_code " << fCode;
        }
    }
}

struct Planes {
    static constexpr int kW = 64, kH = 48;
    std::vector<uint8_t> reference = std::vector<uint8_t>(kW * kH);
    std::vector<uint8_t> current = std::vector<uint8_t>(kW * kH);
    Planes() {
        std::mt19937 random(7);
        for (auto& v : reference) v = static_cast<uint8_t>(40 + random() % 160);
    }
    // The current block at (16, 16) is the reference block at (16 + dx,
    // 16 + dy) with noise of the given size added.
    void makeBlock(int dx, int dy, int noise) {
        std::mt19937 random(11);
        for (int y = 0; y < 16; ++y)
            for (int x = 0; x < 16; ++x) {
                const int v = reference[(16 + dy + y) * kW + 16 + dx + x] +
                              (noise ? static_cast<int>(random() % (2 * noise + 1)) - noise : 0);
                current[(16 + y) * kW + 16 + x] = static_cast<uint8_t>(std::clamp(v, 0, 255));
            }
    }
    VectorChoice choice(double lambda) const {
        VectorChoice c;
        c.recon = reference.data();
        c.block = current.data() + 16 * kW + 16;
        c.lx = kW;
        c.x = c.y = 16;
        c.xLow = c.yLow = 0;
        c.xHigh = 2 * (kW - 16);
        c.yHigh = 2 * (kH - 16);
        c.lambda = lambda;
        return c;
    }
};

int sadAt(const MotionRoutines& r, const Planes& p, int hx, int hy) {
    return r.sadHalfPel(p.reference.data() + (hx >> 1) + Planes::kW * (hy >> 1), p.current.data() + 16 * Planes::kW + 16,
                        Planes::kW, hx & 1, hy & 1, 16, 1 << 30);
}

TEST(PredictiveSearch, ACheaperVectorWinsOnlyWhenItsBitsPayForItsDistance) {
    const MotionRoutines r = selectMotionRoutines(0, 0);
    Planes p;
    // The block truly moved by (3, 2) samples; the neighbour's vector is
    // (2, 2), one sample off.
    p.makeBlock(3, 2, 0);
    const SearchResult found{0, 2 * 16 + 6, 2 * 16 + 4};
    ASSERT_EQ(sadAt(r, p, found.x, found.y), 0);
    const int predictorDistance = sadAt(r, p, 2 * 16 + 4, 2 * 16 + 4);
    ASSERT_GT(predictorDistance, 0);

    VectorChoice c = p.choice(0);
    c.predictorX = 4;
    c.predictorY = 4;
    // Without a weight the exact match stays.
    SearchResult kept = chooseVectorByCost(r, c, found, nullptr, 0);
    EXPECT_EQ(kept.x, found.x);
    EXPECT_EQ(kept.y, found.y);
    EXPECT_EQ(kept.distance, 0);

    // The found vector costs 3 more bits than the predictor (f_code 1):
    // a weight just below distance / 2 bits keeps it, one above takes the
    // predictor, with its own distance.
    const int extraBits = motionDeltaBits(2, 1) + motionDeltaBits(0, 1) - 2 * motionDeltaBits(0, 1);
    c.lambda = 0.9 * predictorDistance / extraBits;
    kept = chooseVectorByCost(r, c, found, nullptr, 0);
    EXPECT_EQ(kept.x, found.x);
    c.lambda = 1.1 * predictorDistance / extraBits;
    const SearchResult taken = chooseVectorByCost(r, c, found, nullptr, 0);
    EXPECT_EQ(taken.x, 2 * 16 + 4);
    EXPECT_EQ(taken.y, 2 * 16 + 4);
    EXPECT_EQ(taken.distance, predictorDistance);

    // A predictor whose block lies outside the allowed positions is never
    // taken, however cheap.
    c.lambda = 1e6;
    c.predictorX = -40;
    c.predictorY = 0;
    c.xLow = 2 * 8;
    const SearchResult inside = chooseVectorByCost(r, c, found, nullptr, 0);
    EXPECT_GE(inside.x, c.xLow);
    // The zero vector is the one left to fall back on.
    EXPECT_EQ(inside.x, 2 * 16);
    EXPECT_EQ(inside.y, 2 * 16);
    EXPECT_EQ(inside.distance, sadAt(r, p, 2 * 16, 2 * 16));
}

TEST(PredictiveSearch, AnExtraCandidateIsTriedAndTheLeastCostKept) {
    const MotionRoutines r = selectMotionRoutines(0, 0);
    Planes p;
    p.makeBlock(-2, 1, 2);
    // The search missed: its result is far off; the co-located vector is
    // the true one.
    const SearchResult found{sadAt(r, p, 2 * 16 + 10, 2 * 16 + 10), 2 * 16 + 10, 2 * 16 + 10};
    VectorChoice c = p.choice(1.0);
    const int extra[1][2] = {{-4, 2}};
    const SearchResult best = chooseVectorByCost(r, c, found, extra, 1);
    EXPECT_EQ(best.x, 2 * 16 - 4);
    EXPECT_EQ(best.y, 2 * 16 + 2);
    EXPECT_EQ(best.distance, sadAt(r, p, best.x, best.y));
}

PredictiveWindow windowAround16(double lambda) {
    PredictiveWindow w;
    w.x = w.y = 16;
    w.xLow = w.yLow = 0;
    w.xHigh = Planes::kW - 16;
    w.yHigh = Planes::kH - 16;
    w.lambda = lambda;
    return w;
}

TEST(PredictiveSearch, CandidatesAndDiamondStepsFindTheShiftInsideTheWindow) {
    const MotionRoutines r = selectMotionRoutines(0, 0);
    Planes p;
    // Smooth content, where the distance falls towards the match.
    for (int y = 0; y < Planes::kH; ++y)
        for (int x = 0; x < Planes::kW; ++x)
            p.reference[y * Planes::kW + x] = static_cast<uint8_t>(128 + 60 * std::sin(x / 5.0) * std::cos(y / 7.0));
    p.makeBlock(3, 2, 0);
    const uint8_t* block = p.current.data() + 16 * Planes::kW + 16;
    PredictiveWindow w = windowAround16(0);
    // From zero the diamond steps walk to the match.
    RingBest b = predictiveIntegerSearch(r, p.reference.data(), block, Planes::kW, 16, w, nullptr, 0);
    EXPECT_EQ(b.x, 19);
    EXPECT_EQ(b.y, 18);
    EXPECT_EQ(b.distance, 0);
    // Without steps a candidate one sample off is what there is.
    const int near[1][2] = {{4, 4}};
    w.steps = 0;
    b = predictiveIntegerSearch(r, p.reference.data(), block, Planes::kW, 16, w, near, 1);
    EXPECT_EQ(std::make_pair(b.x, b.y), std::make_pair(18, 18));
    w.steps = 8;
    b = predictiveIntegerSearch(r, p.reference.data(), block, Planes::kW, 16, w, near, 1);
    EXPECT_EQ(std::make_pair(b.x, b.y), std::make_pair(19, 18));
    // Half-sample candidates round down to the whole sample.
    const int half[1][2] = {{7, 5}};
    b = predictiveIntegerSearch(r, p.reference.data(), block, Planes::kW, 16, w, half, 1);
    EXPECT_EQ(std::make_pair(b.x, b.y), std::make_pair(19, 18));
    // A window that ends before the match: neither the candidate nor a step
    // goes past it, and the distance is that of the position returned.
    w.xHigh = 18;
    w.steps = 20;
    b = predictiveIntegerSearch(r, p.reference.data(), block, Planes::kW, 16, w, near, 1);
    EXPECT_LE(b.x, 18);
    EXPECT_EQ(b.distance, sadAt(r, p, 2 * b.x, 2 * b.y));
    // A candidate far outside is skipped, not read.
    const int outside[1][2] = {{-200, 0}};
    w = windowAround16(0);
    w.xLow = 8;
    b = predictiveIntegerSearch(r, p.reference.data(), block, Planes::kW, 16, w, outside, 1);
    EXPECT_GE(b.x, 8);
    EXPECT_EQ(b.distance, sadAt(r, p, 2 * b.x, 2 * b.y));
}

TEST(PredictiveSearch, TheIntegerStageWeighsBitsAgainstDistance) {
    const MotionRoutines r = selectMotionRoutines(0, 0);
    Planes p;
    p.makeBlock(3, 2, 0);
    const uint8_t* block = p.current.data() + 16 * Planes::kW + 16;
    // The predictor (left neighbour) is (2, 2) samples; the match (3, 2)
    // is one candidate.
    const int candidates[2][2] = {{4, 4}, {6, 4}};
    PredictiveWindow w = windowAround16(0);
    w.predictorX = w.predictorY = 4;
    w.steps = 0;
    RingBest b = predictiveIntegerSearch(r, p.reference.data(), block, Planes::kW, 16, w, candidates, 2);
    EXPECT_EQ(std::make_pair(b.x, b.y), std::make_pair(19, 18));
    // Its extra bits outweigh the predictor's distance once lambda is
    // above distance / bits.
    const int predictorDistance = sadAt(r, p, 36, 36);
    const int extraBits = motionDeltaBits(2, 1) - motionDeltaBits(0, 1);
    w.lambda = 1.1 * predictorDistance / extraBits;
    b = predictiveIntegerSearch(r, p.reference.data(), block, Planes::kW, 16, w, candidates, 2);
    EXPECT_EQ(std::make_pair(b.x, b.y), std::make_pair(18, 18));
    EXPECT_EQ(b.distance, predictorDistance);
    w.lambda = 0.9 * predictorDistance / extraBits;
    b = predictiveIntegerSearch(r, p.reference.data(), block, Planes::kW, 16, w, candidates, 2);
    EXPECT_EQ(std::make_pair(b.x, b.y), std::make_pair(19, 18));
}

}  // namespace
}  // namespace quillon::testing

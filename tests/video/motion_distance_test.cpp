#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <vector>

#include "platform/cpu_features.h"
#include "video/dsp/distance_routines.h"

namespace quillon {
namespace {

constexpr int kStride = 40;

std::vector<uint8_t> randomPlane(unsigned seed, int lines = 24) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> p(static_cast<size_t>(kStride * lines));
    for (auto& v : p) v = static_cast<uint8_t>(rng() & 0xFF);
    return p;
}

// Straightforward predictions to check the table-driven routines against.
int predictSample(const uint8_t* p, int lx, int i, int hx, int hy) {
    int a = p[i], b = p[i + hx], c = p[i + hy * lx], d = p[i + hy * lx + hx];
    return (a + b + c + d + 2) >> 2;
}

TEST(DistanceRoutines, AbsDifferenceTableCoversEveryPair) {
    EXPECT_EQ(kAbsDifference[256 * 0 + 255], 255);
    EXPECT_EQ(kAbsDifference[256 * 255 + 0], 255);
    EXPECT_EQ(kAbsDifference[256 * 100 + 37], 63);
    EXPECT_EQ(kAbsDifference[256 * 37 + 100], 63);
    EXPECT_EQ(kAbsDifference[256 * 200 + 200], 0);
}

TEST(DistanceRoutines, HalfPelDistancesMatchTheInterpolatedPrediction) {
    auto ref = randomPlane(1);
    auto cur = randomPlane(2);
    for (int h : {8, 16})
        for (int hy = 0; hy < 2; ++hy)
            for (int hx = 0; hx < 2; ++hx) {
                int sad = 0, sse = 0;
                for (int j = 0; j < h; ++j)
                    for (int i = 0; i < 16; ++i) {
                        int d = predictSample(&ref[3 + j * kStride], kStride, i, hx, hy) - cur[5 + j * kStride + i];
                        sad += std::abs(d);
                        sse += d * d;
                    }
                EXPECT_EQ(sadHalfPelPlain(&ref[3], &cur[5], kStride, hx, hy, h, 1 << 30), sad) << hx << hy << h;
                EXPECT_EQ(sseHalfPelPlain(&ref[3], &cur[5], kStride, hx, hy, h), sse) << hx << hy << h;
            }
}

TEST(DistanceRoutines, IntegerSadStopsAtTheLimitButHalfPelSumsEveryLine) {
    // Every line differs by 5 per sample: 80 per line.
    std::vector<uint8_t> ref(kStride * 24, 10), cur(kStride * 24, 15);
    // The first line whose running sum reaches 100 is the second (160).
    EXPECT_EQ(sadHalfPelPlain(ref.data(), cur.data(), kStride, 0, 0, 16, 100), 160);
    EXPECT_EQ(sadHalfPelPlain(ref.data(), cur.data(), kStride, 0, 0, 16, 1 << 30), 1280);
    EXPECT_EQ(sadHalfPelPlain(ref.data(), cur.data(), kStride, 1, 0, 16, 100), 1280);
    EXPECT_EQ(sadHalfPelPlain(ref.data(), cur.data(), kStride, 0, 1, 16, 100), 1280);
    EXPECT_EQ(sadHalfPelPlain(ref.data(), cur.data(), kStride, 1, 1, 8, 100), 640);
}

TEST(DistanceRoutines, BidirectionalAveragesBothDirectionsWithRounding) {
    auto fwd = randomPlane(3);
    auto bwd = randomPlane(4);
    auto cur = randomPlane(5);
    for (int flags = 0; flags < 16; ++flags) {
        int hxf = flags & 1, hyf = (flags >> 1) & 1, hxb = (flags >> 2) & 1, hyb = (flags >> 3) & 1;
        int sad = 0, sse = 0;
        for (int j = 0; j < 16; ++j)
            for (int i = 0; i < 16; ++i) {
                int f = predictSample(&fwd[1 + j * kStride], kStride, i, hxf, hyf);
                int b = predictSample(&bwd[2 + j * kStride], kStride, i, hxb, hyb);
                int d = ((f + b + 1) >> 1) - cur[j * kStride + i];
                sad += std::abs(d);
                sse += d * d;
            }
        EXPECT_EQ(sadBidirectionalPlain(&fwd[1], hxf, hyf, &bwd[2], hxb, hyb, cur.data(), kStride, 16), sad);
        EXPECT_EQ(sseBidirectionalPlain(&fwd[1], hxf, hyf, &bwd[2], hxb, hyb, cur.data(), kStride, 16), sse);
    }
    // 10 and 13 average to 12, one away from a current value of 11.
    std::vector<uint8_t> f(kStride * 24, 10), b(kStride * 24, 13), c(kStride * 24, 11);
    EXPECT_EQ(sadBidirectionalPlain(f.data(), 0, 0, b.data(), 0, 0, c.data(), kStride, 8), 128);
}

TEST(DistanceRoutines, VarianceAndSubsampledDistance) {
    std::vector<uint8_t> flat(kStride * 16, 77);
    EXPECT_EQ(variance16Plain(flat.data(), kStride), 0);
    std::vector<uint8_t> white(kStride * 16, 255);
    EXPECT_EQ(variance16Plain(white.data(), kStride), 0);
    white[5] = 0;  // squares 255 * 65025, sum 65025: 16581375 - 16516350
    EXPECT_EQ(variance16Plain(white.data(), kStride), 16581375 - static_cast<int>((65025LL * 65025) >> 8));
    // Half the samples 0, half 2: squares 512, sum 256, 256^2 >> 8 = 256.
    std::vector<uint8_t> stripes(kStride * 16, 0);
    for (int j = 0; j < 16; j += 2)
        for (int i = 0; i < 16; ++i) stripes[j * kStride + i] = 2;
    EXPECT_EQ(variance16Plain(stripes.data(), kStride), 256);

    std::vector<uint8_t> a(kStride * 4, 0), b(kStride * 4, 0);
    for (int j = 0; j < 4; ++j)
        for (int i = 0; i < 4; ++i) b[j * kStride + i] = 10;  // 40 per line
    EXPECT_EQ(sadSubsampled4x4Plain(a.data(), b.data(), kStride, 65536), 160);
    EXPECT_EQ(sadSubsampled4x4Plain(a.data(), b.data(), kStride, 80), 80);
    EXPECT_EQ(sadSubsampled4x4Plain(a.data(), b.data(), kStride, 81), 120);
    // Samples beyond the 4x4 block do not count.
    b[4] = 200;
    EXPECT_EQ(sadSubsampled4x4Plain(a.data(), b.data(), kStride, 65536), 160);
}

TEST(DistanceRoutines, EveryRoutineSetGivesThePlainResults) {
    auto ref = randomPlane(6);
    auto cur = randomPlane(7);
    for (int mode : {0, 1, 2, 3, 4, 7, -1}) {
        MotionRoutines r = selectMotionRoutines(mode, detectCpuFeatures());
        ASSERT_NE(r.sadHalfPel, nullptr);
        for (int hx = 0; hx < 2; ++hx)
            EXPECT_EQ(r.sadHalfPel(&ref[1], cur.data(), kStride, hx, 1, 16, 1 << 30),
                      sadHalfPelPlain(&ref[1], cur.data(), kStride, hx, 1, 16, 1 << 30));
        EXPECT_EQ(r.sseHalfPel(&ref[1], cur.data(), kStride, 1, 1, 8), sseHalfPelPlain(&ref[1], cur.data(), kStride, 1, 1, 8));
        EXPECT_EQ(r.sadBidirectional(&ref[1], 1, 0, &ref[2], 0, 1, cur.data(), kStride, 16),
                  sadBidirectionalPlain(&ref[1], 1, 0, &ref[2], 0, 1, cur.data(), kStride, 16));
        EXPECT_EQ(r.sseBidirectional(&ref[1], 1, 1, &ref[2], 1, 1, cur.data(), kStride, 8),
                  sseBidirectionalPlain(&ref[1], 1, 1, &ref[2], 1, 1, cur.data(), kStride, 8));
        EXPECT_EQ(r.variance16(cur.data(), kStride), variance16Plain(cur.data(), kStride));
        EXPECT_EQ(r.sadSubsampled4x4(cur.data(), ref.data(), kStride, 500),
                  sadSubsampled4x4Plain(cur.data(), ref.data(), kStride, 500));
    }
}

}  // namespace
}  // namespace quillon

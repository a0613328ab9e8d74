// Every vector routine against its plain form, in the manner of a function
// checker: random, flat and extreme inputs in buffers sized to the exact
// bytes the plain form touches (so the sanitizer build catches any read
// past them), and guard bytes around every written line.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <random>
#include <vector>

#include "platform/cpu_features.h"
#include "video/distance_routines.h"
#include "video/frame_input.h"
#include "video/quantize.h"
#include "video/simd_routines.h"

namespace quillon {
namespace {

enum class Fill { Random, Zero, Full, Alternating, SmallNoise };

std::vector<uint8_t> plane(size_t size, Fill f, std::mt19937& rng) {
    std::vector<uint8_t> v(size);
    for (size_t i = 0; i < size; ++i) {
        switch (f) {
            case Fill::Random: v[i] = static_cast<uint8_t>(rng()); break;
            case Fill::Zero: v[i] = 0; break;
            case Fill::Full: v[i] = 255; break;
            case Fill::Alternating: v[i] = (i ^ (i >> 4)) & 1 ? 255 : 0; break;
            case Fill::SmallNoise: v[i] = static_cast<uint8_t>(127 + static_cast<int>(rng() % 5) - 2); break;
        }
    }
    return v;
}

constexpr Fill kFills[] = {Fill::Random, Fill::Zero, Fill::Full, Fill::Alternating, Fill::SmallNoise};

struct Sets {
    uint32_t features = detectCpuFeatures();
    bool sse2 = (features & kCpuSse2) != 0;
    bool avx2 = (features & kCpuAvx2) != 0;
};

// Reference reads reach line h (half-sample down) and column 16; the
// current block covers h lines of 16.
TEST(SimdChecker, DistanceRoutinesMatchThePlainForms) {
    const Sets sets;
    if (!sets.sse2) GTEST_SKIP() << "no SSE2";
    std::mt19937 rng(11);
    std::vector<MotionRoutines> tables = {selectMotionRoutines(1, sets.features), selectMotionRoutines(3, sets.features)};
    for (int lx : {17, 32, 720}) {
        for (int h : {8, 16}) {
            const size_t refSize = static_cast<size_t>(h) * lx + 17;
            const size_t curSize = static_cast<size_t>(h - 1) * lx + 16;
            for (Fill fr : kFills)
                for (Fill fc : kFills) {
                    const auto ref = plane(refSize, fr, rng), ref2 = plane(refSize, fc, rng);
                    const auto cur = plane(curSize, fc, rng);
                    for (const MotionRoutines& r : tables) {
                        for (int hx = 0; hx < 2; ++hx)
                            for (int hy = 0; hy < 2; ++hy) {
                                for (int limit : {0, 1, 300, 2000, 1 << 30})
                                    ASSERT_EQ(r.sadHalfPel(ref.data(), cur.data(), lx, hx, hy, h, limit),
                                              sadHalfPelPlain(ref.data(), cur.data(), lx, hx, hy, h, limit))
                                        << lx << " " << h << " " << hx << hy << " " << limit;
                                ASSERT_EQ(r.sseHalfPel(ref.data(), cur.data(), lx, hx, hy, h),
                                          sseHalfPelPlain(ref.data(), cur.data(), lx, hx, hy, h));
                                for (int hxb = 0; hxb < 2; ++hxb)
                                    for (int hyb = 0; hyb < 2; ++hyb) {
                                        ASSERT_EQ(r.sadBidirectional(ref.data(), hx, hy, ref2.data(), hxb, hyb,
                                                                     cur.data(), lx, h),
                                                  sadBidirectionalPlain(ref.data(), hx, hy, ref2.data(), hxb, hyb,
                                                                        cur.data(), lx, h));
                                        ASSERT_EQ(r.sseBidirectional(ref.data(), hx, hy, ref2.data(), hxb, hyb,
                                                                     cur.data(), lx, h),
                                                  sseBidirectionalPlain(ref.data(), hx, hy, ref2.data(), hxb, hyb,
                                                                        cur.data(), lx, h));
                                    }
                            }
                        if (h == 16) {
                            const auto block = plane(static_cast<size_t>(15) * lx + 16, fr, rng);
                            ASSERT_EQ(r.variance16(block.data(), lx), variance16Plain(block.data(), lx));
                        }
                        const size_t small = static_cast<size_t>(3) * lx + 4;
                        const auto a = plane(small, fr, rng), b = plane(small, fc, rng);
                        for (int limit : {0, 1, 100, 4080, 1 << 20})
                            ASSERT_EQ(r.sadSubsampled4x4(a.data(), b.data(), lx, limit),
                                      sadSubsampled4x4Plain(a.data(), b.data(), lx, limit));
                    }
                }
        }
    }
}

// A bright block's squared sum no longer fits an int.
TEST(SimdChecker, VarianceOfBrightBlocks) {
    std::vector<uint8_t> white(16 * 16, 255), bright(16 * 16, 200);
    for (size_t i = 0; i < bright.size(); i += 2) bright[i] = 202;
    EXPECT_EQ(variance16Plain(white.data(), 16), 0);
    EXPECT_EQ(variance16Plain(bright.data(), 16), 256);  // every sample 1 from the mean
    if (detectCpuFeatures() & kCpuSse2) {
        EXPECT_EQ(variance16Sse2(white.data(), 16), 0);
        EXPECT_EQ(variance16Sse2(bright.data(), 16), 256);
    }
}

TEST(SimdChecker, RoutineSetsFallBackToWhatTheProcessorHas) {
    const MotionRoutines plain = selectMotionRoutines(3, 0);
    EXPECT_EQ(plain.sadHalfPel, &sadHalfPelPlain);
    EXPECT_EQ(selectMotionRoutines(0, kCpuSse2 | kCpuAvx2).sadHalfPel, &sadHalfPelPlain);
    EXPECT_EQ(selectMotionRoutines(5, kCpuSse2 | kCpuAvx2).variance16, &variance16Plain);
    EXPECT_EQ(selectMotionRoutines(4, kCpuSse2).sadBidirectional, &sadBidirectionalSse2);
    EXPECT_EQ(selectMotionRoutines(2, kCpuSse2 | kCpuAvx2).sadHalfPel, &sadHalfPelSse2);
    EXPECT_EQ(selectMotionRoutines(3, kCpuSse2 | kCpuAvx2).sseHalfPel, &sseHalfPelAvx2);
}

// The 8x8 steps write eight samples per line and nothing between lines.
TEST(SimdChecker, BlockStepsMatchAndStayInsideTheBlock) {
    if (!Sets().sse2) GTEST_SKIP() << "no SSE2";
    std::mt19937 rng(5);
    for (int stride : {8, 9, 24}) {
        const size_t size = static_cast<size_t>(7) * stride + 8;
        for (Fill fc : kFills)
            for (Fill fp : kFills) {
                const auto cur = plane(size, fc, rng), pred = plane(size, fp, rng);
                int16_t a[64], b[64];
                blockDifferencePlain(cur.data(), pred.data(), stride, a);
                blockDifferenceSse2(cur.data(), pred.data(), stride, b);
                ASSERT_TRUE(std::equal(a, a + 64, b));
                // Reconstruction takes the inverse transform's range -256..255.
                int16_t block[64];
                for (int i = 0; i < 64; ++i) {
                    const int pick = static_cast<int>(rng() % 4);
                    block[i] = static_cast<int16_t>(pick == 0 ? -256 : pick == 1 ? 255 : static_cast<int>(rng() % 512) - 256);
                }
                std::vector<uint8_t> outA(size + 16, 0xA5), outB(size + 16, 0xA5);
                blockReconstructPlain(pred.data(), block, stride, outA.data() + 8);
                blockReconstructSse2(pred.data(), block, stride, outB.data() + 8);
                ASSERT_EQ(outA, outB) << stride;
                for (size_t i = 0; i < outB.size(); ++i) {
                    const long at = static_cast<long>(i) - 8;
                    const bool inside = at >= 0 && at % stride < 8 && at / stride < 8;
                    if (!inside) {
                        ASSERT_EQ(outB[i], 0xA5) << "wrote outside the block at " << at;
                    }
                }
            }
    }
}

// ---- Frame input: colour conversion and chroma filters ----

// Pixel fills for the conversion: bytes at random, all 0 or all 255, and
// every channel 0 or 255 at random (the corners of the colour cube, where
// the sums reach their extremes).
enum class Pixels { Random, Black, White, Corners, Grey };
constexpr Pixels kPixelFills[] = {Pixels::Random, Pixels::Black, Pixels::White, Pixels::Corners, Pixels::Grey};

std::vector<uint8_t> pixels(size_t size, Pixels f, std::mt19937& rng) {
    std::vector<uint8_t> v(size);
    for (size_t i = 0; i < size; ++i) {
        switch (f) {
            case Pixels::Random: v[i] = static_cast<uint8_t>(rng()); break;
            case Pixels::Black: v[i] = 0; break;
            case Pixels::White: v[i] = 255; break;
            case Pixels::Corners: v[i] = rng() & 1 ? 255 : 0; break;
            case Pixels::Grey: v[i] = 128; break;
        }
    }
    return v;
}

// The routine tables of the two vector sets the processor has.
std::vector<FrameInputRoutines> vectorFrameInputSets(bool floating) {
    const Sets sets;
    std::vector<FrameInputRoutines> r;
    if (sets.sse2) r.push_back(selectFrameInputRoutines(floating, 1, kCpuSse2));
    if (sets.avx2) r.push_back(selectFrameInputRoutines(floating, 3, kCpuSse2 | kCpuAvx2));
    return r;
}

// The source rows are read bottom-up from the last row in memory, in a
// buffer that ends at the last pixel read; the planes have guard bytes
// between rows (stride past width) that must stay as they were.
TEST(SimdChecker, ColourConversionMatchesThePlainRoutines) {
    if (!Sets().sse2) GTEST_SKIP() << "no SSE2";
    std::mt19937 rng(17);
    struct Size {
        int width, height;
    };
    std::vector<Size> sizes;
    for (int w = 1; w <= 40; ++w) sizes.push_back({w, w % 3 + 1});
    for (int w : {352, 480, 720, 719, 705}) sizes.push_back({w, 3});
    for (bool floating : {false, true}) {
        const auto convertPlain = floating ? convertRgbToYuvFloatingPlain : convertRgbToYuvIntegerPlain;
        for (const FrameInputRoutines& r : vectorFrameInputSets(floating)) {
            for (const Size& size : sizes)
                for (int gap : {0, 12}) {
                    const int rowBytes = 4 * size.width + gap;
                    const int stride = size.width + (gap ? 5 : 0);
                    const size_t planeSize = static_cast<size_t>(size.height - 1) * stride + size.width;
                    for (Pixels f : kPixelFills) {
                        const auto source = pixels(static_cast<size_t>(size.height - 1) * rowBytes + 4 * size.width, f, rng);
                        const uint8_t* top = source.data() + static_cast<size_t>(size.height - 1) * rowBytes;
                        for (int code = 0; code <= 8; ++code)
                            for (bool chroma : {true, false}) {
                                std::vector<uint8_t> y0(planeSize, 0xA5), u0(planeSize, 0xA5), v0(planeSize, 0xA5);
                                std::vector<uint8_t> y1 = y0, u1 = u0, v1 = v0;
                                convertPlain(code, top, rowBytes, size.width, size.height, y0.data(),
                                             chroma ? u0.data() : nullptr, chroma ? v0.data() : nullptr, stride);
                                r.convert(code, top, rowBytes, size.width, size.height, y1.data(),
                                          chroma ? u1.data() : nullptr, chroma ? v1.data() : nullptr, stride);
                                ASSERT_EQ(y0, y1) << size.width << "x" << size.height << " code " << code << " floating "
                                                  << floating << " fill " << static_cast<int>(f);
                                ASSERT_EQ(u0, u1) << size.width << " code " << code << " floating " << floating;
                                ASSERT_EQ(v0, v1) << size.width << " code " << code << " floating " << floating;
                                if (!chroma) {
                                    ASSERT_EQ(u1, std::vector<uint8_t>(planeSize, 0xA5));
                                }
                            }
                    }
                }
            // Many random colours per matrix in one long picture.
            const int w = 720, h = 48;
            const auto source = pixels(static_cast<size_t>(w) * h * 4, Pixels::Random, rng);
            const uint8_t* top = source.data() + static_cast<size_t>(h - 1) * w * 4;
            for (int code : {1, 3, 4, 7}) {
                std::vector<uint8_t> y0(static_cast<size_t>(w) * h), u0 = y0, v0 = y0, y1 = y0, u1 = y0, v1 = y0;
                convertPlain(code, top, w * 4, w, h, y0.data(), u0.data(), v0.data(), w);
                r.convert(code, top, w * 4, w, h, y1.data(), u1.data(), v1.data(), w);
                ASSERT_EQ(y0, y1) << code;
                ASSERT_EQ(u0, u1) << code;
                ASSERT_EQ(v0, v1) << code;
            }
        }
    }
}

// The clamped edges are where the horizontal filter can go wrong: every
// width up to 40 (both parities, so outputs stop at every position of a
// vector), the real sizes, one row and a few.
TEST(SimdChecker, HorizontalChromaFilterMatchesThePlainForm) {
    if (!Sets().sse2) GTEST_SKIP() << "no SSE2";
    std::array<uint8_t, 1024> table;
    buildClipTable(table);
    const uint8_t* clip = table.data() + 384;
    std::mt19937 rng(23);
    std::vector<int> widths;
    for (int w = 1; w <= 40; ++w) widths.push_back(w);
    for (int w : {64, 66, 352, 480, 704, 720, 730}) widths.push_back(w);
    for (const FrameInputRoutines& r : vectorFrameInputSets(false))
        for (int w : widths)
            for (int h : {1, 2, 5})
                for (Fill f : kFills)
                    for (bool mpeg2 : {false, true}) {
                        const auto src = plane(static_cast<size_t>(w) * h, f, rng);
                        const size_t outSize = static_cast<size_t>(w / 2) * h;
                        std::vector<uint8_t> a(outSize + 32, 0xA5), b = a;
                        filterHorizontal(clip, mpeg2, src.data(), a.data(), w, h);
                        r.filterHorizontal(clip, mpeg2, src.data(), b.data(), w, h);
                        ASSERT_EQ(a, b) << w << "x" << h << " mpeg2 " << mpeg2 << " fill " << static_cast<int>(f);
                    }
}

// Progressive and field taps, the clamped first and last rows of the frame
// or of each field, heights of both parities, widths ending mid-vector.
TEST(SimdChecker, VerticalChromaFilterMatchesThePlainForm) {
    if (!Sets().sse2) GTEST_SKIP() << "no SSE2";
    std::array<uint8_t, 1024> table;
    buildClipTable(table);
    const uint8_t* clip = table.data() + 384;
    std::mt19937 rng(29);
    std::vector<int> widths;
    for (int w = 1; w <= 40; ++w) widths.push_back(w);
    for (int w : {48, 64, 88, 176, 240, 360}) widths.push_back(w);
    for (const FrameInputRoutines& r : vectorFrameInputSets(false))
        for (int w : widths)
            for (int h : {1, 2, 3, 4, 5, 7, 12, 13, 24, 32, 35})
                for (Fill f : kFills)
                    for (bool progressive : {false, true}) {
                        const auto src = plane(static_cast<size_t>(w) * h, f, rng);
                        const size_t outSize = static_cast<size_t>(w) * (h / 2);
                        std::vector<uint8_t> a(outSize + 32, 0xA5), b = a;
                        filterVertical(clip, progressive, src.data(), a.data(), w, h);
                        r.filterVertical(clip, progressive, src.data(), b.data(), w, h);
                        ASSERT_EQ(a, b) << w << "x" << h << " progressive " << progressive << " fill "
                                        << static_cast<int>(f);
                    }
    // A whole 4:2:0 PAL chroma plane, both filters in turn.
    for (const FrameInputRoutines& r : vectorFrameInputSets(false))
        for (bool progressive : {false, true}) {
            const auto full = plane(static_cast<size_t>(720) * 576, Fill::Random, rng);
            std::vector<uint8_t> half0(360 * 576), half1 = half0, out0(360 * 288), out1 = out0;
            filterHorizontal(clip, true, full.data(), half0.data(), 720, 576);
            r.filterHorizontal(clip, true, full.data(), half1.data(), 720, 576);
            ASSERT_EQ(half0, half1);
            filterVertical(clip, progressive, half0.data(), out0.data(), 360, 576);
            r.filterVertical(clip, progressive, half1.data(), out1.data(), 360, 576);
            ASSERT_EQ(out0, out1) << progressive;
        }
}

TEST(SimdChecker, FrameInputSetsFallBackToWhatTheProcessorHas) {
    EXPECT_EQ(selectFrameInputRoutines(false, 0, kCpuSse2 | kCpuAvx2).convert, &convertRgbToYuvIntegerPlain);
    EXPECT_EQ(selectFrameInputRoutines(true, 3, 0).convert, &convertRgbToYuvFloatingPlain);
    EXPECT_EQ(selectFrameInputRoutines(false, 5, kCpuSse2 | kCpuAvx2).filterVertical, &filterVertical);
    EXPECT_EQ(selectFrameInputRoutines(false, 2, kCpuSse2 | kCpuAvx2).filterHorizontal, &filterHorizontalSse2);
    EXPECT_EQ(selectFrameInputRoutines(true, 4, kCpuSse2).convert, &convertRgbToYuvFloatingSse2);
    EXPECT_EQ(selectFrameInputRoutines(false, 3, kCpuSse2 | kCpuAvx2).convert, &convertRgbToYuvIntegerAvx2);
    EXPECT_EQ(selectFrameInputRoutines(true, 4, kCpuSse2 | kCpuAvx2).filterVertical, &filterVerticalAvx2);
}

TEST(SimdChecker, FastQuantiserMatchesThePlainFastForm) {
    if (!Sets().sse2) GTEST_SKIP() << "no SSE2";
    std::mt19937 rng(3);
    for (int trial = 0; trial < 3000; ++trial) {
        uint16_t matrix[64], recip[64];
        const int kind = trial % 4;
        for (int i = 0; i < 64; ++i) {
            const int w = kind == 0 ? 16 : kind == 1 ? 1 + static_cast<int>(rng() % 255) : kind == 2 ? 255 : 2 + static_cast<int>(rng() % 60);
            matrix[i] = static_cast<uint16_t>(w);
            recip[i] = static_cast<uint16_t>(w == 1 ? 0 : 65536 / w);
        }
        int16_t src[64];
        for (int i = 0; i < 64; ++i) {
            const int pick = static_cast<int>(rng() % 8);
            const int v = pick == 0 ? 1023 : pick == 1 ? -1023 : pick == 2 ? 0
                        : pick == 3 ? static_cast<int>(rng() % 64) - 32
                        : static_cast<int>(rng() % 2047) - 1023;
            src[i] = static_cast<int16_t>(v);
        }
        // Now and then a value the reciprocal form cannot take.
        if (trial % 7 == 0) src[rng() % 64] = static_cast<int16_t>(trial % 14 ? 1024 : -32768);
        if (trial % 11 == 0) src[rng() % 64] = 32767;
        for (int mquant : {1, 2, 3, 8, 31, 62, 112})
            for (bool mpeg2 : {false, true}) {
                int16_t a[64], b[64];
                const bool anyA = quantizeNonIntraBlockFast(src, a, matrix, recip, mquant, mpeg2);
                const bool anyB = quantizeNonIntraBlockFastSse2(src, b, matrix, recip, mquant, mpeg2);
                ASSERT_EQ(anyA, anyB) << trial << " " << mquant;
                ASSERT_TRUE(std::equal(a, a + 64, b)) << trial << " " << mquant << " " << mpeg2;
            }
    }
}

}  // namespace
}  // namespace quillon

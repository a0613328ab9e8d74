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
#include "video/dsp/dct.h"
#include "video/dsp/distance_routines.h"
#include "video/dsp/prediction.h"
#include "video/dsp/scan_mask.h"
#include "video/dsp/vlc.h"
#include "video/encoder/frame_input.h"
#include "video/dsp/quantize.h"
#include "video/dsp/simd_routines.h"

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
                        // 8x8 blocks of the lookahead's quarter pictures.
                        const size_t eight = static_cast<size_t>(7) * lx + 8;
                        const auto p8 = plane(eight, fr, rng), q8 = plane(eight, fc, rng);
                        const auto c8 = plane(eight, rng() % 2 ? fr : fc, rng);
                        ASSERT_EQ(r.sad8x8(p8.data(), c8.data(), lx), sad8x8Plain(p8.data(), c8.data(), lx));
                        ASSERT_EQ(r.sadAverage8x8(c8.data(), p8.data(), q8.data(), lx),
                                  sadAverage8x8Plain(c8.data(), p8.data(), q8.data(), lx));
                        // Consecutive samples: a macroblock's planes.
                        for (int n : {16, 64, 128, 256})
                            if (static_cast<size_t>(n) <= refSize)
                                ASSERT_EQ(r.squaredError(ref.data(), ref2.data(), n),
                                          squaredErrorPlain(ref.data(), ref2.data(), n));
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

// ---- Block coding: non-zero masks and the prediction copy ----

// Blocks at exactly 64 coefficients (no room to read past), with every
// density of non-zero levels, extreme values and single coefficients.
TEST(SimdChecker, NonzeroMaskMatchesThePlainFormAndTheScans) {
    if (!Sets().sse2) GTEST_SKIP() << "no SSE2";
    std::mt19937 rng(31);
    for (int trial = 0; trial < 4000; ++trial) {
        std::vector<int16_t> block(64);
        const unsigned density = trial % 9;  // 0: none ... 8: all
        for (int i = 0; i < 64; ++i) {
            if (rng() % 8 >= density) continue;
            const int pick = static_cast<int>(rng() % 5);
            block[static_cast<size_t>(i)] = static_cast<int16_t>(pick == 0 ? -32768 : pick == 1 ? 32767 : pick == 2 ? 1 : pick == 3 ? -1 : static_cast<int>(rng() % 4001) - 2000);
        }
        if (trial % 50 == 0) {
            std::fill(block.begin(), block.end(), 0);
            block[static_cast<size_t>(trial / 50 % 64)] = static_cast<int16_t>(trial % 100 ? 256 : -1);
        }
        const uint64_t plain = nonzeroMaskPlain(block.data());
        ASSERT_EQ(nonzeroMaskSse2(block.data()), plain) << "trial " << trial;
        for (bool alternate : {false, true}) {
            const uint8_t* scan = alternate ? kAlternateScan : kZigzagScan;
            uint64_t want = 0;
            for (int n = 0; n < 64; ++n) want |= static_cast<uint64_t>(block[scan[n]] != 0) << n;
            ASSERT_EQ(toScanOrder(plain, alternate), want) << "trial " << trial << " alternate " << alternate;
        }
    }
}

// The copy into a macroblock's own buffer: source and destination strides
// differ; the destination has guard bytes around every line it writes.
TEST(SimdChecker, PredictionCopyWithItsOwnDestinationStride) {
    if (!Sets().sse2) GTEST_SKIP() << "no SSE2";
    std::mt19937 rng(37);
    for (int w : {8, 16})
        for (int h : {4, 8, 16})
            for (int lx : {w + 1, 48, 96})
                for (int dlx : {w, 2 * w, 32})
                    for (int half = 0; half < 4; ++half)
                        for (bool average : {false, true})
                            for (Fill f : kFills) {
                                const int hx = half & 1, hy = half >> 1;
                                // The plain copy reads h + hy lines of w + hx samples.
                                const auto src = plane(static_cast<size_t>(h - 1 + hy) * lx + w + hx, f, rng);
                                const size_t span = static_cast<size_t>(h - 1) * dlx + w;
                                std::vector<uint8_t> a(span + 32), b;
                                for (auto& v : a) v = static_cast<uint8_t>(rng());
                                b = a;
                                AreaPrediction p;
                                p.reference = src.data();
                                p.lx = lx;
                                p.width = w;
                                p.height = h;
                                p.dx = hx;
                                p.dy = hy;
                                p.average = average;
                                p.destinationStride = dlx;
                                p.destination = a.data() + 16;
                                predictArea(p, 0, 1);
                                p.destination = b.data() + 16;
                                p.vectorForm = true;
                                predictArea(p, 0, 1);
                                ASSERT_EQ(a, b) << w << "x" << h << " lx " << lx << " dlx " << dlx << " half " << half
                                                << " average " << average;
                            }
}

// A block of zero prediction error skips the forward transform: every DCT
// form must map it to zero coefficients.
TEST(SimdChecker, EveryForwardTransformMapsZeroToZero) {
    const Sets sets;
    std::vector<void (*)(int16_t*)> forms = {forwardDctInteger, forwardDctFloat};
    if (sets.avx2) {
        forms.push_back(forwardDctIntegerAvx2);
        forms.push_back(forwardDctFloatAvx2);
    }
    for (auto form : forms) {
        std::array<int16_t, 64> block{};
        form(block.data());
        EXPECT_EQ(block, (std::array<int16_t, 64>{}));
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

// ===========================================================================
// Transforms and per-block quantisation
// ===========================================================================
namespace quillon {
namespace {

using Coefficients = std::vector<int16_t>;  // exactly 64, so over-reads show

// Blocks of the kinds the transforms meet and the corners they must not
// miss: noise over the full range, flat, the extremes, alternating signs,
// DC alone (the plain inverse form's shortcuts), a few scattered values,
// whole rows or columns left empty, and smooth ramps.
Coefficients testBlock(int kind, int lo, int hi, std::mt19937& rng) {
    Coefficients b(64, 0);
    auto any = [&] { return static_cast<int16_t>(lo + static_cast<int>(rng() % static_cast<unsigned>(hi - lo + 1))); };
    auto extreme = [&] { return static_cast<int16_t>(rng() & 1 ? hi : lo); };
    switch (kind % 10) {
        case 0: for (auto& v : b) v = any(); break;
        case 1: break;
        case 2: b[0] = kind % 20 < 10 ? extreme() : any(); break;
        case 3: for (auto& v : b) v = extreme(); break;
        case 4: for (int i = 0; i < 64; ++i) b[static_cast<size_t>(i)] = static_cast<int16_t>(((i ^ (i >> 3)) & 1) ? hi : lo); break;
        case 5: {
            const int count = 1 + static_cast<int>(rng() % 6);
            for (int n = 0; n < count; ++n) b[rng() % 64] = rng() % 3 ? any() : extreme();
            break;
        }
        case 6:  // rows with only their first coefficient, or none
            for (int r = 0; r < 8; ++r)
                if (rng() % 2) b[static_cast<size_t>(8 * r)] = any();
            break;
        case 7:  // a few full rows, the others empty
            for (int r = 0; r < 8; ++r)
                if (rng() % 3 == 0)
                    for (int c = 0; c < 8; ++c) b[static_cast<size_t>(8 * r + c)] = any();
            break;
        case 8: {
            const int v = any();
            for (auto& x : b) x = static_cast<int16_t>(v);
            break;
        }
        default:
            for (int i = 0; i < 64; ++i)
                b[static_cast<size_t>(i)] = static_cast<int16_t>(std::clamp((i % 8) * (hi / 8) - (i / 8) * (hi / 9) + lo / 4, lo, hi));
            break;
    }
    return b;
}

TEST(SimdChecker, ForwardTransformsMatchThePlainForms) {
    if (!Sets().avx2) GTEST_SKIP() << "no AVX2";
    std::mt19937 rng(21);
    // The prediction error's range; the integer form is exact up to 798.
    for (int trial = 0; trial < 20000; ++trial) {
        const int range = trial % 3 == 0 ? 255 : trial % 3 == 1 ? 40 : 798;
        const Coefficients in = testBlock(trial, -range, trial % 7 == 0 ? range - 1 : range, rng);
        Coefficients a = in, b = in;
        forwardDctInteger(a.data());
        forwardDctIntegerAvx2(b.data());
        ASSERT_EQ(a, b) << "integer, trial " << trial;
        if (range == 798) continue;
        a = in;
        b = in;
        forwardDctFloat(a.data());
        forwardDctFloatAvx2(b.data());
        ASSERT_EQ(a, b) << "floating, trial " << trial;
    }
}

TEST(SimdChecker, InverseTransformMatchesThePlainForm) {
    if (!Sets().avx2) GTEST_SKIP() << "no AVX2";
    std::array<int16_t, 1024> clip;
    buildCoefficientClipTable(clip);
    std::mt19937 rng(22);
    auto check = [&](const Coefficients& in, int trial) {
        Coefficients a = in, b = in;
        inverseDctChenWang(a.data(), clip.data() + 512);
        inverseDctChenWangAvx2(b.data(), clip.data() + 512);
        ASSERT_EQ(a, b) << "trial " << trial;
    };
    // Dequantised coefficients lie in -2048..2047; the mismatch bit and odd
    // rounding make no other values, but the form is exact on any int16.
    for (int trial = 0; trial < 30000; ++trial) {
        const int range = trial % 4 == 0 ? 2048 : trial % 4 == 1 ? 300 : trial % 4 == 2 ? 20 : 32768;
        check(testBlock(trial, -range, range - 1, rng), trial);
    }
    // Large odd coefficients of one row and of one column, where the
    // rotation's product needs more than 32 bits.
    for (int sign : {1, -1})
        for (int at : {0, 8, 16, 32}) {
            Coefficients row(64, 0), column(64, 0);
            for (int k : {1, 3, 5, 7}) {
                const int16_t v = static_cast<int16_t>((k == 1 ? 2047 : -2048) * sign);
                row[static_cast<size_t>(at + k)] = v;
                column[static_cast<size_t>(8 * k + at / 8)] = v;
            }
            check(row, at);
            check(column, at);
        }
}

struct QuantiserSet {
    const char* name;
    bool (*quantizeIntra)(const int16_t*, int16_t*, int, const uint8_t*, int, bool);
    void (*dequantizeIntra)(const int16_t*, int16_t*, int, const uint8_t*, int, bool);
    void (*dequantizeNonIntra)(const int16_t*, int16_t*, const uint8_t*, int, bool);
};

std::vector<QuantiserSet> quantiserSets() {
    const Sets sets;
    std::vector<QuantiserSet> v;
    if (sets.sse2) v.push_back({"SSE2", quantizeIntraBlockSse2, dequantizeIntraBlockSse2, dequantizeNonIntraBlockSse2});
    if (sets.avx2) v.push_back({"AVX2", quantizeIntraBlockAvx2, dequantizeIntraBlockAvx2, dequantizeNonIntraBlockAvx2});
    return v;
}

TEST(SimdChecker, QuantisersMatchThePlainForms) {
    const std::vector<QuantiserSet> forms = quantiserSets();
    if (forms.empty()) GTEST_SKIP() << "no SSE2";
    std::mt19937 rng(23);
    std::vector<uint8_t> matrix(64);
    for (int trial = 0; trial < 6000; ++trial) {
        const int kind = trial % 5;
        for (auto& w : matrix)
            w = static_cast<uint8_t>(kind == 0 ? 16 : kind == 1 ? 1 + rng() % 255 : kind == 2 ? 255 : kind == 3 ? 1 : 8 + rng() % 76);
        const int mquant = trial % 9 == 0 ? 112 : trial % 9 == 1 ? 1 : 1 + static_cast<int>(rng() % 112);
        const int dcPrecision = static_cast<int>(rng() % 4);
        const bool mpeg2 = trial % 2 == 0;
        // Transform output for the quantiser, any int16 now and then.
        const Coefficients coefficients = testBlock(trial / 5, trial % 3 ? -2048 : -32768, trial % 3 ? 2047 : 32767, rng);
        // Levels for the inverse quantisers: as coded, small, or any int16.
        const int range = trial % 3 == 0 ? 2048 : trial % 3 == 1 ? 256 : 32768;
        const Coefficients levels = testBlock(trial / 3, -range, range - 1, rng);
        Coefficients plain(64), plainIntra(64), plainNonIntra(64);
        const bool fitsPlain = quantizeIntraBlock(coefficients.data(), plain.data(), dcPrecision, matrix.data(), mquant, mpeg2);
        dequantizeIntraBlock(levels.data(), plainIntra.data(), dcPrecision, matrix.data(), mquant, mpeg2);
        dequantizeNonIntraBlock(levels.data(), plainNonIntra.data(), matrix.data(), mquant, mpeg2);
        for (const QuantiserSet& f : forms) {
            Coefficients out(64);
            ASSERT_EQ(f.quantizeIntra(coefficients.data(), out.data(), dcPrecision, matrix.data(), mquant, mpeg2), fitsPlain)
                << f.name << " trial " << trial;
            ASSERT_EQ(out, plain) << f.name << " quantise intra, trial " << trial;
            f.dequantizeIntra(levels.data(), out.data(), dcPrecision, matrix.data(), mquant, mpeg2);
            ASSERT_EQ(out, plainIntra) << f.name << " dequantise intra, trial " << trial;
            f.dequantizeNonIntra(levels.data(), out.data(), matrix.data(), mquant, mpeg2);
            ASSERT_EQ(out, plainNonIntra) << f.name << " dequantise non-intra, trial " << trial;
            // The encoder works in place.
            out = coefficients;
            f.quantizeIntra(out.data(), out.data(), dcPrecision, matrix.data(), mquant, mpeg2);
            ASSERT_EQ(out, plain) << f.name << " in place, trial " << trial;
            out = levels;
            f.dequantizeNonIntra(out.data(), out.data(), matrix.data(), mquant, mpeg2);
            ASSERT_EQ(out, plainNonIntra) << f.name << " in place, trial " << trial;
        }
    }
}

// The AVX2 fast quantiser against the plain fast form, on the inputs its
// reciprocal path takes and on those that send it to the exact form.
TEST(SimdChecker, FastQuantiserAvx2MatchesThePlainFastForm) {
    if (!Sets().avx2) GTEST_SKIP() << "no AVX2";
    std::mt19937 rng(24);
    std::vector<uint16_t> matrix(64), recip(64);
    for (int trial = 0; trial < 4000; ++trial) {
        const int kind = trial % 5;
        for (size_t i = 0; i < 64; ++i) {
            const int w = kind == 0 ? 16 : kind == 1 ? 1 + static_cast<int>(rng() % 255) : kind == 2 ? 255
                        : kind == 3 ? 2 : 2 + static_cast<int>(rng() % 60);
            matrix[i] = static_cast<uint16_t>(w);
            recip[i] = static_cast<uint16_t>(w == 1 ? 0 : 65536 / w);
        }
        Coefficients src = testBlock(trial, -1023, 1023, rng);
        if (trial % 7 == 0) src[rng() % 64] = static_cast<int16_t>(trial % 14 ? 1024 : -32768);
        if (trial % 11 == 0) src[rng() % 64] = 32767;
        for (int mquant : {1, 2, 3, 8, 31, 62, 112})
            for (bool mpeg2 : {false, true}) {
                Coefficients a(64), b(64);
                const bool anyA = quantizeNonIntraBlockFast(src.data(), a.data(), matrix.data(), recip.data(), mquant, mpeg2);
                const bool anyB = quantizeNonIntraBlockFastAvx2(src.data(), b.data(), matrix.data(), recip.data(), mquant, mpeg2);
                ASSERT_EQ(anyA, anyB) << trial << " " << mquant;
                ASSERT_EQ(a, b) << trial << " " << mquant << " " << mpeg2;
                // The exact form the fast one falls back to, over every int16.
                const Coefficients wide = trial % 2 ? testBlock(trial, -32768, 32767, rng) : testBlock(trial, -3000, 3000, rng);
                const bool exactA = quantizeNonIntraBlock(wide.data(), a.data(), matrix.data(), recip.data(), mquant, mpeg2);
                const bool exactB = quantizeNonIntraBlockAvx2(wide.data(), b.data(), matrix.data(), recip.data(), mquant, mpeg2);
                ASSERT_EQ(exactA, exactB) << trial << " " << mquant;
                ASSERT_EQ(a, b) << "exact " << trial << " " << mquant << " " << mpeg2;
            }
    }
}

// The exact non-intra quantiser's vector forms against the plain one over
// every int16 and every weight, in place as the encoder calls them; the
// weight 1 and quantiser 1 give the largest quotients.
TEST(SimdChecker, ExactNonIntraQuantisersMatchThePlainForm) {
    const Sets sets;
    if (!sets.sse2) GTEST_SKIP() << "no SSE2";
    using Exact = bool (*)(const int16_t*, int16_t*, const uint16_t*, const uint16_t*, int, bool);
    std::vector<std::pair<const char*, Exact>> forms = {{"SSE2", quantizeNonIntraBlockSse2}};
    if (sets.avx2) forms.push_back({"AVX2", quantizeNonIntraBlockAvx2});
    std::mt19937 rng(31);
    std::vector<uint16_t> matrix(64), recip(64);
    for (int trial = 0; trial < 1500; ++trial) {
        const int kind = trial % 4;
        for (size_t i = 0; i < 64; ++i) {
            const int w = kind == 0 ? 1 : kind == 1 ? 1 + static_cast<int>(rng() % 255) : kind == 2 ? 255 : 16;
            matrix[i] = static_cast<uint16_t>(w);
            recip[i] = static_cast<uint16_t>(w == 1 ? 0 : 65536 / w);
        }
        const Coefficients src = trial % 3 == 0 ? testBlock(trial, -32768, 32767, rng)
                               : trial % 3 == 1 ? testBlock(trial, -2048, 2047, rng)
                                                : testBlock(trial, -40, 40, rng);
        for (int mquant : {1, 2, 5, 31, 62, 112})
            for (bool mpeg2 : {false, true}) {
                Coefficients plain(64);
                const bool anyPlain = quantizeNonIntraBlock(src.data(), plain.data(), matrix.data(), recip.data(), mquant, mpeg2);
                for (const auto& [name, form] : forms) {
                    Coefficients out = src;
                    const bool any = form(out.data(), out.data(), matrix.data(), recip.data(), mquant, mpeg2);
                    ASSERT_EQ(any, anyPlain) << name << " " << trial << " " << mquant;
                    ASSERT_EQ(out, plain) << name << " " << trial << " " << mquant << " " << mpeg2;
                }
            }
    }
    EXPECT_EQ(selectTransformRoutines(false, 0, kCpuSse2 | kCpuAvx2).quantizeNonIntra, &quantizeNonIntraBlock);
    EXPECT_EQ(selectTransformRoutines(false, 2, kCpuSse2 | kCpuAvx2).quantizeNonIntra, &quantizeNonIntraBlockSse2);
    EXPECT_EQ(selectTransformRoutines(true, 3, kCpuSse2 | kCpuAvx2).quantizeNonIntra, &quantizeNonIntraBlockAvx2);
}

// Both parities of the coefficient sum reach the mismatch bit.
TEST(SimdChecker, InverseQuantisersKeepTheMismatchRule) {
    const std::vector<QuantiserSet> forms = quantiserSets();
    if (forms.empty()) GTEST_SKIP() << "no SSE2";
    const std::vector<uint8_t> flat(64, 16);
    auto odd = [](const Coefficients& c) {
        int sum = 0;
        for (int16_t v : c) sum += v;
        return (sum & 1) == 1;
    };
    for (const QuantiserSet& f : forms)
        for (int dc : {1, 2, 4, 5}) {
            Coefficients levels(64, 0), a(64), b(64);
            levels[0] = static_cast<int16_t>(dc);
            levels[63] = 1;
            dequantizeIntraBlock(levels.data(), a.data(), 0, flat.data(), 2, true);
            f.dequantizeIntra(levels.data(), b.data(), 0, flat.data(), 2, true);
            EXPECT_EQ(a, b) << f.name << " " << dc;
            EXPECT_TRUE(odd(b)) << f.name << " " << dc;
            dequantizeNonIntraBlock(levels.data(), a.data(), flat.data(), 2, true);
            f.dequantizeNonIntra(levels.data(), b.data(), flat.data(), 2, true);
            EXPECT_EQ(a, b) << f.name << " " << dc;
            EXPECT_TRUE(odd(b)) << f.name << " " << dc;
        }
}

TEST(SimdChecker, TransformSetsFollowModeAndProcessor) {
    const uint32_t all = kCpuSse2 | kCpuAvx2;
    for (bool floating : {false, true}) {
        const auto plainDct = floating ? &forwardDctFloat : &forwardDctInteger;
        const auto vectorDct = floating ? &forwardDctFloatAvx2 : &forwardDctIntegerAvx2;
        EXPECT_EQ(selectTransformRoutines(floating, 0, all).forwardDct, plainDct);
        EXPECT_EQ(selectTransformRoutines(floating, 5, all).inverseDct, &inverseDctChenWang);
        EXPECT_EQ(selectTransformRoutines(floating, 2, all).forwardDct, plainDct);
        EXPECT_EQ(selectTransformRoutines(floating, 2, all).blockDifference, &blockDifferenceSse2);
        EXPECT_EQ(selectTransformRoutines(floating, 3, kCpuSse2).dequantizeNonIntra, &dequantizeNonIntraBlockSse2);
        EXPECT_EQ(selectTransformRoutines(floating, 1, 0).quantizeIntra, &quantizeIntraBlock);
        EXPECT_EQ(selectTransformRoutines(floating, 4, kCpuAvx2).inverseDct, &inverseDctChenWang);
        const TransformRoutines t = selectTransformRoutines(floating, 3, all);
        EXPECT_EQ(t.forwardDct, vectorDct);
        EXPECT_EQ(t.inverseDct, &inverseDctChenWangAvx2);
        EXPECT_EQ(t.quantizeIntra, &quantizeIntraBlockAvx2);
        EXPECT_EQ(t.dequantizeIntra, &dequantizeIntraBlockAvx2);
        EXPECT_EQ(t.dequantizeNonIntra, &dequantizeNonIntraBlockAvx2);
        EXPECT_EQ(t.quantizeNonIntraFast, &quantizeNonIntraBlockFastAvx2);
        EXPECT_EQ(selectTransformRoutines(floating, 4, kCpuSse2).quantizeIntra, &quantizeIntraBlockSse2);
    }
}

}  // namespace
}  // namespace quillon

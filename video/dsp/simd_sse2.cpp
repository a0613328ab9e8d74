// SSE2 forms; compiled with -msse2 and chosen only when the processor has it.
#include <emmintrin.h>

#include <cstddef>
#include <cstring>
#include <new>

#include "video/dsp/distance_routines.h"
#include "video/dsp/frame_conversion.h"
#include "video/dsp/prediction.h"
#include "video/dsp/quantize.h"
#include "video/dsp/simd_routines.h"

namespace quillon {

namespace {

inline __m128i load16(const uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }

inline int sadTotal(__m128i v) { return _mm_cvtsi128_si32(v) + _mm_extract_epi16(v, 4); }

inline int sum32(__m128i v) {
    v = _mm_add_epi32(v, _mm_shuffle_epi32(v, 0x4E));
    v = _mm_add_epi32(v, _mm_shuffle_epi32(v, 0xB1));
    return _mm_cvtsi128_si32(v);
}

// (a + b + c + d + 2) >> 2 for 16 samples, byte-wide: with p and q the
// rounded-up pair averages, (p + q + 1) >> 1 is one too high exactly when
// p + q is odd and a pair's sum was odd (that pair's average rounded up).
inline __m128i average4(__m128i va, __m128i vb, __m128i vc, __m128i vd) {
    const __m128i p = _mm_avg_epu8(va, vb), q = _mm_avg_epu8(vc, vd);
    const __m128i odd = _mm_or_si128(_mm_xor_si128(va, vb), _mm_xor_si128(vc, vd));
    const __m128i over = _mm_and_si128(_mm_and_si128(odd, _mm_xor_si128(p, q)), _mm_set1_epi8(1));
    return _mm_sub_epi8(_mm_avg_epu8(p, q), over);
}

inline __m128i average4(const uint8_t* a, const uint8_t* b, const uint8_t* c, const uint8_t* d) {
    return average4(load16(a), load16(b), load16(c), load16(d));
}

// The prediction of one 16-sample line at the half-sample offset.
inline __m128i halfPelLine(const uint8_t* ref, int lx, int hx, int hy) {
    if (!hx && !hy) return load16(ref);
    if (hx && !hy) return _mm_avg_epu8(load16(ref), load16(ref + 1));
    if (!hx) return _mm_avg_epu8(load16(ref), load16(ref + lx));
    return average4(ref, ref + 1, ref + lx, ref + lx + 1);
}

// Sum of squared differences of 16 bytes, as four 32-bit partial sums.
inline __m128i squares(__m128i p, __m128i c) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i dl = _mm_sub_epi16(_mm_unpacklo_epi8(p, zero), _mm_unpacklo_epi8(c, zero));
    const __m128i dh = _mm_sub_epi16(_mm_unpackhi_epi8(p, zero), _mm_unpackhi_epi8(c, zero));
    return _mm_add_epi32(_mm_madd_epi16(dl, dl), _mm_madd_epi16(dh, dh));
}

struct Bidirectional {
    const uint8_t *fa, *fb, *fc, *fd, *ba, *bb, *bc, *bd;
    Bidirectional(const uint8_t* refF, int hxf, int hyf, const uint8_t* refB, int hxb, int hyb, int lx)
        : fa(refF), fb(refF + (hxf ? 1 : 0)), fc(refF + (hyf ? lx : 0)), fd(fc + (hxf ? 1 : 0)),
          ba(refB), bb(refB + (hxb ? 1 : 0)), bc(refB + (hyb ? lx : 0)), bd(bc + (hxb ? 1 : 0)) {}
    __m128i line() const { return _mm_avg_epu8(average4(fa, fb, fc, fd), average4(ba, bb, bc, bd)); }
    void next(int lx) {
        fa += lx; fb += lx; fc += lx; fd += lx;
        ba += lx; bb += lx; bc += lx; bd += lx;
    }
};

}  // namespace

int sadHalfPelSse2(const uint8_t* ref, const uint8_t* cur, int lx, int hx, int hy, int h, int limit) {
    int s = 0;
    if (!hx && !hy) {
        for (int j = 0; j < h; ++j) {
            s += sadTotal(_mm_sad_epu8(load16(ref), load16(cur)));
            if (s >= limit) return s;
            ref += lx;
            cur += lx;
        }
        return s;
    }
    __m128i acc = _mm_setzero_si128();
    for (int j = 0; j < h; ++j) {
        acc = _mm_add_epi64(acc, _mm_sad_epu8(halfPelLine(ref, lx, hx, hy), load16(cur)));
        ref += lx;
        cur += lx;
    }
    return sadTotal(acc);
}

int sseHalfPelSse2(const uint8_t* ref, const uint8_t* cur, int lx, int hx, int hy, int h) {
    __m128i acc = _mm_setzero_si128();
    for (int j = 0; j < h; ++j) {
        acc = _mm_add_epi32(acc, squares(halfPelLine(ref, lx, hx, hy), load16(cur)));
        ref += lx;
        cur += lx;
    }
    return sum32(acc);
}

int sadBidirectionalSse2(const uint8_t* refF, int hxf, int hyf, const uint8_t* refB, int hxb, int hyb,
                         const uint8_t* cur, int lx, int h) {
    Bidirectional p(refF, hxf, hyf, refB, hxb, hyb, lx);
    __m128i acc = _mm_setzero_si128();
    for (int j = 0; j < h; ++j) {
        acc = _mm_add_epi64(acc, _mm_sad_epu8(p.line(), load16(cur)));
        p.next(lx);
        cur += lx;
    }
    return sadTotal(acc);
}

int sseBidirectionalSse2(const uint8_t* refF, int hxf, int hyf, const uint8_t* refB, int hxb, int hyb,
                         const uint8_t* cur, int lx, int h) {
    Bidirectional p(refF, hxf, hyf, refB, hxb, hyb, lx);
    __m128i acc = _mm_setzero_si128();
    for (int j = 0; j < h; ++j) {
        acc = _mm_add_epi32(acc, squares(p.line(), load16(cur)));
        p.next(lx);
        cur += lx;
    }
    return sum32(acc);
}

int variance16Sse2(const uint8_t* block, int lx) {
    const __m128i zero = _mm_setzero_si128();
    __m128i sum = zero, sq = zero;
    for (int j = 0; j < 16; ++j) {
        const __m128i v = load16(block);
        sum = _mm_add_epi64(sum, _mm_sad_epu8(v, zero));
        const __m128i lo = _mm_unpacklo_epi8(v, zero), hi = _mm_unpackhi_epi8(v, zero);
        sq = _mm_add_epi32(sq, _mm_add_epi32(_mm_madd_epi16(lo, lo), _mm_madd_epi16(hi, hi)));
        block += lx;
    }
    const int s = sadTotal(sum);
    return sum32(sq) - static_cast<int>((static_cast<int64_t>(s) * s) >> 8);
}

namespace {

// Lines r and r + 1 of an 8-wide block side by side.
inline __m128i twoLines(const uint8_t* p, int stride) {
    return _mm_unpacklo_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)),
                              _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p + stride)));
}

}  // namespace

int sad8x8Sse2(const uint8_t* a, const uint8_t* b, int stride) {
    __m128i s = _mm_setzero_si128();
    for (int r = 0; r < 8; r += 2) {
        const ptrdiff_t o = static_cast<ptrdiff_t>(r) * stride;
        s = _mm_add_epi64(s, _mm_sad_epu8(twoLines(a + o, stride), twoLines(b + o, stride)));
    }
    return sadTotal(s);
}

int sadAverage8x8Sse2(const uint8_t* cur, const uint8_t* p, const uint8_t* q, int stride) {
    __m128i s = _mm_setzero_si128();
    for (int r = 0; r < 8; r += 2) {
        const ptrdiff_t o = static_cast<ptrdiff_t>(r) * stride;
        // The byte average rounds up, as (p + q + 1) >> 1.
        const __m128i mean = _mm_avg_epu8(twoLines(p + o, stride), twoLines(q + o, stride));
        s = _mm_add_epi64(s, _mm_sad_epu8(twoLines(cur + o, stride), mean));
    }
    return sadTotal(s);
}

int squaredErrorSse2(const uint8_t* a, const uint8_t* b, int n) {
    const __m128i zero = _mm_setzero_si128();
    __m128i acc = _mm_setzero_si128();
    for (int i = 0; i < n; i += 16) {
        const __m128i va = load16(a + i), vb = load16(b + i);
        const __m128i lo = _mm_sub_epi16(_mm_unpacklo_epi8(va, zero), _mm_unpacklo_epi8(vb, zero));
        const __m128i hi = _mm_sub_epi16(_mm_unpackhi_epi8(va, zero), _mm_unpackhi_epi8(vb, zero));
        acc = _mm_add_epi32(acc, _mm_add_epi32(_mm_madd_epi16(lo, lo), _mm_madd_epi16(hi, hi)));
    }
    return sum32(acc);
}

int sadSubsampled4x4Sse2(const uint8_t* block, const uint8_t* ref, int stride, int limit) {
    int s = 0;
    for (int j = 0; j < 4; ++j) {
        int32_t a, b;
        std::memcpy(&a, block, 4);
        std::memcpy(&b, ref, 4);
        s += _mm_cvtsi128_si32(_mm_sad_epu8(_mm_cvtsi32_si128(a), _mm_cvtsi32_si128(b)));
        if (s >= limit) return s;
        block += stride;
        ref += stride;
    }
    return s;
}

void blockDifferenceSse2(const uint8_t* cur, const uint8_t* pred, int stride, int16_t* out) {
    const __m128i zero = _mm_setzero_si128();
    for (int r = 0; r < 8; ++r) {
        const __m128i c = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(cur));
        const __m128i p = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(pred));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 8 * r),
                         _mm_sub_epi16(_mm_unpacklo_epi8(c, zero), _mm_unpacklo_epi8(p, zero)));
        cur += stride;
        pred += stride;
    }
}

void blockReconstructSse2(const uint8_t* pred, const int16_t* block, int stride, uint8_t* out) {
    const __m128i zero = _mm_setzero_si128();
    for (int r = 0; r < 8; ++r) {
        const __m128i p = _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(pred)), zero);
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 8 * r));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm_packus_epi16(_mm_add_epi16(p, b), zero));
        pred += stride;
        out += stride;
    }
}

// ---- Frame input: colour conversion and chroma filters ----

namespace {

// madd of BGRA pixels widened to 16 bits against (blue, green), (red, 0)
// per pixel gives two partial sums a pixel; c is a matrix row in R, G, B
// order.
inline __m128i pixelCoefficients(const int c[3]) {
    const auto b = static_cast<int16_t>(c[2]), g = static_cast<int16_t>(c[1]), r = static_cast<int16_t>(c[0]);
    return _mm_setr_epi16(b, g, r, 0, b, g, r, 0);
}

// The weighted sums of four pixels (pixels 0 and 1 widened in lo, 2 and 3
// in hi): the even and odd partial sums added.
inline __m128i pixelSums(__m128i lo, __m128i hi, __m128i c) {
    const __m128 a = _mm_castsi128_ps(_mm_madd_epi16(lo, c));
    const __m128 b = _mm_castsi128_ps(_mm_madd_epi16(hi, c));
    return _mm_add_epi32(_mm_castps_si128(_mm_shuffle_ps(a, b, _MM_SHUFFLE(2, 0, 2, 0))),
                         _mm_castps_si128(_mm_shuffle_ps(a, b, _MM_SHUFFLE(3, 1, 3, 1))));
}

// ((s * 219) >> 8) + 0x84000) >> 15 and ((s * 224) >> 8) + 0x404000) >> 15
// with the products as shifts (219 = 256 - 32 - 4 - 1, 224 = 256 - 32):
// every product of a pixel's sum fits 32 bits, so they are exact.
inline __m128i lumaLevels(__m128i s) {
    const __m128i p = _mm_sub_epi32(_mm_sub_epi32(_mm_slli_epi32(s, 8), _mm_slli_epi32(s, 5)),
                                    _mm_add_epi32(_mm_slli_epi32(s, 2), s));
    return _mm_srai_epi32(_mm_add_epi32(_mm_srai_epi32(p, 8), _mm_set1_epi32(0x84000)), 15);
}
inline __m128i chromaLevels(__m128i s) {
    const __m128i p = _mm_sub_epi32(_mm_slli_epi32(s, 8), _mm_slli_epi32(s, 5));
    return _mm_srai_epi32(_mm_add_epi32(_mm_srai_epi32(p, 8), _mm_set1_epi32(0x404000)), 15);
}

// Eight levels (two vectors of four, all within 0..255) to eight bytes.
inline void storeLevels(uint8_t* out, __m128i a, __m128i b) {
    const __m128i w = _mm_packs_epi32(a, b);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm_packus_epi16(w, w));
}

// The floating sums of two pixels, in the plain routine's order: blue,
// then green, then red.
inline __m128d weightedSum(const double c[3], __m128d b, __m128d g, __m128d r) {
    return _mm_add_pd(_mm_add_pd(_mm_mul_pd(_mm_set1_pd(c[2]), b), _mm_mul_pd(_mm_set1_pd(c[1]), g)),
                      _mm_mul_pd(_mm_set1_pd(c[0]), r));
}

// truncate(s * scale + offset) of four pixels, the sums of two pairs; the
// values are positive, so truncation is the conversion's own.
inline __m128i truncatedLevels(__m128d s01, __m128d s23, double scale, double offset) {
    const __m128d k = _mm_set1_pd(scale), o = _mm_set1_pd(offset);
    return _mm_unpacklo_epi64(_mm_cvttpd_epi32(_mm_add_pd(_mm_mul_pd(s01, k), o)),
                              _mm_cvttpd_epi32(_mm_add_pd(_mm_mul_pd(s23, k), o)));
}

struct PixelChannels {
    __m128d b[2], g[2], r[2];  // pixels 0, 1 and 2, 3
};

inline PixelChannels channels(const uint8_t* px) {
    const __m128i p = load16(px);
    const __m128i mask = _mm_set1_epi32(0xFF);
    const __m128i b = _mm_and_si128(p, mask);
    const __m128i g = _mm_and_si128(_mm_srli_epi32(p, 8), mask);
    const __m128i r = _mm_and_si128(_mm_srli_epi32(p, 16), mask);
    PixelChannels c;
    c.b[0] = _mm_cvtepi32_pd(b);
    c.b[1] = _mm_cvtepi32_pd(_mm_shuffle_epi32(b, 0xEE));
    c.g[0] = _mm_cvtepi32_pd(g);
    c.g[1] = _mm_cvtepi32_pd(_mm_shuffle_epi32(g, 0xEE));
    c.r[0] = _mm_cvtepi32_pd(r);
    c.r[1] = _mm_cvtepi32_pd(_mm_shuffle_epi32(r, 0xEE));
    return c;
}

inline __m128i floatingLevels(const PixelChannels& c, const double m[3], double scale, double offset) {
    return truncatedLevels(weightedSum(m, c.b[0], c.g[0], c.r[0]), weightedSum(m, c.b[1], c.g[1], c.r[1]),
                           scale, offset);
}

// The horizontal filter reads a row widened to 16 bits, with its first
// sample repeated kLead times before it and its last sample kTrail times
// after it: every tap of every output vector (the spare outputs past the
// row's end included) then reads what the plain form's clamping reads.
constexpr int kLead = 8;
constexpr int kTrail = 40;

void widenRow(const uint8_t* in, int w, int16_t* line) {
    const __m128i zero = _mm_setzero_si128();
    for (int i = 0; i < kLead; ++i) line[i] = in[0];
    int16_t* body = line + kLead;
    int x = 0;
    for (; x + 16 <= w; x += 16) {
        const __m128i v = load16(in + x);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(body + x), _mm_unpacklo_epi8(v, zero));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(body + x + 8), _mm_unpackhi_epi8(v, zero));
    }
    for (; x < w; ++x) body[x] = in[x];
    for (int i = 0; i < kTrail; ++i) body[w + i] = in[w - 1];
}

// Taps t and t + 1 in the low and high halves of every 32-bit lane (a
// missing twelfth tap is 0).
void tapPairs(const int* taps, int count, __m128i pairs[6]) {
    for (int j = 0; j < 6; ++j) {
        const auto a = static_cast<int16_t>(taps[2 * j]);
        const auto b = static_cast<int16_t>(2 * j + 1 < count ? taps[2 * j + 1] : 0);
        pairs[j] = _mm_setr_epi16(a, b, a, b, a, b, a, b);
    }
}

// (sum + 256) >> 9 of four horizontal outputs, at the line position of the
// first one's first tap: lane i pairs the samples 2i + 2j and 2i + 2j + 1.
inline __m128i horizontalOutputs(const int16_t* at, const __m128i pairs[6]) {
    __m128i s = _mm_set1_epi32(256);
    for (int j = 0; j < 6; ++j)
        s = _mm_add_epi32(s, _mm_madd_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(at + 2 * j)),
                                            pairs[j]));
    return _mm_srai_epi32(s, 9);
}

// Sixteen columns of one vertical output: rows 2j and 2j + 1 interleaved
// sample by sample, so one madd weighs both.
inline void verticalColumns16(const uint8_t* const rows[12], const __m128i pairs[6], int x, uint8_t* out) {
    const __m128i zero = _mm_setzero_si128();
    __m128i s0 = _mm_set1_epi32(256), s1 = s0, s2 = s0, s3 = s0;
    for (int j = 0; j < 6; ++j) {
        const __m128i a = load16(rows[2 * j] + x), b = load16(rows[2 * j + 1] + x);
        const __m128i lo = _mm_unpacklo_epi8(a, b), hi = _mm_unpackhi_epi8(a, b);
        s0 = _mm_add_epi32(s0, _mm_madd_epi16(_mm_unpacklo_epi8(lo, zero), pairs[j]));
        s1 = _mm_add_epi32(s1, _mm_madd_epi16(_mm_unpackhi_epi8(lo, zero), pairs[j]));
        s2 = _mm_add_epi32(s2, _mm_madd_epi16(_mm_unpacklo_epi8(hi, zero), pairs[j]));
        s3 = _mm_add_epi32(s3, _mm_madd_epi16(_mm_unpackhi_epi8(hi, zero), pairs[j]));
    }
    const __m128i a = _mm_packs_epi32(_mm_srai_epi32(s0, 9), _mm_srai_epi32(s1, 9));
    const __m128i b = _mm_packs_epi32(_mm_srai_epi32(s2, 9), _mm_srai_epi32(s3, 9));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + x), _mm_packus_epi16(a, b));
}

inline void verticalColumns8(const uint8_t* const rows[12], const __m128i pairs[6], int x, uint8_t* out) {
    const __m128i zero = _mm_setzero_si128();
    __m128i s0 = _mm_set1_epi32(256), s1 = s0;
    for (int j = 0; j < 6; ++j) {
        const __m128i a = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(rows[2 * j] + x));
        const __m128i b = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(rows[2 * j + 1] + x));
        const __m128i lo = _mm_unpacklo_epi8(a, b);
        s0 = _mm_add_epi32(s0, _mm_madd_epi16(_mm_unpacklo_epi8(lo, zero), pairs[j]));
        s1 = _mm_add_epi32(s1, _mm_madd_epi16(_mm_unpackhi_epi8(lo, zero), pairs[j]));
    }
    const __m128i a = _mm_packs_epi32(_mm_srai_epi32(s0, 9), _mm_srai_epi32(s1, 9));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + x), _mm_packus_epi16(a, a));
}

}  // namespace

void convertRgbToYuvIntegerSse2(int matrixCoefficients, const uint8_t* topRow, int32_t rowBytes, int width,
                                int height, uint8_t* y, uint8_t* u, uint8_t* v, int stride) {
    const ColourMatrix& m = colourMatrix(matrixCoefficients);
    const __m128i cy = pixelCoefficients(m.iy), cu = pixelCoefficients(m.icb), cv = pixelCoefficients(m.icr);
    const __m128i zero = _mm_setzero_si128();
    const int vectorWidth = width > 0 ? width & ~7 : 0;
    for (int r = 0; r < height; ++r) {
        const uint8_t* px = topRow - static_cast<ptrdiff_t>(r) * rowBytes;
        uint8_t* yr = y + static_cast<size_t>(r) * stride;
        uint8_t* ur = u ? u + static_cast<size_t>(r) * stride : nullptr;
        uint8_t* vr = v ? v + static_cast<size_t>(r) * stride : nullptr;
        for (int x = 0; x < vectorWidth; x += 8, px += 32) {
            const __m128i p = load16(px), q = load16(px + 16);
            const __m128i p0 = _mm_unpacklo_epi8(p, zero), p1 = _mm_unpackhi_epi8(p, zero);
            const __m128i q0 = _mm_unpacklo_epi8(q, zero), q1 = _mm_unpackhi_epi8(q, zero);
            storeLevels(yr + x, lumaLevels(pixelSums(p0, p1, cy)), lumaLevels(pixelSums(q0, q1, cy)));
            if (ur) {
                storeLevels(ur + x, chromaLevels(pixelSums(p0, p1, cu)), chromaLevels(pixelSums(q0, q1, cu)));
                storeLevels(vr + x, chromaLevels(pixelSums(p0, p1, cv)), chromaLevels(pixelSums(q0, q1, cv)));
            }
        }
    }
    if (vectorWidth < width)
        convertRgbToYuvIntegerPlain(matrixCoefficients, topRow + 4 * static_cast<ptrdiff_t>(vectorWidth), rowBytes,
                                    width - vectorWidth, height, y + vectorWidth, u ? u + vectorWidth : nullptr,
                                    v ? v + vectorWidth : nullptr, stride);
}

void convertRgbToYuvFloatingSse2(int matrixCoefficients, const uint8_t* topRow, int32_t rowBytes, int width,
                                 int height, uint8_t* y, uint8_t* u, uint8_t* v, int stride) {
    const ColourMatrix& m = colourMatrix(matrixCoefficients);
    const int vectorWidth = width > 0 ? width & ~7 : 0;
    for (int r = 0; r < height; ++r) {
        const uint8_t* px = topRow - static_cast<ptrdiff_t>(r) * rowBytes;
        uint8_t* yr = y + static_cast<size_t>(r) * stride;
        uint8_t* ur = u ? u + static_cast<size_t>(r) * stride : nullptr;
        uint8_t* vr = v ? v + static_cast<size_t>(r) * stride : nullptr;
        for (int x = 0; x < vectorWidth; x += 8, px += 32) {
            const PixelChannels a = channels(px), b = channels(px + 16);
            storeLevels(yr + x, floatingLevels(a, m.y, 0.85546875, 16.5), floatingLevels(b, m.y, 0.85546875, 16.5));
            if (ur) {
                storeLevels(ur + x, floatingLevels(a, m.cb, 0.875, 128.5), floatingLevels(b, m.cb, 0.875, 128.5));
                storeLevels(vr + x, floatingLevels(a, m.cr, 0.875, 128.5), floatingLevels(b, m.cr, 0.875, 128.5));
            }
        }
    }
    if (vectorWidth < width)
        convertRgbToYuvFloatingPlain(matrixCoefficients, topRow + 4 * static_cast<ptrdiff_t>(vectorWidth), rowBytes,
                                     width - vectorWidth, height, y + vectorWidth, u ? u + vectorWidth : nullptr,
                                     v ? v + vectorWidth : nullptr, stride);
}

void filterHorizontalSse2(const uint8_t* clip, bool mpeg2, const uint8_t* src, uint8_t* dst, int w, int h) {
    const int outWidth = w / 2;
    if (outWidth <= 0 || h <= 0) return;
    int16_t* line = new (std::nothrow) int16_t[static_cast<size_t>(kLead + w + kTrail)];
    if (!line) {
        filterHorizontal(clip, mpeg2, src, dst, w, h);
        return;
    }
    __m128i pairs[6];
    if (mpeg2)
        tapPairs(kMpeg2HorizontalTaps, 11, pairs);
    else
        tapPairs(kMpeg1Taps, 12, pairs);
    // Output k's first tap sits on sample 2k - 5.
    const int16_t* first = line + kLead - 5;
    for (int r = 0; r < h; ++r) {
        widenRow(src + static_cast<size_t>(r) * w, w, line);
        uint8_t* out = dst + static_cast<size_t>(r) * outWidth;
        for (int k = 0; k < outWidth; k += 8) {
            const __m128i o = _mm_packs_epi32(horizontalOutputs(first + 2 * k, pairs),
                                              horizontalOutputs(first + 2 * k + 8, pairs));
            const __m128i bytes = _mm_packus_epi16(o, o);
            if (k + 8 <= outWidth) {
                _mm_storel_epi64(reinterpret_cast<__m128i*>(out + k), bytes);
            } else {
                uint8_t last[16];
                _mm_storeu_si128(reinterpret_cast<__m128i*>(last), bytes);
                std::memcpy(out + k, last, static_cast<size_t>(outWidth - k));
            }
        }
    }
    delete[] line;
}

void filterVerticalSse2(const uint8_t* clip, bool progressive, const uint8_t* src, uint8_t* dst, int w, int h) {
    const int outHeight = h / 2;
    for (int k = 0; k < outHeight; ++k) {
        int index[12];
        const int* taps = verticalFilterRows(progressive, k, h, index);
        const uint8_t* rows[12];
        for (int t = 0; t < 12; ++t) rows[t] = src + static_cast<size_t>(index[t]) * w;
        __m128i pairs[6];
        tapPairs(taps, 12, pairs);
        uint8_t* out = dst + static_cast<size_t>(k) * w;
        int x = 0;
        for (; x + 16 <= w; x += 16) verticalColumns16(rows, pairs, x, out);
        if (x + 8 <= w) {
            verticalColumns8(rows, pairs, x, out);
            x += 8;
        }
        for (; x < w; ++x) {
            int sum = 0;
            for (int t = 0; t < 12; ++t) sum += taps[t] * rows[t][x];
            out[x] = clip[(sum + 256) >> 9];
        }
    }
}

namespace {

// The reciprocal product of the fast quantiser on eight lanes: the high half
// of the signed product plus the rounding carry of the plain form.
inline __m128i scaledMultiply(__m128i t, __m128i r) {
    const __m128i hi = _mm_mulhi_epi16(t, r);
    const __m128i lo = _mm_mullo_epi16(t, r);
    const __m128i carry = _mm_srli_epi16(_mm_add_epi16(_mm_srli_epi16(lo, 1), _mm_srli_epi16(t, 1)), 15);
    return _mm_add_epi16(hi, carry);
}

}  // namespace

bool quantizeNonIntraBlockFastSse2(const int16_t* src, int16_t* dst, const uint16_t* matrix,
                                   const uint16_t* reciprocals, int mquant, bool mpeg2) {
    if (mquant <= 1) return quantizeNonIntraBlockSse2(src, dst, matrix, reciprocals, mquant, mpeg2);
    const __m128i limit = _mm_set1_epi16(static_cast<int16_t>(mpeg2 ? 2047 : 255));
    const __m128i m = _mm_set1_epi16(static_cast<int16_t>((65536 / mquant) & 0xFFFF));
    const __m128i zero = _mm_setzero_si128();
    const __m128i big = _mm_set1_epi16(1023), small = _mm_set1_epi16(-1023);
    __m128i bad = zero, nonZero = zero;
    __m128i levels[8];
    for (int g = 0; g < 8; ++g) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 8 * g));
        const __m128i w = _mm_loadu_si128(reinterpret_cast<const __m128i*>(matrix + 8 * g));
        const __m128i r = _mm_loadu_si128(reinterpret_cast<const __m128i*>(reciprocals + 8 * g));
        bad = _mm_or_si128(bad, _mm_or_si128(_mm_cmpgt_epi16(x, big), _mm_cmplt_epi16(x, small)));
        bad = _mm_or_si128(bad, _mm_cmpeq_epi16(r, zero));
        const __m128i negative = _mm_cmplt_epi16(x, zero);
        const __m128i a = _mm_sub_epi16(_mm_xor_si128(x, negative), negative);
        const __m128i t = _mm_add_epi16(_mm_slli_epi16(a, 5), _mm_srli_epi16(w, 1));
        const __m128i u = scaledMultiply(t, r);
        const __m128i level = _mm_srli_epi16(scaledMultiply(u, m), 1);
        bad = _mm_or_si128(bad, _mm_cmpgt_epi16(level, limit));
        nonZero = _mm_or_si128(nonZero, level);
        levels[g] = _mm_sub_epi16(_mm_xor_si128(level, negative), negative);
    }
    if (_mm_movemask_epi8(bad)) return quantizeNonIntraBlockSse2(src, dst, matrix, reciprocals, mquant, mpeg2);
    for (int g = 0; g < 8; ++g) _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 8 * g), levels[g]);
    return _mm_movemask_epi8(_mm_cmpeq_epi16(nonZero, zero)) != 0xFFFF;
}

// The exact non-intra quantiser with its divisions in doubles, two lanes a
// division: numerators stay below 2^21 and divisors below 2^16, so the
// rounded quotient never crosses the integer truncation gives. Levels are
// narrowed with saturation before the limit, which keeps the clamp whole.
bool quantizeNonIntraBlockSse2(const int16_t* src, int16_t* dst, const uint16_t* matrix, const uint16_t*,
                               int mquant, bool mpeg2) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i limit = _mm_set1_epi16(static_cast<int16_t>(mpeg2 ? 2047 : 255));
    const __m128d twiceQ = _mm_set1_pd(2.0 * mquant);
    __m128i any = zero;
    __m128i out[8];
    for (int g = 0; g < 8; ++g) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 8 * g));
        const __m128i w = _mm_loadu_si128(reinterpret_cast<const __m128i*>(matrix + 8 * g));
        const __m128i negative = _mm_cmplt_epi16(x, zero);
        // |x| as 32-bit lanes (|-32768| needs the widening first).
        const __m128i xLow = _mm_srai_epi32(_mm_unpacklo_epi16(x, x), 16);
        const __m128i xHigh = _mm_srai_epi32(_mm_unpackhi_epi16(x, x), 16);
        const __m128i sLow = _mm_srai_epi32(xLow, 31), sHigh = _mm_srai_epi32(xHigh, 31);
        const __m128i aLow = _mm_sub_epi32(_mm_xor_si128(xLow, sLow), sLow);
        const __m128i aHigh = _mm_sub_epi32(_mm_xor_si128(xHigh, sHigh), sHigh);
        const __m128i wLow = _mm_unpacklo_epi16(w, zero), wHigh = _mm_unpackhi_epi16(w, zero);
        const __m128i nLow = _mm_add_epi32(_mm_slli_epi32(aLow, 5), _mm_srli_epi32(wLow, 1));
        const __m128i nHigh = _mm_add_epi32(_mm_slli_epi32(aHigh, 5), _mm_srli_epi32(wHigh, 1));
        auto quotient = [&](__m128i n, __m128i d) {
            const __m128i q0 = _mm_cvttpd_epi32(
                _mm_div_pd(_mm_cvtepi32_pd(n), _mm_mul_pd(twiceQ, _mm_cvtepi32_pd(d))));
            const __m128i q1 = _mm_cvttpd_epi32(_mm_div_pd(_mm_cvtepi32_pd(_mm_srli_si128(n, 8)),
                                                           _mm_mul_pd(twiceQ, _mm_cvtepi32_pd(_mm_srli_si128(d, 8)))));
            return _mm_unpacklo_epi64(q0, q1);
        };
        __m128i level = _mm_packs_epi32(quotient(nLow, wLow), quotient(nHigh, wHigh));
        level = _mm_min_epi16(level, limit);
        any = _mm_or_si128(any, level);
        out[g] = _mm_sub_epi16(_mm_xor_si128(level, negative), negative);
    }
    for (int g = 0; g < 8; ++g) _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 8 * g), out[g]);
    return _mm_movemask_epi8(_mm_cmpeq_epi16(any, zero)) != 0xFFFF;
}

// ===========================================================================
// Per-block quantisation (video/quantize.cpp)
// ===========================================================================
// SSE2 has no 32-bit multiply-low and no 32-bit min/max, so these work in
// 16-bit lanes where the values allow it: products of two int16 come out
// whole from the low and high halves, and values are narrowed with
// saturation before a clamp whose bounds lie inside int16, which gives
// the clamp of the wide value.

namespace {

inline __m128i loadCoefficients(const int16_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
// Eight matrix weights widened to int16.
inline __m128i loadWeights(const uint8_t* p) {
    return _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)), _mm_setzero_si128());
}
inline __m128i widenLow(__m128i v16) { return _mm_srai_epi32(_mm_unpacklo_epi16(v16, v16), 16); }
inline __m128i widenHigh(__m128i v16) { return _mm_srai_epi32(_mm_unpackhi_epi16(v16, v16), 16); }

// v / 2^n rounded towards zero, as C division.
template <int N>
inline __m128i divideTowardsZero(__m128i v) {
    return _mm_srai_epi32(_mm_add_epi32(v, _mm_and_si128(_mm_srai_epi32(v, 31), _mm_set1_epi32((1 << N) - 1))), N);
}

// Narrows two groups of four inverse-quantised values with saturation, makes
// non-zero even values odd towards zero for MPEG-1, then clamps to
// -2048..2047. Saturation keeps both rules' outcome: a value past int16 is
// clamped anyway, whatever its parity.
inline __m128i finishCoefficients(__m128i lo, __m128i hi, bool mpeg2) {
    __m128i v = _mm_packs_epi32(lo, hi);
    if (!mpeg2) {
        const __m128i zero = _mm_setzero_si128();
        const __m128i even = _mm_cmpeq_epi16(_mm_and_si128(v, _mm_set1_epi16(1)), zero);
        v = _mm_add_epi16(v, _mm_and_si128(even, _mm_cmpgt_epi16(v, zero)));  // -1 above zero
        v = _mm_sub_epi16(v, _mm_and_si128(even, _mm_cmplt_epi16(v, zero)));  // +1 below
    }
    return _mm_min_epi16(_mm_max_epi16(v, _mm_set1_epi16(-2048)), _mm_set1_epi16(2047));
}

// MPEG-2 mismatch control from 16-bit lane sums (wrapping keeps the parity).
inline void mismatchControlSse2(int16_t* dst, __m128i sums) {
    if ((sum32(_mm_madd_epi16(sums, _mm_set1_epi16(1))) & 1) == 0) dst[63] = static_cast<int16_t>(dst[63] ^ 1);
}

}  // namespace

// w * mquant fits a signed 16-bit lane up to mquant 128 (the scale ends at 112).
void dequantizeIntraBlockSse2(const int16_t* src, int16_t* dst, int dcPrecision, const uint8_t* intraMatrix,
                              int mquant, bool mpeg2) {
    if (mquant < 0 || mquant > 128) return dequantizeIntraBlock(src, dst, dcPrecision, intraMatrix, mquant, mpeg2);
    const int16_t dc = static_cast<int16_t>(src[0] * (1 << (3 - dcPrecision)));
    const __m128i m = _mm_set1_epi16(static_cast<int16_t>(mquant));
    __m128i sums = _mm_setzero_si128();
    for (int i = 0; i < 64; i += 8) {
        const __m128i level = loadCoefficients(src + i);
        const __m128i wm = _mm_mullo_epi16(loadWeights(intraMatrix + i), m);
        const __m128i lo = _mm_mullo_epi16(level, wm), hi = _mm_mulhi_epi16(level, wm);
        __m128i v = finishCoefficients(divideTowardsZero<4>(_mm_unpacklo_epi16(lo, hi)),
                                       divideTowardsZero<4>(_mm_unpackhi_epi16(lo, hi)), mpeg2);
        if (i == 0) v = _mm_insert_epi16(v, dc, 0);  // own scale, no saturation
        sums = _mm_add_epi16(sums, v);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), v);
    }
    if (mpeg2) mismatchControlSse2(dst, sums);
}

// (2 level + sign) w mquant as 2 (level w mquant) + sign (w mquant): the
// first product is whole in 32 bits, the second fits int16.
void dequantizeNonIntraBlockSse2(const int16_t* src, int16_t* dst, const uint8_t* matrix, int mquant, bool mpeg2) {
    if (mquant < 0 || mquant > 128) return dequantizeNonIntraBlock(src, dst, matrix, mquant, mpeg2);
    const __m128i m = _mm_set1_epi16(static_cast<int16_t>(mquant)), zero = _mm_setzero_si128();
    __m128i sums = zero;
    for (int i = 0; i < 64; i += 8) {
        const __m128i level = loadCoefficients(src + i);
        const __m128i wm = _mm_mullo_epi16(loadWeights(matrix + i), m);
        const __m128i lo = _mm_mullo_epi16(level, wm), hi = _mm_mulhi_epi16(level, wm);
        const __m128i negative = _mm_srai_epi16(level, 15);
        const __m128i signedWm = _mm_andnot_si128(_mm_cmpeq_epi16(level, zero),
                                                  _mm_sub_epi16(_mm_xor_si128(wm, negative), negative));
        auto value = [](__m128i product, __m128i term) {
            return divideTowardsZero<5>(_mm_add_epi32(_mm_slli_epi32(product, 1), term));
        };
        const __m128i v = finishCoefficients(value(_mm_unpacklo_epi16(lo, hi), widenLow(signedWm)),
                                             value(_mm_unpackhi_epi16(lo, hi), widenHigh(signedWm)), mpeg2);
        sums = _mm_add_epi16(sums, v);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), v);
    }
    if (mpeg2) mismatchControlSse2(dst, sums);
}

// Both divisions in single precision, exact because the numerators stay
// below 2^24 (see the AVX2 form); the levels are narrowed with saturation
// before the limit, which lies inside int16.
bool quantizeIntraBlockSse2(const int16_t* src, int16_t* dst, int dcPrecision, const uint8_t* intraMatrix,
                            int mquant, bool mpeg2) {
    const int d = 8 >> dcPrecision;
    const int h = d / 2;
    const int x0 = src[0];
    const int16_t dc = static_cast<int16_t>(x0 >= 0 ? (x0 + h) / d : -((h - x0) / d));
    const __m128i offset = _mm_set1_epi32((3 * mquant + 2) / 4);
    const __m128 step = _mm_set1_ps(static_cast<float>(2 * mquant));
    const __m128i limit = _mm_set1_epi16(static_cast<int16_t>(mpeg2 ? 2047 : 255));
    const __m128i big = _mm_set1_epi16(255), zero = _mm_setzero_si128();
    __m128i over = zero;
    auto levels = [&](__m128i x, __m128i w) {
        const __m128i negative = _mm_srai_epi32(x, 31);
        const __m128i a = _mm_sub_epi32(_mm_xor_si128(x, negative), negative);
        const __m128i n = _mm_add_epi32(_mm_slli_epi32(a, 5), _mm_srli_epi32(w, 1));
        const __m128i q = _mm_cvttps_epi32(_mm_div_ps(_mm_cvtepi32_ps(n), _mm_cvtepi32_ps(w)));
        return _mm_cvttps_epi32(_mm_div_ps(_mm_cvtepi32_ps(_mm_add_epi32(q, offset)), step));
    };
    for (int i = 0; i < 64; i += 8) {
        const __m128i x = loadCoefficients(src + i);
        const __m128i w = loadWeights(intraMatrix + i);
        __m128i level = _mm_packs_epi32(levels(widenLow(x), _mm_unpacklo_epi16(w, zero)),
                                        levels(widenHigh(x), _mm_unpackhi_epi16(w, zero)));
        __m128i tooBig = _mm_cmpgt_epi16(level, big);
        if (i == 0) tooBig = _mm_insert_epi16(tooBig, 0, 0);  // not the DC
        over = _mm_or_si128(over, tooBig);
        level = _mm_min_epi16(level, limit);
        const __m128i negative = _mm_srai_epi16(x, 15);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), _mm_sub_epi16(_mm_xor_si128(level, negative), negative));
    }
    dst[0] = dc;
    return _mm_movemask_epi8(over) == 0;
}

// Prediction copies of 16- and 8-sample areas.
namespace {

template <int W>
inline __m128i load(const uint8_t* p) {
    if constexpr (W == 16)
        return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    else
        return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p));
}

template <int W>
inline void store(uint8_t* p, __m128i v) {
    if constexpr (W == 16)
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
    else
        _mm_storel_epi64(reinterpret_cast<__m128i*>(p), v);
}

template <int W, bool Average>
void copy(const uint8_t* s, uint8_t* d, int lx, int dlx, int h, int hx, int hy) {
    for (int j = 0; j < h; ++j, s += lx, d += dlx) {
        __m128i v;
        if (!hx && !hy)
            v = load<W>(s);
        else if (!hy)
            v = _mm_avg_epu8(load<W>(s), load<W>(s + 1));
        else if (!hx)
            v = _mm_avg_epu8(load<W>(s), load<W>(s + lx));
        else
            v = average4(load<W>(s), load<W>(s + 1), load<W>(s + lx), load<W>(s + lx + 1));
        if constexpr (Average) v = _mm_avg_epu8(load<W>(d), v);
        store<W>(d, v);
    }
}

}  // namespace

// The prediction copy: byte averages round up like the plain
// (a + b + c + d + 2) >> 2 and (a + b + 1) >> 1, so every byte is the
// plain copy's.
void copyAreaSse2(const uint8_t* s, uint8_t* d, int lx, int dlx, int w, int h, int hx, int hy, bool average) {
    if (w == 16)
        average ? copy<16, true>(s, d, lx, dlx, h, hx, hy) : copy<16, false>(s, d, lx, dlx, h, hx, hy);
    else
        average ? copy<8, true>(s, d, lx, dlx, h, hx, hy) : copy<8, false>(s, d, lx, dlx, h, hx, hy);
}

uint64_t nonzeroMaskSse2(const int16_t* block) {
    const __m128i zero = _mm_setzero_si128();
    uint64_t zeros = 0;
    for (int i = 0; i < 4; ++i) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 16 * i));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 16 * i + 8));
        // 0xFFFF per zero coefficient, packed to one byte each (saturation
        // keeps -1 as 0xFF and 0 as 0).
        const __m128i z = _mm_packs_epi16(_mm_cmpeq_epi16(a, zero), _mm_cmpeq_epi16(b, zero));
        zeros |= static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(z))) << (16 * i);
    }
    return ~zeros;
}

}  // namespace quillon

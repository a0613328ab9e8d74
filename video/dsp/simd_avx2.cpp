// AVX2 forms; compiled with -mavx2 and chosen only when the processor has
// it. A line of 16 samples is widened to sixteen 16-bit lanes, so the
// four-sample averages need no unpacking; the integer and two-sample cases
// are byte-wide and shared with the SSE2 forms.
#include <immintrin.h>

#include <cstddef>
#include <initializer_list>
#include <new>

#include "video/dsp/dct.h"
#include "video/dsp/frame_conversion.h"
#include "video/dsp/quantize.h"
#include "video/dsp/simd_routines.h"

namespace quillon {

namespace {

inline __m256i widen(const uint8_t* p) {
    return _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
}

// (a + b + c + d + 2) >> 2 on sixteen 16-bit lanes.
inline __m256i average4(const uint8_t* a, const uint8_t* b, const uint8_t* c, const uint8_t* d) {
    const __m256i s = _mm256_add_epi16(_mm256_add_epi16(widen(a), widen(b)), _mm256_add_epi16(widen(c), widen(d)));
    return _mm256_srli_epi16(_mm256_add_epi16(s, _mm256_set1_epi16(2)), 2);
}

// Lines p and p + lx in the two halves.
inline __m256i pairOf(const uint8_t* p, int lx) {
    const __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + lx));
    return _mm256_inserti128_si256(_mm256_castsi128_si256(lo), hi, 1);
}

// (a + b + c + d + 2) >> 2 byte-wide: with p and q the rounded-up pair
// averages, (p + q + 1) >> 1 is one too high exactly when p + q is odd and
// a pair's sum was odd.
inline __m256i average4Bytes(__m256i a, __m256i b, __m256i c, __m256i d) {
    const __m256i p = _mm256_avg_epu8(a, b), q = _mm256_avg_epu8(c, d);
    const __m256i odd = _mm256_or_si256(_mm256_xor_si256(a, b), _mm256_xor_si256(c, d));
    const __m256i over = _mm256_and_si256(_mm256_and_si256(odd, _mm256_xor_si256(p, q)), _mm256_set1_epi8(1));
    return _mm256_sub_epi8(_mm256_avg_epu8(p, q), over);
}

inline int sum32(__m256i v) {
    __m128i x = _mm_add_epi32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
    x = _mm_add_epi32(x, _mm_shuffle_epi32(x, 0x4E));
    x = _mm_add_epi32(x, _mm_shuffle_epi32(x, 0xB1));
    return _mm_cvtsi128_si32(x);
}

// |p - c| and (p - c)^2 summed in pairs into 32-bit lanes.
inline __m256i absSums(__m256i p, __m256i c) {
    return _mm256_madd_epi16(_mm256_abs_epi16(_mm256_sub_epi16(p, c)), _mm256_set1_epi16(1));
}
inline __m256i squareSums(__m256i p, __m256i c) {
    const __m256i d = _mm256_sub_epi16(p, c);
    return _mm256_madd_epi16(d, d);
}

struct Bidirectional {
    const uint8_t *fa, *fb, *fc, *fd, *ba, *bb, *bc, *bd;
    Bidirectional(const uint8_t* refF, int hxf, int hyf, const uint8_t* refB, int hxb, int hyb, int lx)
        : fa(refF), fb(refF + (hxf ? 1 : 0)), fc(refF + (hyf ? lx : 0)), fd(fc + (hxf ? 1 : 0)),
          ba(refB), bb(refB + (hxb ? 1 : 0)), bc(refB + (hyb ? lx : 0)), bd(bc + (hxb ? 1 : 0)) {}
    __m256i line() const {
        return _mm256_avg_epu16(average4(fa, fb, fc, fd), average4(ba, bb, bc, bd));
    }
    void next(int lx) {
        fa += lx; fb += lx; fc += lx; fd += lx;
        ba += lx; bb += lx; bc += lx; bd += lx;
    }
};

}  // namespace

// ---- Frame input: colour conversion and chroma filters ----
// Nothing here may use an inline function of a header (std::min, a
// container): the linker could pick this file's AVX2 copy for callers on a
// processor without AVX2.

namespace {

inline __m256i load32(const uint8_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }

// madd of BGRA pixels widened to 16 bits against (blue, green), (red, 0)
// per pixel gives two partial sums a pixel; c is a matrix row in R, G, B
// order.
inline __m256i pixelCoefficients(const int c[3]) {
    const auto b = static_cast<int16_t>(c[2]), g = static_cast<int16_t>(c[1]), r = static_cast<int16_t>(c[0]);
    return _mm256_setr_epi16(b, g, r, 0, b, g, r, 0, b, g, r, 0, b, g, r, 0);
}

// The weighted sums of eight pixels in order; lo and hi are the byte
// unpacks of the eight (pixels 0, 1 | 4, 5 and 2, 3 | 6, 7).
inline __m256i pixelSums(__m256i lo, __m256i hi, __m256i c) {
    return _mm256_hadd_epi32(_mm256_madd_epi16(lo, c), _mm256_madd_epi16(hi, c));
}

// The integer routine's levels, the products as shifts (219 = 256 - 32 - 4
// - 1, 224 = 256 - 32); every product of a pixel's sum fits 32 bits.
inline __m256i lumaLevels(__m256i s) {
    const __m256i p = _mm256_sub_epi32(_mm256_sub_epi32(_mm256_slli_epi32(s, 8), _mm256_slli_epi32(s, 5)),
                                       _mm256_add_epi32(_mm256_slli_epi32(s, 2), s));
    return _mm256_srai_epi32(_mm256_add_epi32(_mm256_srai_epi32(p, 8), _mm256_set1_epi32(0x84000)), 15);
}
inline __m256i chromaLevels(__m256i s) {
    const __m256i p = _mm256_sub_epi32(_mm256_slli_epi32(s, 8), _mm256_slli_epi32(s, 5));
    return _mm256_srai_epi32(_mm256_add_epi32(_mm256_srai_epi32(p, 8), _mm256_set1_epi32(0x404000)), 15);
}

// Sixteen levels (pixels 0..7 in a, 8..15 in b, all within 0..255) to
// sixteen bytes: the lane-wise pack gives 0-3 8-11 | 4-7 12-15, the
// permute puts the quarters back in order.
inline void storeLevels16(uint8_t* out, __m256i a, __m256i b) {
    const __m256i w = _mm256_permute4x64_epi64(_mm256_packs_epi32(a, b), 0xD8);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out),
                     _mm_packus_epi16(_mm256_castsi256_si128(w), _mm256_extracti128_si256(w, 1)));
}

// The floating sums of four pixels, in the plain routine's order: blue,
// then green, then red.
inline __m256d weightedSum(const double c[3], __m256d b, __m256d g, __m256d r) {
    return _mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(_mm256_set1_pd(c[2]), b), _mm256_mul_pd(_mm256_set1_pd(c[1]), g)),
                         _mm256_mul_pd(_mm256_set1_pd(c[0]), r));
}

struct PixelChannels {
    __m256d b[2], g[2], r[2];  // pixels 0..3 and 4..7
};

inline PixelChannels channels(const uint8_t* px) {
    const __m256i p = load32(px);
    const __m256i mask = _mm256_set1_epi32(0xFF);
    const __m256i b = _mm256_and_si256(p, mask);
    const __m256i g = _mm256_and_si256(_mm256_srli_epi32(p, 8), mask);
    const __m256i r = _mm256_and_si256(_mm256_srli_epi32(p, 16), mask);
    PixelChannels c;
    c.b[0] = _mm256_cvtepi32_pd(_mm256_castsi256_si128(b));
    c.b[1] = _mm256_cvtepi32_pd(_mm256_extracti128_si256(b, 1));
    c.g[0] = _mm256_cvtepi32_pd(_mm256_castsi256_si128(g));
    c.g[1] = _mm256_cvtepi32_pd(_mm256_extracti128_si256(g, 1));
    c.r[0] = _mm256_cvtepi32_pd(_mm256_castsi256_si128(r));
    c.r[1] = _mm256_cvtepi32_pd(_mm256_extracti128_si256(r, 1));
    return c;
}

// truncate(sum * scale + offset) of eight pixels to eight bytes; the values
// are positive and within 0..255, so truncation and the packs are the
// conversion's own.
inline void storeFloatingLevels(uint8_t* out, const PixelChannels& c, const double m[3], double scale,
                                double offset) {
    const __m256d k = _mm256_set1_pd(scale), o = _mm256_set1_pd(offset);
    const __m128i a = _mm256_cvttpd_epi32(_mm256_add_pd(_mm256_mul_pd(weightedSum(m, c.b[0], c.g[0], c.r[0]), k), o));
    const __m128i b = _mm256_cvttpd_epi32(_mm256_add_pd(_mm256_mul_pd(weightedSum(m, c.b[1], c.g[1], c.r[1]), k), o));
    const __m128i w = _mm_packs_epi32(a, b);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm_packus_epi16(w, w));
}

// The horizontal filter's widened row: its first sample repeated kLead
// times before it, its last kTrail times after it, so that every tap of
// every output vector (the spare outputs past the row's end included)
// reads what the plain form's clamping reads.
constexpr int kLead = 8;
constexpr int kTrail = 40;

void widenRow(const uint8_t* in, int w, int16_t* line) {
    for (int i = 0; i < kLead; ++i) line[i] = in[0];
    int16_t* body = line + kLead;
    int x = 0;
    for (; x + 16 <= w; x += 16)
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(body + x),
                            _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in + x))));
    for (; x < w; ++x) body[x] = in[x];
    for (int i = 0; i < kTrail; ++i) body[w + i] = in[w - 1];
}

// Taps t and t + 1 in the low and high halves of every 32-bit lane (a
// missing twelfth tap is 0).
void tapPairs(const int* taps, int count, __m256i pairs[6]) {
    for (int j = 0; j < 6; ++j) {
        const int a = taps[2 * j] & 0xFFFF, b = 2 * j + 1 < count ? taps[2 * j + 1] : 0;
        pairs[j] = _mm256_set1_epi32(static_cast<int>(static_cast<uint32_t>(b) << 16 | static_cast<uint32_t>(a)));
    }
}

// (sum + 256) >> 9 of eight horizontal outputs, from the line position of
// the first one's first tap.
inline __m256i horizontalOutputs(const int16_t* at, const __m256i pairs[6]) {
    __m256i s = _mm256_set1_epi32(256);
    for (int j = 0; j < 6; ++j)
        s = _mm256_add_epi32(s, _mm256_madd_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(at + 2 * j)),
                                                  pairs[j]));
    return _mm256_srai_epi32(s, 9);
}

// Thirty-two columns of one vertical output: rows 2j and 2j + 1
// interleaved sample by sample, so one madd weighs both. Lane by lane the
// four sums hold columns 0-3 | 16-19, 4-7 | 20-23, 8-11 | 24-27 and
// 12-15 | 28-31, which the two packs put back in order.
inline void verticalColumns32(const uint8_t* const rows[12], const __m256i pairs[6], int x, uint8_t* out) {
    const __m256i zero = _mm256_setzero_si256();
    __m256i s0 = _mm256_set1_epi32(256), s1 = s0, s2 = s0, s3 = s0;
    for (int j = 0; j < 6; ++j) {
        const __m256i a = load32(rows[2 * j] + x), b = load32(rows[2 * j + 1] + x);
        const __m256i lo = _mm256_unpacklo_epi8(a, b), hi = _mm256_unpackhi_epi8(a, b);
        s0 = _mm256_add_epi32(s0, _mm256_madd_epi16(_mm256_unpacklo_epi8(lo, zero), pairs[j]));
        s1 = _mm256_add_epi32(s1, _mm256_madd_epi16(_mm256_unpackhi_epi8(lo, zero), pairs[j]));
        s2 = _mm256_add_epi32(s2, _mm256_madd_epi16(_mm256_unpacklo_epi8(hi, zero), pairs[j]));
        s3 = _mm256_add_epi32(s3, _mm256_madd_epi16(_mm256_unpackhi_epi8(hi, zero), pairs[j]));
    }
    const __m256i a = _mm256_packs_epi32(_mm256_srai_epi32(s0, 9), _mm256_srai_epi32(s1, 9));
    const __m256i b = _mm256_packs_epi32(_mm256_srai_epi32(s2, 9), _mm256_srai_epi32(s3, 9));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + x), _mm256_packus_epi16(a, b));
}

// Eight columns, for the end of a line: widened rows, pairs interleaved.
inline void verticalColumns8(const uint8_t* const rows[12], const __m256i pairs[6], int x, uint8_t* out) {
    __m256i s = _mm256_set1_epi32(256);
    for (int j = 0; j < 6; ++j) {
        const __m128i a = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(rows[2 * j] + x));
        const __m128i b = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(rows[2 * j + 1] + x));
        s = _mm256_add_epi32(s, _mm256_madd_epi16(_mm256_cvtepu8_epi16(_mm_unpacklo_epi8(a, b)), pairs[j]));
    }
    s = _mm256_srai_epi32(s, 9);
    const __m128i w = _mm_packs_epi32(_mm256_castsi256_si128(s), _mm256_extracti128_si256(s, 1));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + x), _mm_packus_epi16(w, w));
}

}  // namespace

void convertRgbToYuvIntegerAvx2(int matrixCoefficients, const uint8_t* topRow, int32_t rowBytes, int width,
                                int height, uint8_t* y, uint8_t* u, uint8_t* v, int stride) {
    const ColourMatrix& m = colourMatrix(matrixCoefficients);
    const __m256i cy = pixelCoefficients(m.iy), cu = pixelCoefficients(m.icb), cv = pixelCoefficients(m.icr);
    const __m256i zero = _mm256_setzero_si256();
    const int vectorWidth = width > 0 ? width & ~15 : 0;
    for (int r = 0; r < height; ++r) {
        const uint8_t* px = topRow - static_cast<ptrdiff_t>(r) * rowBytes;
        uint8_t* yr = y + static_cast<size_t>(r) * stride;
        uint8_t* ur = u ? u + static_cast<size_t>(r) * stride : nullptr;
        uint8_t* vr = v ? v + static_cast<size_t>(r) * stride : nullptr;
        for (int x = 0; x < vectorWidth; x += 16, px += 64) {
            const __m256i p = load32(px), q = load32(px + 32);
            const __m256i p0 = _mm256_unpacklo_epi8(p, zero), p1 = _mm256_unpackhi_epi8(p, zero);
            const __m256i q0 = _mm256_unpacklo_epi8(q, zero), q1 = _mm256_unpackhi_epi8(q, zero);
            storeLevels16(yr + x, lumaLevels(pixelSums(p0, p1, cy)), lumaLevels(pixelSums(q0, q1, cy)));
            if (ur) {
                storeLevels16(ur + x, chromaLevels(pixelSums(p0, p1, cu)), chromaLevels(pixelSums(q0, q1, cu)));
                storeLevels16(vr + x, chromaLevels(pixelSums(p0, p1, cv)), chromaLevels(pixelSums(q0, q1, cv)));
            }
        }
    }
    if (vectorWidth < width)
        convertRgbToYuvIntegerPlain(matrixCoefficients, topRow + 4 * static_cast<ptrdiff_t>(vectorWidth), rowBytes,
                                    width - vectorWidth, height, y + vectorWidth, u ? u + vectorWidth : nullptr,
                                    v ? v + vectorWidth : nullptr, stride);
}

void convertRgbToYuvFloatingAvx2(int matrixCoefficients, const uint8_t* topRow, int32_t rowBytes, int width,
                                 int height, uint8_t* y, uint8_t* u, uint8_t* v, int stride) {
    const ColourMatrix& m = colourMatrix(matrixCoefficients);
    const int vectorWidth = width > 0 ? width & ~7 : 0;
    for (int r = 0; r < height; ++r) {
        const uint8_t* px = topRow - static_cast<ptrdiff_t>(r) * rowBytes;
        uint8_t* yr = y + static_cast<size_t>(r) * stride;
        uint8_t* ur = u ? u + static_cast<size_t>(r) * stride : nullptr;
        uint8_t* vr = v ? v + static_cast<size_t>(r) * stride : nullptr;
        for (int x = 0; x < vectorWidth; x += 8, px += 32) {
            const PixelChannels c = channels(px);
            storeFloatingLevels(yr + x, c, m.y, 0.85546875, 16.5);
            if (ur) {
                storeFloatingLevels(ur + x, c, m.cb, 0.875, 128.5);
                storeFloatingLevels(vr + x, c, m.cr, 0.875, 128.5);
            }
        }
    }
    if (vectorWidth < width)
        convertRgbToYuvFloatingPlain(matrixCoefficients, topRow + 4 * static_cast<ptrdiff_t>(vectorWidth), rowBytes,
                                     width - vectorWidth, height, y + vectorWidth, u ? u + vectorWidth : nullptr,
                                     v ? v + vectorWidth : nullptr, stride);
}

void filterHorizontalAvx2(const uint8_t* clip, bool mpeg2, const uint8_t* src, uint8_t* dst, int w, int h) {
    const int outWidth = w / 2;
    if (outWidth <= 0 || h <= 0) return;
    int16_t* line = new (std::nothrow) int16_t[static_cast<size_t>(kLead + w + kTrail)];
    if (!line) {
        filterHorizontal(clip, mpeg2, src, dst, w, h);
        return;
    }
    __m256i pairs[6];
    if (mpeg2)
        tapPairs(kMpeg2HorizontalTaps, 11, pairs);
    else
        tapPairs(kMpeg1Taps, 12, pairs);
    // Output k's first tap sits on sample 2k - 5.
    const int16_t* first = line + kLead - 5;
    for (int r = 0; r < h; ++r) {
        widenRow(src + static_cast<size_t>(r) * w, w, line);
        uint8_t* out = dst + static_cast<size_t>(r) * outWidth;
        for (int k = 0; k < outWidth; k += 16) {
            // Outputs k..k+7 and k+8..k+15, packed lane by lane and put
            // back in order by the permute.
            const __m256i o = _mm256_permute4x64_epi64(
                _mm256_packs_epi32(horizontalOutputs(first + 2 * k, pairs), horizontalOutputs(first + 2 * k + 16, pairs)),
                0xD8);
            const __m128i bytes = _mm_packus_epi16(_mm256_castsi256_si128(o), _mm256_extracti128_si256(o, 1));
            if (k + 16 <= outWidth) {
                _mm_storeu_si128(reinterpret_cast<__m128i*>(out + k), bytes);
            } else {
                uint8_t last[16];
                _mm_storeu_si128(reinterpret_cast<__m128i*>(last), bytes);
                for (int i = 0; i < outWidth - k; ++i) out[k + i] = last[i];
            }
        }
    }
    delete[] line;
}

void filterVerticalAvx2(const uint8_t* clip, bool progressive, const uint8_t* src, uint8_t* dst, int w, int h) {
    const int outHeight = h / 2;
    for (int k = 0; k < outHeight; ++k) {
        int index[12];
        const int* taps = verticalFilterRows(progressive, k, h, index);
        const uint8_t* rows[12];
        for (int t = 0; t < 12; ++t) rows[t] = src + static_cast<size_t>(index[t]) * w;
        __m256i pairs[6];
        tapPairs(taps, 12, pairs);
        uint8_t* out = dst + static_cast<size_t>(k) * w;
        int x = 0;
        for (; x + 32 <= w; x += 32) verticalColumns32(rows, pairs, x, out);
        for (; x + 8 <= w; x += 8) verticalColumns8(rows, pairs, x, out);
        for (; x < w; ++x) {
            int sum = 0;
            for (int t = 0; t < 12; ++t) sum += taps[t] * rows[t][x];
            out[x] = clip[(sum + 256) >> 9];
        }
    }
}

int sadHalfPelAvx2(const uint8_t* ref, const uint8_t* cur, int lx, int hx, int hy, int h, int limit) {
    if (!hx && !hy) return sadHalfPelSse2(ref, cur, lx, hx, hy, h, limit);
    // Two lines to a register; the averages byte-wide as in average4Bytes.
    const uint8_t* right = ref + (hx ? 1 : 0);
    const uint8_t* below = ref + (hy ? lx : 0);
    const uint8_t* diag = below + (hx ? 1 : 0);
    const ptrdiff_t step = 2 * static_cast<ptrdiff_t>(lx);
    __m256i acc = _mm256_setzero_si256();
    for (int j = 0; j < h; j += 2) {
        const __m256i p = hx && hy ? average4Bytes(pairOf(ref, lx), pairOf(right, lx), pairOf(below, lx), pairOf(diag, lx))
                                   : _mm256_avg_epu8(pairOf(ref, lx), pairOf(hx ? right : below, lx));
        acc = _mm256_add_epi64(acc, _mm256_sad_epu8(p, pairOf(cur, lx)));
        ref += step;
        right += step;
        below += step;
        diag += step;
        cur += step;
    }
    const __m128i x = _mm_add_epi64(_mm256_castsi256_si128(acc), _mm256_extracti128_si256(acc, 1));
    return _mm_cvtsi128_si32(x) + _mm_cvtsi128_si32(_mm_unpackhi_epi64(x, x));
}

void halfSampleNineAvx2(const uint8_t* ref, const uint8_t* cur, int lx, int h, int out[9]) {
    // The nine positions read the same three columns (ix - 1, ix, ix + 1)
    // of lines iy - 1 .. iy + h: each line pair is loaded once and every
    // average made once, where nine separate calls load it up to twelve
    // times. Line pairs (k, k + 1) of one step are those (k - 2, k - 1) of
    // the next, so they carry over.
    const ptrdiff_t line = lx;
    const uint8_t* p = ref - line - 1;
    __m256i a0 = pairOf(p, lx), b0 = pairOf(p + 1, lx), c0 = pairOf(p + 2, lx);
    __m256i acc[9];
    for (__m256i& v : acc) v = _mm256_setzero_si256();
    for (int j = 0; j < h; j += 2) {
        const uint8_t* q = ref + line * j - 1;
        const __m256i a1 = pairOf(q, lx), b1 = pairOf(q + 1, lx), c1 = pairOf(q + 2, lx);
        const __m256i a2 = pairOf(q + line, lx), b2 = pairOf(q + line + 1, lx), c2 = pairOf(q + line + 2, lx);
        const __m256i c = pairOf(cur + line * j, lx);
        acc[0] = _mm256_add_epi64(acc[0], _mm256_sad_epu8(average4Bytes(a0, b0, a1, b1), c));
        acc[1] = _mm256_add_epi64(acc[1], _mm256_sad_epu8(_mm256_avg_epu8(b0, b1), c));
        acc[2] = _mm256_add_epi64(acc[2], _mm256_sad_epu8(average4Bytes(b0, c0, b1, c1), c));
        acc[3] = _mm256_add_epi64(acc[3], _mm256_sad_epu8(_mm256_avg_epu8(a1, b1), c));
        acc[4] = _mm256_add_epi64(acc[4], _mm256_sad_epu8(b1, c));
        acc[5] = _mm256_add_epi64(acc[5], _mm256_sad_epu8(_mm256_avg_epu8(b1, c1), c));
        acc[6] = _mm256_add_epi64(acc[6], _mm256_sad_epu8(average4Bytes(a1, b1, a2, b2), c));
        acc[7] = _mm256_add_epi64(acc[7], _mm256_sad_epu8(_mm256_avg_epu8(b1, b2), c));
        acc[8] = _mm256_add_epi64(acc[8], _mm256_sad_epu8(average4Bytes(b1, c1, b2, c2), c));
        a0 = a2;
        b0 = b2;
        c0 = c2;
    }
    for (int k = 0; k < 9; ++k) {
        const __m128i x = _mm_add_epi64(_mm256_castsi256_si128(acc[k]), _mm256_extracti128_si256(acc[k], 1));
        out[k] = _mm_cvtsi128_si32(x) + _mm_cvtsi128_si32(_mm_unpackhi_epi64(x, x));
    }
}

int sseHalfPelAvx2(const uint8_t* ref, const uint8_t* cur, int lx, int hx, int hy, int h) {
    const uint8_t* right = ref + (hx ? 1 : 0);
    const uint8_t* below = ref + (hy ? lx : 0);
    const uint8_t* diag = below + (hx ? 1 : 0);
    __m256i acc = _mm256_setzero_si256();
    for (int j = 0; j < h; ++j) {
        // Repeated neighbours make every case a four-sample average:
        // (2a + 2b + 2) >> 2 is (a + b + 1) >> 1, and (4a + 2) >> 2 is a.
        acc = _mm256_add_epi32(acc, squareSums(average4(ref, right, below, diag), widen(cur)));
        ref += lx;
        right += lx;
        below += lx;
        diag += lx;
        cur += lx;
    }
    return sum32(acc);
}

int sadBidirectionalAvx2(const uint8_t* refF, int hxf, int hyf, const uint8_t* refB, int hxb, int hyb,
                         const uint8_t* cur, int lx, int h) {
    Bidirectional p(refF, hxf, hyf, refB, hxb, hyb, lx);
    __m256i acc = _mm256_setzero_si256();
    for (int j = 0; j < h; ++j) {
        acc = _mm256_add_epi32(acc, absSums(p.line(), widen(cur)));
        p.next(lx);
        cur += lx;
    }
    return sum32(acc);
}

int sseBidirectionalAvx2(const uint8_t* refF, int hxf, int hyf, const uint8_t* refB, int hxb, int hyb,
                         const uint8_t* cur, int lx, int h) {
    Bidirectional p(refF, hxf, hyf, refB, hxb, hyb, lx);
    __m256i acc = _mm256_setzero_si256();
    for (int j = 0; j < h; ++j) {
        acc = _mm256_add_epi32(acc, squareSums(p.line(), widen(cur)));
        p.next(lx);
        cur += lx;
    }
    return sum32(acc);
}


// ===========================================================================
// Transforms and per-block quantisation (video/dct.cpp, video/quantize.cpp)
// ===========================================================================
// The transforms run the plain forms' operations lane by lane: eight 32-bit
// lanes hold eight lines, the row pass works on the transposed block and the
// column pass on the block as it stands. Integer sums wrap in the lanes as
// they would not in the plain forms, but every value the plain forms shift
// or store fits 32 bits, so the results agree bit for bit. The floating
// transform keeps the plain operation order in double lanes; this file is
// built without FMA so no multiply and add are fused.
#if defined(__FMA__)
#error "simd_avx2.cpp must be compiled without FMA: fused products change the floating DCT"
#endif

namespace {

// 8x8 transpose of int16 rows held in eight SSE registers.
inline void transposeRows16(__m128i r[8]) {
    const __m128i a0 = _mm_unpacklo_epi16(r[0], r[1]), a1 = _mm_unpackhi_epi16(r[0], r[1]);
    const __m128i a2 = _mm_unpacklo_epi16(r[2], r[3]), a3 = _mm_unpackhi_epi16(r[2], r[3]);
    const __m128i a4 = _mm_unpacklo_epi16(r[4], r[5]), a5 = _mm_unpackhi_epi16(r[4], r[5]);
    const __m128i a6 = _mm_unpacklo_epi16(r[6], r[7]), a7 = _mm_unpackhi_epi16(r[6], r[7]);
    const __m128i b0 = _mm_unpacklo_epi32(a0, a2), b1 = _mm_unpackhi_epi32(a0, a2);
    const __m128i b2 = _mm_unpacklo_epi32(a1, a3), b3 = _mm_unpackhi_epi32(a1, a3);
    const __m128i b4 = _mm_unpacklo_epi32(a4, a6), b5 = _mm_unpackhi_epi32(a4, a6);
    const __m128i b6 = _mm_unpacklo_epi32(a5, a7), b7 = _mm_unpackhi_epi32(a5, a7);
    r[0] = _mm_unpacklo_epi64(b0, b4);
    r[1] = _mm_unpackhi_epi64(b0, b4);
    r[2] = _mm_unpacklo_epi64(b1, b5);
    r[3] = _mm_unpackhi_epi64(b1, b5);
    r[4] = _mm_unpacklo_epi64(b2, b6);
    r[5] = _mm_unpackhi_epi64(b2, b6);
    r[6] = _mm_unpacklo_epi64(b3, b7);
    r[7] = _mm_unpackhi_epi64(b3, b7);
}

// 8x8 transpose of int32 lines.
inline void transposeLines32(__m256i v[8]) {
    const __m256i a0 = _mm256_unpacklo_epi32(v[0], v[1]), a1 = _mm256_unpackhi_epi32(v[0], v[1]);
    const __m256i a2 = _mm256_unpacklo_epi32(v[2], v[3]), a3 = _mm256_unpackhi_epi32(v[2], v[3]);
    const __m256i a4 = _mm256_unpacklo_epi32(v[4], v[5]), a5 = _mm256_unpackhi_epi32(v[4], v[5]);
    const __m256i a6 = _mm256_unpacklo_epi32(v[6], v[7]), a7 = _mm256_unpackhi_epi32(v[6], v[7]);
    const __m256i b0 = _mm256_unpacklo_epi64(a0, a2), b1 = _mm256_unpackhi_epi64(a0, a2);
    const __m256i b2 = _mm256_unpacklo_epi64(a1, a3), b3 = _mm256_unpackhi_epi64(a1, a3);
    const __m256i b4 = _mm256_unpacklo_epi64(a4, a6), b5 = _mm256_unpackhi_epi64(a4, a6);
    const __m256i b6 = _mm256_unpacklo_epi64(a5, a7), b7 = _mm256_unpackhi_epi64(a5, a7);
    v[0] = _mm256_permute2x128_si256(b0, b4, 0x20);
    v[1] = _mm256_permute2x128_si256(b1, b5, 0x20);
    v[2] = _mm256_permute2x128_si256(b2, b6, 0x20);
    v[3] = _mm256_permute2x128_si256(b3, b7, 0x20);
    v[4] = _mm256_permute2x128_si256(b0, b4, 0x31);
    v[5] = _mm256_permute2x128_si256(b1, b5, 0x31);
    v[6] = _mm256_permute2x128_si256(b2, b6, 0x31);
    v[7] = _mm256_permute2x128_si256(b3, b7, 0x31);
}

// The block's rows, each widened to eight int32 lanes of its transpose:
// line k holds element k of every row.
inline void loadTransposed(const int16_t* block, __m256i d[8]) {
    __m128i r[8];
    for (int i = 0; i < 8; ++i) r[i] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 8 * i));
    transposeRows16(r);
    for (int k = 0; k < 8; ++k) d[k] = _mm256_cvtepi16_epi32(r[k]);
}

// Lines 0..7 narrowed (values known to fit int16) and stored as rows.
inline void storeRows(int16_t* block, const __m256i d[8]) {
    for (int i = 0; i < 8; i += 2)
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(block + 8 * i),
                            _mm256_permute4x64_epi64(_mm256_packs_epi32(d[i], d[i + 1]), 0xD8));
}

inline __m256i lanesAdd(__m256i a, __m256i b) { return _mm256_add_epi32(a, b); }
inline __m256i lanesSub(__m256i a, __m256i b) { return _mm256_sub_epi32(a, b); }
inline __m256i lanesMul(__m256i a, int32_t c) { return _mm256_mullo_epi32(a, _mm256_set1_epi32(c)); }
inline __m256i lanesAddC(__m256i a, int32_t c) { return _mm256_add_epi32(a, _mm256_set1_epi32(c)); }

// One LLM pass on eight lines at once (Pass 0 rows, 1 columns).
template <int Pass>
inline void llmLanes(__m256i d[8]) {
    constexpr int kShift = Pass == 0 ? 11 : 15;
    constexpr int32_t kRound = 1 << (kShift - 1);
    __m256i t0 = lanesAdd(d[0], d[7]), t7 = lanesSub(d[0], d[7]);
    __m256i t1 = lanesAdd(d[1], d[6]), t6 = lanesSub(d[1], d[6]);
    __m256i t2 = lanesAdd(d[2], d[5]), t5 = lanesSub(d[2], d[5]);
    __m256i t3 = lanesAdd(d[3], d[4]), t4 = lanesSub(d[3], d[4]);

    const __m256i t10 = lanesAdd(t0, t3), t13 = lanesSub(t0, t3), t11 = lanesAdd(t1, t2), t12 = lanesSub(t1, t2);
    if (Pass == 0) {
        d[0] = _mm256_slli_epi32(lanesAdd(t10, t11), 2);
        d[4] = _mm256_slli_epi32(lanesSub(t10, t11), 2);
    } else {
        d[0] = _mm256_srai_epi32(lanesAddC(lanesAdd(t10, t11), 2), 2);
        d[4] = _mm256_srai_epi32(lanesAddC(lanesSub(t10, t11), 2), 2);
    }
    __m256i z1 = lanesMul(lanesAdd(t12, t13), 4433);
    d[2] = _mm256_srai_epi32(lanesAddC(lanesAdd(z1, lanesMul(t13, 6270)), kRound), kShift);
    d[6] = _mm256_srai_epi32(lanesAddC(lanesSub(z1, lanesMul(t12, 15137)), kRound), kShift);

    z1 = lanesAdd(t4, t7);
    __m256i z2 = lanesAdd(t5, t6), z3 = lanesAdd(t4, t6), z4 = lanesAdd(t5, t7);
    const __m256i z5 = lanesMul(lanesAdd(z3, z4), 9633);
    t4 = lanesMul(t4, 2446);
    t5 = lanesMul(t5, 16819);
    t6 = lanesMul(t6, 25172);
    t7 = lanesMul(t7, 12299);
    z1 = lanesMul(z1, -7373);
    z2 = lanesMul(z2, -20995);
    z3 = lanesAdd(lanesMul(z3, -16069), z5);
    z4 = lanesAdd(lanesMul(z4, -3196), z5);
    d[7] = _mm256_srai_epi32(lanesAddC(lanesAdd(lanesAdd(t4, z1), z3), kRound), kShift);
    d[5] = _mm256_srai_epi32(lanesAddC(lanesAdd(lanesAdd(t5, z2), z4), kRound), kShift);
    d[3] = _mm256_srai_epi32(lanesAddC(lanesAdd(lanesAdd(t6, z2), z3), kRound), kShift);
    d[1] = _mm256_srai_epi32(lanesAddC(lanesAdd(lanesAdd(t7, z1), z4), kRound), kShift);
}

constexpr int32_t W1 = 2841, W2 = 2676, W3 = 2408, W5 = 1609, W6 = 1108, W7 = 565;

// (181 * v + 128) >> 8 as the plain form takes it in 64 bits: with
// v = 256 q + r it is 181 q + ((181 r + 128) >> 8), and neither part
// leaves 32 bits. 181 r fits 16 bits, so a 16-bit product of the low halves
// gives it exactly.
inline __m256i rotate181(__m256i v) {
    const __m256i q = _mm256_srai_epi32(v, 8);
    const __m256i r = _mm256_and_si256(v, _mm256_set1_epi32(255));
    const __m256i low = _mm256_mullo_epi16(r, _mm256_set1_epi32(181));
    return lanesAdd(lanesMul(q, 181), _mm256_srai_epi32(lanesAddC(low, 128), 8));
}

// The Chen-Wang butterflies common to both passes, from x0..x8 as the plain
// form has them after its input scaling; leaves the eight sums in out. The
// column pass rounds each product stage with a >> 3.
template <bool Column>
inline void chenWangLanes(__m256i x0, __m256i x1, __m256i x2, __m256i x3, __m256i x4, __m256i x5, __m256i x6,
                          __m256i x7, __m256i out[8]) {
    auto bias = [](__m256i v) { return Column ? lanesAddC(v, 4) : v; };
    auto scale = [](__m256i v) { return Column ? _mm256_srai_epi32(v, 3) : v; };
    __m256i x8 = bias(lanesMul(lanesAdd(x4, x5), W7));
    x4 = scale(lanesAdd(x8, lanesMul(x4, W1 - W7)));
    x5 = scale(lanesSub(x8, lanesMul(x5, W1 + W7)));
    x8 = bias(lanesMul(lanesAdd(x6, x7), W3));
    x6 = scale(lanesSub(x8, lanesMul(x6, W3 - W5)));
    x7 = scale(lanesSub(x8, lanesMul(x7, W3 + W5)));

    x8 = lanesAdd(x0, x1);
    x0 = lanesSub(x0, x1);
    x1 = bias(lanesMul(lanesAdd(x3, x2), W6));
    x2 = scale(lanesSub(x1, lanesMul(x2, W2 + W6)));
    x3 = scale(lanesAdd(x1, lanesMul(x3, W2 - W6)));
    x1 = lanesAdd(x4, x6);
    x4 = lanesSub(x4, x6);
    x6 = lanesAdd(x5, x7);
    x5 = lanesSub(x5, x7);

    x7 = lanesAdd(x8, x3);
    x8 = lanesSub(x8, x3);
    x3 = lanesAdd(x0, x2);
    x0 = lanesSub(x0, x2);
    x2 = rotate181(lanesAdd(x4, x5));
    x4 = rotate181(lanesSub(x4, x5));

    out[0] = lanesAdd(x7, x1);
    out[1] = lanesAdd(x3, x2);
    out[2] = lanesAdd(x0, x4);
    out[3] = lanesAdd(x8, x6);
    out[4] = lanesSub(x8, x6);
    out[5] = lanesSub(x0, x4);
    out[6] = lanesSub(x3, x2);
    out[7] = lanesSub(x7, x1);
}

}  // namespace

void forwardDctIntegerAvx2(int16_t* block) {
    __m256i d[8];
    loadTransposed(block, d);
    llmLanes<0>(d);
    transposeLines32(d);
    llmLanes<1>(d);
    for (__m256i& v : d) v = _mm256_srai_epi32(lanesAddC(v, 4), 3);
    storeRows(block, d);
}

void inverseDctChenWangAvx2(int16_t* block, const int16_t*) {
    __m256i b[8], o[8];
    loadTransposed(block, b);
    chenWangLanes<false>(lanesAddC(_mm256_slli_epi32(b[0], 11), 128), _mm256_slli_epi32(b[4], 11), b[6], b[2], b[1],
                         b[7], b[5], b[3], o);
    // The row pass stores through int16, wrapping as the plain form does.
    for (__m256i& v : o) v = _mm256_srai_epi32(_mm256_slli_epi32(_mm256_srai_epi32(v, 8), 16), 16);
    transposeLines32(o);
    chenWangLanes<true>(lanesAddC(_mm256_slli_epi32(o[0], 8), 8192), _mm256_slli_epi32(o[4], 8), o[6], o[2], o[1],
                        o[7], o[5], o[3], b);
    // The clip table maps -512..511 onto -256..255.
    const __m256i lo = _mm256_set1_epi32(-256), hi = _mm256_set1_epi32(255);
    for (__m256i& v : b) v = _mm256_min_epi32(_mm256_max_epi32(_mm256_srai_epi32(v, 14), lo), hi);
    storeRows(block, b);
}

namespace {

inline __m256d pdAdd(__m256d a, __m256d b) { return _mm256_add_pd(a, b); }
inline __m256d pdSub(__m256d a, __m256d b) { return _mm256_sub_pd(a, b); }
inline __m256d pdMul(__m256d a, double c) { return _mm256_mul_pd(a, _mm256_set1_pd(c)); }

// The AAN pass on four lines at once, in the plain form's operation order
// (each product keeps its operand order; IEEE products commute exactly).
inline void aanLanes(__m256d d[8]) {
    const __m256d t0 = pdAdd(d[0], d[7]), t7 = pdSub(d[0], d[7]);
    const __m256d t1 = pdAdd(d[1], d[6]), t6 = pdSub(d[1], d[6]);
    const __m256d t2 = pdAdd(d[2], d[5]), t5 = pdSub(d[2], d[5]);
    const __m256d t3 = pdAdd(d[3], d[4]), t4 = pdSub(d[3], d[4]);

    const __m256d t10 = pdAdd(t0, t3), t13 = pdSub(t0, t3), t11 = pdAdd(t1, t2), t12 = pdSub(t1, t2);
    d[0] = pdAdd(t10, t11);
    d[4] = pdSub(t10, t11);
    const __m256d z1 = pdMul(pdAdd(t12, t13), 0.707106781);
    d[2] = pdAdd(t13, z1);
    d[6] = pdSub(t13, z1);

    const __m256d p = pdAdd(t4, t5), q = pdAdd(t5, t6), r = pdAdd(t6, t7);
    const __m256d z5 = pdMul(pdSub(p, r), 0.382683433);
    const __m256d z2 = pdAdd(pdMul(p, 0.5411961), z5);
    const __m256d z4 = pdAdd(pdMul(r, 1.306562965), z5);
    const __m256d z3 = pdMul(q, 0.707106781);
    const __m256d z11 = pdAdd(t7, z3), z13 = pdSub(t7, z3);
    d[5] = pdAdd(z13, z2);
    d[3] = pdSub(z13, z2);
    d[1] = pdAdd(z11, z4);
    d[7] = pdSub(z11, z4);
}

inline void transpose4x4(__m256d& a, __m256d& b, __m256d& c, __m256d& d) {
    const __m256d t0 = _mm256_unpacklo_pd(a, b), t1 = _mm256_unpackhi_pd(a, b);
    const __m256d t2 = _mm256_unpacklo_pd(c, d), t3 = _mm256_unpackhi_pd(c, d);
    a = _mm256_permute2f128_pd(t0, t2, 0x20);
    b = _mm256_permute2f128_pd(t1, t3, 0x20);
    c = _mm256_permute2f128_pd(t0, t2, 0x31);
    d = _mm256_permute2f128_pd(t1, t3, 0x31);
}

}  // namespace

void forwardDctFloatAvx2(int16_t* block) {
    __m128i r[8];
    for (int i = 0; i < 8; ++i) r[i] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 8 * i));
    transposeRows16(r);
    // top[k] / bottom[k]: element k of rows 0..3 / 4..7.
    __m256d top[8], bottom[8];
    for (int k = 0; k < 8; ++k) {
        top[k] = _mm256_cvtepi32_pd(_mm_cvtepi16_epi32(r[k]));
        bottom[k] = _mm256_cvtepi32_pd(_mm_cvtepi16_epi32(_mm_srli_si128(r[k], 8)));
    }
    aanLanes(top);
    aanLanes(bottom);
    // Back to rows: left[i] / right[i] hold columns 0..3 / 4..7 of row i.
    __m256d left[8] = {top[0], top[1], top[2], top[3], bottom[0], bottom[1], bottom[2], bottom[3]};
    __m256d right[8] = {top[4], top[5], top[6], top[7], bottom[4], bottom[5], bottom[6], bottom[7]};
    for (__m256d* half : {left, right}) {
        transpose4x4(half[0], half[1], half[2], half[3]);
        transpose4x4(half[4], half[5], half[6], half[7]);
    }
    aanLanes(left);
    aanLanes(right);
    const double* scale = forwardDctFloatScale();
    const __m256d bias = _mm256_set1_pd(0.499999);
    auto finish = [&](__m256d v, const double* s) {
        return _mm256_cvttpd_epi32(_mm256_floor_pd(pdAdd(_mm256_mul_pd(_mm256_loadu_pd(s), v), bias)));
    };
    for (int i = 0; i < 8; ++i)
        _mm_storeu_si128(reinterpret_cast<__m128i*>(block + 8 * i),
                         _mm_packs_epi32(finish(left[i], scale + 8 * i), finish(right[i], scale + 8 * i + 4)));
}

namespace {

inline __m256i load8x16(const int16_t* p) {
    return _mm256_cvtepi16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
}
inline __m256i load8x8(const uint8_t* p) {
    return _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)));
}
// Two lines of eight int32 (known to fit int16) stored as 16 int16.
inline void store16(int16_t* p, __m256i a, __m256i b) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), _mm256_permute4x64_epi64(_mm256_packs_epi32(a, b), 0xD8));
}

// v / 2^n rounded towards zero, as C division.
template <int N>
inline __m256i divideTruncating(__m256i v) {
    return _mm256_srai_epi32(lanesAdd(v, _mm256_and_si256(_mm256_srai_epi32(v, 31), _mm256_set1_epi32((1 << N) - 1))), N);
}

// The inverse quantiser's last steps: MPEG-1 makes every non-zero even
// value odd towards zero, then the value is saturated.
inline __m256i finishCoefficient(__m256i v, bool mpeg2) {
    if (!mpeg2) {
        const __m256i one = _mm256_set1_epi32(1);
        const __m256i even = _mm256_cmpeq_epi32(_mm256_and_si256(v, one), _mm256_setzero_si256());
        v = lanesSub(v, _mm256_and_si256(even, _mm256_sign_epi32(one, v)));  // sign is 0 for 0
    }
    return _mm256_min_epi32(_mm256_max_epi32(v, _mm256_set1_epi32(-2048)), _mm256_set1_epi32(2047));
}

// MPEG-2 mismatch control from the 32-bit lane sums of the block.
inline void mismatchControl(int16_t* dst, __m256i sums) {
    if ((sum32(sums) & 1) == 0) dst[63] = static_cast<int16_t>(dst[63] ^ 1);
}

}  // namespace

// The products fit 32 bits for any int16 level: 65537 * 255 * 112 < 2^31.
void dequantizeNonIntraBlockAvx2(const int16_t* src, int16_t* dst, const uint8_t* matrix, int mquant, bool mpeg2) {
    const __m256i m = _mm256_set1_epi32(mquant), one = _mm256_set1_epi32(1);
    __m256i sums = _mm256_setzero_si256();
    for (int i = 0; i < 64; i += 16) {
        __m256i v[2];
        for (int h = 0; h < 2; ++h) {
            const __m256i level = load8x16(src + i + 8 * h);
            const __m256i wm = _mm256_mullo_epi32(load8x8(matrix + i + 8 * h), m);
            // 2 level + sign(level) is 0 for a zero level, as the plain form's skip.
            const __m256i t = lanesAdd(lanesAdd(level, level), _mm256_sign_epi32(one, level));
            v[h] = finishCoefficient(divideTruncating<5>(_mm256_mullo_epi32(t, wm)), mpeg2);
            sums = lanesAdd(sums, v[h]);
        }
        store16(dst + i, v[0], v[1]);
    }
    if (mpeg2) mismatchControl(dst, sums);
}

void dequantizeIntraBlockAvx2(const int16_t* src, int16_t* dst, int dcPrecision, const uint8_t* intraMatrix,
                              int mquant, bool mpeg2) {
    const int32_t dc = static_cast<int16_t>(src[0] * (1 << (3 - dcPrecision)));
    const __m256i m = _mm256_set1_epi32(mquant);
    __m256i sums = _mm256_setzero_si256();
    for (int i = 0; i < 64; i += 16) {
        __m256i v[2];
        for (int h = 0; h < 2; ++h) {
            const __m256i wm = _mm256_mullo_epi32(load8x8(intraMatrix + i + 8 * h), m);
            v[h] = finishCoefficient(divideTruncating<4>(_mm256_mullo_epi32(load8x16(src + i + 8 * h), wm)), mpeg2);
        }
        // The DC coefficient has its own scale and no saturation.
        if (i == 0) v[0] = _mm256_blend_epi32(v[0], _mm256_set1_epi32(dc), 1);
        sums = lanesAdd(sums, lanesAdd(v[0], v[1]));
        store16(dst + i, v[0], v[1]);
    }
    if (mpeg2) mismatchControl(dst, sums);
}

// The two divisions in single precision: both numerators stay below 2^24
// (32 * 32768 + 127), where a correctly rounded quotient n / w never
// reaches the next integer above n / w, so truncating it gives the integer
// quotient exactly.
bool quantizeIntraBlockAvx2(const int16_t* src, int16_t* dst, int dcPrecision, const uint8_t* intraMatrix,
                            int mquant, bool mpeg2) {
    const int d = 8 >> dcPrecision;
    const int h = d / 2;
    const int x0 = src[0];
    const int16_t dc = static_cast<int16_t>(x0 >= 0 ? (x0 + h) / d : -((h - x0) / d));
    const __m256i offset = _mm256_set1_epi32((3 * mquant + 2) / 4);
    const __m256 step = _mm256_set1_ps(static_cast<float>(2 * mquant));
    const __m256i limit = _mm256_set1_epi32(mpeg2 ? 2047 : 255), big = _mm256_set1_epi32(255);
    __m256i over = _mm256_setzero_si256();
    for (int i = 0; i < 64; i += 16) {
        __m256i v[2];
        for (int g = 0; g < 2; ++g) {
            const __m256i x = load8x16(src + i + 8 * g);
            const __m256i w = load8x8(intraMatrix + i + 8 * g);
            const __m256i n = lanesAdd(_mm256_slli_epi32(_mm256_abs_epi32(x), 5), _mm256_srli_epi32(w, 1));
            const __m256i q = _mm256_cvttps_epi32(_mm256_div_ps(_mm256_cvtepi32_ps(n), _mm256_cvtepi32_ps(w)));
            const __m256i level = _mm256_cvttps_epi32(_mm256_div_ps(_mm256_cvtepi32_ps(lanesAdd(q, offset)), step));
            __m256i tooBig = _mm256_cmpgt_epi32(level, big);
            if (i == 0 && g == 0) tooBig = _mm256_blend_epi32(tooBig, _mm256_setzero_si256(), 1);  // not the DC
            over = _mm256_or_si256(over, tooBig);
            v[g] = _mm256_sign_epi32(_mm256_min_epi32(level, limit), x);  // a zero x has level 0
        }
        store16(dst + i, v[0], v[1]);
    }
    dst[0] = dc;
    return _mm256_testz_si256(over, over) != 0;
}

namespace {

// The fast quantiser's reciprocal product on sixteen lanes (see the SSE2 form).
inline __m256i scaledMultiply(__m256i t, __m256i r) {
    const __m256i hi = _mm256_mulhi_epi16(t, r);
    const __m256i lo = _mm256_mullo_epi16(t, r);
    const __m256i carry =
        _mm256_srli_epi16(_mm256_add_epi16(_mm256_srli_epi16(lo, 1), _mm256_srli_epi16(t, 1)), 15);
    return _mm256_add_epi16(hi, carry);
}

}  // namespace

// The exact non-intra quantiser with its 64 divisions in doubles: the
// numerators stay below 2^21 and the divisors below 2^16, so the rounded
// quotient never crosses the integer that truncation should give.
bool quantizeNonIntraBlockAvx2(const int16_t* src, int16_t* dst, const uint16_t* matrix, const uint16_t*,
                               int mquant, bool mpeg2) {
    const __m256i zero = _mm256_setzero_si256();
    const __m256i limit = _mm256_set1_epi32(mpeg2 ? 2047 : 255);
    const __m256d twiceQ = _mm256_set1_pd(2.0 * mquant);
    __m256i any = zero;
    __m128i out[8];
    for (int g = 0; g < 8; ++g) {
        const __m256i x = _mm256_cvtepi16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 8 * g)));
        const __m256i w = _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(matrix + 8 * g)));
        const __m256i n = _mm256_add_epi32(_mm256_slli_epi32(_mm256_abs_epi32(x), 5), _mm256_srli_epi32(w, 1));
        const __m256d dLow = _mm256_mul_pd(twiceQ, _mm256_cvtepi32_pd(_mm256_castsi256_si128(w)));
        const __m256d dHigh = _mm256_mul_pd(twiceQ, _mm256_cvtepi32_pd(_mm256_extracti128_si256(w, 1)));
        const __m128i qLow = _mm256_cvttpd_epi32(_mm256_div_pd(_mm256_cvtepi32_pd(_mm256_castsi256_si128(n)), dLow));
        const __m128i qHigh = _mm256_cvttpd_epi32(_mm256_div_pd(_mm256_cvtepi32_pd(_mm256_extracti128_si256(n, 1)), dHigh));
        __m256i level = _mm256_min_epi32(_mm256_inserti128_si256(_mm256_castsi128_si256(qLow), qHigh, 1), limit);
        any = _mm256_or_si256(any, level);
        const __m256i negative = _mm256_cmpgt_epi32(zero, x);
        level = _mm256_sub_epi32(_mm256_xor_si256(level, negative), negative);
        // Levels lie within -2047..2047, so the saturating pack keeps them.
        const __m256i packed = _mm256_permute4x64_epi64(_mm256_packs_epi32(level, level), 0x08);
        out[g] = _mm256_castsi256_si128(packed);
    }
    for (int g = 0; g < 8; ++g) _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 8 * g), out[g]);
    return !_mm256_testz_si256(any, any);
}

bool quantizeNonIntraBlockFastAvx2(const int16_t* src, int16_t* dst, const uint16_t* matrix,
                                   const uint16_t* reciprocals, int mquant, bool mpeg2) {
    if (mquant <= 1) return quantizeNonIntraBlockAvx2(src, dst, matrix, reciprocals, mquant, mpeg2);
    const __m256i limit = _mm256_set1_epi16(static_cast<int16_t>(mpeg2 ? 2047 : 255));
    const __m256i m = _mm256_set1_epi16(static_cast<int16_t>((65536 / mquant) & 0xFFFF));
    const __m256i zero = _mm256_setzero_si256();
    const __m256i big = _mm256_set1_epi16(1023), small = _mm256_set1_epi16(-1023);
    __m256i bad = zero, nonZero = zero;
    __m256i levels[4];
    for (int g = 0; g < 4; ++g) {
        const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + 16 * g));
        const __m256i w = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(matrix + 16 * g));
        const __m256i r = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(reciprocals + 16 * g));
        bad = _mm256_or_si256(bad, _mm256_or_si256(_mm256_cmpgt_epi16(x, big), _mm256_cmpgt_epi16(small, x)));
        bad = _mm256_or_si256(bad, _mm256_cmpeq_epi16(r, zero));
        const __m256i negative = _mm256_cmpgt_epi16(zero, x);
        const __m256i t = _mm256_add_epi16(_mm256_slli_epi16(_mm256_abs_epi16(x), 5), _mm256_srli_epi16(w, 1));
        const __m256i level = _mm256_srli_epi16(scaledMultiply(scaledMultiply(t, r), m), 1);
        bad = _mm256_or_si256(bad, _mm256_cmpgt_epi16(level, limit));
        nonZero = _mm256_or_si256(nonZero, level);
        // Negated only below zero: a zero sample can still meet a non-zero level here.
        levels[g] = _mm256_sub_epi16(_mm256_xor_si256(level, negative), negative);
    }
    if (!_mm256_testz_si256(bad, bad)) return quantizeNonIntraBlockAvx2(src, dst, matrix, reciprocals, mquant, mpeg2);
    for (int g = 0; g < 4; ++g) _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + 16 * g), levels[g]);
    return !_mm256_testz_si256(nonZero, nonZero);
}

}  // namespace quillon

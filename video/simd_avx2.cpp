// AVX2 forms; compiled with -mavx2 and chosen only when the processor has
// it. A line of 16 samples is widened to sixteen 16-bit lanes, so the
// four-sample averages need no unpacking; the integer and two-sample cases
// are byte-wide and shared with the SSE2 forms.
#include <immintrin.h>

#include <cstddef>
#include <new>

#include "video/frame_conversion.h"
#include "video/simd_routines.h"

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
    if (!hx || !hy) return sadHalfPelSse2(ref, cur, lx, hx, hy, h, limit);
    __m256i acc = _mm256_setzero_si256();
    for (int j = 0; j < h; ++j) {
        acc = _mm256_add_epi32(acc, absSums(average4(ref, ref + 1, ref + lx, ref + lx + 1), widen(cur)));
        ref += lx;
        cur += lx;
    }
    return sum32(acc);
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

}  // namespace quillon

// AVX2 forms; compiled with -mavx2 and chosen only when the processor has
// it. A line of 16 samples is widened to sixteen 16-bit lanes, so the
// four-sample averages need no unpacking; the integer and two-sample cases
// are byte-wide and shared with the SSE2 forms.
#include <immintrin.h>

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

// The block search's integer stage with the 16-sample line distance kept in
// registers: SSE2, compiled with -msse2.
#include <emmintrin.h>

#include <algorithm>
#include <cstring>

#include "video/dsp/ring_search.h"

namespace quillon {

namespace {

inline __m128i load16(const uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
inline int total(__m128i v) { return _mm_cvtsi128_si32(v) + _mm_cvtsi128_si32(_mm_unpackhi_epi64(v, v)); }

// Four lines at a time between tests of the limit.
template <int H>
RingBest search(const uint8_t* source, const uint8_t* block, int lx, const RingWindow& w) {
    __m128i cur[H];
    for (int j = 0; j < H; ++j) cur[j] = load16(block + static_cast<ptrdiff_t>(lx) * j);
    return walkRings(w, [&](int x, int y, int limit) {
        const uint8_t* ref = source + x + static_cast<ptrdiff_t>(lx) * y;
        __m128i acc = _mm_setzero_si128();
        int s = 0;
        for (int j = 0; j < H; j += 4) {
            const __m128i a = _mm_sad_epu8(load16(ref), cur[j]);
            const __m128i b = _mm_sad_epu8(load16(ref + lx), cur[j + 1]);
            const __m128i c = _mm_sad_epu8(load16(ref + 2 * lx), cur[j + 2]);
            const __m128i d = _mm_sad_epu8(load16(ref + 3 * lx), cur[j + 3]);
            acc = _mm_add_epi64(acc, _mm_add_epi64(_mm_add_epi64(a, b), _mm_add_epi64(c, d)));
            s = total(acc);
            if (s >= limit) return s;
            ref += 4 * lx;
        }
        return s;
    });
}

}  // namespace

RingBest ringSearchSse2(const uint8_t* source, const uint8_t* block, int lx, int h, const RingWindow& w) {
    return h == 8 ? search<8>(source, block, lx, w) : search<16>(source, block, lx, w);
}

// Four outputs from 16 bytes of each line: the lines summed in 16 bits
// (at most 1020), neighbours paired by the multiply-add, pairs of pairs
// put side by side and added.
void quarterLineSse2(const uint8_t* line0, ptrdiff_t lineStep, int columns, uint8_t* out, int* copy) {
    const __m128i zero = _mm_setzero_si128(), ones = _mm_set1_epi16(1), eight = _mm_set1_epi32(8);
    int c = 0;
    for (; c + 4 <= columns; c += 4) {
        const uint8_t* p = line0 + 4 * c;
        __m128i lo = zero, hi = zero;
        for (int k = 0; k < 4; ++k) {
            const __m128i v = load16(p + lineStep * k);
            lo = _mm_add_epi16(lo, _mm_unpacklo_epi8(v, zero));
            hi = _mm_add_epi16(hi, _mm_unpackhi_epi8(v, zero));
        }
        const __m128 a = _mm_castsi128_ps(_mm_madd_epi16(lo, ones)), b = _mm_castsi128_ps(_mm_madd_epi16(hi, ones));
        const __m128i even = _mm_castps_si128(_mm_shuffle_ps(a, b, _MM_SHUFFLE(2, 0, 2, 0)));
        const __m128i odd = _mm_castps_si128(_mm_shuffle_ps(a, b, _MM_SHUFFLE(3, 1, 3, 1)));
        const __m128i means = _mm_srai_epi32(_mm_add_epi32(_mm_add_epi32(even, odd), eight), 4);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(copy + c), means);
        const __m128i words = _mm_packs_epi32(means, means);
        const int bytes = _mm_cvtsi128_si32(_mm_packus_epi16(words, words));
        std::memcpy(out + c, &bytes, 4);
    }
    if (c < columns) quarterLinePlain(line0 + 4 * c, lineStep, columns - c, out + c, copy + c);
}

// The 4x4 block's four lines gathered into one register against the four
// reference lines: one distance instruction a position.
CoarseBest coarseSearchSse2(const uint8_t* current, const uint8_t* anchor, int stride, int width, int height, int x0,
                            int y0, int range, int patience) {
    const uint8_t* block = current + x0 + static_cast<ptrdiff_t>(stride) * y0;
    auto lines = [stride](const uint8_t* p) {
        int32_t a, b, c, d;
        std::memcpy(&a, p, 4);
        std::memcpy(&b, p + stride, 4);
        std::memcpy(&c, p + 2 * stride, 4);
        std::memcpy(&d, p + 3 * stride, 4);
        return _mm_set_epi32(d, c, b, a);
    };
    const __m128i cur = lines(block);
    return walkCoarseRings(x0, y0, std::max(0, x0 - range), std::min(width - 4, x0 + range - 1), std::max(0, y0 - range),
                           std::min(height - 4, y0 + range - 1), range, patience, [&](int x, int y, int) {
                               const __m128i s =
                                   _mm_sad_epu8(lines(anchor + x + static_cast<ptrdiff_t>(stride) * y), cur);
                               return _mm_cvtsi128_si32(s) + _mm_cvtsi128_si32(_mm_unpackhi_epi64(s, s));
                           });
}

}  // namespace quillon

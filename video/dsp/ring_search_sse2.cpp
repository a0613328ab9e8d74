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

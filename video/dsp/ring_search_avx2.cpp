// The block search's integer stage, two lines to a register: AVX2, compiled
// with -mavx2.
#include <immintrin.h>

#include "video/dsp/ring_search.h"

namespace quillon {

namespace {

inline __m256i loadPair(const uint8_t* p, int lx) {
    const __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + lx));
    return _mm256_inserti128_si256(_mm256_castsi128_si256(lo), hi, 1);
}

inline int total(__m256i v) {
    const __m128i x = _mm_add_epi64(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
    return _mm_cvtsi128_si32(x) + _mm_cvtsi128_si32(_mm_unpackhi_epi64(x, x));
}

// Eight lines at a time between tests of the limit.
template <int H>
RingBest search(const uint8_t* source, const uint8_t* block, int lx, const RingWindow& w) {
    __m256i cur[H / 2];
    for (int j = 0; j < H / 2; ++j) cur[j] = loadPair(block + static_cast<ptrdiff_t>(lx) * 2 * j, lx);
    return walkRings(w, [&](int x, int y, int limit) {
        const uint8_t* ref = source + x + static_cast<ptrdiff_t>(lx) * y;
        __m256i acc = _mm256_setzero_si256();
        int s = 0;
        for (int j = 0; j < H / 2; j += 4) {
            const __m256i a = _mm256_sad_epu8(loadPair(ref, lx), cur[j]);
            const __m256i b = _mm256_sad_epu8(loadPair(ref + 2 * lx, lx), cur[j + 1]);
            const __m256i c = _mm256_sad_epu8(loadPair(ref + 4 * lx, lx), cur[j + 2]);
            const __m256i d = _mm256_sad_epu8(loadPair(ref + 6 * lx, lx), cur[j + 3]);
            acc = _mm256_add_epi64(acc, _mm256_add_epi64(_mm256_add_epi64(a, b), _mm256_add_epi64(c, d)));
            s = total(acc);
            if (s >= limit) return s;
            ref += 8 * lx;
        }
        return s;
    });
}

}  // namespace

RingBest ringSearchAvx2(const uint8_t* source, const uint8_t* block, int lx, int h, const RingWindow& w) {
    return h == 8 ? search<8>(source, block, lx, w) : search<16>(source, block, lx, w);
}

}  // namespace quillon

// SSE2 form of the prediction copy; compiled with -msse2. Byte averages
// round up like the plain (a + b + 1) >> 1, and the four-sample average is
// taken on 16-bit lanes, so every byte equals the plain copy's.
#include <emmintrin.h>

#include "video/prediction.h"

namespace quillon {

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

inline __m128i average4(__m128i a, __m128i b, __m128i c, __m128i d) {
    const __m128i zero = _mm_setzero_si128(), two = _mm_set1_epi16(2);
    __m128i lo = _mm_add_epi16(_mm_add_epi16(_mm_unpacklo_epi8(a, zero), _mm_unpacklo_epi8(b, zero)),
                               _mm_add_epi16(_mm_unpacklo_epi8(c, zero), _mm_unpacklo_epi8(d, zero)));
    __m128i hi = _mm_add_epi16(_mm_add_epi16(_mm_unpackhi_epi8(a, zero), _mm_unpackhi_epi8(b, zero)),
                               _mm_add_epi16(_mm_unpackhi_epi8(c, zero), _mm_unpackhi_epi8(d, zero)));
    lo = _mm_srli_epi16(_mm_add_epi16(lo, two), 2);
    hi = _mm_srli_epi16(_mm_add_epi16(hi, two), 2);
    return _mm_packus_epi16(lo, hi);
}

template <int W, bool Average>
void copy(const uint8_t* s, uint8_t* d, int lx, int h, int hx, int hy) {
    for (int j = 0; j < h; ++j, s += lx, d += lx) {
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

void copyAreaSse2(const uint8_t* s, uint8_t* d, int lx, int w, int h, int hx, int hy, bool average) {
    if (w == 16)
        average ? copy<16, true>(s, d, lx, h, hx, hy) : copy<16, false>(s, d, lx, h, hx, hy);
    else
        average ? copy<8, true>(s, d, lx, h, hx, hy) : copy<8, false>(s, d, lx, h, hx, hy);
}

}  // namespace quillon

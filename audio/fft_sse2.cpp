// The FFT's SSE2 butterflies; compiled with -msse2 and chosen only when the
// processor has it. Two butterflies per register, each computed as the
// plain form does. Takes every stage of a transform of 4 points or more.
#include <emmintrin.h>

#include "audio/fft.h"

namespace quillon::audio {

void fftStageSse2(double* re, double* im, int n, int half, const double* wr, const double* wi) {
    if (half == 1) {
        // Neighbours pair up: two butterflies per step, their first points
        // gathered in one register and their second points in another.
        const __m128d cr = _mm_set1_pd(wr[0]), ci = _mm_set1_pd(wi[0]);
        for (int a = 0; a < n; a += 4) {
            const __m128d r01 = _mm_loadu_pd(re + a), r23 = _mm_loadu_pd(re + a + 2);
            const __m128d i01 = _mm_loadu_pd(im + a), i23 = _mm_loadu_pd(im + a + 2);
            const __m128d ar = _mm_unpacklo_pd(r01, r23), xr = _mm_unpackhi_pd(r01, r23);
            const __m128d ai = _mm_unpacklo_pd(i01, i23), xi = _mm_unpackhi_pd(i01, i23);
            const __m128d tr = _mm_sub_pd(_mm_mul_pd(xr, cr), _mm_mul_pd(xi, ci));
            const __m128d ti = _mm_add_pd(_mm_mul_pd(xr, ci), _mm_mul_pd(xi, cr));
            const __m128d nar = _mm_add_pd(ar, tr), nbr = _mm_sub_pd(ar, tr);
            const __m128d nai = _mm_add_pd(ai, ti), nbi = _mm_sub_pd(ai, ti);
            _mm_storeu_pd(re + a, _mm_unpacklo_pd(nar, nbr));
            _mm_storeu_pd(re + a + 2, _mm_unpackhi_pd(nar, nbr));
            _mm_storeu_pd(im + a, _mm_unpacklo_pd(nai, nbi));
            _mm_storeu_pd(im + a + 2, _mm_unpackhi_pd(nai, nbi));
        }
        return;
    }
    for (int start = 0; start < n; start += 2 * half) {
        double* ra = re + start;
        double* ia = im + start;
        double* rb = ra + half;
        double* ib = ia + half;
        for (int j = 0; j < half; j += 2) {
            const __m128d cr = _mm_loadu_pd(wr + j), ci = _mm_loadu_pd(wi + j);
            const __m128d xr = _mm_loadu_pd(rb + j), xi = _mm_loadu_pd(ib + j);
            const __m128d tr = _mm_sub_pd(_mm_mul_pd(xr, cr), _mm_mul_pd(xi, ci));
            const __m128d ti = _mm_add_pd(_mm_mul_pd(xr, ci), _mm_mul_pd(xi, cr));
            const __m128d ar = _mm_loadu_pd(ra + j), ai = _mm_loadu_pd(ia + j);
            _mm_storeu_pd(rb + j, _mm_sub_pd(ar, tr));
            _mm_storeu_pd(ib + j, _mm_sub_pd(ai, ti));
            _mm_storeu_pd(ra + j, _mm_add_pd(ar, tr));
            _mm_storeu_pd(ia + j, _mm_add_pd(ai, ti));
        }
    }
}

}  // namespace quillon::audio

// The FFT's AVX2 butterflies; compiled with -mavx2 (and never with fused
// multiply-adds) and chosen only when the processor has it. Four
// butterflies per register, each computed as the plain form does.
#include <immintrin.h>

#include "audio/fft.h"

#if defined(__FMA__)
#error "the FFT must round every product on its own"
#endif

namespace quillon::audio {

void fftStageAvx2(double* re, double* im, int n, int half, const double* wr, const double* wi) {
    for (int start = 0; start < n; start += 2 * half) {
        double* ra = re + start;
        double* ia = im + start;
        double* rb = ra + half;
        double* ib = ia + half;
        for (int j = 0; j < half; j += 4) {
            const __m256d cr = _mm256_loadu_pd(wr + j), ci = _mm256_loadu_pd(wi + j);
            const __m256d xr = _mm256_loadu_pd(rb + j), xi = _mm256_loadu_pd(ib + j);
            const __m256d tr = _mm256_sub_pd(_mm256_mul_pd(xr, cr), _mm256_mul_pd(xi, ci));
            const __m256d ti = _mm256_add_pd(_mm256_mul_pd(xr, ci), _mm256_mul_pd(xi, cr));
            const __m256d ar = _mm256_loadu_pd(ra + j), ai = _mm256_loadu_pd(ia + j);
            _mm256_storeu_pd(rb + j, _mm256_sub_pd(ar, tr));
            _mm256_storeu_pd(ib + j, _mm256_sub_pd(ai, ti));
            _mm256_storeu_pd(ra + j, _mm256_add_pd(ar, tr));
            _mm256_storeu_pd(ia + j, _mm256_add_pd(ai, ti));
        }
    }
}

}  // namespace quillon::audio

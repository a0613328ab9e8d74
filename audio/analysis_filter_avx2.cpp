// The analysis filter's AVX2 form; compiled with -mavx2 (and never with
// fused multiply-adds) and chosen only when the processor has it. Four sums
// per register, each adding its terms in the plain form's order.
#include <immintrin.h>

#include "audio/analysis_filter.h"
#include "audio/audio_tables.h"

#if defined(__FMA__)
#error "the analysis filter must round every product on its own"
#endif

namespace quillon::audio {

void analyseBlockAvx2(const double* z, const AnalysisMatrix& matrix, double* subbands) {
    alignas(32) double y[64];
    for (int i = 0; i < 64; i += 16) {
        __m256d a = _mm256_setzero_pd(), b = a, c = a, d = a;
        for (int j = 0; j < 8; ++j) {
            const double* w = kTableC1 + i + 64 * j;
            const double* v = z + i + 64 * j;
            a = _mm256_add_pd(a, _mm256_mul_pd(_mm256_loadu_pd(w), _mm256_loadu_pd(v)));
            b = _mm256_add_pd(b, _mm256_mul_pd(_mm256_loadu_pd(w + 4), _mm256_loadu_pd(v + 4)));
            c = _mm256_add_pd(c, _mm256_mul_pd(_mm256_loadu_pd(w + 8), _mm256_loadu_pd(v + 8)));
            d = _mm256_add_pd(d, _mm256_mul_pd(_mm256_loadu_pd(w + 12), _mm256_loadu_pd(v + 12)));
        }
        _mm256_store_pd(y + i, a);
        _mm256_store_pd(y + i + 4, b);
        _mm256_store_pd(y + i + 8, c);
        _mm256_store_pd(y + i + 12, d);
    }
    // All 32 outputs stay in registers over the 64 inputs (named one by
    // one: an array of them would live in memory).
    __m256d s0 = _mm256_setzero_pd(), s1 = s0, s2 = s0, s3 = s0, s4 = s0, s5 = s0, s6 = s0, s7 = s0;
    for (int i = 0; i < 64; ++i) {
        const double* m = matrix.byInput[i];
        const __m256d v = _mm256_broadcast_sd(y + i);
        s0 = _mm256_add_pd(s0, _mm256_mul_pd(_mm256_loadu_pd(m), v));
        s1 = _mm256_add_pd(s1, _mm256_mul_pd(_mm256_loadu_pd(m + 4), v));
        s2 = _mm256_add_pd(s2, _mm256_mul_pd(_mm256_loadu_pd(m + 8), v));
        s3 = _mm256_add_pd(s3, _mm256_mul_pd(_mm256_loadu_pd(m + 12), v));
        s4 = _mm256_add_pd(s4, _mm256_mul_pd(_mm256_loadu_pd(m + 16), v));
        s5 = _mm256_add_pd(s5, _mm256_mul_pd(_mm256_loadu_pd(m + 20), v));
        s6 = _mm256_add_pd(s6, _mm256_mul_pd(_mm256_loadu_pd(m + 24), v));
        s7 = _mm256_add_pd(s7, _mm256_mul_pd(_mm256_loadu_pd(m + 28), v));
    }
    _mm256_storeu_pd(subbands, s0);
    _mm256_storeu_pd(subbands + 4, s1);
    _mm256_storeu_pd(subbands + 8, s2);
    _mm256_storeu_pd(subbands + 12, s3);
    _mm256_storeu_pd(subbands + 16, s4);
    _mm256_storeu_pd(subbands + 20, s5);
    _mm256_storeu_pd(subbands + 24, s6);
    _mm256_storeu_pd(subbands + 28, s7);
}

}  // namespace quillon::audio

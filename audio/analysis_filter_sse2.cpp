// The analysis filter's SSE2 form; compiled with -msse2 and chosen only
// when the processor has it. Two sums per register, each adding its terms
// in the plain form's order.
#include <emmintrin.h>

#include "audio/analysis_filter.h"
#include "audio/audio_tables.h"

namespace quillon::audio {

void analyseBlockSse2(const double* z, const AnalysisMatrix& matrix, double* subbands) {
    alignas(16) double y[64];
    for (int i = 0; i < 64; i += 4) {
        __m128d a = _mm_setzero_pd(), b = a;
        for (int j = 0; j < 8; ++j) {
            const double* c = kTableC1 + i + 64 * j;
            const double* v = z + i + 64 * j;
            a = _mm_add_pd(a, _mm_mul_pd(_mm_loadu_pd(c), _mm_loadu_pd(v)));
            b = _mm_add_pd(b, _mm_mul_pd(_mm_loadu_pd(c + 2), _mm_loadu_pd(v + 2)));
        }
        _mm_store_pd(y + i, a);
        _mm_store_pd(y + i + 2, b);
    }
    // Eight outputs at a time stay in registers over all 64 inputs.
    for (int k0 = 0; k0 < 32; k0 += 8) {
        __m128d s0 = _mm_setzero_pd(), s1 = s0, s2 = s0, s3 = s0;
        for (int i = 0; i < 64; ++i) {
            const double* m = matrix.byInput[i] + k0;
            const __m128d v = _mm_set1_pd(y[i]);
            s0 = _mm_add_pd(s0, _mm_mul_pd(_mm_loadu_pd(m), v));
            s1 = _mm_add_pd(s1, _mm_mul_pd(_mm_loadu_pd(m + 2), v));
            s2 = _mm_add_pd(s2, _mm_mul_pd(_mm_loadu_pd(m + 4), v));
            s3 = _mm_add_pd(s3, _mm_mul_pd(_mm_loadu_pd(m + 6), v));
        }
        _mm_storeu_pd(subbands + k0, s0);
        _mm_storeu_pd(subbands + k0 + 2, s1);
        _mm_storeu_pd(subbands + k0 + 4, s2);
        _mm_storeu_pd(subbands + k0 + 6, s3);
    }
}

}  // namespace quillon::audio

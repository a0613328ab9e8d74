// The models' AVX2 forms; compiled with -mavx2 (and never with fused
// multiply-adds) and chosen only when the processor has it. Each lane does
// what the plain form does for its point.
#include <immintrin.h>

#include "audio/psycho_routines.h"

#if defined(__FMA__)
#error "the models must round every product on its own"
#endif

namespace quillon::audio {

void spreadMaskerAvx2(const double* row, int from, int to, double energy, double tonalEnergy, double* spread,
                      double* weighted) {
    const __m256d e = _mm256_set1_pd(energy), c = _mm256_set1_pd(tonalEnergy);
    int p = from;
    for (; p + 4 <= to; p += 4) {
        const __m256d r = _mm256_loadu_pd(row + p);
        _mm256_storeu_pd(spread + p, _mm256_add_pd(_mm256_loadu_pd(spread + p), _mm256_mul_pd(r, e)));
        _mm256_storeu_pd(weighted + p, _mm256_add_pd(_mm256_loadu_pd(weighted + p), _mm256_mul_pd(r, c)));
    }
    spreadMaskerPlain(row, p, to, energy, tonalEnergy, spread, weighted);
}

}  // namespace quillon::audio

// The models' SSE2 forms; compiled with -msse2 and chosen only when the
// processor has it. Each lane does what the plain form does for its point.
#include <emmintrin.h>

#include "audio/psycho_routines.h"

namespace quillon::audio {

void spreadMaskerSse2(const double* row, int from, int to, double energy, double tonalEnergy, double* spread,
                      double* weighted) {
    const __m128d e = _mm_set1_pd(energy), c = _mm_set1_pd(tonalEnergy);
    int p = from;
    for (; p + 2 <= to; p += 2) {
        const __m128d r = _mm_loadu_pd(row + p);
        _mm_storeu_pd(spread + p, _mm_add_pd(_mm_loadu_pd(spread + p), _mm_mul_pd(r, e)));
        _mm_storeu_pd(weighted + p, _mm_add_pd(_mm_loadu_pd(weighted + p), _mm_mul_pd(r, c)));
    }
    spreadMaskerPlain(row, p, to, energy, tonalEnergy, spread, weighted);
}

}  // namespace quillon::audio

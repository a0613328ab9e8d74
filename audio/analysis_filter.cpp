#include "audio/analysis_filter.h"

#include <cmath>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "audio/audio_tables.h"

namespace quillon::audio {

AnalysisMatrix::AnalysisMatrix() {
    for (int k = 0; k < 32; ++k)
        for (int i = 0; i < 64; ++i)
            m[k][i] = std::round(std::cos((2 * k + 1) * (16 - i) * M_PI / 64) * 1e9) / 1e9;
    for (int k = 0; k < 32; ++k)
        for (int i = 0; i < 64; ++i) byInput[i][k] = m[k][i];
}

void AnalysisFilter::reset() {
    std::memset(history_, 0, sizeof history_);
    start_ = 0;
}

void AnalysisFilter::filter(const AnalysisMatrix& matrix, const int16_t* pcm, double* subbands) {
    // The ring's start moves back by 32; each sample is stored twice, 512
    // apart, so the 512 newest always lie contiguous from start_.
    start_ = (start_ + 512 - 32) % 512;
    for (int i = 0; i < 32; ++i) {
        int p = (start_ + i) % 512;
        history_[p] = history_[p + 512] = pcm[31 - i] / 32768.0;
    }
    const double* z = history_ + start_;
    // Both loops keep every sum's order of terms; the outputs are what run
    // in parallel.
    double y[64] = {};
    for (int j = 0; j < 8; ++j)
        for (int i = 0; i < 64; ++i) y[i] += kTableC1[i + 64 * j] * z[i + 64 * j];
    // Eight outputs at a time stay in registers over all 64 inputs; the
    // products are rounded before the sums, as in the plain loop.
    for (int k0 = 0; k0 < 32; k0 += 8) {
#if defined(__SSE2__)
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
#else
        double s[8] = {};
        for (int i = 0; i < 64; ++i)
            for (int k = 0; k < 8; ++k) s[k] += matrix.byInput[i][k0 + k] * y[i];
        std::memcpy(subbands + k0, s, sizeof s);
#endif
    }
}

}  // namespace quillon::audio

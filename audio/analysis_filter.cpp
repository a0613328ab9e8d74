#include "audio/analysis_filter.h"

#include <cmath>
#include <cstring>

#include "audio/audio_tables.h"
#include "platform/cpu_features.h"

namespace quillon::audio {

AnalysisMatrix::AnalysisMatrix() {
    for (int k = 0; k < 32; ++k)
        for (int i = 0; i < 64; ++i)
            m[k][i] = std::round(std::cos((2 * k + 1) * (16 - i) * M_PI / 64) * 1e9) / 1e9;
    for (int k = 0; k < 32; ++k)
        for (int i = 0; i < 64; ++i) byInput[i][k] = m[k][i];
}

void analyseBlockPlain(const double* z, const AnalysisMatrix& matrix, double* subbands) {
    double y[64];
    for (int i = 0; i < 64; ++i) {
        double sum = 0;
        for (int j = 0; j < 8; ++j) sum += kTableC1[i + 64 * j] * z[i + 64 * j];
        y[i] = sum;
    }
    for (int k = 0; k < 32; ++k) {
        double sum = 0;
        for (int i = 0; i < 64; ++i) sum += matrix.m[k][i] * y[i];
        subbands[k] = sum;
    }
}

AnalysisRoutine selectAnalysisRoutine(int MMXMode, uint32_t features) {
    if (MMXMode < 1 || MMXMode > 4 || !(features & kCpuSse2)) return analyseBlockPlain;
    if (MMXMode < 3 || !(features & kCpuAvx2)) return analyseBlockSse2;
    return analyseBlockAvx2;
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
        int p = start_ + i;
        history_[p] = history_[p + 512] = pcm[31 - i] / 32768.0;
    }
    routine_(history_ + start_, matrix, subbands);
}

}  // namespace quillon::audio

// The 32-band polyphase analysis filter bank of ISO/IEC 11172-3, one per
// channel; its 512-sample history carries over from frame to frame.
#pragma once

#include <cstdint>

namespace quillon::audio {

// The 32 x 64 cosine matrix, computed once per run and shared by the channels.
struct AnalysisMatrix {
    AnalysisMatrix();
    double m[32][64];
    // m transposed, so the 32 sums can run side by side in vector lanes,
    // each still adding its 64 terms in order (the same numbers).
    double byInput[64][32];
};

// One block: the 512 newest samples z (newest first) windowed by C.1,
// folded into 64 sums and turned into 32 sub-band samples. Every form adds
// each sum's terms in the same order from +0, each product rounded on its
// own, so all give the same numbers.
using AnalysisRoutine = void (*)(const double* z, const AnalysisMatrix& matrix, double* subbands);
void analyseBlockPlain(const double* z, const AnalysisMatrix& matrix, double* subbands);
void analyseBlockSse2(const double* z, const AnalysisMatrix& matrix, double* subbands);
void analyseBlockAvx2(const double* z, const AnalysisMatrix& matrix, double* subbands);

// The form for a routine set (MMXMode): 0 plain, 1 and 2 SSE2, 3 and 4
// AVX2; a set the processor (detectCpuFeatures bits) lacks falls back to
// the next smaller one.
AnalysisRoutine selectAnalysisRoutine(int MMXMode, uint32_t features);

class AnalysisFilter {
public:
    AnalysisFilter() { reset(); }
    void reset();
    void useRoutine(AnalysisRoutine routine) { routine_ = routine; }
    // Takes 32 new samples in time order and writes the 32 sub-band samples.
    void filter(const AnalysisMatrix& matrix, const int16_t* pcm, double* subbands);

private:
    double history_[1024];  // the 512 newest samples, newest first, twice over
    int start_ = 0;         // position of the newest sample
    AnalysisRoutine routine_ = analyseBlockPlain;
};

}  // namespace quillon::audio

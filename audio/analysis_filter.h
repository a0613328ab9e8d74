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

class AnalysisFilter {
public:
    AnalysisFilter() { reset(); }
    void reset();
    // Takes 32 new samples in time order and writes the 32 sub-band samples.
    void filter(const AnalysisMatrix& matrix, const int16_t* pcm, double* subbands);

private:
    double history_[1024];  // the 512 newest samples, newest first, twice over
    int start_ = 0;         // position of the newest sample
};

}  // namespace quillon::audio

// In-place radix-2 FFT with its reordering and twiddle factors computed once.
#pragma once

#include <cstdint>
#include <vector>

namespace quillon::audio {

// One stage of butterflies (spans of 2 * half points, twiddles wr/wi per
// position in the span). Every form computes each butterfly with the same
// operations in the same order, so all give the same numbers.
using FftStage = void (*)(double* re, double* im, int n, int half, const double* wr, const double* wi);
void fftStagePlain(double* re, double* im, int n, int half, const double* wr, const double* wi);
void fftStageSse2(double* re, double* im, int n, int half, const double* wr, const double* wi);  // n >= 4
void fftStageAvx2(double* re, double* im, int n, int half, const double* wr, const double* wi);  // half >= 4

class Fft {
public:
    // The routine set (MMXMode and detectCpuFeatures bits) picks the vector
    // form of the wider stages: 0 plain, 1 and 2 SSE2, 3 and 4 AVX2.
    explicit Fft(int length, int MMXMode = 0, uint32_t features = 0);
    int length() const { return n_; }
    // Forward transform (e^{-i...}) of re + i im, in place.
    void transform(double* re, double* im) const;

private:
    int n_;
    std::vector<int> swaps_;  // pairs of points the bit-reversed order exchanges
    // Twiddles of the stage with half-span h at [h - 1, 2h - 1).
    std::vector<double> wr_, wi_;
    FftStage narrow_ = fftStagePlain;  // stages of half-span below wideFrom_
    FftStage wide_ = fftStagePlain;
    int wideFrom_ = 1;
};

}  // namespace quillon::audio

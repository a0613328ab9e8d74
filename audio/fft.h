// In-place radix-2 FFT with its reordering and twiddle factors computed once.
#pragma once

#include <vector>

namespace quillon::audio {

class Fft {
public:
    explicit Fft(int length);
    int length() const { return n_; }
    // Forward transform (e^{-i...}) of re + i im, in place.
    void transform(double* re, double* im) const;

private:
    int n_;
    std::vector<int> reversed_;
    std::vector<double> cos_, sin_;
};

}  // namespace quillon::audio

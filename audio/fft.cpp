#include "audio/fft.h"

#include <cmath>
#include <utility>

#include "platform/cpu_features.h"

namespace quillon::audio {

Fft::Fft(int length, int MMXMode, uint32_t features) : n_(length), wr_(length), wi_(length) {
    int bits = 0;
    while ((1 << bits) < n_) ++bits;
    for (int i = 0; i < n_; ++i) {
        int r = 0;
        for (int b = 0; b < bits; ++b)
            if (i & (1 << b)) r |= 1 << (bits - 1 - b);
        if (r > i) {
            swaps_.push_back(i);
            swaps_.push_back(r);
        }
    }
    for (int half = 1; half < n_; half *= 2) {
        int step = n_ / (2 * half);
        for (int j = 0; j < half; ++j) {
            wr_[half - 1 + j] = std::cos(2 * M_PI * (j * step) / n_);
            wi_[half - 1 + j] = -std::sin(2 * M_PI * (j * step) / n_);
        }
    }
    if (MMXMode >= 1 && MMXMode <= 4 && (features & kCpuSse2) && n_ >= 4) {
        narrow_ = wide_ = fftStageSse2;
        if (MMXMode >= 3 && (features & kCpuAvx2) && n_ >= 8) {
            wide_ = fftStageAvx2;
            wideFrom_ = 4;
        }
    }
}

void fftStagePlain(double* re, double* im, int n, int half, const double* wr, const double* wi) {
    for (int start = 0; start < n; start += 2 * half) {
        for (int j = 0; j < half; ++j) {
            int a = start + j, b = a + half;
            double tr = re[b] * wr[j] - im[b] * wi[j];
            double ti = re[b] * wi[j] + im[b] * wr[j];
            re[b] = re[a] - tr;
            im[b] = im[a] - ti;
            re[a] += tr;
            im[a] += ti;
        }
    }
}

void Fft::transform(double* re, double* im) const {
    for (size_t s = 0; s < swaps_.size(); s += 2) {
        const int i = swaps_[s], r = swaps_[s + 1];
        std::swap(re[i], re[r]);
        std::swap(im[i], im[r]);
    }
    for (int half = 1; half < n_; half *= 2) {
        const double* wr = wr_.data() + half - 1;
        const double* wi = wi_.data() + half - 1;
        (half >= wideFrom_ ? wide_ : narrow_)(re, im, n_, half, wr, wi);
    }
}

}  // namespace quillon::audio

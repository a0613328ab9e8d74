#include "audio/fft.h"

#include <cmath>
#include <utility>

namespace quillon::audio {

Fft::Fft(int length) : n_(length), reversed_(length), cos_(length / 2), sin_(length / 2) {
    int bits = 0;
    while ((1 << bits) < n_) ++bits;
    for (int i = 0; i < n_; ++i) {
        int r = 0;
        for (int b = 0; b < bits; ++b)
            if (i & (1 << b)) r |= 1 << (bits - 1 - b);
        reversed_[i] = r;
    }
    for (int i = 0; i < n_ / 2; ++i) {
        cos_[i] = std::cos(2 * M_PI * i / n_);
        sin_[i] = std::sin(2 * M_PI * i / n_);
    }
}

void Fft::transform(double* re, double* im) const {
    for (int i = 0; i < n_; ++i) {
        int r = reversed_[i];
        if (r > i) {
            std::swap(re[i], re[r]);
            std::swap(im[i], im[r]);
        }
    }
    for (int size = 2; size <= n_; size *= 2) {
        int half = size / 2, step = n_ / size;
        for (int start = 0; start < n_; start += size) {
            for (int j = 0; j < half; ++j) {
                double wr = cos_[j * step], wi = -sin_[j * step];
                int a = start + j, b = a + half;
                double tr = re[b] * wr - im[b] * wi;
                double ti = re[b] * wi + im[b] * wr;
                re[b] = re[a] - tr;
                im[b] = im[a] - ti;
                re[a] += tr;
                im[a] += ti;
            }
        }
    }
}

}  // namespace quillon::audio

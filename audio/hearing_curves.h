// The two hearing curves model 2 builds its partitions on: the critical-band
// rate of a frequency and the threshold in quiet. (Model 1 takes both from
// its frequency tables, which list these curves at their lines to three and
// two decimals, the threshold held at 68 dB near 20 kHz.)
#pragma once

#include <cmath>

namespace quillon::audio {

// Critical-band rate in Bark (Zwicker's approximation).
inline double barkOf(double hz) {
    double k = hz / 1000.0;
    return 13.0 * std::atan(0.76 * k) + 3.5 * std::atan((k / 7.5) * (k / 7.5));
}

// Threshold in quiet in dB, on the scale where a full-scale sine is 96 dB.
inline double thresholdInQuietDb(double hz) {
    double k = hz / 1000.0;
    return 3.64 * std::pow(k, -0.8) - 6.5 * std::exp(-0.6 * (k - 3.3) * (k - 3.3)) + 0.001 * k * k * k * k;
}

}  // namespace quillon::audio

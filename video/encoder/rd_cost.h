// The one lambda every rate-distortion choice of the encoder uses: squared
// error (sum over samples, or over coefficients of the orthonormal
// transform) per bit. It grows with the square of the quantiser step, and
// B pictures, which nothing predicts from, trade more error for bits.
#pragma once

#include "video/dsp/syntax_values.h"

namespace quillon {

// percent: the settings' lambdaPercent, 100 for the table as it stands.
inline double rdLambda(int mquant, int pictureType, int percent) {
    static constexpr double kPerType[4] = {0.12, 0.10, 0.12, 0.15};  // -, I, P, B
    const double factor = kPerType[pictureType >= 1 && pictureType <= 3 ? pictureType : 2];
    return factor * mquant * mquant * percent / 100.0;
}

}  // namespace quillon

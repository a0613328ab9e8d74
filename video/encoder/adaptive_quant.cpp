#include "video/encoder/adaptive_quant.h"

#include <algorithm>
#include <cmath>

#include "video/dsp/distance_routines.h"
#include "video/encoder/picture_tools.h"

namespace quillon {

void AdaptiveQuant::startPicture(const VideoEncoder& enc, const Picture& source, int strength) {
    strength_ = strength;
    if (strength_ <= 0) return;
    const VideoGeometry& g = enc.geo;
    const bool field = enc.pic.isField();
    const int W = g.paddedWidth;
    const uint8_t* base = source.y() + (enc.pic.pictureStructure == kBottomField ? W : 0);
    const int step = field ? 2 * W : W;
    const int count = g.macroblockCount();
    factor_.assign(static_cast<size_t>(count), 1.0);
    double logSum = 0;
    for (int k = 0; k < count; ++k) {
        const uint8_t* p = base + static_cast<size_t>(16 * (k / g.mbWidth)) * step + 16 * (k % g.mbWidth);
        double v = blockVariance8(p, step);
        v = std::min(v, blockVariance8(p + 8, step));
        v = std::min(v, blockVariance8(p + 8 * step, step));
        v = std::min(v, blockVariance8(p + 8 * step + 8, step));
        factor_[static_cast<size_t>(k)] = std::log2(1.0 + v);
        logSum += factor_[static_cast<size_t>(k)];
    }
    // Against the picture's geometric mean, so the picture's quantiser stays
    // its typical one; the factor is bounded to half and double.
    const double mean = count > 0 ? logSum / count : 0;
    const double s = strength_ / 100.0;
    for (double& f : factor_) f = std::clamp(std::exp2(0.5 * s * (f - mean) / 2.0), 0.5, 2.0);
}

int AdaptiveQuant::mquantFor(int k, int pictureMquant, int qScaleType) const {
    if (strength_ <= 0 || k < 0 || static_cast<size_t>(k) >= factor_.size()) return pictureMquant;
    return nearestCodableMquant(pictureMquant * factor_[static_cast<size_t>(k)], qScaleType);
}

}  // namespace quillon

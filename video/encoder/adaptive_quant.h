// Adaptive quantisation in variable bitrate: each macroblock's quantiser
// follows its luminance activity around the picture's, finer in flat areas
// where coarse steps show, coarser in busy ones where they hide. (Constant
// bitrate has this in its rate control already.)
#pragma once

#include <vector>

#include "video/encoder/video_types.h"

namespace quillon {

class AdaptiveQuant {
public:
    // Measures the picture being coded (enc.pic's structure); strength in
    // percent, 0 leaves every quantiser alone.
    void startPicture(const VideoEncoder& enc, const Picture& source, int strength);
    // The quantiser for macroblock k from the picture's one.
    int mquantFor(int k, int pictureMquant, int qScaleType) const;
    bool active() const { return strength_ > 0; }

private:
    int strength_ = 0;
    std::vector<double> factor_;
};

}  // namespace quillon

// Motion-compensated prediction of a whole picture from the macroblock
// records (the area routines are in dsp/prediction.h).
#pragma once

#include "video/encoder/macroblock_pipeline.h"
#include "video/encoder/video_types.h"

namespace quillon {

// The prediction of one macroblock (work.x, work.y) into
// work.prediction: 128 for an intra macroblock, else its forward and/or
// backward prediction.
void predictMacroblock(const VideoEncoder& enc, const MacroblockInfo& mb, const Picture& forward,
                       const Picture& backward, MacroblockWork& work);
// Forms the prediction of every macroblock of the picture described by
// enc.pic: intra macroblocks get 128, the others their forward and/or
// backward prediction. forward is the older anchor, backward the newer one;
// in a second field the newer anchor also holds the frame's first field.
void predictPicture(VideoEncoder& enc, const Picture& forward, const Picture& backward, Picture& prediction);

}  // namespace quillon

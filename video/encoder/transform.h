// Block addressing between pictures and the block array: the DCT-type
// decision, prediction error with the forward DCT, and reconstruction with
// the inverse DCT.
#pragma once

#include "video/encoder/video_types.h"

namespace quillon {

// Sets every intra macroblock's prediction (all three planes) to 128.
void predictIntraMacroblocks(VideoEncoder& enc, Picture& prediction);
// dctType of every macroblock (0 with frame_pred_frame_dct or field pictures).
void decideDctType(VideoEncoder& enc, const Picture& prediction, const Picture& current);
// Each block = current - prediction, then the forward DCT.
void formPredictionError(VideoEncoder& enc, const Picture& prediction, const Picture& current);
// Inverse DCT of each block, then clip(prediction + block) into reconstructed.
void reconstructPicture(VideoEncoder& enc, const Picture& prediction, Picture& reconstructed);

}  // namespace quillon

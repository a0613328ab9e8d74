// Quantisation of whole macroblocks with the rate controller's quantiser,
// and the inverse quantisation of a picture for its reconstruction.
#pragma once

#include "video/encoder/video_types.h"

namespace quillon {

// Sets mquant and cbp of macroblock k and quantises its blocks in place.
void quantiseMacroblock(VideoEncoder& enc, int k);
// Inverse quantisation of every block of the picture (reconstruction loop).
void dequantizePicture(VideoEncoder& enc);

}  // namespace quillon

// Frame input: a window of recent frames pulled from the FrameSource,
// converted to Y/Cb/Cr, padded to whole macroblocks and subsampled to the
// chroma format.
#pragma once

#include "video/dsp/frame_conversion.h"
#include "video/encoder/video_types.h"

namespace quillon {

bool setUpFrameInput(VideoEncoder& enc);
void tearDownFrameInput(VideoEncoder& enc);
// Copies frame (displayIndex + first frame number) into target. False when
// the source could not deliver it (after an info line).
bool fetchPicture(VideoEncoder& enc, Picture& target, int displayIndex);

}  // namespace quillon

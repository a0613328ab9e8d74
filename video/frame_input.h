// Frame input: a window of recent frames pulled from the FrameSource,
// converted to Y/Cb/Cr, padded to whole macroblocks and subsampled to the
// chroma format.
#pragma once

#include <cstdint>

#include "video/frame_conversion.h"
#include "video/video_types.h"

namespace quillon {

bool setUpFrameInput(VideoEncoder& enc);
void tearDownFrameInput(VideoEncoder& enc);
// Copies frame (displayIndex + first frame number) into target. False when
// the source could not deliver it (after an info line).
bool fetchPicture(VideoEncoder& enc, Picture& target, int displayIndex);

// The conversion and filter forms for a routine set (MMXMode) and the
// processor's features, as selectMotionRoutines chooses: 1..4 with SSE2 the
// SSE2 forms, 3 and 4 with AVX2 the AVX2 forms, otherwise the plain ones.
// Every form gives the same bytes as its plain routine.
FrameInputRoutines selectFrameInputRoutines(bool useFloatingPoint, int MMXMode, uint32_t features);

}  // namespace quillon

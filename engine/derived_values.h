// Values computed from other settings after a settings file is loaded.
#pragma once

#include "engine/settings.h"

namespace quillon {

// Pictures per second of a frame_rate_code; 0 for codes outside 1..8.
double frameRateFromCode(int code);
// ((h * 60 + m) * 60 + s) * fps + f with fps the rounded frame rate.
int firstFrameTimecodeOf(const EncoderSettings& s);
// encodeVideo, encodeAudio, frameRate, constrainedParameters (set, never
// cleared, for VCD) and firstFrameTimecode.
void deriveLoadedValues(EncoderSettings& s);

}  // namespace quillon

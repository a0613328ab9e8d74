// Frame input: a window of recent frames pulled from the FrameSource,
// converted to Y/Cb/Cr, padded to whole macroblocks and subsampled to the
// chroma format.
#pragma once

#include "video/dsp/frame_conversion.h"
#include "video/encoder/video_types.h"

namespace quillon {

// A picture converted by the source (on its read-ahead thread with more
// than one thread), with that conversion's own scratch.
struct ConvertedFrame {
    Picture picture;
    std::vector<uint8_t> u444, v444, u422, v422;
};
// The buffers the source converts into, handed back when this goes.
struct AheadConversion {
    ~AheadConversion();
    std::vector<ConvertedFrame> frames;
    FrameSource* source = nullptr;
};

bool setUpFrameInput(VideoEncoder& enc);
void tearDownFrameInput(VideoEncoder& enc);
// Copies frame (displayIndex + first frame number) into target. False when
// the source could not deliver it (after an info line).
bool fetchPicture(VideoEncoder& enc, Picture& target, int displayIndex);

}  // namespace quillon

// The picture coding loop's building blocks. runVideoEncoder strings them
// together; each is a separate step so that P and B pictures, field
// pictures and GOP re-coding extend the loop instead of rewriting it.
#pragma once

#include "video/encoder/coding_plan.h"
#include "video/encoder/video_types.h"

namespace quillon {

// Per-picture values from the per-type settings and the pulldown rule;
// f_codes and search ranges from the motion table.
void setPictureValues(VideoEncoder& enc, const CodingStep& step);

// Steps of one frame picture after its source is in enc.current: (motion
// estimation), prediction, DCT type, forward transform, picture writer,
// inverse quantisation, reconstruction into enc.reconstructed.
bool codeFramePicture(VideoEncoder& enc);

// Progress text of the loop's per-picture overhead. Its times are working
// times: the wait for the answer to the stop question is left out.
struct ProgressClock {
    double start = 0;             // steady clock, seconds
    double questionsAtStart = 0;  // the engine's question time then
    double lastUpdate = -1;
    double fps = 0;
    long remaining = 0;           // seconds
};
void startProgressClock(VideoEncoder& enc, ProgressClock& clock);
// Seconds worked since the clock started.
double workedSeconds(const VideoEncoder& enc, const ProgressClock& clock);
void showProgress(VideoEncoder& enc, ProgressClock& clock, int i);
// End-of-run info lines.
void printEndLines(VideoEncoder& enc, long elapsedSeconds);

}  // namespace quillon

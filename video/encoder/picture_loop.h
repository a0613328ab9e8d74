// The picture coding loop's building blocks. runVideoEncoder strings them
// together; each is a separate step so that P and B pictures, field
// pictures and GOP re-coding extend the loop instead of rewriting it.
#pragma once

#include "video/encoder/video_types.h"

namespace quillon {

// Where coding index i sits in the coding order for N, M and nframes.
struct CodingStep {
    int pictureType = kPictureI;
    int displayIndex = 0;
    int gopStart = 0;      // f0: display index of the GOP's first picture
    bool opensGop = false; // I picture with i == f0
    int motionEntry = 0;   // motion table entry (P: 0, B: distance from the forward reference)
};
CodingStep planCodingStep(int i, int N, int M, int nframes);

// Pictures in the GOP that coding index i opens.
struct GopCounts {
    int n = 0, np = 0, nb = 0;
};
GopCounts gopCounts(int i, int f0, int N, int M, int nframes);

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

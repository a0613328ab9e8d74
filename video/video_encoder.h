// The engine's video phase: turns the job's frames into one MPEG-1 or
// MPEG-2 video elementary stream at engine.job.videoStreamName.
#pragma once

#include <vector>

#include "engine/engine.h"
#include "video/encoder/coding_plan.h"

namespace quillon {

class PictureObserver;

struct VideoRunOptions {
    // Sees every coded frame (may be null).
    PictureObserver* observer = nullptr;
    // Steps of an earlier encode of the same job, coded instead of deciding
    // the GOP plan anew (may be null). A plan that does not fit the job is
    // refused with a message before anything is written.
    const std::vector<CodingStep>* replayPlan = nullptr;
    // Receives the plan the encode coded, decided or replayed (may be null).
    // Filled when the encode ends, also when it fails after a first picture.
    std::vector<CodingStep>* recordPlan = nullptr;
};

// Returns false after reporting a failure, or silently after a stop request.
bool runVideoEncoder(Engine& engine);
// The same, reporting every coded frame to observer (may be null).
bool runVideoEncoder(Engine& engine, PictureObserver* observer);
bool runVideoEncoder(Engine& engine, const VideoRunOptions& options);

// Two-pass coding is on: twoPass with variable bitrate and an avgBitrate.
bool twoPassWanted(const EncoderSettings& s);

}  // namespace quillon

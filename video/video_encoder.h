// The engine's video phase: turns the job's frames into one MPEG-1 or
// MPEG-2 video elementary stream at engine.job.videoStreamName.
#pragma once

#include "engine/engine.h"

namespace quillon {

// Returns false after reporting a failure, or silently after a stop request.
bool runVideoEncoder(Engine& engine);
// The same, reporting every coded frame to observer (may be null).
class PictureObserver;
bool runVideoEncoder(Engine& engine, PictureObserver* observer);

// Two-pass coding is on: twoPass with variable bitrate and an avgBitrate.
bool twoPassWanted(const EncoderSettings& s);

}  // namespace quillon

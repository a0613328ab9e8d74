// The engine's audio phase: encodes the job's sound into an MPEG-1 Layer I
// or Layer II elementary stream written to job.audioStreamName.
#pragma once

namespace quillon {

class Engine;

// Returns true on success; false after a reported failure or on a stop
// (without a message; the frames written so far stay in the file).
bool runAudioEncoder(Engine& engine);

}  // namespace quillon

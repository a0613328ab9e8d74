// The engine's audio phase: encodes the job's sound into an MPEG-1 Layer I
// or Layer II elementary stream written to job.audioStreamName.
#pragma once

namespace quillon {

class Engine;

// Returns true on success; false after a reported failure or on a stop
// (without a message; the frames written so far stay in the file).
bool runAudioEncoder(Engine& engine);

// The encoder's own set-up checks (sampling rate, layer, bitrate, mode),
// with its messages, without coding anything: for a check before the video.
bool checkAudioSettings(Engine& engine);

}  // namespace quillon

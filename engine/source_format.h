// The job's source format against the settings, at job start.
#pragma once

namespace quillon {

class Engine;

// The request's picture size and sound format. Reports each problem,
// raises level and profile to fit the picture, lowers the frame rate to
// the level's sample rate (not below 25), caps single-channel sound at
// 192 kbit/s, and drops video or sound the engine cannot take (clearing
// ev.hasVideo or ev.hasAudio). Works on the working copies. Returns 1 when
// the video cannot be encoded, else 0.
int checkSourceFormat(Engine& engine, int width, int height, int sampleRate, int bitsPerSample);

}  // namespace quillon

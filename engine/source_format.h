// The job's source format against the settings, at job start.
#pragma once

#include <string>

#include "engine/settings.h"

namespace quillon {

class Engine;

// Raises level and profile to fit a w x h picture and lowers the frame rate
// to the level's sample rate (not below 25), as a job start does.
void fitLevelToPicture(EncoderSettings& s, int width, int height);

// What a job of a w x h picture would be refused for by its settings, after
// the adjustments a job start makes (level, profile, frame rate, the
// automatic bit rate): the size messages of the job start or the video
// rule it breaks, saying what the target allows. Empty when the settings
// take the size. For the window, which checks before Convert.
std::string outputSizeProblem(const EncoderSettings& s, int width, int height);

// The request's picture size and sound format. Reports each problem,
// raises level and profile to fit the picture, lowers the frame rate to
// the level's sample rate (not below 25), caps single-channel sound at
// 192 kbit/s, and drops video or sound the engine cannot take (clearing
// ev.hasVideo or ev.hasAudio). Works on the working copies. Returns 1 when
// the video cannot be encoded, else 0.
int checkSourceFormat(Engine& engine, int width, int height, int sampleRate, int bitsPerSample);

}  // namespace quillon

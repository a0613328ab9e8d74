// Acceptance rules for the settings record. They never correct a value;
// they accept or reject, and the caller reports.
#pragma once

#include "engine/settings.h"

namespace quillon {

// horizontalSize and verticalSize are the job's picture size (0 before a
// job), which the constrained-parameter and level limits look at.
bool validateVideoSettings(const EncoderSettings& s, int horizontalSize, int verticalSize);
bool validateVideoSettings(const EncoderSettings& s, const EngineValues& ev);
bool validateAudioSettings(const EncoderSettings& s);

// The MPEG-2 profile and level rules alone (part of the video rules).
bool validateProfileAndLevel(const EncoderSettings& s, int horizontalSize, int verticalSize);

// Limits of one MPEG-2 level; null for an unknown level code.
struct LevelLimits {
    int level;
    int horizontalFCode;
    int verticalFCode;
    int width;
    int height;
    double samplesPerSecond;
    double bitsPerSecond;
    int vbvBufferSize;
};
const LevelLimits* levelLimits(int level);

}  // namespace quillon

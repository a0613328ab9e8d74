// Acceptance rules for the settings record. They never correct a value;
// they accept or reject, and the caller reports. The *Problem forms say
// which value is wrong and what is allowed, in a sentence for the user.
#pragma once

#include <string>

#include "engine/settings.h"

namespace quillon {

// horizontalSize and verticalSize are the job's picture size (0 before a
// job), which the constrained-parameter and level limits look at.
bool validateVideoSettings(const EncoderSettings& s, int horizontalSize, int verticalSize);
bool validateVideoSettings(const EncoderSettings& s, const EngineValues& ev);
bool validateAudioSettings(const EncoderSettings& s);

// The MPEG-2 profile and level rules alone (part of the video rules).
bool validateProfileAndLevel(const EncoderSettings& s, int horizontalSize, int verticalSize);

// The first rule the values break, as text; empty when they pass.
std::string videoSettingsProblem(const EncoderSettings& s, int horizontalSize, int verticalSize);
std::string audioSettingsProblem(const EncoderSettings& s);
std::string profileAndLevelProblem(const EncoderSettings& s, int horizontalSize, int verticalSize);

// Every key inside its own range, and the keys that size the multiplexer's
// packets, buffers and clock, and the bit rate bounds, consistent with one
// another: values outside these would make an encoder or the multiplexer
// overflow, spin or write without end. Empty when all is well; otherwise
// the problem, and the key at fault in *key.
std::string settingsLimitProblem(const EncoderSettings& s, std::string* key = nullptr);

// The smallest packet payload the multiplexer works with: room for the
// largest sequence header it puts in front of an I picture, and more.
inline constexpr int kMinPacketPayload = 300;
// The video packet payload the multiplexer derives from the sector size,
// the packets per pack and the system header choice (all three streams
// counted present, which gives the smallest payload).
int videoPacketPayload(const EncoderSettings& s);

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

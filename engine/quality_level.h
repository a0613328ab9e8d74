// The quality level: which coding tools the video encoder uses above the
// classic design. The level only gives defaults; each tool has its own key
// in the settings file's [quality] section.
#pragma once

#include <string>

#include "engine/settings.h"

namespace quillon {

enum QualityLevel : int {
    kQualityClassic = 0,
    kQualityHigh = 1,
    kQualityBest = 2,
};
inline constexpr int kDefaultQuality = kQualityHigh;

// Sets every [quality] key to the level's value; classic turns every tool
// off, which codes exactly what the classic encoder codes.
void applyQualityLevel(EncoderSettings& s, int level);

// "classic", "high", "best"; -1 for any other name (letter case ignored).
int qualityLevelFromName(const std::string& name);
const char* qualityLevelName(int level);

}  // namespace quillon

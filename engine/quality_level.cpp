#include "engine/quality_level.h"

#include <strings.h>

namespace quillon {

void applyQualityLevel(EncoderSettings& s, int level) {
    const EncoderSettings classic;
    s.iQuantRatio = classic.iQuantRatio;
    s.bQuantRatio = classic.bQuantRatio;
    s.typeWeights = classic.typeWeights;
    s.zigzagProgressive = classic.zigzagProgressive;
    s.intraVLCAll = classic.intraVLCAll;
    s.dcPrecisionByRate = classic.dcPrecisionByRate;
    s.adaptiveQuant = classic.adaptiveQuant;
    s.trellis = classic.trellis;
    if (level != kQualityHigh && level != kQualityBest) return;
    s.iQuantRatio = 80;
    s.bQuantRatio = 130;
    s.typeWeights = 1;
    s.zigzagProgressive = 1;
    s.intraVLCAll = 1;
    s.dcPrecisionByRate = 1;
    s.adaptiveQuant = 0;
    s.trellis = level == kQualityBest ? 2 : 1;
}

int qualityLevelFromName(const std::string& name) {
    for (int level = kQualityClassic; level <= kQualityBest; ++level)
        if (strcasecmp(name.c_str(), qualityLevelName(level)) == 0) return level;
    return -1;
}

const char* qualityLevelName(int level) {
    switch (level) {
        case kQualityClassic: return "classic";
        case kQualityHigh: return "high";
        case kQualityBest: return "best";
    }
    return "";
}

}  // namespace quillon

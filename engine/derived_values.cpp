#include "engine/derived_values.h"

namespace quillon {

namespace {
constexpr double kFrameRates[9] = {0.0, 24000.0 / 1001.0, 24.0, 25.0, 30000.0 / 1001.0,
                                   30.0, 50.0, 60000.0 / 1001.0, 60.0};
}

double frameRateFromCode(int code) {
    if (code < 1 || code > 8) return 0.0;
    return kFrameRates[code];
}

int firstFrameTimecodeOf(const EncoderSettings& s) {
    int fps = static_cast<int>(s.frameRate + 0.5);
    long long t = (static_cast<long long>(s.firstFrameHours) * 60 + s.firstFrameMinutes) * 60 +
                  s.firstFrameSeconds;
    return static_cast<int>(t * fps + s.firstFrameFrame);
}

void deriveLoadedValues(EncoderSettings& s) {
    s.encodeVideo = s.userEncodeVideo;
    s.encodeAudio = s.userEncodeAudio;
    s.frameRate = frameRateFromCode(s.frameRateCode);
    if (s.videoType == kKindVcd) s.constrainedParameters = 1;
    s.firstFrameTimecode = firstFrameTimecodeOf(s);
}

}  // namespace quillon

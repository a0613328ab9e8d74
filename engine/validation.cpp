#include "engine/validation.h"

namespace quillon {

namespace {

constexpr LevelLimits kLevels[] = {
    {4, 9, 5, 1920, 1152, 62668800.0, 80e6, 597},
    {6, 9, 5, 1440, 1152, 47001600.0, 60e6, 448},
    {8, 8, 5, 720, 576, 10368000.0, 15e6, 112},
    {10, 7, 4, 352, 288, 3041280.0, 4e6, 29},
};

bool in(int v, int lo, int hi) { return v >= lo && v <= hi; }
bool flag(int v) { return v == 0 || v == 1; }
bool colourCode(int v) { return in(v, 1, 7) && v != 3; }

// Calls f(fCode, range, vertical) for every used motion vector half: the
// forward half of entries 0..M-1 and the backward half of entries 1..M-1.
template <typename F>
bool allUsedHalves(const EncoderSettings& s, F f) {
    const int m = s.ipFrameDistance;
    for (int e = 0; e < m; ++e) {
        const int* row = s.motion[e];
        if (!f(row[kForwHorzFCode], row[kForwHorzSearch], false)) return false;
        if (!f(row[kForwVertFCode], row[kForwVertSearch], true)) return false;
        if (e == 0) continue;
        if (!f(row[kBackHorzFCode], row[kBackHorzSearch], false)) return false;
        if (!f(row[kBackVertFCode], row[kBackVertSearch], true)) return false;
    }
    return true;
}

}  // namespace

const LevelLimits* levelLimits(int level) {
    for (const LevelLimits& l : kLevels)
        if (l.level == level) return &l;
    return nullptr;
}

bool validateProfileAndLevel(const EncoderSettings& s, int width, int height) {
    const int p = s.profile, lv = s.level;
    if (p != 1 && p != 4 && p != 5) return false;
    const LevelLimits* limits = levelLimits(lv);
    if (!limits) return false;
    if (p == 1 && lv == 10) return false;  // High profile has no Low level
    if (p == 5 && lv != 8) return false;   // Simple profile is Main level only

    if (p == 5 && s.ipFrameDistance != 1) return false;
    if (p == 1) {
        if (s.chromaFormat != 1 && s.chromaFormat != 2) return false;
    } else if (s.chromaFormat != 1) {
        return false;
    }
    if (p != 1 && s.repeatFirstField) {
        if (s.frameRateCode == 1 || s.frameRateCode == 2) return false;
        if (s.frameRateCode <= 6 && s.progressiveSequence) return false;
    }
    if (s.intraDCPrec == 3 && p != 1) return false;
    if (s.frameRateCode > 5 && (lv == 8 || lv == 10)) return false;

    bool fcodesFit = allUsedHalves(s, [&](int f, int, bool vertical) {
        return f <= (vertical ? limits->verticalFCode : limits->horizontalFCode);
    });
    if (!fcodesFit) return false;
    if (width > limits->width || height > limits->height) return false;
    if (static_cast<double>(width) * height * s.frameRate > limits->samplesPerSecond) return false;
    if (s.constBitrate > limits->bitsPerSecond) return false;
    if (s.vbvBufferSize > limits->vbvBufferSize) return false;
    return true;
}

bool validateVideoSettings(const EncoderSettings& s, int width, int height) {
    const bool mpeg2 = isMpeg2Syntax(s);
    const int m = s.ipFrameDistance;
    // 1: GOP structure.
    if (!in(s.iFramesInGOP, 1, 32) || !in(m, 1, 16) || s.iFramesInGOP % m != 0) return false;

    // 2: ranges.
    if (!in(s.aspectRatio, 1, mpeg2 ? 4 : 14)) return false;
    if (!in(s.frameRateCode, 1, 8)) return false;
    if (!(s.constBitrate > 0) || s.constBitrate > (mpeg2 ? 429496729200.0 : 104857200.0))
        return false;
    if (!in(s.vbvBufferSize, 1, mpeg2 ? 262143 : 1023)) return false;
    if (!in(s.chromaFormat, 1, 3) || !in(s.videoFormat, 0, 4)) return false;
    if (!colourCode(s.colorPrimaries) || !colourCode(s.transferCharacteristics) ||
        !colourCode(s.matrixCoefficients))
        return false;
    if (!in(s.displayHorizontalSize, 0, 16383) || !in(s.displayVerticalSize, 0, 16383)) return false;
    if (!in(s.intraDCPrec, 0, 3)) return false;
    const int maxFCode = mpeg2 ? 9 : 7;
    if (!allUsedHalves(s, [&](int f, int range, bool) { return in(f, 1, maxFCode) && range > 0; }))
        return false;

    // 3: MPEG-1 constrained parameters.
    if (!mpeg2 && s.constrainedParameters) {
        if (width > 768 || height > 576) return false;
        const long long mbs = static_cast<long long>((width + 15) / 16) * ((height + 15) / 16);
        if (mbs > 396 || static_cast<double>(mbs) * s.frameRate > 9900.0) return false;
        if (s.frameRate > 30.0) return false;
        if (!allUsedHalves(s, [](int f, int, bool) { return f <= 4; })) return false;
    }
    // 4: profile and level.
    if (mpeg2 && !validateProfileAndLevel(s, width, height)) return false;
    // 5: what MPEG-1 syntax cannot express.
    if (!mpeg2) {
        if (!s.progressiveSequence || s.chromaFormat != 1 || s.intraDCPrec != 0) return false;
        if (s.quantizationScaleI || s.quantizationScaleP || s.quantizationScaleB) return false;
        if (s.intraVLCFormatI || s.intraVLCFormatP || s.intraVLCFormatB) return false;
        if (s.alternateScanI || s.alternateScanP || s.alternateScanB) return false;
    }
    // 6.
    if (mpeg2 && s.constrainedParameters) return false;
    // 7, 8, 9: progressive and field consistency.
    if (s.progressiveSequence && !s.progressiveFrame) return false;
    if (s.progressiveFrame) {
        if (s.fieldPictures || !s.framePredDCTI || !s.framePredDCTP || !s.framePredDCTB) return false;
    } else if (s.repeatFirstField) {
        return false;
    }
    if (s.progressiveSequence && !s.repeatFirstField && s.topFieldFirst) return false;
    // 10: every search range reachable with its f_code.
    return allUsedHalves(s, [](int f, int range, bool) {
        return static_cast<long long>(range) <= (4LL << f) - 1;
    });
}

bool validateVideoSettings(const EncoderSettings& s, const EngineValues& ev) {
    return validateVideoSettings(s, ev.horizontalSize, ev.verticalSize);
}

bool validateAudioSettings(const EncoderSettings& s) {
    return in(s.audioLayer, 1, 2) && in(s.psychModel, 1, 2) && in(s.audioBitrate, 0, 14) &&
           (s.deEmphasis == 0 || s.deEmphasis == 1 || s.deEmphasis == 3) && flag(s.privateBit) &&
           flag(s.errorProtection) && flag(s.copyrightBit) && flag(s.originalBit);
}

}  // namespace quillon

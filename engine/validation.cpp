#include "engine/validation.h"

#include <cstdint>

#include "engine/format.h"
#include "engine/settings_keys.h"

namespace quillon {

namespace {

constexpr LevelLimits kLevels[] = {
    {4, 9, 5, 1920, 1152, 62668800.0, 80e6, 597},
    {6, 9, 5, 1440, 1152, 47001600.0, 60e6, 448},
    {8, 8, 5, 720, 576, 10368000.0, 15e6, 112},
    {10, 7, 4, 352, 288, 3041280.0, 4e6, 29},
};

constexpr double kMpeg1MaxBitrate = 104857200.0;
constexpr double kMpeg2MaxBitrate = 429496729200.0;

bool in(int v, int lo, int hi) { return v >= lo && v <= hi; }
bool flag(int v) { return v == 0 || v == 1; }
bool colourCode(int v) { return in(v, 1, 7) && v != 3; }

const char* levelName(int level) {
    switch (level) {
        case 4: return "High";
        case 6: return "High-1440";
        case 8: return "Main";
        case 10: return "Low";
        default: return "unknown";
    }
}

const char* syntaxName(const EncoderSettings& s) { return isMpeg2Syntax(s) ? "MPEG-2" : "MPEG-1"; }

// The settings-file key of one motion table field.
std::string motionKey(int entry, int field) {
    static constexpr const char* kNames[8] = {"forwHorzFCode", "forwVertFCode", "forwHorzSearch",
                                              "forwVertSearch", "backHorzFCode", "backVertFCode",
                                              "backHorzSearch", "backVertSearch"};
    return std::string(kNames[field]) + (entry == 0 ? "P" : "B" + std::to_string(entry));
}

// One used half of a motion entry: its f_code and search range fields.
struct Half {
    int entry;
    int fCodeField;
    int rangeField;
    bool vertical;
};

// Calls f(half, fCode, range) for every used motion vector half: the
// forward half of entries 0..M-1 and the backward half of entries 1..M-1,
// until f returns a problem.
template <typename F>
std::string firstHalfProblem(const EncoderSettings& s, F f) {
    const int m = s.ipFrameDistance;
    for (int e = 0; e < m && e < kMotionEntries; ++e) {
        const int* row = s.motion[e];
        const Half halves[4] = {{e, kForwHorzFCode, kForwHorzSearch, false},
                                {e, kForwVertFCode, kForwVertSearch, true},
                                {e, kBackHorzFCode, kBackHorzSearch, false},
                                {e, kBackVertFCode, kBackVertSearch, true}};
        for (int h = 0; h < (e == 0 ? 2 : 4); ++h) {
            std::string problem = f(halves[h], row[halves[h].fCodeField], row[halves[h].rangeField]);
            if (!problem.empty()) return problem;
        }
    }
    return {};
}

std::string constrainedProblem(const EncoderSettings& s, int width, int height) {
    const char* who = s.videoType == kKindVcd ? "a VCD" : "constrained parameters";
    if (width > 768 || height > 576)
        return formatText("The %d x %d picture is larger than %s allows (at most 768 x 576 and 396 "
                          "macroblocks, for example 352 x 288 or 352 x 240).",
                          width, height, who);
    const long long mbs = static_cast<long long>((width + 15) / 16) * ((height + 15) / 16);
    if (mbs > 396)
        return formatText("The %d x %d picture has %lld macroblocks; %s allows at most 396 (for example "
                          "352 x 288 or 352 x 240).",
                          width, height, mbs, who);
    if (static_cast<double>(mbs) * s.frameRate > 9900.0)
        return formatText("The %d x %d picture at %.3f pictures per second gives %.0f macroblocks per "
                          "second; %s allows at most 9900.",
                          width, height, s.frameRate, static_cast<double>(mbs) * s.frameRate, who);
    if (s.frameRate > 30.0)
        return formatText("frameRateCode=%d (%.3f pictures per second) is above the 30 %s allows.",
                          s.frameRateCode, s.frameRate, who);
    return firstHalfProblem(s, [&](const Half& h, int f, int) -> std::string {
        if (f <= 4) return {};
        return formatText("%s=%d is above the f_code 4 %s allows.", motionKey(h.entry, h.fCodeField).c_str(), f,
                          who);
    });
}

}  // namespace

const LevelLimits* levelLimits(int level) {
    for (const LevelLimits& l : kLevels)
        if (l.level == level) return &l;
    return nullptr;
}

std::string profileAndLevelProblem(const EncoderSettings& s, int width, int height) {
    const int p = s.profile, lv = s.level;
    if (p != 1 && p != 4 && p != 5) return formatText("profile=%d is not 1 (High), 4 (Main) or 5 (Simple).", p);
    const LevelLimits* limits = levelLimits(lv);
    if (!limits) return formatText("level=%d is not 4 (High), 6 (High-1440), 8 (Main) or 10 (Low).", lv);
    if (p == 1 && lv == 10) return "High profile (profile=1) has no Low level (level=10).";
    if (p == 5 && lv != 8) return formatText("Simple profile (profile=5) allows only Main level (level=8), not level=%d.", lv);

    if (p == 5 && s.ipFrameDistance != 1)
        return formatText("Simple profile (profile=5) needs ipFrameDistance=1 (no B pictures), not %d.",
                          s.ipFrameDistance);
    if (p == 1) {
        if (s.chromaFormat != 1 && s.chromaFormat != 2)
            return formatText("chromaFormat=%d: High profile allows 1 (4:2:0) or 2 (4:2:2).", s.chromaFormat);
    } else if (s.chromaFormat != 1) {
        return formatText("chromaFormat=%d needs High profile (profile=1); profile=%d allows only 1 (4:2:0).",
                          s.chromaFormat, p);
    }
    if (p != 1 && s.repeatFirstField) {
        if (s.frameRateCode == 1 || s.frameRateCode == 2)
            return formatText("repeatFirstField=1 with frameRateCode=%d is not allowed at profile=%d.",
                              s.frameRateCode, p);
        if (s.frameRateCode <= 6 && s.progressiveSequence)
            return formatText("repeatFirstField=1 in a progressive sequence with frameRateCode=%d is not "
                              "allowed at profile=%d.",
                              s.frameRateCode, p);
    }
    if (s.intraDCPrec == 3 && p != 1) return "intraDCPrec=3 needs High profile (profile=1).";
    if (s.frameRateCode > 5 && (lv == 8 || lv == 10))
        return formatText("frameRateCode=%d (%.3f pictures per second) is above the 30 the %s level allows.",
                          s.frameRateCode, s.frameRate, levelName(lv));

    std::string fcodes = firstHalfProblem(s, [&](const Half& h, int f, int) -> std::string {
        const int most = h.vertical ? limits->verticalFCode : limits->horizontalFCode;
        if (f <= most) return {};
        return formatText("%s=%d is above the f_code %d the %s level allows.",
                          motionKey(h.entry, h.fCodeField).c_str(), f, most, levelName(lv));
    });
    if (!fcodes.empty()) return fcodes;
    if (width > limits->width || height > limits->height)
        return formatText("The %d x %d picture is larger than the %d x %d the %s level (level=%d) allows.", width,
                          height, limits->width, limits->height, levelName(lv), lv);
    if (static_cast<double>(width) * height * s.frameRate > limits->samplesPerSecond)
        return formatText("The %d x %d picture at %.3f pictures per second is more than the %.0f samples per "
                          "second the %s level allows.",
                          width, height, s.frameRate, limits->samplesPerSecond, levelName(lv));
    if (s.constBitrate > limits->bitsPerSecond)
        return formatText("constBitrate=%.0f is above the %.0f bit/s the %s level allows.", s.constBitrate,
                          limits->bitsPerSecond, levelName(lv));
    if (s.vbvBufferSize > limits->vbvBufferSize)
        return formatText("vbvBufferSize=%d is above the %d the %s level allows.", s.vbvBufferSize,
                          limits->vbvBufferSize, levelName(lv));
    return {};
}

bool validateProfileAndLevel(const EncoderSettings& s, int width, int height) {
    return profileAndLevelProblem(s, width, height).empty();
}

std::string videoSettingsProblem(const EncoderSettings& s, int width, int height) {
    const bool mpeg2 = isMpeg2Syntax(s);
    const char* syntax = syntaxName(s);
    const int m = s.ipFrameDistance;
    // 1: GOP structure.
    if (!in(s.iFramesInGOP, 1, 32)) return formatText("iFramesInGOP=%d is outside 1..32.", s.iFramesInGOP);
    if (!in(m, 1, 16)) return formatText("ipFrameDistance=%d is outside 1..16.", m);
    if (s.iFramesInGOP % m != 0)
        return formatText("iFramesInGOP=%d is not a multiple of ipFrameDistance=%d.", s.iFramesInGOP, m);

    // 2: ranges.
    if (!in(s.aspectRatio, 1, mpeg2 ? 4 : 14))
        return formatText("aspectRatio=%d is outside 1..%d, the codes %s has.", s.aspectRatio, mpeg2 ? 4 : 14, syntax);
    if (!in(s.frameRateCode, 1, 8)) return formatText("frameRateCode=%d is outside 1..8.", s.frameRateCode);
    const double maxRate = mpeg2 ? kMpeg2MaxBitrate : kMpeg1MaxBitrate;
    if (!(s.constBitrate > 0) || s.constBitrate > maxRate)
        return formatText("constBitrate=%.0f must be above 0 and at most %.0f for %s.", s.constBitrate, maxRate,
                          syntax);
    if (!in(s.vbvBufferSize, 1, mpeg2 ? 262143 : 1023))
        return formatText("vbvBufferSize=%d is outside 1..%d for %s.", s.vbvBufferSize, mpeg2 ? 262143 : 1023,
                          syntax);
    if (!in(s.chromaFormat, 1, 3)) return formatText("chromaFormat=%d is outside 1..3.", s.chromaFormat);
    if (!in(s.videoFormat, 0, 4)) return formatText("videoFormat=%d is outside 0..4.", s.videoFormat);
    const struct {
        const char* key;
        int value;
    } colours[3] = {{"colorPrimaries", s.colorPrimaries},
                    {"transferCharacteristics", s.transferCharacteristics},
                    {"matrixCoefficients", s.matrixCoefficients}};
    for (const auto& c : colours)
        if (!colourCode(c.value)) return formatText("%s=%d must be 1..7 and not 3.", c.key, c.value);
    if (!in(s.displayHorizontalSize, 0, 16383))
        return formatText("displayHorizontalSize=%d is outside 0..16383.", s.displayHorizontalSize);
    if (!in(s.displayVerticalSize, 0, 16383))
        return formatText("displayVerticalSize=%d is outside 0..16383.", s.displayVerticalSize);
    if (!in(s.intraDCPrec, 0, 3)) return formatText("intraDCPrec=%d is outside 0..3.", s.intraDCPrec);
    const int maxFCode = mpeg2 ? 9 : 7;
    std::string motion = firstHalfProblem(s, [&](const Half& h, int f, int range) -> std::string {
        if (!in(f, 1, maxFCode))
            return formatText("%s=%d is outside 1..%d for %s.", motionKey(h.entry, h.fCodeField).c_str(), f,
                              maxFCode, syntax);
        if (range <= 0)
            return formatText("%s=%d must be above 0.", motionKey(h.entry, h.rangeField).c_str(), range);
        return {};
    });
    if (!motion.empty()) return motion;

    // 3: MPEG-1 constrained parameters.
    if (!mpeg2 && s.constrainedParameters) {
        std::string c = constrainedProblem(s, width, height);
        if (!c.empty()) return c;
    }
    // 4: profile and level.
    if (mpeg2) {
        std::string p = profileAndLevelProblem(s, width, height);
        if (!p.empty()) return p;
    }
    // 5: what MPEG-1 syntax cannot express.
    if (!mpeg2) {
        if (!s.progressiveSequence) return "MPEG-1 needs progressiveSequence=1.";
        if (s.chromaFormat != 1) return formatText("chromaFormat=%d: MPEG-1 has only 1 (4:2:0).", s.chromaFormat);
        if (s.intraDCPrec != 0) return formatText("intraDCPrec=%d: MPEG-1 has only 0 (8 bits).", s.intraDCPrec);
        const struct {
            const char* key;
            int value;
        } mpeg2Only[9] = {{"quantizationScaleI", s.quantizationScaleI}, {"quantizationScaleP", s.quantizationScaleP},
                          {"quantizationScaleB", s.quantizationScaleB}, {"intraVLCFormatI", s.intraVLCFormatI},
                          {"intraVLCFormatP", s.intraVLCFormatP},       {"intraVLCFormatB", s.intraVLCFormatB},
                          {"alternateScanI", s.alternateScanI},         {"alternateScanP", s.alternateScanP},
                          {"alternateScanB", s.alternateScanB}};
        for (const auto& k : mpeg2Only)
            if (k.value) return formatText("%s=%d: MPEG-1 has only 0.", k.key, k.value);
    }
    // 6.
    if (mpeg2 && s.constrainedParameters) return "Constrained parameters are for MPEG-1 (videoType 0 or 1) only.";
    // 7, 8, 9: progressive and field consistency.
    if (s.progressiveSequence && !s.progressiveFrame) return "progressiveSequence=1 needs progressiveFrame=1.";
    if (s.progressiveFrame) {
        if (s.fieldPictures) return "progressiveFrame=1 needs fieldPictures=0.";
        if (!s.framePredDCTI || !s.framePredDCTP || !s.framePredDCTB)
            return "progressiveFrame=1 needs framePredDCTI, framePredDCTP and framePredDCTB set to 1.";
    } else if (s.repeatFirstField) {
        return "repeatFirstField=1 needs progressiveFrame=1.";
    }
    if (s.progressiveSequence && !s.repeatFirstField && s.topFieldFirst)
        return "topFieldFirst=1 needs repeatFirstField=1 in a progressive sequence.";
    // 10: every search range reachable with its f_code.
    return firstHalfProblem(s, [&](const Half& h, int f, int range) -> std::string {
        const long long reach = (4LL << f) - 1;
        if (static_cast<long long>(range) <= reach) return {};
        return formatText("%s=%d is beyond the %lld samples its f_code %d (%s) reaches.",
                          motionKey(h.entry, h.rangeField).c_str(), range, reach, f,
                          motionKey(h.entry, h.fCodeField).c_str());
    });
}

bool validateVideoSettings(const EncoderSettings& s, int width, int height) {
    return videoSettingsProblem(s, width, height).empty();
}

bool validateVideoSettings(const EncoderSettings& s, const EngineValues& ev) {
    return validateVideoSettings(s, ev.horizontalSize, ev.verticalSize);
}

std::string audioSettingsProblem(const EncoderSettings& s) {
    if (!in(s.audioLayer, 1, 2)) return formatText("audioLayer=%d is outside 1..2.", s.audioLayer);
    if (!in(s.psychModel, 1, 2)) return formatText("psychModel=%d is outside 1..2.", s.psychModel);
    if (!in(s.audioBitrate, 0, 14)) return formatText("audioBitrate=%d is outside 0..14.", s.audioBitrate);
    if (s.deEmphasis != 0 && s.deEmphasis != 1 && s.deEmphasis != 3)
        return formatText("deEmphasis=%d is not 0, 1 or 3.", s.deEmphasis);
    const struct {
        const char* key;
        int value;
    } flags[4] = {{"privateBit", s.privateBit},
                  {"errorProtection", s.errorProtection},
                  {"copyrightBit", s.copyrightBit},
                  {"originalBit", s.originalBit}};
    for (const auto& f : flags)
        if (!flag(f.value)) return formatText("%s=%d is not 0 or 1.", f.key, f.value);
    return {};
}

bool validateAudioSettings(const EncoderSettings& s) { return audioSettingsProblem(s).empty(); }

int videoPacketPayload(const EncoderSettings& s) {
    const bool mpeg2 = s.programStreamType >= 2;
    const long long ppp = s.packetsPerPack > 0 ? s.packetsPerPack : 1;
    const long long payload = s.alwaysWriteSysHeader ? s.sectorSize - (mpeg2 ? 57 : 51)
                                                     : s.sectorSize - ppp * (mpeg2 ? 22 : 18) - (mpeg2 ? 14 : 12);
    return static_cast<int>(payload / ppp);
}

std::string settingsLimitProblem(const EncoderSettings& s, std::string* key) {
    auto fault = [&](const char* name, std::string text) {
        if (key) *key = name;
        return text;
    };
    std::string problem;
    if (const SettingsKey* k = keyOutOfRange(s, &problem)) {
        if (key) *key = k->name;
        return problem + ".";
    }

    // Packets must have room for the headers the multiplexer puts in them.
    const int video = videoPacketPayload(s);
    if (video < kMinPacketPayload)
        return fault("packetsPerPack",
                     formatText("packetsPerPack=%d leaves %d payload bytes in a sector of sectorSize=%d; "
                                "at least %d are needed.",
                                s.packetsPerPack, video < 0 ? 0 : video, s.sectorSize, kMinPacketPayload));
    // A buffer that cannot take one packet never lets its stream be sent.
    if (static_cast<long long>(s.videoBufferSize) * 1024 < video)
        return fault("videoBufferSize", formatText("videoBufferSize=%d KB cannot hold one %d-byte video packet.",
                                                   s.videoBufferSize, video));
    const int audio = s.programStreamType == kKindVcd ? video - 15 : video + 5;
    if (static_cast<long long>(s.audioBufferSize) * 1024 < audio)
        return fault("audioBufferSize", formatText("audioBufferSize=%d KB cannot hold one %d-byte audio packet.",
                                                   s.audioBufferSize, audio));
    if (static_cast<long long>(s.audio1BufferSize) * 1024 < audio)
        return fault("audio1BufferSize", formatText("audio1BufferSize=%d KB cannot hold one %d-byte audio packet.",
                                                    s.audio1BufferSize, audio));
    // The clock advances by one pack time per pack: at least one pack a
    // second.
    if (s.userMuxRate != 0 && static_cast<long long>(s.userMuxRate) * 50 < s.sectorSize)
        return fault("userMuxRate", formatText("userMuxRate=%d (%lld bytes/s) is less than one %d-byte pack per "
                                               "second; use 0 (computed) or at least %d.",
                                               s.userMuxRate, static_cast<long long>(s.userMuxRate) * 50,
                                               s.sectorSize, (s.sectorSize + 49) / 50));

    const double formatMax = isMpeg2Syntax(s) ? kMpeg2MaxBitrate : kMpeg1MaxBitrate;
    if (s.maxBitrate > formatMax)
        return fault("maxBitrate", formatText("maxBitrate=%.0f is above the %.0f bit/s %s can state.", s.maxBitrate,
                                              formatMax, syntaxName(s)));
    // The rates the GOP re-coding of a variable-rate stream aims at stay
    // within what the stream may carry: its maximum; without one, the
    // level's limit for MPEG-2 (whose headers then get the rate found) and
    // the header's rate for MPEG-1. A minimum above that could never be met.
    if (!s.constBitrateFlag) {
        double top = s.constBitrate;
        std::string topText = formatText("constBitrate=%.0f", s.constBitrate);
        if (s.maxBitrate > 0) {
            top = s.maxBitrate;
            topText = formatText("maxBitrate=%.0f", s.maxBitrate);
        } else if (isMpeg2Syntax(s)) {
            const LevelLimits* l = levelLimits(s.level);
            top = l ? l->bitsPerSecond : kMpeg2MaxBitrate;
            topText = formatText("the %.0f bit/s the %s level allows", top, levelName(s.level));
        }
        if (s.avgBitrate > top)
            return fault("avgBitrate", formatText("avgBitrate=%.0f is above %s.", s.avgBitrate, topText.c_str()));
        if (s.minBitrate > top)
            return fault("minBitrate", formatText("minBitrate=%.0f is above %s.", s.minBitrate, topText.c_str()));
        if (s.avgBitrate > 0 && s.minBitrate > s.avgBitrate)
            return fault("minBitrate",
                         formatText("minBitrate=%.0f is above avgBitrate=%.0f.", s.minBitrate, s.avgBitrate));
    }
    return {};
}

}  // namespace quillon

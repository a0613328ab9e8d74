#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "engine/presets.h"
#include "engine/validation.h"

namespace quillon {
namespace {

EncoderSettings preset(int kind, int tv = 1) {
    EncoderSettings s;
    applyPreset(s, kind, tv, 1);
    return s;
}

struct Change {
    const char* what;
    int kind;
    std::function<void(EncoderSettings&)> apply;
    bool accepted;
    int width = 0, height = 0;
};

void expectAll(const std::vector<Change>& changes) {
    for (const Change& c : changes) {
        EncoderSettings s = preset(c.kind);
        c.apply(s);
        EXPECT_EQ(validateVideoSettings(s, c.width, c.height), c.accepted) << c.what;
    }
}

TEST(VideoValidation, GopStructureAndRanges) {
    expectAll({
        {"N 15 M 4", kKindMpeg1, [](auto& s) { s.ipFrameDistance = 4; deriveMotionTable(s); }, false},
        {"N 12 M 4", kKindMpeg1, [](auto& s) { s.ipFrameDistance = 4; s.iFramesInGOP = 12; deriveMotionTable(s); }, true},
        {"N 33", kKindMpeg1, [](auto& s) { s.iFramesInGOP = 33; s.ipFrameDistance = 1; }, false},
        {"N 0", kKindMpeg1, [](auto& s) { s.iFramesInGOP = 0; }, false},
        {"M 17", kKindMpeg1, [](auto& s) { s.ipFrameDistance = 17; s.iFramesInGOP = 17; }, false},
        {"aspect 14 MPEG-1", kKindMpeg1, [](auto& s) { s.aspectRatio = 14; }, true},
        {"aspect 15 MPEG-1", kKindMpeg1, [](auto& s) { s.aspectRatio = 15; }, false},
        {"aspect 5 MPEG-2", kKindMpeg2, [](auto& s) { s.aspectRatio = 5; }, false},
        {"frame rate 9", kKindMpeg1, [](auto& s) { s.frameRateCode = 9; }, false},
        {"bitrate 0", kKindMpeg1, [](auto& s) { s.constBitrate = 0; }, false},
        {"MPEG-1 bitrate limit", kKindMpeg1, [](auto& s) { s.constBitrate = 104857200; }, true},
        {"MPEG-1 above limit", kKindMpeg1, [](auto& s) { s.constBitrate = 104857201; }, false},
        {"vbv 1024 MPEG-1", kKindMpeg1, [](auto& s) { s.vbvBufferSize = 1024; }, false},
        {"vbv 0", kKindMpeg2, [](auto& s) { s.vbvBufferSize = 0; }, false},
        {"colour 3", kKindMpeg2, [](auto& s) { s.colorPrimaries = 3; }, false},
        {"matrix 8", kKindMpeg2, [](auto& s) { s.matrixCoefficients = 8; }, false},
        {"video format 5", kKindMpeg2, [](auto& s) { s.videoFormat = 5; }, false},
        {"display 16384", kKindMpeg2, [](auto& s) { s.displayVerticalSize = 16384; }, false},
        {"intra dc 4", kKindMpeg2, [](auto& s) { s.intraDCPrec = 4; }, false},
        {"P f_code 0", kKindMpeg1, [](auto& s) { s.motion[0][kForwHorzFCode] = 0; }, false},
        {"P range 0", kKindMpeg1, [](auto& s) { s.motion[0][kForwVertSearch] = 0; }, false},
        {"B2 backward range 0", kKindMpeg1, [](auto& s) { s.motion[2][kBackHorzSearch] = 0; }, false},
        {"MPEG-1 f_code 8", kKindMpeg1, [](auto& s) { s.motion[0][kForwHorzFCode] = 8; }, false},
        {"unused entry", kKindMpeg1, [](auto& s) { s.motion[3][kForwHorzFCode] = 0; }, true},
        // With M = 1 only entry 0's forward half counts.
        {"M 1 ignores backward", kKindMpeg1, [](auto& s) {
             s.ipFrameDistance = 1; s.motion[0][kBackHorzFCode] = 99; s.motion[1][kForwHorzFCode] = 0; }, true},
    });
}

TEST(VideoValidation, ConstrainedParametersAndSyntaxRules) {
    expectAll({
        {"VCD 352x288", kKindVcd, [](auto&) {}, true, 352, 288},
        {"VCD 768 wide", kKindVcd, [](auto&) {}, false, 770, 240},
        {"VCD 397 macroblocks", kKindVcd, [](auto&) {}, false, 400, 288},
        {"VCD 9900 macroblocks/s", kKindVcd, [](auto& s) { s.frameRate = 30.0; }, false, 352, 288},
        {"VCD 60 fps", kKindVcd, [](auto& s) { s.frameRate = 60.0; }, false, 16, 16},
        {"VCD f_code 5", kKindVcd, [](auto& s) { s.motion[1][kBackVertFCode] = 5; }, false},
        {"MPEG-1 without constraint is free", kKindMpeg1, [](auto&) {}, true, 720, 576},
        {"MPEG-1 interlaced", kKindMpeg1, [](auto& s) { s.progressiveSequence = 0; s.progressiveFrame = 0; }, false},
        {"MPEG-1 4:2:2", kKindMpeg1, [](auto& s) { s.chromaFormat = 2; }, false},
        {"MPEG-1 q scale", kKindMpeg1, [](auto& s) { s.quantizationScaleB = 1; }, false},
        {"MPEG-1 alternate scan", kKindMpeg1, [](auto& s) { s.alternateScanP = 1; }, false},
        {"MPEG-1 intra vlc", kKindMpeg1, [](auto& s) { s.intraVLCFormatI = 1; }, false},
        {"MPEG-2 constrained", kKindMpeg2, [](auto& s) { s.constrainedParameters = 1; }, false},
        {"progressive seq needs frames", kKindMpeg2, [](auto& s) { s.progressiveSequence = 1; s.topFieldFirst = 0; }, false},
        {"progressive seq and frames", kKindMpeg2, [](auto& s) {
             s.progressiveSequence = 1; s.progressiveFrame = 1; s.topFieldFirst = 0; }, true},
        {"progressive frame, field pictures", kKindMpeg2, [](auto& s) { s.progressiveFrame = 1; s.fieldPictures = 1; }, false},
        {"progressive frame, field dct", kKindMpeg2, [](auto& s) { s.progressiveFrame = 1; s.framePredDCTP = 0; }, false},
        {"interlaced frame, repeat", kKindMpeg2, [](auto& s) { s.repeatFirstField = 1; }, false},
        {"top field first in progressive seq", kKindMpeg1, [](auto& s) { s.topFieldFirst = 1; }, false},
        {"progressive seq with repeat allows top first", kKindMpeg2, [](auto& s) {
             s.progressiveSequence = s.progressiveFrame = 1; s.repeatFirstField = 1; s.frameRateCode = 7; s.level = 4; }, true},
        {"range beyond f_code", kKindMpeg1, [](auto& s) { s.motion[0][kForwHorzSearch] = 12; s.motion[0][kForwHorzFCode] = 1; }, false},
        {"range at f_code limit", kKindMpeg1, [](auto& s) { s.motion[0][kForwHorzSearch] = 7; s.motion[0][kForwHorzFCode] = 1; }, true},
        {"backward range beyond", kKindMpeg1, [](auto& s) { s.motion[1][kBackVertSearch] = 8; }, false},
    });
}

TEST(ProfileAndLevel, PairsAndProfileRules) {
    const int profiles[] = {1, 4, 5};
    const int levels[] = {4, 6, 8, 10};
    for (int p : profiles)
        for (int l : levels) {
            EncoderSettings s = preset(kKindMpeg2);
            s.profile = p;
            s.level = l;
            if (p == 5) s.ipFrameDistance = 1, s.iFramesInGOP = 15;
            if (l == 10) s.vbvBufferSize = 29, s.constBitrate = 4e6;
            const bool allowed = (p == 1 && l != 10) || p == 4 || (p == 5 && l == 8);
            EXPECT_EQ(validateVideoSettings(s, 352, 288), allowed) << p << "@" << l;
        }
    expectAll({
        {"profile 2", kKindMpeg2, [](auto& s) { s.profile = 2; }, false},
        {"level 7", kKindMpeg2, [](auto& s) { s.level = 7; }, false},
        {"simple with B pictures", kKindMpeg2, [](auto& s) { s.profile = 5; }, false},
        {"main 4:2:2", kKindMpeg2, [](auto& s) { s.chromaFormat = 2; }, false},
        {"high 4:2:2", kKindMpeg2, [](auto& s) { s.profile = 1; s.chromaFormat = 2; }, true},
        {"high 4:4:4", kKindMpeg2, [](auto& s) { s.profile = 1; s.chromaFormat = 3; }, false},
        {"main repeat at 24", kKindMpeg2, [](auto& s) { s.progressiveFrame = 1; s.repeatFirstField = 1; s.frameRateCode = 2; }, false},
        {"main repeat at 29.97", kKindMpeg2, [](auto& s) { s.progressiveFrame = 1; s.repeatFirstField = 1; s.frameRateCode = 4; }, true},
        {"high repeat at 24", kKindMpeg2, [](auto& s) { s.profile = 1; s.progressiveFrame = 1; s.repeatFirstField = 1; s.frameRateCode = 2; }, true},
        {"main repeat progressive seq", kKindMpeg2, [](auto& s) {
             s.progressiveSequence = s.progressiveFrame = 1; s.repeatFirstField = 1; s.frameRateCode = 6; s.level = 4; }, false},
        {"dc precision 3 main", kKindMpeg2, [](auto& s) { s.intraDCPrec = 3; }, false},
        {"dc precision 3 high", kKindMpeg2, [](auto& s) { s.intraDCPrec = 3; s.profile = 1; }, true},
        {"50 fps main level", kKindMpeg2, [](auto& s) { s.frameRateCode = 6; }, false},
        {"50 fps high-1440", kKindMpeg2, [](auto& s) { s.frameRateCode = 6; s.level = 6; }, true},
    });
}

TEST(ProfileAndLevel, LevelLimits) {
    struct Limit { int level, hf, vf, w, h; double rate; double bits; int vbv; };
    const Limit table[] = {{4, 9, 5, 1920, 1152, 62668800, 80e6, 597},
                           {6, 9, 5, 1440, 1152, 47001600, 60e6, 448},
                           {8, 8, 5, 720, 576, 10368000, 15e6, 112},
                           {10, 7, 4, 352, 288, 3041280, 4e6, 29}};
    for (const Limit& l : table) {
        SCOPED_TRACE("level " + std::to_string(l.level));
        EncoderSettings base = preset(kKindMpeg2);
        base.level = l.level;
        base.vbvBufferSize = l.vbv;
        base.constBitrate = l.bits;
        base.frameRateCode = 3;
        base.frameRate = 25.0;
        EXPECT_TRUE(validateVideoSettings(base, l.w, l.h));
        auto rejects = [&](std::function<void(EncoderSettings&)> f, int w, int h) {
            EncoderSettings s = base;
            f(s);
            return !validateVideoSettings(s, w, h);
        };
        EXPECT_TRUE(rejects([](auto&) {}, l.w + 2, 16));
        EXPECT_TRUE(rejects([](auto&) {}, 16, l.h + 2));
        EXPECT_TRUE(rejects([&](auto& s) { s.vbvBufferSize = l.vbv + 1; }, 16, 16));
        EXPECT_TRUE(rejects([&](auto& s) { s.constBitrate = l.bits + 1; }, 16, 16));
        const double limitRate = l.rate / (static_cast<double>(l.w) * l.h);
        EXPECT_FALSE(rejects([&](auto& s) { s.frameRate = limitRate; }, l.w, l.h));
        EXPECT_TRUE(rejects([&](auto& s) { s.frameRate = limitRate * 1.001; }, l.w, l.h));
        EXPECT_TRUE(rejects([&](auto& s) {
            s.motion[0][kForwVertFCode] = l.vf + 1;
            s.motion[0][kForwVertSearch] = 4;
        }, 16, 16));
        EXPECT_FALSE(rejects([&](auto& s) {
            s.motion[0][kForwHorzFCode] = l.hf;
        }, 16, 16));
        if (l.hf < 9) {
            EXPECT_TRUE(rejects([&](auto& s) { s.motion[1][kBackHorzFCode] = l.hf + 1; }, 16, 16));
        }
    }
}

TEST(AudioValidation, Ranges) {
    EncoderSettings s = preset(kKindVcd);
    EXPECT_TRUE(validateAudioSettings(s));
    const std::vector<std::pair<const char*, std::function<void(EncoderSettings&)>>> bad = {
        {"layer 3", [](auto& s) { s.audioLayer = 3; }},
        {"model 0", [](auto& s) { s.psychModel = 0; }},
        {"bitrate 15", [](auto& s) { s.audioBitrate = 15; }},
        {"emphasis 2", [](auto& s) { s.deEmphasis = 2; }},
        {"private 2", [](auto& s) { s.privateBit = 2; }},
        {"crc -1", [](auto& s) { s.errorProtection = -1; }},
        {"copyright 2", [](auto& s) { s.copyrightBit = 2; }},
        {"original 2", [](auto& s) { s.originalBit = 2; }},
    };
    for (const auto& [what, f] : bad) {
        EncoderSettings t = s;
        f(t);
        EXPECT_FALSE(validateAudioSettings(t)) << what;
    }
    s.audioBitrate = 0;
    s.deEmphasis = 3;
    s.audioLayer = 1;
    EXPECT_TRUE(validateAudioSettings(s));
}

}  // namespace
}  // namespace quillon

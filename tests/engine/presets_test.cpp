#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "engine/presets.h"
#include "engine/validation.h"

namespace quillon {
namespace {

EncoderSettings preset(int kind, int tv, int stereo = 1) {
    EncoderSettings s;
    applyPreset(s, kind, tv, stereo);
    return s;
}

// One row per target kind of the values that differ between presets;
// {ntsc, pal} where the standard matters.
struct KindRow {
    int constrained, aspectN, aspectP, gopN, gopP;
    double constRate, maxRate;
    int rateFlag, mquant, vbv, progressive, mpeg2Flags, seqDisplay, dispH, dispVN, dispVP;
    int minPct, padPct, errProt, muxPulldown, vbrMux, computed, muxRate, sector, sectorDelay,
        delay, videoBuffer, align, private2, stamps, scanOffsets, splitFlags;
};
constexpr KindRow kRows[5] = {
    {0, 12, 8, 15, 15, 1800000, 0, 0, 4, 23, 1, 0, 1, 352, 240, 288, 25, 90, 0, 0, 1, 2, 0, 2048, 0, 180, 46, 0, 0, 0, 0, 1},
    {1, 12, 8, 15, 15, 1150000, 1151929, 1, 4, 20, 1, 0, 1, 352, 240, 288, 25, 90, 0, 0, 0, 0, 3528, 2324, 400, 344, 46, 0, 0, 0, 0, 1},
    {0, 2, 2, 15, 15, 6000000, 0, 0, 4, 112, 0, 1, 1, 720, 480, 576, 25, 90, 0, 3, 1, 2, 0, 2048, 0, 180, 224, 0, 0, 0, 0, 1},
    {0, 2, 2, 15, 15, 2300000, 2376000, 0, 10, 112, 0, 1, 0, 720, 480, 576, 25, 90, 1, 3, 1, 2, 6972, 2324, 0, 180, 230, 1, 0, 0, 1, 1},
    {0, 2, 2, 15, 12, 6000000, 8300000, 0, 4, 112, 0, 1, 1, 720, 480, 576, 0, 0, 1, 3, 1, 2, 25200, 2048, 0, 180, 232, 1, 1, 2, 0, 0},
};
constexpr const char* kTitles[5] = {"MPEG-1", "MPEG-1 VideoCD", "MPEG-2", "MPEG-2 SuperVCD",
                                    "MPEG-2 DVD"};

TEST(Presets, TheValuesThatDifferBetweenTargetsAndStandards) {
    for (int kind = 0; kind < 5; ++kind) {
        for (int tv = 0; tv < 2; ++tv) {
            SCOPED_TRACE("kind " + std::to_string(kind) + " tv " + std::to_string(tv));
            const KindRow& r = kRows[kind];
            EncoderSettings s = preset(kind, tv);
            EXPECT_EQ(std::string(s.description),
                      std::string(kTitles[kind]) + (tv ? " PAL" : " NTSC") + " video and MPEG audio");
            EXPECT_EQ(s.videoType, kind);
            EXPECT_EQ(s.programStreamType, kind);
            EXPECT_EQ(s.constrainedParameters, r.constrained);
            EXPECT_EQ(s.aspectRatio, tv ? r.aspectP : r.aspectN);
            EXPECT_EQ(s.iFramesInGOP, tv ? r.gopP : r.gopN);
            EXPECT_EQ(s.frameRateCode, tv ? 3 : 4);
            EXPECT_DOUBLE_EQ(s.frameRate, tv ? 25.0 : 30000.0 / 1001.0);
            EXPECT_EQ(s.constBitrate, r.constRate);
            EXPECT_EQ(s.maxBitrate, r.maxRate);
            EXPECT_EQ(s.constBitrateFlag, r.rateFlag);
            EXPECT_EQ(s.mquantValue, r.mquant);
            EXPECT_EQ(s.vbvBufferSize, r.vbv);
            EXPECT_EQ(s.progressiveSequence, r.progressive);
            EXPECT_EQ(s.progressiveFrame, r.progressive);
            EXPECT_EQ(s.topFieldFirst, r.mpeg2Flags);
            EXPECT_EQ(s.intraDCPrec, r.mpeg2Flags);
            for (int v : {s.quantizationScaleI, s.quantizationScaleP, s.quantizationScaleB,
                          s.alternateScanI, s.alternateScanP, s.alternateScanB, s.intraVLCFormatI,
                          s.sliceHdrEveryMBrow, s.forceVBVDelay})
                EXPECT_EQ(v, r.mpeg2Flags);
            EXPECT_EQ(s.writeSequenceDisplayExt, r.seqDisplay);
            EXPECT_EQ(s.displayHorizontalSize, r.dispH);
            EXPECT_EQ(s.displayVerticalSize, tv ? r.dispVP : r.dispVN);
            EXPECT_EQ(s.videoFormat, tv ? 1 : 2);
            EXPECT_EQ(s.colorPrimaries, tv ? 5 : 4);
            EXPECT_EQ(s.transferCharacteristics, tv ? 5 : 4);
            EXPECT_EQ(s.minFramePercentage, r.minPct);
            EXPECT_EQ(s.padFramePercentage, r.padPct);
            EXPECT_EQ(s.errorProtection, r.errProt);
            EXPECT_EQ(s.muxPulldownFlag, r.muxPulldown);
            EXPECT_EQ(s.vbrMultiplex, r.vbrMux);
            EXPECT_EQ(s.useComputedBitrate, r.computed);
            EXPECT_EQ(s.userMuxRate, r.muxRate);
            EXPECT_EQ(s.sectorSize, r.sector);
            EXPECT_EQ(s.sectorDelay, r.sectorDelay);
            EXPECT_EQ(s.videoDelay, r.delay);
            EXPECT_EQ(s.audioDelay, r.delay);
            EXPECT_EQ(s.audio1Delay, r.delay);
            EXPECT_EQ(s.videoBufferSize, r.videoBuffer);
            EXPECT_EQ(s.alignSequenceHeaders, r.align);
            EXPECT_EQ(s.usePrivateStream2, r.private2);
            EXPECT_EQ(s.frameTimestamps, r.stamps);
            EXPECT_EQ(s.muxSVCDScanOffsets, r.scanOffsets);
            EXPECT_EQ(s.resetClocks, r.splitFlags);
            EXPECT_EQ(s.writeEndCodes, r.splitFlags);
            EXPECT_EQ(s.setBrokenLink, r.splitFlags);
            // Every preset is acceptable as it stands, before any job.
            EXPECT_TRUE(validateVideoSettings(s, 0, 0));
            EXPECT_TRUE(validateAudioSettings(s));
        }
    }
}

TEST(Presets, CommonValuesAndTheMotionTableForThreePictureDistance) {
    for (int kind = 0; kind < 5; ++kind) {
        for (int tv = 0; tv < 2; ++tv) {
            SCOPED_TRACE("kind " + std::to_string(kind) + " tv " + std::to_string(tv));
            EncoderSettings s;
            // Leftovers of an earlier record must not survive a preset.
            s.saveTempVideo = 1;
            s.statisticsFilename[0] = 'x';
            s.motion[9][3] = 77;
            s.firstFrameTimecode = 5;
            applyPreset(s, kind, tv, 1);
            EXPECT_EQ(s.saveTempVideo, 0);
            EXPECT_EQ(s.statisticsFilename[0], '\0');
            EXPECT_EQ(s.intraQuantMatrix[0], '\0');
            EXPECT_EQ(s.firstFrameTimecode, 0);
            EXPECT_EQ(s.userEncodeVideo + s.encodeVideo + s.userEncodeAudio + s.encodeAudio +
                          s.multiplexVideo + s.multiplexAudio,
                      6);
            EXPECT_EQ(s.ipFrameDistance, 3);
            EXPECT_EQ(s.profile, 4);
            EXPECT_EQ(s.level, 8);
            EXPECT_EQ(s.chromaFormat, 1);
            EXPECT_EQ(s.matrixCoefficients, 5);
            EXPECT_EQ(s.autoBitrate, 0);
            EXPECT_EQ(s.lowDelay, 0);
            EXPECT_EQ(s.audioLayer, 2);
            EXPECT_EQ(s.psychModel, 2);
            EXPECT_EQ(s.audioBitrate, 11);
            EXPECT_EQ(s.audioMode, 0);
            EXPECT_EQ(s.variableMaxMotion, 58);
            EXPECT_EQ(s.resetPBIVBF, 1);
            EXPECT_EQ(s.packetsPerPack, 1);
            EXPECT_EQ(s.audioBufferSize, 4);
            EXPECT_EQ(s.writeProgramEndCode, 1);
            EXPECT_EQ(s.framePredDCTI + s.framePredDCTP + s.framePredDCTB, 3);
            EXPECT_EQ(s.intraVLCFormatP + s.intraVLCFormatB, 0);

            const int p[8] = {2, 2, 9, 9, 0, 0, 0, 0};
            const int b1[8] = {1, 1, 3, 3, 1, 1, 6, 6};
            const int b2[8] = {1, 1, 6, 6, 1, 1, 3, 3};
            for (int f = 0; f < 8; ++f) {
                EXPECT_EQ(s.motion[0][f], p[f]) << f;
                EXPECT_EQ(s.motion[1][f], b1[f]) << f;
                EXPECT_EQ(s.motion[2][f], b2[f]) << f;
            }
            for (int e = 3; e < kMotionEntries; ++e)
                for (int f = 0; f < 8; ++f) EXPECT_EQ(s.motion[e][f], 0);
        }
    }
    EXPECT_EQ(preset(kKindDvd, 1, 0).audioMode, 3);
    EncoderSettings untouched = preset(kKindSvcd, 1);
    applyPreset(untouched, 5, 0, 1);  // no preset of kind 5
    EXPECT_EQ(untouched.videoType, kKindSvcd);
}

TEST(MotionTable, RangesFollowDistanceAndFCodesFollowTheRangeTable) {
    EncoderSettings s = preset(kKindMpeg2, 1);
    s.ipFrameDistance = 4;
    s.horzPelMovement = 20;
    s.vertPelMovement = 5;
    deriveMotionTable(s);
    // P: 80 / 20; B1 forward 20 / 5, backward 60 / 15; B3 forward 60 / 15.
    EXPECT_EQ(s.motion[0][kForwHorzSearch], 80);
    EXPECT_EQ(s.motion[0][kForwHorzFCode], 5);
    EXPECT_EQ(s.motion[0][kForwVertSearch], 20);
    EXPECT_EQ(s.motion[0][kForwVertFCode], 3);
    EXPECT_EQ(s.motion[0][kBackHorzSearch], 0);
    EXPECT_EQ(s.motion[1][kForwHorzSearch], 20);
    EXPECT_EQ(s.motion[1][kBackHorzSearch], 60);
    EXPECT_EQ(s.motion[1][kBackHorzFCode], 4);
    EXPECT_EQ(s.motion[3][kForwHorzSearch], 60);
    EXPECT_EQ(s.motion[3][kBackVertSearch], 5);
    EXPECT_EQ(s.motion[4][kForwHorzSearch], 0);

    struct Case { int range, level, videoType, constrained, h, v; };
    const Case cases[] = {
        {7, 8, 2, 0, 1, 1},     {8, 8, 2, 0, 2, 2},      {15, 8, 2, 0, 2, 2},
        {16, 8, 2, 0, 3, 3},    {32, 8, 2, 0, 4, 4},     {63, 8, 2, 0, 4, 4},
        {64, 8, 2, 0, 5, 5},    {64, 10, 2, 0, 5, 4},    {128, 8, 2, 0, 6, 5},
        {256, 8, 0, 0, 7, 5},   {512, 8, 2, 0, 8, 5},    {512, 10, 2, 0, 7, 4},
        {512, 8, 0, 0, 7, 5},   {1024, 8, 2, 0, 8, 5},   {1024, 4, 2, 0, 9, 5},
        {1024, 6, 2, 0, 9, 5},  {1024, 10, 2, 0, 7, 4},  {1024, 8, 0, 0, 7, 5},
        {32, 8, 1, 1, 4, 4},    {300, 8, 1, 1, 4, 4},    {31, 8, 1, 1, 3, 3},
    };
    for (const Case& c : cases) {
        EncoderSettings t;
        t.level = c.level;
        t.videoType = c.videoType;
        t.constrainedParameters = c.constrained;
        EXPECT_EQ(fCodeForRange(t, c.range, false), c.h) << c.range << " level " << c.level;
        EXPECT_EQ(fCodeForRange(t, c.range, true), c.v) << c.range << " level " << c.level;
    }
}

TEST(AutoBitrate, TargetRules) {
    EncoderSettings svcd = preset(kKindSvcd, 1);
    svcd.autoBitrate = 1;
    applyAutoBitrate(svcd, 480, 576);
    EXPECT_EQ(svcd.constBitrate, 2376000);
    EXPECT_EQ(svcd.vbvBufferSize, 112);
    EXPECT_EQ(svcd.videoBufferSize, 230);
    svcd.audioBitrate = 0;
    applyAutoBitrate(svcd, 480, 576);
    EXPECT_EQ(svcd.constBitrate, 2600000);

    EncoderSettings m1 = preset(kKindMpeg1, 1);
    m1.autoBitrate = 1;
    applyAutoBitrate(m1, 352, 288);
    EXPECT_EQ(m1.constBitrate, 1875456);
    EXPECT_EQ(m1.vbvBufferSize, 23);
    EXPECT_EQ(m1.videoBufferSize, 46);

    EncoderSettings vcd = preset(kKindVcd, 0);
    vcd.autoBitrate = 1;
    vcd.constBitrate = 5;
    applyAutoBitrate(vcd, 352, 240);
    EXPECT_EQ(vcd.constBitrate, 1150000);
    EXPECT_EQ(vcd.vbvBufferSize, 20);

    // MPEG-2 buffers stop at the level's limit; DVD keeps its 232 kB buffer.
    EncoderSettings dvd = preset(kKindDvd, 1);
    dvd.autoBitrate = 1;
    applyAutoBitrate(dvd, 720, 576);
    EXPECT_EQ(dvd.constBitrate, std::floor(576 * 25.0 * 720 * 0.74));
    EXPECT_EQ(dvd.vbvBufferSize, 95);
    EXPECT_EQ(dvd.videoBufferSize, 232);
    applyAutoBitrate(dvd, 1920, 1080);
    EXPECT_EQ(dvd.vbvBufferSize, 112);
    EncoderSettings high = preset(kKindMpeg2, 1);
    high.autoBitrate = 1;
    high.level = 10;
    applyAutoBitrate(high, 720, 576);
    EXPECT_EQ(high.vbvBufferSize, 29);
    EXPECT_EQ(high.videoBufferSize, 58);
    EncoderSettings big = preset(kKindMpeg1, 0);
    big.autoBitrate = 1;
    big.frameRate = 60.0;
    applyAutoBitrate(big, 1920, 1152);
    EXPECT_EQ(big.vbvBufferSize, 1023);

    // Nothing happens without the flag or without a picture size.
    EncoderSettings off = preset(kKindMpeg2, 1);
    applyAutoBitrate(off, 720, 576);
    EXPECT_EQ(off.constBitrate, 6000000);
    off.autoBitrate = 1;
    applyAutoBitrate(off, 0, 576);
    EXPECT_EQ(off.constBitrate, 6000000);
}

TEST(VideoExtension, ExactExtensionsFollowTheKind) {
    EncoderSettings m2 = preset(kKindMpeg2, 0), m1 = preset(kKindVcd, 0);
    auto run = [](const EncoderSettings& s, std::string name) {
        matchVideoExtension(s, name);
        return name;
    };
    EXPECT_EQ(run(m2, "clip.m1v"), "clip.m2v");
    EXPECT_EQ(run(m1, "clip.m2v"), "clip.m1v");
    EXPECT_EQ(run(m1, "clip.m1v"), "clip.m1v");
    EXPECT_EQ(run(m2, "clip.M1V"), "clip.M1V");
    EXPECT_EQ(run(m2, "a.m1v.avi"), "a.m1v.avi");
    EXPECT_EQ(run(m2, "noext"), "noext");
    EXPECT_EQ(run(m2, ""), "");
}

}  // namespace
}  // namespace quillon

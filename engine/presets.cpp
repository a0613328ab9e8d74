#include "engine/presets.h"

#include <cmath>
#include <cstring>

#include "engine/derived_values.h"
#include "engine/engine.h"

namespace quillon {

namespace {

constexpr const char* kTitles[5][2] = {
    {"MPEG-1 NTSC video and MPEG audio", "MPEG-1 PAL video and MPEG audio"},
    {"MPEG-1 VideoCD NTSC video and MPEG audio", "MPEG-1 VideoCD PAL video and MPEG audio"},
    {"MPEG-2 NTSC video and MPEG audio", "MPEG-2 PAL video and MPEG audio"},
    {"MPEG-2 SuperVCD NTSC video and MPEG audio", "MPEG-2 SuperVCD PAL video and MPEG audio"},
    {"MPEG-2 DVD NTSC video and MPEG audio", "MPEG-2 DVD PAL video and MPEG audio"},
};

// Layer I and Layer II bitrates in kbit/s by bitrate_index.
constexpr int kLayer1Kbps[15] = {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448};
constexpr int kLayer2Kbps[15] = {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384};

void copyText(char (&field)[kTextFieldSize], const char* text) {
    std::strncpy(field, text, kTextFieldSize - 1);
    field[kTextFieldSize - 1] = '\0';
}

int vbvLimitForLevel(int level) {
    switch (level) {
        case 4: return 597;
        case 6: return 448;
        case 8: return 112;
        case 10: return 29;
        default: return 0;
    }
}

// Values common to all ten presets, then the video-and-audio half.
void applyVideoAudioHalf(EncoderSettings& s, int kind, bool pal, int audioStereo) {
    const bool mpeg2 = kind >= kKindMpeg2;
    copyText(s.description, kTitles[kind][pal ? 1 : 0]);

    s.saveTempVideo = 0;
    s.saveTempAudio = 0;
    s.intraQuantMatrix[0] = s.nonIntraQuantMatrix[0] = s.statisticsFilename[0] = '\0';

    s.useFloatingPoint = 0;
    s.verbose = 0;
    s.blackAndWhite = 0;
    s.userEncodeVideo = s.encodeVideo = 1;
    s.userEncodeAudio = s.encodeAudio = 1;
    s.multiplexVideo = s.multiplexAudio = 1;
    s.muxStartTime = s.muxStopTime = 0;
    s.maxFileSize = 0;
    const int splitFlags = kind == kKindDvd ? 0 : 1;
    s.resetClocks = s.writeEndCodes = s.setBrokenLink = splitFlags;

    s.videoType = kind;
    s.videoPulldownFlag = 0;
    s.profile = 4;
    s.level = 8;
    s.chromaFormat = 1;
    s.constrainedParameters = kind == kKindVcd ? 1 : 0;
    s.aspectRatio = mpeg2 ? 2 : (pal ? 8 : 12);
    s.frameRateCode = pal ? 3 : 4;
    s.frameRate = frameRateFromCode(s.frameRateCode);
    s.iFramesInGOP = (kind == kKindDvd && pal) ? 12 : 15;
    s.ipFrameDistance = 3;
    s.firstFrameHours = s.firstFrameMinutes = s.firstFrameSeconds = s.firstFrameFrame = 0;
    s.firstFrameTimecode = 0;
    s.autoBitrate = 0;
    static constexpr double kConst[5] = {1800000, 1150000, 6000000, 2300000, 6000000};
    static constexpr double kMax[5] = {0, 1151929, 0, 2376000, 8300000};
    s.constBitrate = kConst[kind];
    s.maxBitrate = kMax[kind];
    s.avgBitrate = 0;
    s.minBitrate = 0;
    s.constBitrateFlag = kind == kKindVcd ? 1 : 0;
    s.mquantValue = kind == kKindSvcd ? 10 : 4;
    s.lowDelay = 0;
    s.concealmentMotionVectorsI = s.concealmentMotionVectorsP = s.concealmentMotionVectorsB = 0;

    s.videoFormat = pal ? 1 : 2;
    s.colorPrimaries = s.transferCharacteristics = pal ? 5 : 4;
    s.matrixCoefficients = 5;
    s.displayHorizontalSize = mpeg2 ? 720 : 352;
    s.displayVerticalSize = mpeg2 ? (pal ? 576 : 480) : (pal ? 288 : 240);
    s.writeSequenceDisplayExt = kind == kKindSvcd ? 0 : 1;
    s.writeSequenceEndCode = 1;
    s.embedSVCDUserBlocks = 0;
    s.writePictureDisplayExt = 0;
    s.frameCentreHorizontalOffset = s.frameCentreVerticalOffset = 0;
    const int m2 = mpeg2 ? 1 : 0;
    s.intraDCPrec = m2;
    s.progressiveSequence = s.progressiveFrame = mpeg2 ? 0 : 1;
    s.fieldPictures = 0;
    s.topFieldFirst = m2;
    s.repeatFirstField = 0;
    s.framePredDCTI = s.framePredDCTP = s.framePredDCTB = 1;
    s.quantizationScaleI = s.quantizationScaleP = s.quantizationScaleB = m2;
    s.intraVLCFormatI = m2;
    s.intraVLCFormatP = s.intraVLCFormatB = 0;
    s.alternateScanI = s.alternateScanP = s.alternateScanB = m2;
    s.sliceHdrEveryMBrow = m2;
    static constexpr int kVbv[5] = {23, 20, 112, 112, 112};
    s.vbvBufferSize = kVbv[kind];
    s.forceVBVDelay = m2;
    s.variableMaxMotion = 58;
    s.reactionParameter = 0;
    s.initialAverageActivity = 0;
    s.initialIComplexity = s.initialPComplexity = s.initialBComplexity = 0;
    s.initialIFullness = s.initialPFullness = s.initialBFullness = 0;
    s.resetPBIVBF = 1;
    s.minFramePercentage = kind == kKindDvd ? 0 : 25;
    s.padFramePercentage = kind == kKindDvd ? 0 : 90;
    s.horzPelMovement = 3;
    s.vertPelMovement = 3;
    s.autoVectorLengths = 1;
    deriveMotionTable(s);

    s.audioLayer = 2;
    s.audioMode = audioStereo ? 0 : 3;
    s.audioBitrate = 11;
    s.deEmphasis = 0;
    s.privateBit = s.copyrightBit = s.originalBit = 0;
    s.errorProtection = (kind == kKindSvcd || kind == kKindDvd) ? 1 : 0;
    s.psychModel = 2;
}

void applyMultiplexHalf(EncoderSettings& s, int kind, int horizontalSize, int verticalSize) {
    s.programStreamType = kind;
    s.muxPulldownFlag = kind >= kKindMpeg2 ? 3 : 0;
    s.vbrMultiplex = kind == kKindVcd ? 0 : (s.constBitrateFlag ? 0 : 1);
    s.useComputedBitrate = kind == kKindVcd ? 0 : 2;
    static constexpr int kMuxRate[5] = {0, 3528, 0, 6972, 25200};
    s.userMuxRate = kMuxRate[kind];
    s.sectorSize = (kind == kKindVcd || kind == kKindSvcd) ? 2324 : 2048;
    s.packetsPerPack = 1;
    static constexpr int kVideoBuffer[5] = {46, 46, 224, 230, 232};
    s.videoBufferSize = kVideoBuffer[kind];
    s.audioBufferSize = 4;
    s.audio1BufferSize = 4;
    s.sectorDelay = kind == kKindVcd ? 400 : 0;
    s.videoDelay = s.audioDelay = s.audio1Delay = kind == kKindVcd ? 344 : 180;
    s.alwaysWriteSysHeader = 0;
    s.padVCDAudio = 0;
    s.writeProgramEndCode = 1;
    s.muxSVCDScanOffsets = kind == kKindSvcd ? 1 : 0;
    s.alignSequenceHeaders = (kind == kKindSvcd || kind == kKindDvd) ? 1 : 0;
    s.usePrivateStream2 = kind == kKindDvd ? 1 : 0;
    s.frameTimestamps = kind == kKindDvd ? 2 : 0;
    applyAutoBitrate(s, horizontalSize, verticalSize);
}

void applyPresetSized(EncoderSettings& s, int kind, int tvStandard, int audioStereo,
                      int horizontalSize, int verticalSize) {
    if (kind < 0 || kind > 4) return;
    // Start from a clean record so that no value of an earlier preset or
    // settings file survives.
    s = EncoderSettings{};
    applyVideoAudioHalf(s, kind, tvStandard != 0, audioStereo);
    applyMultiplexHalf(s, kind, horizontalSize, verticalSize);
}

}  // namespace

int audioBitrateBps(int layer, int index) {
    if (index < 0 || index > 14) return 0;
    return (layer == 1 ? kLayer1Kbps[index] : kLayer2Kbps[index]) * 1000;
}

void applyPreset(EncoderSettings& s, int kind, int tvStandard, int audioStereo) {
    applyPresetSized(s, kind, tvStandard, audioStereo, 0, 0);
}

void applyPreset(Engine& engine, int kind) {
    applyPresetSized(engine.record, kind, engine.ev.tvStandard, engine.ev.audioStereo,
                     engine.ev.horizontalSize, engine.ev.verticalSize);
    if (kind >= 0 && kind <= 4) matchVideoExtension(engine.record, engine.job.videoStreamName);
}

int fCodeForRange(const EncoderSettings& s, int r, bool vertical) {
    if (s.constrainedParameters && r >= 32) return 4;
    if (r < 8) return 1;
    if (r < 16) return 2;
    if (r < 32) return 3;
    if (r < 64) return 4;
    if (vertical) return s.level == 10 ? 4 : 5;
    if (r < 128) return 5;
    if (r < 256) return 6;
    if (r < 512) return 7;
    const bool mpeg2 = isMpeg2Syntax(s);
    if (r < 1024) return (mpeg2 && s.level != 10) ? 8 : 7;
    if (!mpeg2 || s.level == 10) return 7;
    return s.level == 8 ? 8 : 9;
}

void deriveMotionTable(EncoderSettings& s) {
    for (auto& entry : s.motion)
        for (int& v : entry) v = 0;
    const int m = s.ipFrameDistance;
    if (m < 1 || m > kMotionEntries) return;
    auto fill = [&](int entry, int base, int hRange, int vRange) {
        s.motion[entry][base + 0] = fCodeForRange(s, hRange, false);
        s.motion[entry][base + 1] = fCodeForRange(s, vRange, true);
        s.motion[entry][base + 2] = hRange;
        s.motion[entry][base + 3] = vRange;
    };
    fill(0, kForwHorzFCode, m * s.horzPelMovement, m * s.vertPelMovement);
    for (int d = 1; d < m; ++d) {
        fill(d, kForwHorzFCode, d * s.horzPelMovement, d * s.vertPelMovement);
        fill(d, kBackHorzFCode, (m - d) * s.horzPelMovement, (m - d) * s.vertPelMovement);
    }
}

void applyAutoBitrate(EncoderSettings& s, int horizontalSize, int verticalSize) {
    if (!s.autoBitrate || horizontalSize == 0 || verticalSize == 0) return;
    if (s.videoType == kKindVcd) {
        s.constBitrate = 1150000;
        s.vbvBufferSize = 20;
        s.videoBufferSize = 46;
        return;
    }
    if (s.videoType == kKindSvcd) {
        s.constBitrate = 2600000.0 - audioBitrateBps(s.audioLayer, s.audioBitrate);
        s.vbvBufferSize = 112;
        s.videoBufferSize = 230;
        return;
    }
    s.constBitrate = std::floor(static_cast<double>(verticalSize) * s.frameRate *
                                static_cast<double>(horizontalSize) * 0.74);
    double vbv = std::floor(s.constBitrate * 0.20343 / 16384.0);
    double cap = s.videoType < 2 ? 1023.0 : static_cast<double>(vbvLimitForLevel(s.level));
    if (cap > 0 && vbv > cap) vbv = cap;
    s.vbvBufferSize = static_cast<int32_t>(vbv);
    s.videoBufferSize = s.programStreamType < 4 ? 2 * s.vbvBufferSize : 232;
}

void matchVideoExtension(const EncoderSettings& s, std::string& videoName) {
    size_t dot = videoName.rfind('.');
    if (videoName.empty() || dot == std::string::npos) return;
    std::string ext = videoName.substr(dot);
    if (s.videoType >= 2 && s.videoType <= 4) {
        if (ext == ".m1v") videoName.replace(dot, std::string::npos, ".m2v");
    } else if (ext == ".m2v") {
        videoName.replace(dot, std::string::npos, ".m1v");
    }
}

}  // namespace quillon

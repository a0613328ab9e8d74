#include "video/encoder/picture_loop.h"

#include <chrono>

#include <algorithm>
#include <cmath>
#include <ctime>

#include "engine/format.h"
#include "video/encoder/picture_writer.h"
#include "video/dsp/quantize.h"
#include "video/encoder/rate_interface.h"

namespace quillon {

void setPictureValues(VideoEncoder& enc, const CodingStep& step) {
    const EncoderSettings& s = enc.s;
    PictureState& pic = enc.pic;
    pic.pictureCodingType = step.pictureType;
    pic.displayIndex = step.displayIndex;
    pic.temporalReference = step.displayIndex - step.gopStart;
    pic.frameNumber = step.displayIndex + enc.firstFrameNumber;
    pic.secondField = false;
    pic.iFrame = step.pictureType == kPictureI;

    switch (step.pictureType) {
        case kPictureI:
            pic.framePredFrameDct = s.framePredDCTI;
            pic.qScaleType = s.quantizationScaleI;
            pic.intraVlcFormat = s.intraVLCFormatI;
            pic.alternateScan = s.alternateScanI;
            break;
        case kPictureP:
            pic.framePredFrameDct = s.framePredDCTP;
            pic.qScaleType = s.quantizationScaleP;
            pic.intraVlcFormat = s.intraVLCFormatP;
            pic.alternateScan = s.alternateScanP;
            break;
        default:
            pic.framePredFrameDct = s.framePredDCTB;
            pic.qScaleType = s.quantizationScaleB;
            pic.intraVlcFormat = s.intraVLCFormatB;
            pic.alternateScan = s.alternateScanB;
            break;
    }
    pic.framePredFrameDct = pic.framePredFrameDct ? 1 : 0;
    pic.qScaleType = pic.qScaleType ? 1 : 0;
    pic.intraVlcFormat = pic.intraVlcFormat ? 1 : 0;
    pic.alternateScan = pic.alternateScan ? 1 : 0;
    pic.intraDcPrecision = std::clamp(s.intraDCPrec, 0, 3);
    if (!enc.mpeg2) {
        // MPEG-1 syntax can signal none of these.
        pic.framePredFrameDct = 1;
        pic.qScaleType = 0;
        pic.intraVlcFormat = 0;
        pic.alternateScan = 0;
        pic.intraDcPrecision = 0;
    }

    if (!s.fieldPictures) {
        pic.pictureStructure = kFramePicture;
        if (s.videoPulldownFlag == 1 || s.videoPulldownFlag == 2) {
            static constexpr int kFlags[2][4][2] = {{{1, 0}, {1, 1}, {0, 0}, {0, 1}},
                                                    {{1, 1}, {0, 0}, {0, 1}, {1, 0}}};
            const int phase = ((pic.frameNumber % 4) + 4) % 4;
            pic.progressiveFrame = 1;
            pic.topFieldFirst = kFlags[s.videoPulldownFlag - 1][phase][0];
            pic.repeatFirstField = kFlags[s.videoPulldownFlag - 1][phase][1];
        } else {
            pic.topFieldFirst = s.topFieldFirst ? 1 : 0;
            pic.repeatFirstField = s.repeatFirstField ? 1 : 0;
            pic.progressiveFrame = s.progressiveFrame ? 1 : 0;
        }
    } else {
        pic.pictureStructure = s.topFieldFirst ? kTopField : kBottomField;
        pic.topFieldFirst = 0;
        pic.repeatFirstField = 0;
        pic.progressiveFrame = 0;
    }

    for (auto& d : pic.fCode) d[0] = d[1] = kUnusedFCode;
    for (auto& d : pic.searchRange) d[0] = d[1] = 0;
    if (step.pictureType != kPictureI) {
        const int32_t* m = s.motion[std::clamp(step.motionEntry, 0, kMotionEntries - 1)];
        pic.fCode[0][0] = m[kForwHorzFCode];
        pic.fCode[0][1] = m[kForwVertFCode];
        pic.searchRange[0][0] = m[kForwHorzSearch];
        pic.searchRange[0][1] = m[kForwVertSearch];
        if (step.pictureType == kPictureB) {
            pic.fCode[1][0] = m[kBackHorzFCode];
            pic.fCode[1][1] = m[kBackVertFCode];
            pic.searchRange[1][0] = m[kBackHorzSearch];
            pic.searchRange[1][1] = m[kBackVertSearch];
        }
    }
}

namespace {

// Without motion estimation every macroblock of the picture is intra.
void markIntraPicture(VideoEncoder& enc) {
    for (MacroblockInfo& mb : enc.mbInfo) {
        const double activity = mb.activity;
        mb = MacroblockInfo{};
        mb.type = kMbIntra;
        mb.motionType = kMotionFrame;
        mb.activity = activity;
    }
}

}  // namespace

bool codeFramePicture(VideoEncoder& enc) {
    if (enc.pic.pictureCodingType != kPictureI) {
        // P and B pictures arrive with motion estimation.
        return false;
    }
    markIntraPicture(enc);
    return codePicture(enc, *enc.current);
}

namespace {

double steadySeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

}  // namespace

void startProgressClock(VideoEncoder& enc, ProgressClock& clock) {
    clock = ProgressClock{};
    clock.start = steadySeconds();
    clock.questionsAtStart = enc.engine.questionSeconds();
}

double workedSeconds(const VideoEncoder& enc, const ProgressClock& clock) {
    const double questions = enc.engine.questionSeconds() - clock.questionsAtStart;
    return std::max(0.0, steadySeconds() - clock.start - questions);
}

void showProgress(VideoEncoder& enc, ProgressClock& clock, int i) {
    const int nframes = enc.nframes;
    // Two-pass coding shows both passes as one job.
    const int done = enc.progressDone + i;
    const int total = enc.progressTotal > 0 ? enc.progressTotal : nframes;
    const int percent = total > 0 ? static_cast<int>(std::floor(static_cast<double>(done) / total * 100.0)) : 0;
    // Speed and time left from the first half second on, refreshed twice a
    // second, so a short job shows a real estimate and a long one a steady one.
    const double worked = workedSeconds(enc, clock);
    if (i > 0 && worked >= 0.5 && (clock.lastUpdate < 0 || worked - clock.lastUpdate >= 0.5)) {
        clock.lastUpdate = worked;
        clock.fps = static_cast<double>(i) / worked;
        clock.remaining = std::max(0L, static_cast<long>(std::floor((total - done) / clock.fps + 0.5)));
    }
    const double current = enc.writer.totalBits() / 8388608.0;
    const double estimate = i > 0 ? static_cast<double>(nframes) / i * current : 0.0;
    const long left = clock.remaining;
    enc.engine.setProgress(formatText("Video Conversion progress: %d%%;     \nEstimate time: %ldhr %ldmin %02ldsec;\n"
                                      "Current file size: %.0fMB / Estimate file size: %.0fMB\n"
                                      "Current Frame: %d / Total Frame: %d;\nSpeed: %.1ffps; ",
                                      percent, left / 3600, (left / 60) % 60, left % 60, current, estimate, i,
                                      nframes, clock.fps),
                           percent);
}

void printEndLines(VideoEncoder& enc, long elapsedSeconds) {
    Engine& e = enc.engine;
    const RateStatistics& st = enc.rcStats;
    const EncoderSettings& s = enc.s;
    const double nframes = enc.nframes > 0 ? enc.nframes : 1;
    if (s.constBitrateFlag && !s.verbose) {
        if (st.vbvOverflows) e.logLine(formatText("   VBV delay overflows = %d", st.vbvOverflows));
        if (st.vbvUnderflows) e.logLine(formatText("   VBV delay underflows = %d", st.vbvUnderflows));
    }
    e.logLine(formatText("   Min bitrate of any one frame = %u bits", st.minFrameBits));
    e.logLine(formatText("   Max bitrate of any one frame = %u bits", st.maxFrameBits));
    e.logLine(formatText("   Min bitrate over any one second = %u bps", st.minWindowBits));
    e.logLine(formatText("   Avg bitrate over any one second = %.0f bps",
                         enc.writer.totalBits() / (nframes / s.frameRate)));
    e.logLine(formatText("   Max bitrate over any one second = %u bps", st.maxWindowBits));
    if (s.constBitrateFlag) {
        if (st.totalPaddingBits > 0) {
            e.logLine(formatText("   Avg padding bits over any one second = %.0f",
                                 st.totalPaddingBits * s.frameRate / nframes));
            e.logLine(formatText("   Max padding in any one frame = %u bits",
                                 static_cast<unsigned>(st.maxPaddingBits)));
        }
        e.logLine(formatText("   Avg header bits over any one second = %.0f", enc.headerBits * s.frameRate / nframes));
        e.logLine(formatText("   Min mquant = %u", static_cast<unsigned>(st.minMquant)));
        e.logLine(formatText("   Avg mquant = %.3f", st.avgMquant));
        e.logLine(formatText("   Max mquant = %u", static_cast<unsigned>(st.maxMquant)));
    }
    const unsigned n = static_cast<unsigned>(enc.nframes);
    e.setProgress(formatText("Video: 100%% - frame %u of %u.", n, n), 100);
    const long shown = elapsedSeconds;
    const double divisor = shown > 0 ? static_cast<double>(shown) : 1.0;
    e.logLine(formatText("   Total time: %d seconds (%02d:%02d:%02d), %.2f frames/sec, %.3f sec/frame.",
                         static_cast<int>(shown), static_cast<int>(shown / 3600), static_cast<int>((shown / 60) % 60),
                         static_cast<int>(shown % 60), nframes / divisor, static_cast<double>(shown) / nframes));
}

}  // namespace quillon

#include "video/video_encoder.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include <unistd.h>

#include "video/encoder/encoder_setup.h"
#include "video/encoder/frame_input.h"
#include "video/encoder/gop_recoding.h"
#include "video/encoder/lookahead.h"
#include "video/encoder/max_bitrate.h"
#include "video/encoder/motion_estimation.h"
#include "video/encoder/picture_coding.h"
#include "video/encoder/picture_loop.h"
#include "video/encoder/picture_tools.h"
#include "video/encoder/rate_interface.h"
#include "video/encoder/stream_headers.h"
#include "video/encoder/two_pass.h"
#include "engine/format.h"

namespace quillon {

namespace {

// Colour preview of the reconstructed picture for the conversion dialog:
// studio-range Y, Cb, Cr to RGB with the usual 601 weights, chroma taken
// from the sample that covers each pixel.
void refreshPreview(VideoEncoder& enc) {
    if (!enc.engine.previewOn() || !enc.reconstructed) return;
    const VideoGeometry& g = enc.geo;
    if (g.paddedWidth <= 0 || g.paddedHeight <= 0) return;
    const Picture& p = *enc.reconstructed;
    std::vector<uint8_t> bgra(static_cast<size_t>(g.width) * g.height * 4);
    auto clip = [](int v) { return static_cast<uint8_t>(std::clamp(v, 0, 255)); };
    for (int r = 0; r < g.height; ++r) {
        const uint8_t* ys = p.y() + static_cast<size_t>(r) * g.paddedWidth;
        const size_t cr = static_cast<size_t>(r) * g.chromaHeight / g.paddedHeight;
        const uint8_t* cbs = p.cb() + cr * g.chromaWidth;
        const uint8_t* crs = p.cr() + cr * g.chromaWidth;
        // Rows bottom-up, like every picture the dialog shows.
        uint8_t* dst = bgra.data() + static_cast<size_t>(g.height - 1 - r) * g.width * 4;
        for (int x = 0; x < g.width; ++x) {
            const size_t cx = static_cast<size_t>(x) * g.chromaWidth / g.paddedWidth;
            const int y = (ys[x] - 16) * 298;
            const int u = cbs[cx] - 128, v = crs[cx] - 128;
            dst[4 * x] = clip((y + 516 * u + 128) >> 8);
            dst[4 * x + 1] = clip((y - 100 * u - 208 * v + 128) >> 8);
            dst[4 * x + 2] = clip((y + 409 * v + 128) >> 8);
            dst[4 * x + 3] = 0;
        }
    }
    enc.engine.showPreview(bgra.data(), g.width, g.height, g.width * 4);
}

bool fail(VideoEncoder& enc) {
    tearDownEncoder(enc);
    return false;
}

}  // namespace

bool runVideoEncoder(Engine& engine) { return runVideoEncoder(engine, VideoRunOptions{}); }

bool runVideoEncoder(Engine& engine, PictureObserver* observer) {
    VideoRunOptions options;
    options.observer = observer;
    return runVideoEncoder(engine, options);
}

namespace {

// Hands the coded plan to the caller however the encode ends.
struct PlanRecorder {
    const VideoRunOptions& options;
    std::unique_ptr<CodingPlan>& plan;
    ~PlanRecorder() {
        if (options.recordPlan && plan) *options.recordPlan = plan->steps();
    }
};

// The first pass's record of coding step i. A GOP coded again replaces
// what its first attempt recorded.
void recordStep(PassRecord& record, const VideoEncoder& enc, int i, const CodingStep& step, double stepBits) {
    record.pictures.resize(static_cast<size_t>(i));
    PassPicture p;
    p.codingIndex = i;
    p.displayIndex = step.displayIndex;
    p.type = step.pictureType;
    p.structure = enc.s.fieldPictures ? 0 : 3;
    p.opensGop = step.opensGop;
    p.closedGop = step.closedGop;
    p.brokenLink = step.brokenLink;
    p.gopStart = step.gopStart;
    p.motionEntry = step.motionEntry;
    p.coefficientBits = enc.tally.blockBits;
    p.vectorBits = enc.tally.macroblockBits - enc.tally.blockBits;
    p.headerBits = stepBits - enc.tally.macroblockBits;
    p.quantSum = enc.tally.quantSum;
    // The quantiser the type ratio asks for, before rounding to a codable
    // one: at the first pass's fine quantisers the rounding bends the
    // ratios far more than where the second pass codes.
    p.pictureQuant = baseFixedMquant(enc) * typeRatioPercent(enc.s, step.pictureType, enc.typeRatioShare) / 100.0;
    p.macroblocks = enc.tally.macroblocks;
    p.intraMacroblocks = enc.tally.intra;
    p.skippedMacroblocks = enc.tally.skipped;
    p.complexity = enc.tally.macroblockBits * p.meanQuant();
    record.pictures.push_back(p);
}

// One pass of two-pass coding: the first keeps the record, the second
// replays its plan with the planned quantisers.
struct PassRole {
    PassRecord* record = nullptr;
    SecondPass* second = nullptr;
    int progressDone = 0;
    int progressTotal = 0;
};

bool encodePass(Engine& engine, const VideoRunOptions& options, const PassRole& role) {
    VideoEncoder enc(engine);
    enc.observer = options.observer;
    if (options.recordPlan) options.recordPlan->clear();
    enc.gopSize = std::max(1, engine.work.iFramesInGOP);
    enc.refDistance = std::max(1, engine.work.ipFrameDistance);
    enc.nframes = engine.job.frameCount;
    enc.progressDone = role.progressDone;
    enc.progressTotal = role.progressTotal;
    engine.job.framesEncoded = 0;
    if (enc.nframes <= 0) {
        engine.reportError("No frames to encode.");
        return false;
    }

    // The second pass codes exactly the steps the first one did.
    if (role.second) enc.nframes = std::min(enc.nframes, static_cast<int>(role.second->record().pictures.size()));
    if (options.replayPlan) {
        const std::string fault = validatePlan(*options.replayPlan, enc.nframes, enc.refDistance);
        if (!fault.empty()) {
            engine.reportError("The recorded GOP plan does not fit this encode: " + fault + ".");
            return false;
        }
    }

    if (!setUpEncoder(enc)) return fail(enc);
    if (!setUpMotionSearch(enc)) return fail(enc);
    ProgressClock clock;
    startProgressClock(enc, clock);
    if (role.second) enc.passMquantValue = enc.s.mquantValue;

    rcInitSequenceStatistics(enc);
    if (enc.rate) enc.rate->rcInitSequence(enc);
    writeSequenceHeaders(enc);
    // GOP re-coding (enc.gopRecoding) takes its first snapshot here.
    if (enc.gopRecoding) startGopRecoding(enc);

    std::shared_ptr<EncoderLookahead> lookahead;
    if (enc.s.lookahead > 0) lookahead = makeEncoderLookahead(enc);
    std::unique_ptr<CodingPlan> plan;
    if (options.replayPlan)
        plan = std::make_unique<CodingPlan>(CodingPlan::replay(*options.replayPlan));
    else if (lookahead)
        plan = makeLookaheadPlan(enc, lookahead);
    else
        plan = std::make_unique<CodingPlan>(CodingPlan::fixed(enc.gopSize, enc.refDistance, enc.nframes));
    const PlanRecorder recorder{options, plan};
    for (int i = 0; i < enc.nframes; ++i) {
        engine.pumpMessages();
        // Deciding the step may read ahead and meet the break.
        const int display = plan->step(i).displayIndex;
        const int brokenAt = lookahead ? lookaheadBreak(*lookahead) : -1;
        enc.codingBeforeBreak = false;
        if (engine.job.stopRequested && brokenAt >= 0) {
            // Ends as a broken input ends without the lookahead: at the
            // first picture that cannot be had.
            if (display >= brokenAt) {
                if (i > 0) break;
                return fail(enc);
            }
            enc.codingBeforeBreak = true;
        }
        if (enc.stopNow()) return fail(enc);
        if (enc.writer.writeError()) {
            tearDownEncoder(enc);
            engine.reportError("Unable to write to output file.");
            return false;
        }
        showProgress(enc, clock, i);
        refreshPreview(enc);
        // At a GOP start (i > 0) GOP re-coding checks the previous GOP here
        // and may move i back to that GOP's first coding index.
        if (enc.recoding && i > 0 && plan->step(i).opensGop) i = recodeCheckAtGopStart(enc, i);
        const CodingStep step = plan->step(i);
        const double stepStart = enc.writer.totalBits();
        assignPictureBuffers(enc, step);
        if (step.opensGop) {
            const GopCounts counts = plan->gopCounts(i);
            if (enc.rate) enc.rate->rcInitGop(enc, counts.np, counts.nb);
            if (i > 0) writeSequenceHeaders(enc);
            writeGopHeader(enc, step.gopStart, step.closedGop, step.brokenLink);
        }
        preparePicture(enc, step);
        writePictureHeaderStatistics(enc, i);

        if (!fetchPicture(enc, *enc.current, step.displayIndex)) {
            if (i > 0) break;
            return fail(enc);
        }
        measureGrain(enc);
        if (lookahead) {
            prepareTemporalFactors(enc, *lookahead, step.displayIndex, step.pictureType);
            // Reading ahead for the propagation may have met the break.
            const int at = lookaheadBreak(*lookahead);
            enc.codingBeforeBreak = engine.job.stopRequested && at >= 0 && step.displayIndex < at;
        }
        enc.tally = PictureTally{};
        if (role.second) enc.passQuant = role.second->startPicture(i, enc.writer.totalBits());
        if (!codeFrame(enc, step)) return fail(enc);
        const double stepBits = enc.writer.totalBits() - stepStart;
        if (role.second) role.second->endPicture(i, stepBits);
        if (role.record) recordStep(*role.record, enc, i, step, stepBits);
        if (enc.observer) enc.observer->frameCoded(enc);
        engine.job.framesEncoded = i + 1;
    }

    if (enc.s.writeSequenceEndCode) writeSequenceEnd(enc);
    tearDownEncoder(enc);
    // The last buffer reaches the disk only at close.
    if (enc.writer.writeError()) {
        engine.reportError("Unable to write to output file.");
        return false;
    }
    printEndLines(enc, static_cast<long>(workedSeconds(enc, clock) + 0.5));
    // Variable-bitrate MPEG-2 without maxBitrate: the max-bitrate embedding
    // pass runs here and its result becomes the encode's.
    if (!enc.maxBitrateFileName.empty()) {
        const bool embedded = embedMaxBitrate(enc);
        removeMaxBitrateFile(enc);
        return embedded;
    }
    return true;
}


// Where the first pass's record goes: beside the statistics file when
// there is one, else a new file in the output's folder that is removed
// after the second pass.
std::string passRecordName(Engine& engine, bool* temporary) {
    const std::string stats = engine.work.statisticsFilename;
    if (!stats.empty()) {
        *temporary = false;
        return stats + ".passes";
    }
    *temporary = true;
    const std::string& out = engine.job.videoStreamName;
    const size_t slash = out.find_last_of('/');
    std::string pattern = (slash == std::string::npos ? std::string() : out.substr(0, slash + 1)) + "quillon-pass-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    const int fd = mkstemp(name.data());
    if (fd < 0) return {};
    close(fd);
    return name.data();
}

bool runTwoPass(Engine& engine, const VideoRunOptions& options) {
    EncoderSettings& s = engine.work;
    const double average = s.avgBitrate;
    // The passes share out the average themselves; GOP re-coding keeps
    // only the maximum and minimum.
    s.avgBitrate = 0;
    bool temporary = false;
    const std::string recordName = passRecordName(engine, &temporary);
    auto finish = [&](bool ok) {
        s.avgBitrate = average;
        if (temporary && !recordName.empty()) std::remove(recordName.c_str());
        return ok;
    };
    if (recordName.empty()) {
        engine.reportError("Could not create the temporary file of the first pass.");
        return finish(false);
    }
    const int frames = std::max(0, engine.job.frameCount);
    if (std::FILE* f = engine.job.statisticsFile) std::fprintf(f, "\ntwo-pass coding: first pass\n");
    PassRecord record;
    record.frameRate = s.frameRate > 0 ? s.frameRate : 25;
    record.gopSize = std::max(1, s.iFramesInGOP);
    record.refDistance = std::max(1, s.ipFrameDistance);
    record.mquantValue = s.mquantValue;
    PassRole first;
    first.record = &record;
    first.progressTotal = 2 * frames;
    VideoRunOptions measure;
    measure.replayPlan = options.replayPlan;
    if (!encodePass(engine, measure, first)) return finish(false);
    record.frames = static_cast<int>(record.pictures.size());
    std::string why;
    if (!writePassRecord(recordName, record, &why)) {
        engine.reportError(formatText("Could not write the first pass's record %s (%s).", recordName.c_str(),
                                      why.c_str()));
        return finish(false);
    }

    BitPlanLimits limits;
    limits.averageBitrate = average;
    limits.maxBitrate = s.maxBitrate;
    limits.vbvBits = static_cast<double>(s.vbvBufferSize) * 16384.0;
    limits.frameRate = record.frameRate;
    const bool nonLinear = isMpeg2Syntax(s) && s.quantizationScaleP != 0;
    limits.qMin = nonLinear ? 1 : 2;
    limits.qMax = nonLinear ? 112 : 62;
    SecondPass second(record, limits);
    if (std::FILE* f = engine.job.statisticsFile)
        std::fprintf(f, "\ntwo-pass coding: second pass, %.0f bits for %d frames\n", second.targetBits(),
                     record.frames);
    PassRole replay;
    replay.second = &second;
    replay.progressDone = frames;
    replay.progressTotal = 2 * frames;
    // The second pass codes the plan the first one recorded.
    std::vector<CodingStep> steps;
    for (const PassPicture& p : second.record().pictures) steps.push_back(replayStep(p));
    VideoRunOptions spend = options;
    spend.replayPlan = &steps;
    return finish(encodePass(engine, spend, replay));
}

}  // namespace

bool twoPassWanted(const EncoderSettings& s) {
    return s.twoPass != 0 && !s.constBitrateFlag && s.avgBitrate > 0;
}

bool runVideoEncoder(Engine& engine, const VideoRunOptions& options) {
    if (twoPassWanted(engine.work)) return runTwoPass(engine, options);
    return encodePass(engine, options, PassRole{});
}

}  // namespace quillon

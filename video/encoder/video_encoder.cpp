#include "video/video_encoder.h"

#include <algorithm>
#include <ctime>

#include "video/encoder/encoder_setup.h"
#include "video/encoder/frame_input.h"
#include "video/encoder/gop_recoding.h"
#include "video/encoder/max_bitrate.h"
#include "video/encoder/motion_estimation.h"
#include "video/encoder/picture_coding.h"
#include "video/encoder/picture_loop.h"
#include "video/encoder/rate_interface.h"
#include "video/encoder/stream_headers.h"

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

}  // namespace

bool runVideoEncoder(Engine& engine, const VideoRunOptions& options) {
    VideoEncoder enc(engine);
    enc.observer = options.observer;
    if (options.recordPlan) options.recordPlan->clear();
    enc.gopSize = std::max(1, engine.work.iFramesInGOP);
    enc.refDistance = std::max(1, engine.work.ipFrameDistance);
    enc.nframes = engine.job.frameCount;
    engine.job.framesEncoded = 0;
    if (enc.nframes <= 0) {
        engine.reportError("No frames to encode.");
        return false;
    }

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

    rcInitSequenceStatistics(enc);
    if (enc.rate) enc.rate->rcInitSequence(enc);
    writeSequenceHeaders(enc);
    // GOP re-coding (enc.gopRecoding) takes its first snapshot here.
    if (enc.gopRecoding) startGopRecoding(enc);

    std::unique_ptr<CodingPlan> plan;
    if (options.replayPlan)
        plan = std::make_unique<CodingPlan>(CodingPlan::replay(*options.replayPlan));
    else
        plan = std::make_unique<CodingPlan>(CodingPlan::fixed(enc.gopSize, enc.refDistance, enc.nframes));
    const PlanRecorder recorder{options, plan};
    for (int i = 0; i < enc.nframes; ++i) {
        engine.pumpMessages();
        if (engine.job.stopRequested) return fail(enc);
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
        if (!codeFrame(enc, step)) return fail(enc);
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

}  // namespace quillon

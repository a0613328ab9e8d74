#include "engine/job_driver.h"

#include <algorithm>
#include <cstdio>
#include <limits>
#include <new>

#include "engine/conversion_dialog.h"
#include "engine/engine.h"
#include "engine/engine_entry.h"
#include "engine/format.h"
#include "engine/presets.h"
#include "engine/source_format.h"
#include "engine/validation.h"
#include "platform/regular_file.h"

namespace quillon {

namespace {

void setMultiplexFlags(EncoderSettings& w) {
    const bool both = (w.encodeVideo != 0) == (w.encodeAudio != 0);
    w.multiplexVideo = w.multiplexAudio = both ? 1 : 0;
}

// Stands in for the dialog when a run is driven without one, so that the
// driver need not test for it at every step.
class NoDialog : public DialogView {
public:
    void setStartEnabled(bool) override {}
    void setStopEnabled(bool) override {}
    void setCancelEnabled(bool) override {}
    void setCancelLabel(const std::string&) override {}
    void setProgressValue(int) override {}
    void setStatusText(const std::string&) override {}
    void startTimer(int) override {}
    void postStart() override {}
    void postClose() override {}
    void processEvents() override {}
    void runModal(DialogController&) override {}
};

}  // namespace

std::string withoutExtension(const std::string& name) {
    size_t dot = name.rfind('.');
    size_t slash = name.rfind('/');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return name;
    return name.substr(0, dot);
}

void deriveStreamNames(Engine& engine, const char* outputName) {
    JobValues& job = engine.job;
    job.programStreamName = (outputName && *outputName)
                                ? std::string(outputName)
                                : std::string("temp") + kProgramStreamExtension;
    const std::string base = withoutExtension(job.programStreamName);
    job.videoStreamName.clear();
    job.audioStreamName.clear();
    job.audio2StreamName.clear();
    if (engine.ev.hasVideo) job.videoStreamName = base + (isMpeg2Syntax(engine.work) ? ".m2v" : ".m1v");
    if (engine.ev.hasAudio) job.audioStreamName = base + ".mpa";
}

int startJob(Engine& engine, const ConversionRequest& r) {
    JobValues& job = engine.job;
    EngineValues& ev = engine.ev;
    EncoderSettings& w = engine.work;

    engine.setActiveDialog(nullptr);
    engine.clearStopPress();
    job.stopRequested = false;
    job.jobRunning = false;
    job.framesEncoded = 0;
    job.settingsRefused = false;

    // Counts are taken in 64 bits and clamped, so that no request can make
    // them overflow.
    auto count = [](int32_t first, int32_t last) {
        long long n = static_cast<long long>(last) - first + 1;
        return static_cast<int>(std::clamp<long long>(n, 0, std::numeric_limits<int>::max()));
    };
    job.firstFrame = r.firstFrame;
    job.frameCount = count(r.firstFrame, r.lastFrame);
    job.firstSample = engine.request.firstSample;
    job.lastSample = engine.request.lastSample;
    job.sampleCount = count(job.firstSample, job.lastSample);

    if (r.videoPresent & 0xff) {
        ev.horizontalSize = r.width % 2 ? r.width - 1 : r.width;
        ev.verticalSize = r.height % 2 ? r.height - 1 : r.height;
        ev.hasVideo = 1;
        w.encodeVideo = w.userEncodeVideo;
    } else {
        ev.hasVideo = 0;
        w.encodeVideo = 0;
    }
    if (r.audioPresent & 0xff) {
        ev.audioSampleRate = r.sampleRate;
        ev.audioStereo = (r.stereo & 0xff) ? 1 : 0;
        ev.audioBitsPerSample = r.bitsPerSample;
        w.audioMode = ev.audioStereo ? 0 : 3;
        ev.hasAudio = 1;
        w.encodeAudio = w.userEncodeAudio;
    } else {
        ev.hasAudio = 0;
        w.encodeAudio = 0;
    }
    setMultiplexFlags(w);

    if (ev.hasVideo && w.autoBitrate) {
        captureSettings(engine);
        applyAutoBitrate(engine.record, ev.horizontalSize, ev.verticalSize);
        applySettings(engine);
    }
    deriveStreamNames(engine, r.outputName);

    if (ev.hasVideo || ev.hasAudio) {
        checkSourceFormat(engine, r.width, r.height, r.sampleRate, r.bitsPerSample);
        // A source dropped for its format is not encoded either.
        bool dropped = false;
        if (!ev.hasVideo && w.encodeVideo) w.encodeVideo = 0, dropped = true;
        if (!ev.hasAudio && w.encodeAudio) w.encodeAudio = 0, dropped = true;
        if (dropped) setMultiplexFlags(w);
    }

    job.jobCompleted = false;
    std::unique_ptr<DialogView> view = engine.host().createDialog();
    if (!view) {
        engine.reportError("Unable to create main window.");
        return 4;
    }
    ConversionDialog controller(engine, *view);
    view->runModal(controller);
    engine.setActiveDialog(nullptr);
    return job.jobCompleted ? 3 : 2;
}

namespace {

// Runs one phase. Memory running out anywhere in it (a picture, a buffer,
// a table) ends the phase as a failure with a message, never the program.
template <typename Phase>
bool runPhase(Engine& engine, Phase phase) {
    try {
        return phase();
    } catch (const std::bad_alloc&) {
        engine.reportError("Not enough memory to go on; the conversion stops here.");
        return false;
    }
}

}  // namespace

RunOutcome runConversion(Engine& engine) {
    JobValues& job = engine.job;
    NoDialog none;
    DialogView& view = engine.activeDialog() ? *engine.activeDialog() : none;
    ConversionPhases* phases = engine.phases();
    {
        const EncoderSettings& w = engine.work;
        if ((w.encodeVideo || w.multiplexVideo) && job.videoStreamName.empty()) {
            engine.showMessage("A video stream filename must be specified, running settings ...",
                               MessageIcon::None);
            return RunOutcome::Refused;
        }
        if ((w.encodeAudio || w.multiplexAudio) && job.audioStreamName.empty() &&
            job.audio2StreamName.empty()) {
            engine.showMessage("An audio stream filename must be specified, running settings ...",
                               MessageIcon::None);
            return RunOutcome::Refused;
        }
        if ((w.multiplexVideo || w.multiplexAudio) && job.programStreamName.empty()) {
            engine.showMessage(
                "A program stream filename must be specified, running settings ...",
                MessageIcon::None);
            return RunOutcome::Refused;
        }
    }
    captureSettings(engine);
    {
        // A value outside its limits never reaches an encoder or the
        // multiplexer, whichever way it came in; the message says which
        // value it is and what is allowed.
        const EncoderSettings& s = engine.record;
        std::string problem = settingsLimitProblem(s);
        if (problem.empty() && s.encodeVideo)
            problem = videoSettingsProblem(s, engine.ev.horizontalSize, engine.ev.verticalSize);
        if (problem.empty() && s.encodeAudio) problem = audioSettingsProblem(s);
        // The matrix files are read whole by the video set-up: a device or
        // a pipe named there would be read without end or waited on. A
        // missing file is the set-up's own message.
        const struct {
            const char* key;
            const char* name;
        } matrices[2] = {{"intraQuantMatrix", s.intraQuantMatrix}, {"nonIntraQuantMatrix", s.nonIntraQuantMatrix}};
        for (const auto& m : matrices) {
            std::string why;
            if (problem.empty() && s.encodeVideo && m.name[0] &&
                checkRegularFile(m.name, kMaxSmallFileBytes, &why) == FileCheck::Refused)
                problem = formatText("%s: %s %s.", m.key, m.name, why.c_str());
        }
        if (!problem.empty()) {
            job.settingsRefused = true;
            engine.showMessage("Invalid settings, running settings ...\n" + problem, MessageIcon::None);
            return RunOutcome::Refused;
        }
    }
    if (!phases) {
        engine.showMessage("No encoders are available for this conversion.", MessageIcon::Error);
        return RunOutcome::Refused;
    }

    job.statisticsOn = engine.work.statisticsFilename[0] != '\0';
    if (job.statisticsOn) {
        job.statisticsFile = std::fopen(engine.work.statisticsFilename, "w");
        if (!job.statisticsFile) {
            job.statisticsOn = false;
            engine.showMessage(formatText("Could not create statistics output file %s.",
                                          engine.work.statisticsFilename),
                               MessageIcon::Error);
            return RunOutcome::Refused;
        }
    }

    view.setStartEnabled(false);
    view.setStopEnabled(true);
    view.setCancelEnabled(false);
    job.jobRunning = true;
    engine.clearStopPress();

    EncoderSettings& w = engine.work;
    bool ok = true;
    if (w.encodeVideo) {
        engine.logLine(" ");
        engine.logLine("Encoding Video:");
        ok = runPhase(engine, [&] { return phases->encodeVideo(engine); });
    }
    bool stoppedInVideo = false;
    if (job.stopRequested) {
        stoppedInVideo = true;
        job.stopRequested = false;
        // The sound is cut to the part the encoded pictures cover.
        const long long frames = job.frameCount > 0 ? job.frameCount : 1;
        job.lastSample = static_cast<int>(static_cast<long long>(job.framesEncoded) *
                                          job.lastSample / frames);
        job.firstSample = 0;
        job.sampleCount = job.lastSample < std::numeric_limits<int>::max() ? job.lastSample + 1
                                                                           : job.lastSample;
        ok = true;
    }
    view.setStopEnabled(false);
    // A stop before the first picture was coded leaves no part to give
    // sound to or to multiplex: the cut would still ask for one sample, and
    // the multiplexer would reject a stream without pictures with an error.
    const bool nothingEncoded = stoppedInVideo && w.encodeVideo && job.framesEncoded == 0;
    if (nothingEncoded) ok = false;

    bool stopInLaterPhase = false;
    if (!job.stopRequested && ok && w.encodeAudio) {
        engine.logLine(" ");
        engine.logLine("Encoding Audio:");
        engine.setProgress("", 0);
        ok = runPhase(engine, [&] { return phases->encodeAudio(engine); });
        if (job.stopRequested) stopInLaterPhase = true;
    }
    if (!stopInLaterPhase && ok && (w.multiplexVideo || w.multiplexAudio)) {
        engine.logLine(" ");
        engine.setProgress("", 0);
        if (w.multiplexVideo && w.multiplexAudio)
            engine.logLine("Multiplexing video and audio:");
        else if (w.multiplexVideo)
            engine.logLine("Multiplexing video:");
        else
            engine.logLine("Multiplexing audio:");
        const bool muxVideo = w.multiplexVideo != 0, muxAudio = w.multiplexAudio != 0;
        ok = runPhase(engine, [&] { return phases->multiplex(engine, muxVideo, muxAudio); });
        if (ok && w.videoType != kKindDvd) {
            if (w.encodeVideo && !w.saveTempVideo) std::remove(job.videoStreamName.c_str());
            if (w.encodeAudio && !w.saveTempAudio) std::remove(job.audioStreamName.c_str());
        }
    }

    job.jobRunning = false;
    applySettings(engine);
    view.setStopEnabled(false);
    view.setCancelLabel("&Ok");
    view.setCancelEnabled(true);
    if (job.statisticsFile) {
        std::fclose(job.statisticsFile);
        job.statisticsFile = nullptr;
    }

    // A stop during the sound or the multiplexing leaves the run incomplete
    // even if the phase did not say so.
    if (job.stopRequested) ok = false;
    job.stopRequested = stoppedInVideo;
    if (job.stopRequested) {
        engine.logLine(" ");
        engine.logLine("ENCODING ABORTED.");
        engine.setProgress("", 0);
    }
    if (ok && !job.stopRequested) job.jobCompleted = true;
    view.postClose();
    return RunOutcome::Finished;
}

}  // namespace quillon

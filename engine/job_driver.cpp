#include "engine/job_driver.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <limits>
#include <new>

#include "engine/conversion_dialog.h"
#include "engine/engine.h"
#include "engine/engine_entry.h"
#include "engine/fit_size.h"
#include "engine/format.h"
#include "engine/presets.h"
#include "engine/sound_alongside.h"
#include "engine/source_format.h"
#include "engine/validation.h"
#include "platform/output_files.h"
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

struct StreamNames {
    std::string program, video, audio;
};

StreamNames streamNamesFor(const char* outputName, bool mpeg2, bool video, bool audio) {
    StreamNames n;
    n.program = (outputName && *outputName) ? std::string(outputName)
                                            : std::string("temp") + kProgramStreamExtension;
    const std::string base = withoutExtension(n.program);
    if (video) n.video = base + (mpeg2 ? ".m2v" : ".m1v");
    if (audio) n.audio = base + ".mpa";
    return n;
}

bool keepsStreamAfterMultiplex(const EncoderSettings& w, bool video) {
    return (video ? w.saveTempVideo : w.saveTempAudio) != 0 || w.videoType == kKindDvd;
}

// The files one run writes. They are made under private names beside the
// final ones, created exclusively, so that no file the run did not make is
// ever written or removed; at the end of the run each is either moved to its
// final name or removed.
class RunFiles {
public:
    enum Kind { kVideo, kAudio, kProgram };

    explicit RunFiles(Engine& engine) : engine_(engine) {}
    ~RunFiles() {
        for (int k = 0; k < 3; ++k) discard(static_cast<Kind>(k));
        restoreNames();
    }

    // Makes the private files for the streams and the program stream the
    // run writes, and points the job's names at them. Reports and returns
    // false when the folder cannot take them.
    bool create(bool video, bool audio, bool program, bool split) {
        JobValues& job = engine_.job;
        final_[kVideo] = job.videoStreamName;
        final_[kAudio] = job.audioStreamName;
        final_[kProgram] = job.programStreamName;
        const bool writes[3] = {video, audio, program};
        split_ = split;
        std::string near;
        for (int k = 2; k >= 0; --k)
            if (writes[k]) near = final_[k];
        if (near.empty()) return true;
        const std::string problem = folderProblem(near);
        if (!problem.empty()) {
            engine_.reportError(formatText("Unable to write %s: %s.", near.c_str(), problem.c_str()));
            return false;
        }
        // A program name without a "." of its own must not get one from a
        // hidden private name: numbered parts would be named differently.
        const bool hidden = namePart(near).find('.') != std::string::npos;
        for (int attempt = 0; attempt < 100; ++attempt) {
            prefix_ = privatePrefix(near, hidden);
            bool taken = false;
            for (int k = 0; k < 3 && !taken; ++k) {
                if (!writes[k]) continue;
                const std::string path = prefix_ + namePart(final_[k]);
                if (createExclusive(path)) {
                    private_[k] = path;
                } else if (errno == EEXIST) {
                    taken = true;
                } else {
                    const int error = errno;
                    for (int j = 0; j < 3; ++j) discard(static_cast<Kind>(j));
                    engine_.reportError(formatText("Unable to write %s: %s.", final_[k].c_str(),
                                                   fileErrorText(error).c_str()));
                    return false;
                }
            }
            if (!taken) break;
            for (int j = 0; j < 3; ++j) discard(static_cast<Kind>(j));
        }
        if ((video && private_[kVideo].empty()) || (audio && private_[kAudio].empty()) ||
            (program && private_[kProgram].empty())) {
            engine_.reportError(formatText("Unable to write %s: no free private name.", near.c_str()));
            return false;
        }
        for (int k = 0; k < 3; ++k)
            if (!private_[k].empty()) name(static_cast<Kind>(k)) = private_[k];
        job.privatePrefix = prefix_;
        job.publicFolder = folderPart(near);
        active_ = true;
        return true;
    }

    bool writes(Kind k) const { return !private_[k].empty(); }

    // Moves the file (for a split program stream: every part) to its final
    // name. False after a message when it could not be.
    bool keep(Kind k) {
        if (!writes(k)) return true;
        std::vector<std::pair<std::string, std::string>> moves;
        if (k == kProgram && split_) {
            for (const std::string& part : splitParts())
                moves.push_back({part, job().publicFolder + part.substr(folderPart(part).size() + prefixName().size())});
        } else if (nonEmpty(private_[k])) {
            moves.push_back({private_[k], final_[k]});
        }
        bool ok = true;
        const bool replace = engine_.replaceExisting;
        if (!replace) {
            // All parts or none: a name taken meanwhile stops the whole move.
            for (const auto& m : moves) {
                if (access(m.second.c_str(), F_OK) == 0) {
                    engine_.reportError(formatText("%s appeared while this job ran and was left as it is; "
                                                   "this job's file was removed.",
                                                   m.second.c_str()));
                    ok = false;
                }
            }
        }
        for (const auto& m : moves) {
            if (!ok) break;
            const MoveResult r = moveIntoPlace(m.first, m.second, replace);
            if (r == MoveResult::Moved) {
                job().filesWritten.push_back(m.second);
            } else {
                const std::string why = r == MoveResult::Exists ? std::string("it appeared while this job ran")
                                                                : fileErrorText(errno);
                engine_.reportError(formatText("Unable to put %s in place (%s); it was left as it is.",
                                               m.second.c_str(), why.c_str()));
                ok = false;
            }
        }
        discard(k);
        return ok;
    }

    // Removes what is left of the file (and of its parts).
    void discard(Kind k) {
        if (private_[k].empty()) return;
        if (k == kProgram && split_)
            for (const std::string& part : splitParts()) std::remove(part.c_str());
        std::remove(private_[k].c_str());
        private_[k].clear();
    }

    // Gives the job its final names back.
    void restoreNames() {
        if (!active_) return;
        for (int k = 0; k < 3; ++k)
            if (!final_[k].empty() || k == kProgram) name(static_cast<Kind>(k)) = final_[k];
        job().privatePrefix.clear();
        job().publicFolder.clear();
        active_ = false;
    }

private:
    JobValues& job() { return engine_.job; }
    std::string& name(Kind k) {
        return k == kVideo ? engine_.job.videoStreamName
                           : k == kAudio ? engine_.job.audioStreamName : engine_.job.programStreamName;
    }
    std::string prefixName() const { return namePart(prefix_); }
    static bool nonEmpty(const std::string& path) {
        std::FILE* f = std::fopen(path.c_str(), "rb");
        if (!f) return false;
        const bool any = std::fgetc(f) != EOF;
        std::fclose(f);
        return any;
    }
    // The numbered parts of a split program stream: the files of the
    // folder under the private prefix that are not the run's other files.
    std::vector<std::string> splitParts() const {
        std::vector<std::string> parts;
        const std::string folder = folderPart(prefix_);
        DIR* dir = ::opendir(folder.empty() ? "." : folder.c_str());
        if (!dir) return parts;
        const std::string start = namePart(prefix_);
        while (const dirent* e = ::readdir(dir)) {
            const std::string entry = e->d_name;
            if (entry.compare(0, start.size(), start) != 0) continue;
            const std::string path = folder + entry;
            if (path == private_[kVideo] || path == private_[kAudio] || path == private_[kProgram]) continue;
            parts.push_back(path);
        }
        ::closedir(dir);
        std::sort(parts.begin(), parts.end());
        return parts;
    }

    Engine& engine_;
    std::string prefix_;
    std::string final_[3];
    std::string private_[3];
    bool split_ = false;
    bool active_ = false;
};

}  // namespace

PlannedJobFiles plannedJobFiles(const Engine& engine, const ConversionRequest& r) {
    const EncoderSettings& w = engine.work;
    const bool video = (r.videoPresent & 0xff) != 0, audio = (r.audioPresent & 0xff) != 0;
    const bool encodeVideo = video && w.userEncodeVideo, encodeAudio = audio && w.userEncodeAudio;
    const bool multiplex = encodeVideo == encodeAudio;
    const StreamNames n = streamNamesFor(r.outputName, isMpeg2Syntax(w), video, audio);
    PlannedJobFiles out;
    for (const std::string* name : {&n.video, &n.audio})
        if (!name->empty()) out.streamNames.push_back(*name);
    if (multiplex) {
        out.program = n.program;
        out.split = r.maxFileSize != 0;
        if (video && !encodeVideo) out.reads.push_back(n.video);
        if (audio && !encodeAudio) out.reads.push_back(n.audio);
    }
    if (encodeVideo && (!multiplex || keepsStreamAfterMultiplex(w, true))) out.streams.push_back(n.video);
    if (encodeAudio && (!multiplex || keepsStreamAfterMultiplex(w, false))) out.streams.push_back(n.audio);
    out.statistics = w.statisticsFilename;
    return out;
}

std::string splitPartName(const std::string& path, int counter) {
    size_t slash = path.find_last_of('/');
    size_t baseStart = slash == std::string::npos ? 0 : slash + 1;
    std::string digits = counter < 100 ? formatText("%02d", counter) : formatText("%d", counter);
    size_t zeros = path.find("00", baseStart);
    if (zeros != std::string::npos) return path.substr(0, zeros) + digits + path.substr(zeros + 2);
    size_t dot = path.find_last_of('.');
    if (dot != std::string::npos && dot >= baseStart) return path.substr(0, dot) + digits + path.substr(dot);
    return path + digits;
}

std::string withoutExtension(const std::string& name) {
    size_t dot = name.rfind('.');
    size_t slash = name.rfind('/');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return name;
    return name.substr(0, dot);
}

void deriveStreamNames(Engine& engine, const char* outputName) {
    JobValues& job = engine.job;
    const StreamNames n =
        streamNamesFor(outputName, isMpeg2Syntax(engine.work), engine.ev.hasVideo != 0, engine.ev.hasAudio != 0);
    job.programStreamName = n.program;
    job.videoStreamName = n.video;
    job.audioStreamName = n.audio;
    job.audio2StreamName.clear();
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
    {
        // Fit to size turns the target's bytes into two passes at an
        // average bitrate (in the job's working copy only, so the user's
        // settings keep theirs); a size out of reach is refused before coding.
        std::string problem;
        if (!applyFitSize(engine, &problem) || !twoPassProblem(engine, &problem)) {
            job.settingsRefused = true;
            engine.showMessage("Invalid settings, running settings ...\n" + problem, MessageIcon::None);
            return RunOutcome::Refused;
        }
    }
    if (!phases) {
        engine.showMessage("No encoders are available for this conversion.", MessageIcon::Error);
        return RunOutcome::Refused;
    }
    const bool writesProgram = engine.work.multiplexVideo || engine.work.multiplexAudio;
    {
        // A program stream under a stream's name would be written over by
        // that stream, or read as it, and then removed.
        const EncoderSettings& w = engine.work;
        const std::string* streams[2] = {&job.videoStreamName, &job.audioStreamName};
        const char* kinds[2] = {"video", "audio"};
        const bool used[2] = {w.encodeVideo || w.multiplexVideo, w.encodeAudio || w.multiplexAudio};
        for (int i = 0; i < 2; ++i) {
            if (!writesProgram || !used[i] || streams[i]->empty()) continue;
            if (*streams[i] == job.programStreamName || sameFile(*streams[i], job.programStreamName)) {
                engine.showMessage(formatText("The output %s has the name of this job's %s stream; "
                                              "choose a name with another extension, such as .mpg.",
                                              job.programStreamName.c_str(), kinds[i]),
                                   MessageIcon::Error);
                return RunOutcome::Refused;
            }
        }
        const std::string stats = w.statisticsFilename;
        const std::string* outputs[3] = {&job.programStreamName, &job.videoStreamName, &job.audioStreamName};
        const bool outputUsed[3] = {writesProgram, used[0], used[1]};
        for (int i = 0; i < 3; ++i) {
            if (stats.empty() || !outputUsed[i] || outputs[i]->empty()) continue;
            if (stats == *outputs[i] || sameFile(stats, *outputs[i])) {
                engine.showMessage(formatText("The statistics file %s is also a stream of this job.", stats.c_str()),
                                   MessageIcon::Error);
                return RunOutcome::Refused;
            }
        }
    }
    // Whatever a later phase needs is checked now, before hours of coding
    // end in a refusal.
    if (!phases->checkSettings(engine)) return RunOutcome::Refused;

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

    job.filesWritten.clear();
    job.stopped = false;
    RunFiles files(engine);
    if (!files.create(engine.work.encodeVideo != 0, engine.work.encodeAudio != 0, writesProgram,
                      engine.work.maxFileSize != 0)) {
        if (job.statisticsFile) {
            std::fclose(job.statisticsFile);
            job.statisticsFile = nullptr;
        }
        return RunOutcome::Refused;
    }

    view.setStartEnabled(false);
    view.setStopEnabled(true);
    view.setCancelEnabled(false);
    job.jobRunning = true;
    engine.clearStopPress();

    EncoderSettings& w = engine.work;
    bool ok = true;
    // The sound is coded while the pictures are, where the phases allow;
    // it is taken up after them as if it had run then.
    std::unique_ptr<SoundAlongside> sound;
    if (w.encodeVideo && w.encodeAudio && phases->audioAlongsideVideo(engine))
        sound = SoundAlongside::start(engine, *phases);
    if (w.encodeVideo) {
        engine.logLine(" ");
        engine.logLine("Encoding Video:");
        ok = runPhase(engine, [&] { return phases->encodeVideo(engine); });
    }
    bool stoppedInVideo = false;
    if (sound && (!ok || job.stopRequested)) {
        // A stop cuts the sound to the pictures coded; a failure leaves it
        // uncoded.
        sound->discard();
        sound.reset();
    }
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
        ok = sound ? runPhase(engine, [&] { return sound->finish(); })
                   : runPhase(engine, [&] { return phases->encodeAudio(engine); });
        if (job.stopRequested) stopInLaterPhase = true;
    }
    bool multiplexRan = false, multiplexed = false;
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
        multiplexRan = true;
        ok = multiplexed = runPhase(engine, [&] { return phases->multiplex(engine, muxVideo, muxAudio); });
    }
    const bool stoppedLater = job.stopRequested;
    const bool stopped = stoppedInVideo || stoppedLater;

    // The files of the run: the program stream (complete, or the part done
    // after a stop), the streams that are kept and those a stop leaves
    // unmultiplexed go to their names, the rest goes. A failed run leaves
    // nothing but the streams the user asked to keep.
    bool placed = true;
    if (files.writes(RunFiles::kProgram)) {
        if (multiplexed || (multiplexRan && stoppedLater)) placed = files.keep(RunFiles::kProgram) && placed;
        else files.discard(RunFiles::kProgram);
    }
    const RunFiles::Kind streamKinds[2] = {RunFiles::kVideo, RunFiles::kAudio};
    for (int i = 0; i < 2; ++i) {
        const RunFiles::Kind k = streamKinds[i];
        if (!files.writes(k)) continue;
        const bool asked = (i == 0 ? w.saveTempVideo : w.saveTempAudio) != 0;
        bool keepIt;
        if (multiplexed) keepIt = keepsStreamAfterMultiplex(w, i == 0);
        else if (stopped) keepIt = true;  // what a stop leaves: the streams of the part done
        else if (!writesProgram) keepIt = asked || ok;  // the stream is the output
        else keepIt = asked;
        if (keepIt) placed = files.keep(k) && placed;
        else files.discard(k);
    }
    files.restoreNames();

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
    job.stopped = stopped;
    job.stopRequested = stoppedInVideo;
    if (job.stopRequested) {
        engine.logLine(" ");
        engine.logLine("ENCODING ABORTED.");
        engine.setProgress("", 0);
    }
    if (ok && placed && !job.stopRequested) job.jobCompleted = true;
    view.postClose();
    return RunOutcome::Finished;
}

}  // namespace quillon

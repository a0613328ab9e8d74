// quillon mux: the multiplex step alone, on elementary streams already on
// disk, with the terminal for progress, messages and Ctrl-C.
#include <unistd.h>

#include <cstdio>

#include "cli/cli_options.h"
#include "cli/commands.h"
#include "cli/terminal_host.h"
#include "engine/conversion_dialog.h"
#include "engine/engine.h"
#include "engine/engine_entry.h"
#include "mux/multiplex_step.h"
#include "mux/multiplexer.h"
#include "platform/output_files.h"

namespace quillon::cli {

namespace {

constexpr const char* kHelp =
    "Usage: quillon mux --target mpeg1|vcd|mpeg2|svcd|dvd [--pal|--ntsc]\n"
    "                   [--settings FILE] [--set KEY=VALUE]...\n"
    "                   [--video FILE.m1v|.m2v]\n"
    "                   [--audio FILE.mpa|.ac3] [-y] [-v] -o OUT.mpg\n"
    "\n"
    "Multiplexes existing elementary streams into a program stream with the\n"
    "settings of the target (its preset, read over by the settings file,\n"
    "\"default.ini\" in the configuration directory or FILE, then the --set\n"
    "changes): a video stream, an MPEG audio or AC-3 stream, or both. A VCD takes\n"
    "MPEG-1 video and MPEG audio only.\n"
    "Nothing is encoded and the elementary streams are kept. With maxFileSize\n"
    "set, the output is split into numbered files. Ctrl-C, SIGTERM and SIGHUP stop.\n"
    "An existing output is refused unless -y (--overwrite) is given; the output\n"
    "gets its name only when it is complete. -v (--verbose) also prints the scan\n"
    "of the streams and the multiplexer's details.\n"
    "\n"
    "Exit status: 0 on success, 1 when multiplexing failed or was stopped or the\n"
    "output exists, 2 on a usage error or rejected values.\n";

// The driver's phases with the encoders left out.
class MultiplexOnly : public ConversionPhases {
public:
    bool encodeVideo(Engine&) override { return false; }
    bool encodeAudio(Engine&) override { return false; }
    bool multiplex(Engine& engine, bool video, bool audio) override {
        return runMultiplexStep(engine, video, audio);
    }
};

}  // namespace

int muxCommand(const std::vector<std::string>& args) {
    const std::string name = "mux";
    TargetOptions target(-1, 0);
    std::string video, audio, output, settingsFile;
    bool overwrite = false;
    bool verbose = false;

    ArgumentReader reader(args);
    while (!reader.done()) {
        std::string opt = reader.next(), value;
        if (opt == "--help" || opt == "-h") {
            std::fputs(kHelp, stdout);
            return kExitOk;
        } else if (target.take(reader, opt)) {
            if (!target.error().empty()) return usageError(name, target.error());
        } else if (opt == "--video") {
            if (!reader.value(value) || value.empty()) return usageError(name, "--video needs a file name");
            video = value;
        } else if (opt == "--audio") {
            if (!reader.value(value) || value.empty()) return usageError(name, "--audio needs a file name");
            audio = value;
        } else if (opt == "-y" || opt == "--overwrite") {
            overwrite = true;
        } else if (opt == "--settings") {
            if (!reader.value(value) || value.empty()) return usageError(name, "--settings needs a file name");
            settingsFile = value;
        } else if (opt == "-v" || opt == "--verbose") {
            verbose = true;
        } else if (opt == "-o" || opt == "--output") {
            if (!reader.value(value) || value.empty()) return usageError(name, "-o needs a file name");
            output = value;
        } else {
            return usageError(name, "unknown argument \"" + opt + "\"");
        }
    }
    if (target.kind < 0) return usageError(name, "--target is required");
    if (output.empty()) return usageError(name, "-o OUT.mpg is required");
    if (video.empty() && audio.empty()) return usageError(name, "give --video, --audio or both");
    if (!video.empty() && !audio.empty() && (video == audio || sameFile(video, audio)))
        return usageError(name, "--video and --audio name the same file");

    const bool settingsGiven = !settingsFile.empty();
    if (settingsGiven) {
        const std::string problem = checkSettingsOption(settingsFile);
        if (!problem.empty()) return usageError(name, problem);
    }

    TerminalHost::Options hostOptions;
    hostOptions.verbose = verbose;
    TerminalHost host(hostOptions);
    Engine engine(host);
    if (settingsGiven) engine.settingsFile = settingsFile;
    initEngine(engine, target.pal * 16 + target.kind);
    if (startRejected(engine, settingsGiven) || engine.settingsFileRejected)
        return usageError(name, startRejection(engine));
    if (!applySetOptions(engine, name, target.sets)) return kExitUsage;
    applySettings(engine);

    // Every file written, checked against the streams read before any work.
    std::vector<std::string> writes;
    if (engine.work.maxFileSize == 0) {
        writes.push_back(output);
    } else {
        writes.push_back(splitFileName(output, 0));
        for (int k = 1; k < 1000 && ::access(splitFileName(output, k).c_str(), F_OK) == 0; ++k)
            writes.push_back(splitFileName(output, k));
    }
    const std::string stats = engine.work.statisticsFilename;
    if (!stats.empty()) writes.push_back(stats);
    for (size_t i = 0; i < writes.size(); ++i) {
        for (const std::string& read : {video, audio}) {
            if (!read.empty() && (writes[i] == read || sameFile(writes[i], read)))
                return usageError(name, "the output " + writes[i] + " is also an input stream");
        }
        for (size_t j = 0; j < i; ++j)
            if (writes[i] == writes[j] || sameFile(writes[i], writes[j]))
                return usageError(name, "the outputs " + writes[j] + " and " + writes[i] + " are the same file");
        const std::string problem = folderProblem(writes[i]);
        if (!problem.empty()) {
            std::fprintf(stderr, "quillon mux: unable to write %s: %s\n", writes[i].c_str(), problem.c_str());
            return kExitFailed;
        }
        if (!overwrite && ::access(writes[i].c_str(), F_OK) == 0) {
            std::fprintf(stderr, "quillon mux: %s exists; it was left as it is (-y replaces it)\n", writes[i].c_str());
            return kExitFailed;
        }
    }
    engine.replaceExisting = overwrite;

    EncoderSettings& w = engine.work;
    w.encodeVideo = 0;
    w.encodeAudio = 0;
    w.multiplexVideo = video.empty() ? 0 : 1;
    w.multiplexAudio = audio.empty() ? 0 : 1;
    engine.job = JobValues();
    engine.job.programStreamName = output;
    engine.job.videoStreamName = video;
    engine.job.audioStreamName = audio;

    MultiplexOnly phases;
    engine.setPhases(&phases);
    std::unique_ptr<DialogView> view = host.createDialog();
    if (!view) {
        engine.reportError("Unable to create main window.");
        return kExitFailed;
    }
    ConversionDialog controller(engine, *view);
    view->runModal(controller);
    engine.setActiveDialog(nullptr);
    engine.setPhases(nullptr);
    const JobValues& job = engine.job;
    if (job.jobCompleted) {
        for (const std::string& path : job.filesWritten) std::printf("Wrote %s\n", path.c_str());
        return kExitOk;
    }
    if (job.settingsRefused) return kExitUsage;
    if (job.stopped && !job.filesWritten.empty()) {
        std::string files;
        for (const std::string& path : job.filesWritten) files += (files.empty() ? "" : ", ") + path;
        std::fprintf(stderr, "quillon mux: stopped; the part done before the stop is in %s\n", files.c_str());
    }
    else
        std::fprintf(stderr, "quillon mux: %s; nothing was written\n", job.stopped ? "stopped" : "failed");
    return kExitFailed;
}

}  // namespace quillon::cli

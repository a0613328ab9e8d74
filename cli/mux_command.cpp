// quillon mux: the multiplex step alone, on elementary streams already on
// disk, with the terminal for progress, messages and Ctrl-C.
#include <cstdio>

#include "cli/cli_options.h"
#include "cli/commands.h"
#include "cli/terminal_host.h"
#include "engine/conversion_dialog.h"
#include "engine/engine.h"
#include "engine/engine_entry.h"
#include "mux/multiplex_step.h"

namespace quillon::cli {

namespace {

constexpr const char* kHelp =
    "Usage: quillon mux --target mpeg1|vcd|mpeg2|svcd|dvd [--pal|--ntsc]\n"
    "                   [--settings FILE] [--set KEY=VALUE]...\n"
    "                   [--video FILE.m1v|.m2v]\n"
    "                   [--audio FILE.mpa|.ac3] -o OUT.mpg\n"
    "\n"
    "Multiplexes existing elementary streams into a program stream with the\n"
    "settings of the target (its preset, read over by the settings file,\n"
    "\"default.ini\" in the configuration directory or FILE, then the --set\n"
    "changes): a video stream, an MPEG audio or AC-3 stream, or both. A VCD takes\n"
    "MPEG-1 video and MPEG audio only.\n"
    "Nothing is encoded and the elementary streams are kept. With maxFileSize\n"
    "set, the output is split into numbered files. Ctrl-C stops.\n"
    "\n"
    "Exit status: 0 on success, 1 when multiplexing failed or was stopped,\n"
    "2 on a usage error or rejected values.\n";

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
        } else if (opt == "--settings") {
            if (!reader.value(value) || value.empty()) return usageError(name, "--settings needs a file name");
            settingsFile = value;
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

    const bool settingsGiven = !settingsFile.empty();
    if (settingsGiven) {
        const std::string problem = checkSettingsOption(settingsFile);
        if (!problem.empty()) return usageError(name, problem);
    }

    TerminalHost host;
    Engine engine(host);
    if (settingsGiven) engine.settingsFile = settingsFile;
    initEngine(engine, target.pal * 16 + target.kind);
    if (startRejected(engine, settingsGiven) || engine.settingsFileRejected)
        return usageError(name, startRejection(engine));
    if (!applySetOptions(engine, name, target.sets)) return kExitUsage;
    applySettings(engine);

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
    if (engine.job.jobCompleted) return kExitOk;
    return engine.job.settingsRefused ? kExitUsage : kExitFailed;
}

}  // namespace quillon::cli

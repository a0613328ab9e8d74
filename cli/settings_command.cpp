// quillon settings: the record a target's start-up gives, printed as a
// settings file, so a user can see, save and edit what a preset means.
#include <cstdio>

#include "cli/cli_options.h"
#include "cli/commands.h"
#include "cli/terminal_host.h"
#include "engine/engine.h"
#include "engine/engine_entry.h"
#include "engine/settings_file.h"

namespace quillon::cli {

namespace {

constexpr const char* kHelp =
    "Usage: quillon settings [--target mpeg1|vcd|mpeg2|svcd|dvd] [--pal|--ntsc]\n"
    "                        [--settings FILE] [--set KEY=VALUE]...\n"
    "\n"
    "Prints the settings the engine starts a target with (default: vcd, NTSC) as\n"
    "a settings file: every key in its section and order. The preset of the\n"
    "target is read over by the settings file (\"default.ini\" in the\n"
    "configuration directory, or FILE); --set then changes single keys. The\n"
    "result is checked as a settings file is. Changing ipFrameDistance or a pel\n"
    "movement re-derives the motion table unless a motion key is given too.\n"
    "\n"
    "Exit status: 0 on success, 2 on a usage error or rejected values.\n";

}  // namespace

int settingsCommand(const std::vector<std::string>& args) {
    const std::string name = "settings";
    TargetOptions target(1, 0);
    std::string settingsFile;
    bool fileGiven = false;

    ArgumentReader reader(args);
    while (!reader.done()) {
        std::string opt = reader.next(), value;
        if (opt == "--help" || opt == "-h") {
            std::fputs(kHelp, stdout);
            return kExitOk;
        } else if (target.take(reader, opt)) {
            if (!target.error().empty()) return usageError(name, target.error());
        } else if (opt == "--settings") {
            if (!reader.value(value) || value.empty())
                return usageError(name, "--settings needs a file name");
            settingsFile = value;
            fileGiven = true;
        } else {
            return usageError(name, "unknown argument \"" + opt + "\"");
        }
    }

    if (fileGiven) {
        // A file the user names must be there; only the implicit
        // "default.ini" may be missing.
        const std::string problem = checkSettingsOption(settingsFile);
        if (!problem.empty()) return usageError(name, problem);
    }

    TerminalHost host;
    Engine engine(host);
    if (fileGiven) engine.settingsFile = settingsFile;
    initEngine(engine, target.pal * 16 + target.kind);
    if (startRejected(engine, fileGiven) || engine.settingsFileRejected)
        return usageError(name, startRejection(engine));
    if (!applySetOptions(engine, name, target.sets)) return kExitUsage;

    std::fputs(formatSettingsFile(engine.record).c_str(), stdout);
    return std::fflush(stdout) == 0 ? kExitOk : kExitFailed;
}

}  // namespace quillon::cli

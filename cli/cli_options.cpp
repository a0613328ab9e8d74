#include "cli/cli_options.h"

#include <strings.h>

#include <cstdio>

#include "engine/engine.h"
#include "engine/settings_overrides.h"
#include "cli/commands.h"
#include "platform/regular_file.h"

namespace quillon::cli {

namespace {
constexpr const char* kTargets[5] = {"mpeg1", "vcd", "mpeg2", "svcd", "dvd"};
}

int targetKindFromName(const std::string& name) {
    for (int k = 0; k < 5; ++k)
        if (strcasecmp(name.c_str(), kTargets[k]) == 0) return k;
    return -1;
}

const char* targetName(int kind) { return kind >= 0 && kind < 5 ? kTargets[kind] : "?"; }

std::string ArgumentReader::next() {
    std::string arg = args_[index_++];
    hasPending_ = false;
    size_t eq = arg.find('=');
    if (arg.rfind("--", 0) == 0 && eq != std::string::npos) {
        pendingValue_ = arg.substr(eq + 1);
        hasPending_ = true;
        return arg.substr(0, eq);
    }
    return arg;
}

bool ArgumentReader::value(std::string& out) {
    if (hasPending_) {
        hasPending_ = false;
        out = pendingValue_;
        return true;
    }
    if (index_ >= args_.size()) return false;
    out = args_[index_++];
    return true;
}

bool TargetOptions::take(ArgumentReader& reader, const std::string& opt) {
    error_.clear();
    std::string value;
    if (opt == "--target" || opt == "-t") {
        if (!reader.value(value)) {
            error_ = "--target needs a value";
        } else {
            const int k = targetKindFromName(value);
            if (k < 0) error_ = "unknown target \"" + value + "\"";
            else kind = k;
        }
    } else if (opt == "--pal" || opt == "--ntsc") {
        const int chosen = opt == "--pal" ? 1 : 0;
        if (standardGiven_ && pal != chosen) error_ = "--pal and --ntsc cannot be given together";
        pal = chosen;
        standardGiven_ = true;
    } else if (opt == "--set") {
        if (!reader.value(value)) error_ = "--set needs KEY=VALUE";
        else sets.push_back(value);
    } else {
        return false;
    }
    return true;
}

int usageError(const std::string& command, const std::string& message) {
    std::fprintf(stderr, "quillon %s: %s\nTry 'quillon %s --help'.\n", command.c_str(),
                 message.c_str(), command.c_str());
    return kExitUsage;
}

std::string checkSettingsOption(std::string& file) {
    std::string why;
    if (checkRegularFile(file, kMaxSmallFileBytes, &why) != FileCheck::Ok)
        return "cannot read settings file \"" + file + "\": it " + why;
    if (file.find('/') == std::string::npos) file = "./" + file;
    return {};
}

bool startRejected(const Engine& engine, bool settingsFileGiven) {
    return (settingsFileGiven && engine.settingsFileRejected) || !engine.profileProblem.empty();
}

std::string startRejection(const Engine& engine) {
    if (!engine.profileProblem.empty()) return "nothing was done; mend the user profile first";
    return "nothing was done; the settings file was rejected";
}

bool applySetOptions(Engine& engine, const std::string& command,
                     const std::vector<std::string>& assignments) {
    std::string error;
    if (applySettingOverrides(engine, assignments, error)) return true;
    std::fprintf(stderr, "quillon %s: %s\n", command.c_str(), error.c_str());
    return false;
}

}  // namespace quillon::cli

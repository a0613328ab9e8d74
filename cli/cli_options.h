// Option handling shared by the commands: the target and standard choice,
// repeated --set assignments, and usage errors.
#pragma once

#include <string>
#include <vector>

namespace quillon {
class Engine;
}

namespace quillon::cli {

// "mpeg1", "vcd", "mpeg2", "svcd", "dvd" (any letter case) to kinds 0..4;
// -1 for anything else.
int targetKindFromName(const std::string& name);
const char* targetName(int kind);

// Walks a command's arguments; options take their value either as the next
// argument or after "=" ("--target=dvd").
class ArgumentReader {
public:
    explicit ArgumentReader(const std::vector<std::string>& args) : args_(args) {}
    bool done() const { return index_ >= args_.size(); }
    // The next argument; when it is "--name=value" the name part.
    std::string next();
    // The value of the option just read; false when it is missing.
    bool value(std::string& out);

private:
    const std::vector<std::string>& args_;
    size_t index_ = 0;
    std::string pendingValue_;
    bool hasPending_ = false;
};

// The options the commands that run the engine share: -t/--target, --pal,
// --ntsc and repeated --set, each command starting from its own defaults.
class TargetOptions {
public:
    // kind 0..4 or -1 (none yet); pal 1, 0, or -1 (not chosen).
    TargetOptions(int kind, int pal) : kind(kind), pal(pal) {}
    // Takes opt and its value when it is one of the shared options; false
    // for any other option. A missing or unknown value leaves error() set.
    bool take(ArgumentReader& reader, const std::string& opt);
    const std::string& error() const { return error_; }

    int kind;
    int pal;
    std::vector<std::string> sets;

private:
    std::string error_;
    bool standardGiven_ = false;
};

// Prints "quillon <command>: <message>" and a hint to standard error, and
// returns the usage exit status.
int usageError(const std::string& command, const std::string& message);

// Checks the file a --settings option names: it must be a regular file of a
// settings file's size that can be read (not a folder, a device or a pipe).
// Returns the usage error text, or an empty string after turning a bare
// name into "./name" (a bare name would be looked up in the configuration
// directory).
std::string checkSettingsOption(std::string& file);

// After initEngine: whether the start-up found something a command treats
// as a usage error. A settings file the user named that was rejected is
// one; the implicit "default.ini" is not (the engine fell back to the
// MPEG-1 preset, and said so). A profile value outside its range is one.
bool startRejected(const Engine& engine, bool settingsFileGiven);
// What the command says then, after the engine's own message.
std::string startRejection(const Engine& engine);

// Applies --set assignments to an engine's record after its start-up, with
// the same validation a settings file gets. Prints the error naming the key
// and returns false when a value is rejected.
bool applySetOptions(Engine& engine, const std::string& command,
                     const std::vector<std::string>& assignments);

}  // namespace quillon::cli

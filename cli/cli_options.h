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

// Prints "quillon <command>: <message>" and a hint to standard error, and
// returns the usage exit status.
int usageError(const std::string& command, const std::string& message);

// Applies --set assignments to an engine's record after its start-up, with
// the same validation a settings file gets. Prints the error naming the key
// and returns false when a value is rejected.
bool applySetOptions(Engine& engine, const std::string& command,
                     const std::vector<std::string>& assignments);

}  // namespace quillon::cli

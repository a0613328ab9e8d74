// The `quillon` commands. A command is one file defining its function, one
// declaration and one table line here, and one line in cli/CMakeLists.txt.
#pragma once

#include <string>
#include <vector>

namespace quillon::cli {

// Exit statuses shared by every command.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

// args: everything after the command name.
using CommandFunction = int (*)(const std::vector<std::string>& args);

struct Command {
    const char* name;
    const char* summary;
    CommandFunction run;
};

int settingsCommand(const std::vector<std::string>& args);
int convertCommand(const std::vector<std::string>& args);
int infoCommand(const std::vector<std::string>& args);
int muxCommand(const std::vector<std::string>& args);

inline constexpr Command kCommands[] = {
    {"convert", "convert AVI files and image lists into MPEG program streams", convertCommand},
    {"info", "describe inputs as the converter sees them", infoCommand},
    {"settings", "print the settings of a target as a settings file", settingsCommand},
    {"mux", "multiplex existing video and audio streams into a program stream", muxCommand},
};

}  // namespace quillon::cli

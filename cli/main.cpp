// quillon: the command-line front of the converter. Dispatches to the
// commands of cli/commands.h.
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "engine/engine.h"
#include "input/media_log.h"

namespace {

void printHelp(std::FILE* out) {
    std::fprintf(out, "%s\n\nUsage: quillon COMMAND [OPTIONS]\n       quillon --help | --version\n\nCommands:\n",
                 quillon::kProgramVersion);
    for (const quillon::cli::Command& c : quillon::cli::kCommands)
        std::fprintf(out, "  %-10s %s\n", c.name, c.summary);
    std::fprintf(out, "\n'quillon COMMAND --help' describes a command.\n");
}

}  // namespace

int main(int argc, char** argv) {
    using namespace quillon::cli;
    if (argc < 2) {
        printHelp(stderr);
        return kExitUsage;
    }
    const std::string first = argv[1];
    if (first == "--help" || first == "-h" || first == "help") {
        printHelp(stdout);
        return kExitOk;
    }
    if (first == "--version" || first == "-V") {
        std::printf("%s\n", quillon::kProgramVersion);
        return kExitOk;
    }
    // The media libraries would print straight onto the terminal (and over
    // the progress bar); their messages go to the log instead.
    quillon::captureMediaMessages();
    for (const Command& c : kCommands) {
        if (first == c.name) {
            std::vector<std::string> args(argv + 2, argv + argc);
            try {
                return c.run(args);
            } catch (const std::bad_alloc&) {
                // Outside a conversion's phases (opening inputs, planning).
                std::fprintf(stderr, "quillon %s: not enough memory to go on.\n", c.name);
                return kExitFailed;
            }
        }
    }
    std::fprintf(stderr, "quillon: unknown command \"%s\"\n", first.c_str());
    printHelp(stderr);
    return kExitUsage;
}

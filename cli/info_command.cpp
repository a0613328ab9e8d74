// quillon info: the information panel of each input.
#include <cstdio>

#include "cli/cli_options.h"
#include "cli/commands.h"
#include "cli/terminal_host.h"
#include "input/input_table.h"

namespace quillon::cli {

int infoCommand(const std::vector<std::string>& args) {
    const std::string name = "info";
    std::vector<std::string> inputs;
    for (const std::string& a : args) {
        if (a == "--help" || a == "-h") {
            std::fputs("Usage: quillon info INPUT...\n\nPrints what the converter sees in each input: size, frame rate,\n"
                       "frames, duration and sound. Exit status: 0 when every input opened, 1\n"
                       "otherwise, 2 on a usage error.\n",
                       stdout);
            return kExitOk;
        }
        if (!a.empty() && a[0] == '-' && a != "-") return usageError(name, "unknown option \"" + a + "\"");
        inputs.push_back(a);
    }
    if (inputs.empty()) return usageError(name, "no input given");
    TerminalHost::Options options;
    options.quiet = true;  // the panel goes to standard output, not the log
    TerminalHost host(options);
    int status = kExitOk;
    for (size_t i = 0; i < inputs.size(); ++i) {
        auto entry = openInput(inputs[i], host);
        if (!entry) {
            status = kExitFailed;
            continue;
        }
        if (i > 0) std::fputs("\n", stdout);
        std::fputs(describeEntryText(*entry).c_str(), stdout);
    }
    std::fflush(stdout);
    return status;
}

}  // namespace quillon::cli

// quillon info: the information panel of each input.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "cli/cli_options.h"
#include "cli/commands.h"
#include "cli/terminal_host.h"
#include "input/input_table.h"
#include "platform/output_files.h"

namespace quillon::cli {

int infoCommand(const std::vector<std::string>& args) {
    const std::string name = "info";
    std::vector<std::string> inputs;
    for (const std::string& a : args) {
        if (a == "--help" || a == "-h") {
            std::fputs("Usage: quillon info INPUT...\n\nPrints what the converter sees in each input: size, frame rate,\n"
                       "frames, duration and sound. Exit status: 0 when every input opened (for an\n"
                       "image list: every picture it names is there to be read), 1 otherwise, 2\n"
                       "on a usage error.\n",
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
        // A list opens on its first picture; the others are read when their
        // turn comes, so a missing one would only show in a conversion.
        for (const std::string& picture : entry->listFile) {
            struct stat st;
            std::string why;
            if (::stat(picture.c_str(), &st) != 0) why = fileErrorText(errno);
            else if (!S_ISREG(st.st_mode)) why = "not a regular file";
            else if (::access(picture.c_str(), R_OK) != 0) why = fileErrorText(errno);
            if (why.empty()) continue;
            std::fflush(stdout);
            std::fprintf(stderr, "quillon info: %s: the picture %s cannot be read (%s)\n", inputs[i].c_str(),
                         picture.c_str(), why.c_str());
            status = kExitFailed;
        }
    }
    std::fflush(stdout);
    return status;
}

}  // namespace quillon::cli

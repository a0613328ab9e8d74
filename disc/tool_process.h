// An authoring tool run as a program: found on PATH, started with an
// argument vector (never through a shell) in a folder of our choosing, its
// standard output and error read together as lines, and ended on request.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace quillon::disc {

// The first executable regular file called `name` in the folders of
// `pathList` (colon-separated; an empty entry is the current folder), or an
// empty string. A name with a slash is taken as it is.
std::string findOnPath(const std::string& name, const std::string& pathList);
// The same over this process's PATH (the usual default when it is unset).
std::string findProgram(const std::string& name);

struct ToolCommand {
    std::string program;            // a path, as findProgram gives it
    std::vector<std::string> args;  // without the program name
    std::string directory;          // working folder; empty: ours
    // NAME=VALUE entries put into (or replacing those in) our environment.
    std::vector<std::string> environment;
};

class ToolProcess {
public:
    ToolProcess() = default;
    ~ToolProcess();  // a tool still running is ended
    ToolProcess(const ToolProcess&) = delete;
    ToolProcess& operator=(const ToolProcess&) = delete;

    // Starts the tool with /dev/null as its input, one pipe as its output
    // and error, in a process group of its own (a Ctrl-C at the terminal is
    // ours to answer, not the tool's). On failure *error says why.
    bool start(const ToolCommand& command, std::string* error);

    // Waits at most timeoutMs for output and hands every complete line to
    // onLine ("\n" and "\r" both end a line, so redrawn status lines come one
    // by one). Returns false once the output has ended; the rest of a last
    // unterminated line is handed over then.
    bool readLines(int timeoutMs, const std::function<void(const std::string&)>& onLine);

    // Whether the tool has exited, without waiting; collects its status.
    bool exited();
    // The exit status once exited: 0..255, or 128 + the signal that ended it.
    int status() const { return status_; }

    // Ends the tool and everything it started: SIGTERM, then SIGKILL when
    // it has not gone after graceMs; waits for it.
    void terminate(int graceMs = 2000);

    pid_t pid() const { return pid_; }

private:
    void closePipe();

    pid_t pid_ = -1;
    int fd_ = -1;
    int status_ = -1;
    std::string pending_;
};

}  // namespace quillon::disc

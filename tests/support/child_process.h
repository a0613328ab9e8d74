// A command run as a user runs it: as a child process, either at a terminal
// of its own (a pseudo-terminal as its controlling terminal and as standard
// input, output and error, so a typed Ctrl-C reaches it through the
// terminal's line discipline) or without one (standard input /dev/null,
// standard output and error one pipe). The test reads what it prints, types
// at its terminal, and sends it signals.
#pragma once

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

namespace quillon::testing {

class ChildProcess {
public:
    struct Options {
        bool terminal = false;
        std::string directory;  // working directory; empty: the test's own
        std::vector<std::pair<std::string, std::string>> environment;  // added or replaced
        int niceness = 0;  // a slower child gives the test time to act on what it reads
    };

    ChildProcess() = default;
    ~ChildProcess();  // a child still running is killed
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool start(const std::vector<std::string>& argv, const Options& options);

    // Reads output until text appears after the previous match; false when
    // the child ends its output or the time runs out first.
    bool waitFor(const std::string& text, double seconds = 120);
    // Types at the child's terminal ("\x03" is Ctrl-C).
    bool type(const std::string& keys);
    // Ctrl-C: typed at the terminal, else SIGINT sent to the child.
    bool interrupt();
    // Sends a signal to the child (SIGTERM, SIGHUP, ...).
    bool sendSignal(int signal);
    // Waits until the child's main thread sleeps (as it does while it waits
    // for an answer); false when it ended or the time ran out.
    bool waitUntilAsleep(double seconds = 120);
    // Reads the rest of the output and reaps the child: its exit status, or
    // 128 + the signal that ended it, or -1 when it did not end in time.
    int finish(double seconds = 120);

    // Everything the child printed so far (stdout and stderr together).
    const std::string& output() const { return output_; }

private:
    // Reads what is there, waiting at most timeoutMs; false at end of output.
    bool readSome(int timeoutMs);

    pid_t pid_ = -1;
    int fd_ = -1;  // the terminal's master side or the pipe's read end
    bool terminal_ = false;
    bool ended_ = false;
    std::string output_;
    size_t cursor_ = 0;
};

}  // namespace quillon::testing

#include "tests/support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace quillon::testing {

namespace {

using Clock = std::chrono::steady_clock;

int msLeft(Clock::time_point end) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

Clock::time_point after(double seconds) {
    return Clock::now() + std::chrono::milliseconds(static_cast<long long>(seconds * 1000));
}

}  // namespace

ChildProcess::~ChildProcess() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    if (fd_ >= 0) ::close(fd_);
}

bool ChildProcess::start(const std::vector<std::string>& argv, const Options& options) {
    if (pid_ > 0 || argv.empty()) return false;
    terminal_ = options.terminal;
    int childEnd = -1;
    std::string slaveName;
    if (terminal_) {
        fd_ = ::posix_openpt(O_RDWR | O_NOCTTY);
        if (fd_ < 0 || ::grantpt(fd_) != 0 || ::unlockpt(fd_) != 0) return false;
        const char* name = ::ptsname(fd_);
        if (!name) return false;
        slaveName = name;
    } else {
        int p[2];
        if (::pipe2(p, O_CLOEXEC) != 0) return false;
        fd_ = p[0];
        childEnd = p[1];
    }
    ::fcntl(fd_, F_SETFD, FD_CLOEXEC);

    // Everything the child needs is prepared here: after fork only
    // async-signal-safe calls.
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<std::string> envStrings;
    for (char** e = environ; *e; ++e) {
        const std::string entry = *e;
        bool replaced = false;
        for (const auto& [key, value] : options.environment)
            if (entry.compare(0, key.size() + 1, key + "=") == 0) replaced = true;
        if (!replaced) envStrings.push_back(entry);
    }
    for (const auto& [key, value] : options.environment) envStrings.push_back(key + "=" + value);
    std::vector<char*> env;
    for (std::string& e : envStrings) env.push_back(e.data());
    env.push_back(nullptr);

    pid_ = ::fork();
    if (pid_ < 0) return false;
    if (pid_ == 0) {
        // The test's own Ctrl-C handling is not the child's.
        ::signal(SIGINT, SIG_DFL);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        if (terminal_) {
            // A new session whose controlling terminal is the pseudo-terminal.
            ::setsid();
            const int slave = ::open(slaveName.c_str(), O_RDWR);
            if (slave < 0) ::_exit(126);
            // Ctrl-C must not throw away output the test has yet to read.
            termios modes;
            if (::tcgetattr(slave, &modes) == 0) {
                modes.c_lflag |= NOFLSH;
                ::tcsetattr(slave, TCSANOW, &modes);
            }
            ::dup2(slave, 0);
            ::dup2(slave, 1);
            ::dup2(slave, 2);
            if (slave > 2) ::close(slave);
        } else {
            const int null = ::open("/dev/null", O_RDONLY);
            ::dup2(null, 0);
            ::dup2(childEnd, 1);
            ::dup2(childEnd, 2);
            ::close(childEnd);
            if (null > 2) ::close(null);
        }
        if (!options.directory.empty() && ::chdir(options.directory.c_str()) != 0) ::_exit(126);
        if (options.niceness) ::setpriority(PRIO_PROCESS, 0, options.niceness);
        ::execve(args[0], args.data(), env.data());
        ::_exit(127);
    }
    if (childEnd >= 0) ::close(childEnd);
    return true;
}

bool ChildProcess::readSome(int timeoutMs) {
    if (ended_) return false;
    pollfd p = {fd_, POLLIN, 0};
    const int ready = ::poll(&p, 1, timeoutMs);
    if (ready < 0) return errno == EINTR;
    if (ready == 0) return true;
    char buf[4096];
    const ssize_t n = ::read(fd_, buf, sizeof buf);
    if (n > 0) {
        output_.append(buf, static_cast<size_t>(n));
        return true;
    }
    if (n < 0 && errno == EINTR) return true;
    // End of the pipe, or EIO from a terminal whose other side has closed.
    ended_ = true;
    return false;
}

bool ChildProcess::waitFor(const std::string& text, double seconds) {
    const auto end = after(seconds);
    for (;;) {
        const size_t at = output_.find(text, cursor_);
        if (at != std::string::npos) {
            cursor_ = at + text.size();
            return true;
        }
        if (msLeft(end) == 0 || !readSome(msLeft(end))) return false;
    }
}

bool ChildProcess::type(const std::string& keys) {
    if (!terminal_ || fd_ < 0) return false;
    return ::write(fd_, keys.data(), keys.size()) == static_cast<ssize_t>(keys.size());
}

bool ChildProcess::interrupt() {
    if (terminal_) return type("\x03");
    return pid_ > 0 && ::kill(pid_, SIGINT) == 0;
}

bool ChildProcess::sendSignal(int signal) { return pid_ > 0 && ::kill(pid_, signal) == 0; }

bool ChildProcess::waitUntilAsleep(double seconds) {
    if (pid_ <= 0) return false;
    const auto end = after(seconds);
    const std::string statPath = "/proc/" + std::to_string(pid_) + "/stat";
    for (;;) {
        std::FILE* f = std::fopen(statPath.c_str(), "r");
        if (!f) return false;
        char buf[512] = {};
        const size_t n = std::fread(buf, 1, sizeof buf - 1, f);
        std::fclose(f);
        // "pid (name) state ...": the name may hold spaces, the state follows
        // its last parenthesis.
        const char* close = std::strrchr(buf, ')');
        if (n == 0 || !close) return false;
        if (close[1] == ' ' && close[2] == 'S') return true;
        if (close[2] == 'Z' || close[2] == 'X' || msLeft(end) == 0) return false;
        readSome(5);
    }
}

int ChildProcess::finish(double seconds) {
    if (pid_ <= 0) return -1;
    const auto end = after(seconds);
    while (msLeft(end) > 0 && readSome(msLeft(end))) {
    }
    // A terminal reports its end only when every holder of it has gone, so
    // the child is reaped by polling as well.
    int status = 0;
    for (;;) {
        const pid_t r = ::waitpid(pid_, &status, WNOHANG);
        if (r == pid_) break;
        if (r < 0 || msLeft(end) == 0) return -1;
        readSome(20);
    }
    pid_ = -1;
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

}  // namespace quillon::testing

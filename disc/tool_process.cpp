#include "disc/tool_process.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <thread>

extern char** environ;

namespace quillon::disc {

namespace {

bool isExecutableFile(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

int decodeStatus(int raw) {
    if (WIFEXITED(raw)) return WEXITSTATUS(raw);
    if (WIFSIGNALED(raw)) return 128 + WTERMSIG(raw);
    return 255;
}

}  // namespace

std::string findOnPath(const std::string& name, const std::string& pathList) {
    if (name.empty()) return {};
    if (name.find('/') != std::string::npos) return isExecutableFile(name) ? name : std::string();
    size_t begin = 0;
    for (;;) {
        const size_t end = pathList.find(':', begin);
        std::string dir = pathList.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
        if (dir.empty()) dir = ".";
        const std::string candidate = dir + "/" + name;
        if (isExecutableFile(candidate)) return candidate;
        if (end == std::string::npos) return {};
        begin = end + 1;
    }
}

std::string findProgram(const std::string& name) {
    const char* path = std::getenv("PATH");
    return findOnPath(name, path ? path : "/usr/local/bin:/usr/bin:/bin");
}

ToolProcess::~ToolProcess() {
    if (pid_ > 0) terminate(500);
    closePipe();
}

void ToolProcess::closePipe() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

bool ToolProcess::start(const ToolCommand& command, std::string* error) {
    if (pid_ > 0) {
        *error = "a tool is already running";
        return false;
    }
    int p[2];
    if (::pipe2(p, O_CLOEXEC) != 0) {
        *error = std::strerror(errno);
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, p[1], 1);
    posix_spawn_file_actions_adddup2(&actions, p[1], 2);
    // Our own files (outputs, the terminal, the window system) are none of
    // the tool's business.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    if (!command.directory.empty()) posix_spawn_file_actions_addchdir_np(&actions, command.directory.c_str());

    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t defaults, none;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGTERM);
    sigaddset(&defaults, SIGPIPE);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP);

    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(command.program.c_str()));
    for (const std::string& a : command.args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);

    std::vector<char*> env;
    for (char** e = environ; *e; ++e) {
        const char* eq = std::strchr(*e, '=');
        const size_t nameLength = eq ? static_cast<size_t>(eq - *e) + 1 : std::strlen(*e);
        bool replaced = false;
        for (const std::string& add : command.environment)
            if (add.compare(0, nameLength, *e, nameLength) == 0) replaced = true;
        if (!replaced) env.push_back(*e);
    }
    for (const std::string& add : command.environment) env.push_back(const_cast<char*>(add.c_str()));
    env.push_back(nullptr);

    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, command.program.c_str(), &actions, &attr, argv.data(), env.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    ::close(p[1]);
    if (rc != 0) {
        ::close(p[0]);
        *error = std::strerror(rc);
        return false;
    }
    pid_ = pid;
    fd_ = p[0];
    status_ = -1;
    pending_.clear();
    return true;
}

bool ToolProcess::readLines(int timeoutMs, const std::function<void(const std::string&)>& onLine) {
    if (fd_ < 0) return false;
    pollfd pfd{fd_, POLLIN, 0};
    const int ready = ::poll(&pfd, 1, timeoutMs);
    if (ready < 0) return errno == EINTR;
    if (ready == 0) return true;
    char buffer[8192];
    const ssize_t n = ::read(fd_, buffer, sizeof buffer);
    if (n < 0) {
        if (errno == EINTR || errno == EAGAIN) return true;
        closePipe();
    } else if (n == 0) {
        closePipe();
    } else {
        pending_.append(buffer, static_cast<size_t>(n));
        size_t start = 0;
        for (size_t i = 0; i < pending_.size(); ++i) {
            if (pending_[i] != '\n' && pending_[i] != '\r') continue;
            if (i > start) onLine(pending_.substr(start, i - start));
            start = i + 1;
        }
        pending_.erase(0, start);
        // A tool that never ends its lines still gets heard.
        if (pending_.size() > 4096) {
            onLine(pending_);
            pending_.clear();
        }
        return true;
    }
    if (!pending_.empty()) onLine(pending_);
    pending_.clear();
    return false;
}

bool ToolProcess::exited() {
    if (pid_ <= 0) return true;
    int raw = 0;
    const pid_t r = ::waitpid(pid_, &raw, WNOHANG);
    if (r == pid_) {
        status_ = decodeStatus(raw);
        pid_ = -1;
        return true;
    }
    if (r < 0 && errno != EINTR) {  // not ours any more: nothing to wait for
        status_ = 255;
        pid_ = -1;
        return true;
    }
    return false;
}

void ToolProcess::terminate(int graceMs) {
    if (pid_ <= 0) return;
    // The tool leads a process group of its own: whatever it started ends
    // with it.
    ::kill(-pid_, SIGTERM);
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(graceMs);
    while (!exited()) {
        if (std::chrono::steady_clock::now() >= end) {
            ::kill(-pid_, SIGKILL);
            int raw = 0;
            while (::waitpid(pid_, &raw, 0) < 0 && errno == EINTR) {
            }
            status_ = decodeStatus(raw);
            pid_ = -1;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    closePipe();
}

}  // namespace quillon::disc

#include "platform/output_files.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <random>

namespace quillon {

namespace fs = std::filesystem;

bool sameFile(const std::string& a, const std::string& b) {
    if (a.empty() || b.empty()) return false;
    struct stat sa, sb;
    if (::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0)
        return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
    std::error_code ec1, ec2;
    const fs::path pa = fs::weakly_canonical(fs::absolute(a, ec1), ec1);
    const fs::path pb = fs::weakly_canonical(fs::absolute(b, ec2), ec2);
    if (ec1 || ec2) return fs::absolute(a).lexically_normal() == fs::absolute(b).lexically_normal();
    return pa == pb;
}

std::string folderPart(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string namePart(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string fileErrorText(int error) {
    switch (error) {
        case ENOENT: return "not found";
        case EACCES:
        case EPERM: return "no permission";
        default: return std::strerror(error);
    }
}

std::string folderProblem(const std::string& path) {
    std::string folder = folderPart(path);
    if (folder.size() > 1) folder.pop_back();  // "sub/" as "sub", "/" stays
    if (folder.empty()) folder = ".";
    struct stat st;
    if (::stat(folder.c_str(), &st) != 0) {
        if (errno == ENOENT) return "the folder " + folder + " does not exist";
        if (errno == ENOTDIR) return "the folder " + folder + " does not exist (a part of it is a file)";
        return "the folder " + folder + " cannot be reached: " + fileErrorText(errno);
    }
    if (!S_ISDIR(st.st_mode)) return folder + " is a file, not a folder";
    if (::access(folder.c_str(), W_OK | X_OK) != 0)
        return "the folder " + folder + " cannot be written: " + fileErrorText(errno);
    return std::string();
}

std::string privatePrefix(const std::string& near, bool hidden) {
    static std::mt19937_64 random{std::random_device{}() ^ static_cast<uint64_t>(::getpid())};
    std::string token;
    for (int i = 0; i < 10; ++i) token += static_cast<char>('a' + random() % 26);
    return folderPart(near) + (hidden ? ".quillon-" : "quillon-") + token + "-";
}

bool createExclusive(const std::string& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) return false;
    ::close(fd);
    return true;
}

MoveResult moveIntoPlace(const std::string& from, const std::string& to, bool replace) {
    if (replace) return ::rename(from.c_str(), to.c_str()) == 0 ? MoveResult::Moved : MoveResult::Failed;
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return MoveResult::Moved;
    if (errno == EEXIST) return MoveResult::Exists;
    if (errno != EINVAL && errno != ENOSYS) return MoveResult::Failed;
    // File systems without the exclusive rename: a new link fails on an
    // existing name just the same.
    if (::link(from.c_str(), to.c_str()) != 0) return errno == EEXIST ? MoveResult::Exists : MoveResult::Failed;
    ::unlink(from.c_str());
    return MoveResult::Moved;
}

}  // namespace quillon

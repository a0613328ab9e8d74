#include "platform/regular_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace quillon {

namespace {

void say(std::string* why, const std::string& text) {
    if (why) *why = text;
}

// Opens for reading without waiting on a pipe, and checks what was opened
// (not the name again, which may change in between). Returns the
// descriptor, or -1 with the verdict in *result.
int openChecked(const std::string& path, uint64_t maxBytes, FileCheck* result, std::string* why) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        const int e = errno;
        *result = e == ENOENT || e == ENOTDIR ? FileCheck::Missing : FileCheck::Refused;
        say(why, e == ENOENT || e == ENOTDIR ? "was not found" : std::string("cannot be read: ") + std::strerror(e));
        return -1;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        say(why, std::string("cannot be read: ") + std::strerror(errno));
        ::close(fd);
        *result = FileCheck::Refused;
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        say(why, S_ISDIR(st.st_mode) ? "is a folder, not a file" : "is not a regular file (a device or a pipe)");
        ::close(fd);
        *result = FileCheck::Refused;
        return -1;
    }
    if (maxBytes > 0 && static_cast<uint64_t>(st.st_size) > maxBytes) {
        say(why, "is larger than " + std::to_string(maxBytes) + " bytes");
        ::close(fd);
        *result = FileCheck::Refused;
        return -1;
    }
    *result = FileCheck::Ok;
    return fd;
}

}  // namespace

FileCheck checkRegularFile(const std::string& path, uint64_t maxBytes, std::string* why) {
    FileCheck result;
    const int fd = openChecked(path, maxBytes, &result, why);
    if (fd >= 0) ::close(fd);
    return result;
}

FileCheck readRegularFile(const std::string& path, uint64_t maxBytes, std::string& out, std::string* why) {
    out.clear();
    FileCheck result;
    const int fd = openChecked(path, maxBytes, &result, why);
    if (fd < 0) return result;
    char buffer[65536];
    while (true) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) continue;
            say(why, std::string("cannot be read: ") + std::strerror(errno));
            ::close(fd);
            return FileCheck::Refused;
        }
        if (n == 0) break;
        out.append(buffer, static_cast<size_t>(n));
        if (maxBytes > 0 && out.size() > maxBytes) {
            say(why, "is larger than " + std::to_string(maxBytes) + " bytes");
            out.clear();
            ::close(fd);
            return FileCheck::Refused;
        }
    }
    ::close(fd);
    return FileCheck::Ok;
}

}  // namespace quillon

#include "platform/temp_name.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace quillon {

std::string temporaryDirectory() {
    const char* tmp = std::getenv("TMP");
    struct stat st;
    if (tmp && *tmp && ::stat(tmp, &st) == 0 && S_ISDIR(st.st_mode)) {
        std::string dir(tmp);
        if (dir.back() != '/') dir += '/';
        return dir;
    }
    return "./";
}

std::string createTemporaryFile(const std::string& prefix) {
    const std::string base = temporaryDirectory() + prefix;
    // Names are probed from 1 upwards; a name taken by anyone (another job,
    // a file left behind) is skipped.
    for (long counter = 1; counter < 1000000; ++counter) {
        std::string name = base + std::to_string(counter);
        int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            ::close(fd);
            return name;
        }
        if (errno != EEXIST) return std::string();
    }
    return std::string();
}

}  // namespace quillon

// Files the program reads whole (settings files, profiles, image lists,
// quantiser matrices) and streams it reads to their end (multiplex inputs)
// must be regular files: a device such as /dev/zero never ends, and a
// named pipe blocks the open until someone writes to it.
#pragma once

#include <cstdint>
#include <string>

namespace quillon {

// The largest settings file, profile or matrix file read whole.
inline constexpr uint64_t kMaxSmallFileBytes = 1u << 20;
// The largest image list read whole.
inline constexpr uint64_t kMaxListFileBytes = 64u << 20;

enum class FileCheck {
    Ok,
    Missing,  // no such file
    Refused,  // there, but not a regular file of at most the size given, or unreadable
};

// Checks without blocking (a pipe is not waited on) that path names a
// regular file of at most maxBytes bytes; maxBytes 0 puts no limit on the
// size. *why says what is wrong ("is a folder", "is not a regular file",
// "is larger than 1048576 bytes", the system's reason).
FileCheck checkRegularFile(const std::string& path, uint64_t maxBytes, std::string* why);

// Reads a regular file of at most maxBytes bytes whole into out. A file
// that grows past maxBytes while it is read is refused too.
FileCheck readRegularFile(const std::string& path, uint64_t maxBytes, std::string& out, std::string* why);

}  // namespace quillon

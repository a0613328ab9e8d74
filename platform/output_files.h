// Files a job writes for the user: private names beside the final ones,
// the move into place that never replaces a file unless asked to, and the
// test of whether two paths name the same file.
#pragma once

#include <string>

namespace quillon {

// True when the two paths reach the same file: the same inode (hard links,
// symbolic links) when both exist, else the same absolute path once the
// folders that exist are resolved.
bool sameFile(const std::string& a, const std::string& b);

// The folder part of a path, "" for a bare name; kept as written, so that a
// name put back together reads as the user gave it.
std::string folderPart(const std::string& path);
std::string namePart(const std::string& path);

// Why a new file cannot be made in the folder of path: "" when it can,
// else a short reason ("the folder sub does not exist", "the folder sub
// cannot be written: Permission denied").
std::string folderProblem(const std::string& path);

// A short reason from an errno value for messages about a named file:
// "not found", "no permission", or the system's text.
std::string fileErrorText(int error);

// A prefix for private names beside the user's files: the folder of
// `near` (as written) followed by a hidden marker with a random token.
// Letters only after the folder, so that numbering a split file (which
// looks for "00" and the last ".") finds the same places in a private
// name as in the final one. hidden=false leaves out the leading "."
// (needed when the final name has no "." of its own).
std::string privatePrefix(const std::string& near, bool hidden);

// Creates the file exclusively (it must not exist); false with errno set
// otherwise.
bool createExclusive(const std::string& path);

enum class MoveResult {
    Moved,
    Exists,  // the final name was taken and replacing was not allowed
    Failed,  // errno says why
};
// Renames from to to in one step. Without replace an existing `to` is left
// as it is and Exists is returned.
MoveResult moveIntoPlace(const std::string& from, const std::string& to, bool replace);

}  // namespace quillon

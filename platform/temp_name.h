// Unique temporary file names for the multiplexer's units files and the
// encoders' scratch files.
#pragma once

#include <string>

namespace quillon {

// The directory temporary files go to: $TMP when it names an existing
// directory, else "./".
std::string temporaryDirectory();

// Creates a new empty file named directory + prefix + decimal counter, the
// first such name not already taken, and returns the name. The file is
// created exclusively, so two jobs never get the same name. Returns an
// empty string when no file could be created.
std::string createTemporaryFile(const std::string& prefix);

}  // namespace quillon

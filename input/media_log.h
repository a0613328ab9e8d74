// The media libraries' own messages. They print to standard error unless
// told otherwise, from any decoding thread, once per picture for some
// warnings; here they are caught and kept until the thread that owns the
// log takes them, so they land in the log at a quiet level and never on the
// terminal by themselves.
#pragma once

#include <string>
#include <vector>

namespace quillon {

// Routes the libraries' warnings and errors into the store below (once per
// process; later calls do nothing). Less severe messages are dropped.
void captureMediaMessages();

// The lines caught since the last call, oldest first. A line repeated
// straight after itself is kept once with a count, and the store holds at
// most a few hundred lines between calls (the rest are counted).
std::vector<std::string> takeMediaMessages();

// Hands one raw message as the libraries do (level, text that may end a
// line or not). For the capture callback and tests.
void noteMediaMessage(int level, const std::string& text);

}  // namespace quillon

// The run's log: an in-memory text the window appends to, capped so that
// a long session cannot grow it without bound.
#pragma once

#include <functional>
#include <string>

namespace quillon::app {

inline constexpr size_t kLogLimit = 24575;

class LogText {
public:
    // Appends the line and CR LF while the text stays within the limit; a
    // line that would pass it is dropped. Returns whether it was kept.
    bool append(const std::string& line);
    const std::string& text() const { return text_; }
    void clear() { text_.clear(); }

private:
    std::string text_;
};

// $XDG_STATE_HOME/quillon/avi_log.txt (or ~/.local/state/quillon/...).
std::string logFilePath();

// The checklog command: the 40-asterisk line, the text written over the log
// file, then the file handed to `open` (the desktop's default program).
// Returns the empty string on success, else the message to show.
std::string writeAndOpenLog(LogText& log, const std::string& path,
                            const std::function<bool(const std::string&)>& open);

}  // namespace quillon::app

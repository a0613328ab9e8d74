#include "input/media_log.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

extern "C" {
#include <libavutil/log.h>
}

namespace quillon {

namespace {

constexpr size_t kMaxPending = 400;

struct Store {
    std::mutex lock;
    std::string partial;  // text of a line not yet ended
    std::vector<std::string> lines;
    std::string last;     // the last complete line, for repeats
    int repeats = 0;      // times `last` came again since it was stored
    int dropped = 0;
};

Store& store() {
    static Store s;
    return s;
}

void flushRepeats(Store& s) {
    if (s.repeats > 0) {
        s.lines.push_back("    (the line above " + std::to_string(s.repeats) + " more time" +
                          (s.repeats == 1 ? "" : "s") + ")");
        s.repeats = 0;
    }
}

void addLine(Store& s, std::string line) {
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    if (line.empty()) return;
    if (line == s.last) {
        ++s.repeats;
        return;
    }
    flushRepeats(s);
    s.last = line;
    if (s.lines.size() >= kMaxPending) {
        ++s.dropped;
        return;
    }
    s.lines.push_back(std::move(line));
}

// Called with the store locked.
void appendText(Store& s, const char* text) {
    s.partial += text;
    size_t nl;
    while ((nl = s.partial.find('\n')) != std::string::npos) {
        addLine(s, s.partial.substr(0, nl));
        s.partial.erase(0, nl + 1);
    }
}

extern "C" void captureCallback(void* object, int level, const char* format, va_list args) {
    if (level > AV_LOG_WARNING) return;
    // The libraries' own prefix names the part that spoke ("[mjpeg @ 0x..]").
    char text[1024];
    static int printPrefix = 1;
    Store& s = store();
    std::lock_guard<std::mutex> guard(s.lock);
    av_log_format_line2(object, level, format, args, text, sizeof text, &printPrefix);
    appendText(s, text);
}

}  // namespace

void captureMediaMessages() {
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_callback(captureCallback); });
}

void noteMediaMessage(int level, const std::string& text) {
    if (level > AV_LOG_WARNING) return;
    Store& s = store();
    std::lock_guard<std::mutex> guard(s.lock);
    appendText(s, text.c_str());
}

std::vector<std::string> takeMediaMessages() {
    Store& s = store();
    std::lock_guard<std::mutex> guard(s.lock);
    flushRepeats(s);
    if (s.dropped > 0) {
        s.lines.push_back("    (" + std::to_string(s.dropped) + " more lines of the media libraries not kept)");
        s.dropped = 0;
    }
    std::vector<std::string> out;
    out.swap(s.lines);
    return out;
}

}  // namespace quillon

#include "app/log_text.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "engine/format.h"

namespace quillon::app {

bool LogText::append(const std::string& line) {
    if (text_.size() + line.size() + 2 > kLogLimit) return false;
    text_ += line;
    text_ += "\r\n";
    return true;
}

std::string logFilePath() {
    std::filesystem::path base;
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state && *state) {
        base = state;
    } else {
        const char* home = std::getenv("HOME");
        base = std::filesystem::path(home && *home ? home : ".") / ".local" / "state";
    }
    return (base / "quillon" / "avi_log.txt").string();
}

std::string writeAndOpenLog(LogText& log, const std::string& path,
                            const std::function<bool(const std::string&)>& open) {
    log.append(std::string(40, '*'));
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return formatText("Can not save file %s.", path.c_str());
    const std::string& text = log.text();
    bool written = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    if (std::fclose(f) != 0) written = false;
    if (!written) return formatText("Can not write to file %s.", path.c_str());
    if (open && !open(path)) return formatText("Can not open file %s.", path.c_str());
    return {};
}

}  // namespace quillon::app

#include "disc/tool_output.h"

namespace quillon::disc {

namespace {

bool startsWith(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

std::string trimmed(const std::string& s) {
    const size_t b = s.find_first_not_of(" \t");
    if (b == std::string::npos) return {};
    const size_t e = s.find_last_not_of(" \t");
    return s.substr(b, e - b + 1);
}

}  // namespace

LineKind classifyLine(const std::string& tool, const std::string& raw) {
    const std::string line = trimmed(raw);
    if (tool == "dvdauthor") {
        if (startsWith(line, "ERR:")) return LineKind::Error;
        if (startsWith(line, "WARN:")) return LineKind::Warning;
        // The running count of VOBUs, redrawn in place.
        if (startsWith(line, "STAT: VOBU") || startsWith(line, "STAT: fixed")) return LineKind::Progress;
        return LineKind::Info;
    }
    if (tool == "vcdimager") {
        if (startsWith(line, "**") || startsWith(line, "++ ERROR") || startsWith(line, "++ CRIT"))
            return LineKind::Error;
        if (startsWith(line, "++ WARN")) return LineKind::Warning;
        return LineKind::Info;
    }
    if (tool == "genisoimage") {
        if (line.find("% done") != std::string::npos) return LineKind::Progress;
        if (startsWith(line, "Warning") || startsWith(line, "genisoimage: Warning")) return LineKind::Warning;
        if (startsWith(line, "genisoimage:")) return LineKind::Error;
        return LineKind::Info;
    }
    return LineKind::Info;
}

}  // namespace quillon::disc

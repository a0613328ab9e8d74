// What the authoring tools print, sorted: progress lines (not kept),
// warnings, errors, and the rest for the log.
#pragma once

#include <string>

namespace quillon::disc {

enum class LineKind { Info, Progress, Warning, Error };

// tool: "dvdauthor", "genisoimage" or "vcdimager".
LineKind classifyLine(const std::string& tool, const std::string& line);

}  // namespace quillon::disc

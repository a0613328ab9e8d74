// The system lines the log starts with: operating system and kernel,
// processor, toolkit.
#pragma once

#include <string>
#include <vector>

namespace quillon::app {

std::vector<std::string> systemInfoLines();

}  // namespace quillon::app

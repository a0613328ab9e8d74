#include "app/system_info.h"

#include <QtCore/QString>
#include <QtCore/QSysInfo>
#include <QtCore/QtGlobal>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sys/utsname.h>

#include "engine/format.h"
#include "platform/cpu_features.h"

namespace quillon::app {

namespace {

std::string processorName() {
    std::ifstream in("/proc/cpuinfo");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("model name", 0) == 0) {
            size_t colon = line.find(':');
            if (colon != std::string::npos) {
                size_t from = line.find_first_not_of(' ', colon + 1);
                return from == std::string::npos ? std::string() : line.substr(from);
            }
        }
    }
    return "unknown processor";
}

}  // namespace

std::vector<std::string> systemInfoLines() {
    utsname u{};
    std::string kernel = uname(&u) == 0 ? std::string(u.sysname) + " " + u.release : "unknown";
    int build = 0;
    // The kernel's build number is the count after '#' in its version text.
    if (const char* hash = std::strchr(u.version, '#')) build = std::atoi(hash + 1);
    uint32_t features = detectCpuFeatures();
    std::string sets;
    if (features & kCpuAvx2) sets = "AVX2";
    else if (features & kCpuSse2) sets = "SSE2";
    else sets = "no vector extensions";
    return {
        formatText("OS Info = %s (%s), build = %d",
                   QSysInfo::prettyProductName().toStdString().c_str(), kernel.c_str(), build),
        formatText("CPU Info = %s, %s, %s", processorName().c_str(),
                   QSysInfo::currentCpuArchitecture().toStdString().c_str(), sets.c_str()),
        formatText("Qt Info = %s", qVersion()),
    };
}

}  // namespace quillon::app

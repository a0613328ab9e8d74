#include "app/window_rules.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>

#include "input/conversion_start.h"

namespace quillon::app {

Size targetSize(int target, int pal, const Size* selectedInput) {
    InputFileEntry input;
    if (selectedInput) {
        input.width = selectedInput->width;
        input.height = selectedInput->height;
    }
    OutputSize s = quillon::targetSize(target, pal, selectedInput ? &input : nullptr);
    return {s.width, s.height};
}

bool parseField(const std::string& text, int& value) {
    const char* s = text.c_str();
    while (std::isspace(static_cast<unsigned char>(*s))) ++s;
    if (!*s) return false;
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(s, &end, 10);
    if (end == s || errno == ERANGE) return false;
    while (std::isspace(static_cast<unsigned char>(*end))) ++end;
    if (*end) return false;
    if (v < -2147483647L || v > 2147483647L) return false;
    value = static_cast<int>(v);
    return true;
}

int widthFromField(const std::string& text, int previous, int target, bool perEntry) {
    return widthFieldValue(text, previous, target, perEntry);
}

int heightFromField(const std::string& text, int previous, int target, bool perEntry) {
    return heightFieldValue(text, previous, target, perEntry);
}

bool splitFromField(const std::string& text, int& megabytes) {
    int v;
    if (!parseField(text, v) || v < kMinSplit || v > kMaxSplit) return false;
    megabytes = v;
    return true;
}

std::string engineErrorForTarget(int target) {
    const char* code = "a";
    switch (target) {
    case kVcd: code = "b"; break;
    case kDvd: code = "c"; break;
    case kSvcd: code = "d"; break;
    case kMpeg1: code = "e"; break;
    case kMpeg2: code = "f"; break;
    }
    return std::string("Can not initialize convert engine, error 5") + code + ".";
}

std::string engineErrorForStandard(int pal) {
    return std::string("Can not initialize convert engine, error 5") + (pal ? "h" : "g") + ".";
}

}  // namespace quillon::app

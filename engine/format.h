// printf-style formatting into a std::string, for the engine's messages,
// which are given as printf formats ("Unable to open file %s for writing.").
#pragma once

#include <cstdarg>
#include <cstdio>
#include <string>

namespace quillon {

#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
inline std::string formatText(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    int n = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string out;
    if (n > 0) {
        out.resize(static_cast<size_t>(n));
        std::vsnprintf(out.data(), out.size() + 1, format, args);
    }
    va_end(args);
    return out;
}

}  // namespace quillon

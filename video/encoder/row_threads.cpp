#include "video/encoder/row_threads.h"

#include <cstdlib>

namespace quillon {

int encoderThreadCount() {
    if (const char* v = std::getenv("QUILLON_THREADS")) {
        char* end = nullptr;
        const long n = std::strtol(v, &end, 10);
        if (end != v && *end == '\0' && n >= 1 && n <= 64) return static_cast<int>(n);
    }
    const unsigned cores = std::thread::hardware_concurrency();
    return cores ? static_cast<int>(std::min(cores, 64u)) : 1;
}

}  // namespace quillon

#include "platform/cpu_features.h"

#include <algorithm>
#include <cstdlib>
#include <thread>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

namespace quillon {

uint32_t detectCpuFeatures() {
    uint32_t word = 0;
#if defined(__x86_64__) || defined(__i386__)
    unsigned a, b, c, d;
    if (__get_cpuid(1, &a, &b, &c, &d)) {
        if (d & (1u << 23)) word |= kCpuMmx;
        if (d & (1u << 25)) word |= kCpuSseOrMmxExt;
        if (d & (1u << 26)) word |= kCpuSse2;
        bool osxsave = (c & (1u << 27)) != 0;
        bool avx = (c & (1u << 28)) != 0;
        if (osxsave && avx) {
            unsigned lo, hi;
            __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
            if ((lo & 6u) == 6u && __get_cpuid_count(7, 0, &a, &b, &c, &d) && (b & (1u << 5)))
                word |= kCpuAvx2;
        }
    }
    if (__get_cpuid(0x80000000u, &a, &b, &c, &d) && a >= 0x80000001u &&
        __get_cpuid(0x80000001u, &a, &b, &c, &d)) {
        if (d & (1u << 22)) word |= kCpuSseOrMmxExt;  // AMD MMX extensions
        if (d & (1u << 31)) word |= kCpu3DNow;
        if (d & (1u << 30)) word |= kCpu3DNowExt;
    }
#endif
    return word;
}

int defaultMMXMode(uint32_t features) {
    int mode = 0;
    if (features & kCpuSseOrMmxExt)
        mode = 3;
    else if (features & kCpuMmx)
        mode = 1;
    if (features & kCpu3DNowExt)
        mode = 4;
    else if (features & kCpu3DNow)
        mode = 2;
    return mode;
}

int configuredThreadCount() {
    if (const char* v = std::getenv("QUILLON_THREADS")) {
        char* end = nullptr;
        const long n = std::strtol(v, &end, 10);
        if (end != v && *end == '\0' && n >= 1 && n <= 64) return static_cast<int>(n);
    }
    const unsigned cores = std::thread::hardware_concurrency();
    return cores ? static_cast<int>(std::min(cores, 64u)) : 1;
}

}  // namespace quillon

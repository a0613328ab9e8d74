// Processor identification for the routine-set choice.
#pragma once

#include <cstdint>

namespace quillon {

// Feature word bits, as the routine selection reads them.
constexpr uint32_t kCpuMmx = 32;
constexpr uint32_t kCpu3DNow = 128;
constexpr uint32_t kCpu3DNowExt = 256;
constexpr uint32_t kCpuSseOrMmxExt = 512;
// Bits of our own, above the historical ones: the vector sets our SIMD
// routines use.
constexpr uint32_t kCpuSse2 = 1u << 16;
constexpr uint32_t kCpuAvx2 = 1u << 17;

uint32_t detectCpuFeatures();
// Threads a conversion may keep busy: QUILLON_THREADS (1..64) when set,
// else the cores the machine reports.
int configuredThreadCount();
// The default routine set for a feature word.
int defaultMMXMode(uint32_t features);

}  // namespace quillon

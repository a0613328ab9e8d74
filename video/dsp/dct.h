// Forward and inverse 8x8 DCT. Blocks are 64 int16 in row-major order,
// transformed in place.
#pragma once

#include <cstdint>

#include <array>

#include "video/dsp/block_routines.h"

namespace quillon {

void forwardDctFloat(int16_t* block);    // floating AAN
// The floating form's output scale, 64 entries in block order.
const double* forwardDctFloatScale();
void forwardDctInteger(int16_t* block);  // integer LLM
// Integer Chen-Wang; coefClip points at entry 0 of the -512..511 table.
void inverseDctChenWang(int16_t* block, const int16_t* coefClip);

void buildCoefficientClipTable(std::array<int16_t, 1024>& table);
// The routine set for a DCT family, MMXMode and processor feature word.
TransformRoutines selectTransformRoutines(bool floating, int MMXMode, uint32_t features);

}  // namespace quillon

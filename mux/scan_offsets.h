// SVCD scan information: after a program file is written, every I picture's
// scan-offset user data gets the sector addresses of the previous and next I
// pictures and of those about seven seconds back and forward.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "mux/units_file.h"

namespace quillon {

class Engine;

// The minutes:seconds:sectors address of a pack index, 75 sectors to the
// second, in BCD with bit 7 set in the last two bytes.
void encodeScanOffset(uint32_t pack, uint8_t out[3]);

// Jump distance in I pictures for the backward and forward offsets.
int scanJumpDistance(const VideoStreamInfo& info);

// Patches the program file in place. scanFile holds one 32-bit pack index
// per I picture; it is closed here and set to null.
bool writeScanOffsets(Engine& engine, const std::string& programPath, std::FILE* program,
                      const VideoStreamInfo& info, const std::string& scanPath, std::FILE*& scanFile);

}  // namespace quillon

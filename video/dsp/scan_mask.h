// Which coefficients of a block are not zero, as 64-bit masks: in natural
// (row by row) order, where a vector compare finds them, and in scan order,
// where the block coder walks from one to the next without visiting the
// zero runs between them.
#pragma once

#include <cstdint>

namespace quillon {

// Bit i set when block[i] != 0.
uint64_t nonzeroMaskPlain(const int16_t* block);
// Bit n set when the coefficient at scan position n (zig-zag, or the
// alternate scan) is set in the natural-order mask.
uint64_t toScanOrder(uint64_t naturalMask, bool alternateScan);
// Bit n set when levels[scan[n]] != 0.
inline uint64_t scanOrderMask(const int16_t* levels, bool alternateScan) {
    return toScanOrder(nonzeroMaskPlain(levels), alternateScan);
}

}  // namespace quillon

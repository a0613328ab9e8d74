// The 8x8 block and the table of block routines (transforms, differences,
// quantisers), filled once per encode from the DCT family, MMXMode and the
// processor's vector sets.
#pragma once

#include <array>
#include <cstdint>

namespace quillon {

// 64 coefficients, row-major (row y, column x at 8y + x). The forward DCT
// output, the quantised levels and the reconstructed coefficients all live
// here; every stage works in place.
using Block = std::array<int16_t, 64>;

// Transform routines, chosen once per encode.
struct TransformRoutines {
    void (*forwardDct)(int16_t* block) = nullptr;
    // coefClip points at entry 0 of the -512..511 coefficient clip table.
    void (*inverseDct)(int16_t* block, const int16_t* coefClip) = nullptr;
    // 8x8 steps around the transforms (stride between lines).
    void (*blockDifference)(const uint8_t* cur, const uint8_t* pred, int stride, int16_t* out) = nullptr;
    void (*blockReconstruct)(const uint8_t* pred, const int16_t* block, int stride, uint8_t* out) = nullptr;
    // The reciprocal non-intra quantiser used when MMXMode > 0.
    bool (*quantizeNonIntraFast)(const int16_t* src, int16_t* dst, const uint16_t* matrix,
                                 const uint16_t* reciprocals, int mquant, bool mpeg2) = nullptr;
    // The exact non-intra quantiser (MMXMode 0, mquant 1 and the fast form's
    // fallback).
    bool (*quantizeNonIntra)(const int16_t* src, int16_t* dst, const uint16_t* matrix,
                             const uint16_t* reciprocals, int mquant, bool mpeg2) = nullptr;
    // The exact intra quantiser and the inverse quantisers (quantize.h).
    bool (*quantizeIntra)(const int16_t* src, int16_t* dst, int dcPrecision, const uint8_t* intraMatrix,
                          int mquant, bool mpeg2) = nullptr;
    void (*dequantizeIntra)(const int16_t* src, int16_t* dst, int dcPrecision, const uint8_t* intraMatrix,
                            int mquant, bool mpeg2) = nullptr;
    void (*dequantizeNonIntra)(const int16_t* src, int16_t* dst, const uint8_t* matrix, int mquant,
                               bool mpeg2) = nullptr;
    // Bit i set when block[i] != 0 (scan_mask.h turns it into scan order).
    uint64_t (*nonzeroMask)(const int16_t* block) = nullptr;
};

}  // namespace quillon

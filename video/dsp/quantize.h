// Quantisation and inverse quantisation of 8x8 blocks, and the quantiser
// scale codes.
#pragma once

#include <array>
#include <cstdint>

namespace quillon {

// Table 7-6 of ISO/IEC 13818-2, by quantiser_scale_code.
extern const std::array<uint8_t, 32> nonLinearQuantTable;
// quantiser_scale_code for each mquant 0..112 under the non-linear scale.
extern const std::array<uint8_t, 113> quantCodeMap;

// Returns false when an AC level reached 256 before limiting.
bool quantizeIntraBlock(const int16_t* src, int16_t* dst, int dcPrecision, const uint8_t* intraMatrix,
                        int mquant, bool mpeg2);
// Exact form. Returns true when any level is non-zero.
bool quantizeNonIntraBlock(const int16_t* src, int16_t* dst, const uint16_t* matrix,
                           const uint16_t* reciprocals, int mquant, bool mpeg2);
// Reciprocal fast path with exact fallback (MMXMode > 0 and mquant > 1).
bool quantizeNonIntraBlockFast(const int16_t* src, int16_t* dst, const uint16_t* matrix,
                               const uint16_t* reciprocals, int mquant, bool mpeg2);
void dequantizeIntraBlock(const int16_t* src, int16_t* dst, int dcPrecision, const uint8_t* intraMatrix,
                          int mquant, bool mpeg2);
void dequantizeNonIntraBlock(const int16_t* src, int16_t* dst, const uint8_t* matrix, int mquant,
                             bool mpeg2);

int quantiserScaleCode(int mquant, int qScaleType);
// The next coarser quantiser the scale can code (the same when none).
int nextCoarserMquant(int mquant, int qScaleType);

}  // namespace quillon

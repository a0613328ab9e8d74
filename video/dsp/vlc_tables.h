// The variable-length code tables of Annex B of ISO/IEC 13818-2. Codes are
// given as (value, length) without the trailing sign bit.
#pragma once

#include <array>
#include <cstdint>

namespace quillon {

struct VlcCode {
    uint16_t code = 0;
    uint8_t length = 0;  // 0: no code
};

// Table B-1, increments 1..33 (index 0 unused).
extern const std::array<VlcCode, 34> kTableB1;
constexpr VlcCode kMacroblockEscape{0x008, 11};
// Tables B-2 (I), B-3 (P), B-4 (B), indexed by the five macroblock type bits.
extern const std::array<VlcCode, 32> kTableB2;
extern const std::array<VlcCode, 32> kTableB3;
extern const std::array<VlcCode, 32> kTableB4;
// Table B-9, coded_block_pattern_420 0..63.
extern const std::array<VlcCode, 64> kTableB9;
// Table B-10, |motion_code| 0..16.
extern const std::array<VlcCode, 17> kTableB10;
// Tables B-12 and B-13, dct_dc_size 0..11.
extern const std::array<VlcCode, 12> kTableB12;
extern const std::array<VlcCode, 12> kTableB13;
// Tables B-14 and B-15 by [run 0..31][|level| 0..40].
using CoefficientTable = std::array<std::array<VlcCode, 41>, 32>;
extern const CoefficientTable kTableB14;
extern const CoefficientTable kTableB15;

}  // namespace quillon

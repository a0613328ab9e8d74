// Tables of ISO/IEC 11172-3 used by the frame encoder: bit rates, the scale
// factors (B.1), the Layer II allocation tables (B.2a-d), the analysis window
// (C.1), the scale-factor transmission patterns (C.4), the quantiser classes
// with their coefficients (C.5) and signal-to-noise ratios.
#pragma once

#include <cstdint>

namespace quillon::audio {

// kbit/s by bitrate_index; index 0 is free format, 15 is forbidden.
extern const int kLayerOneBitrates[15];
extern const int kLayerTwoBitrates[15];

// B.1 extended by a 64th entry for silence.
extern const double kTableB1[64];

// Quantiser classes of Layer II (and, all but 5 and 9 levels, of Layer I).
struct QuantiserClass {
    int levels;
    int bits;       // bits of a sample code (the code's top bit being the sign)
    int groupBits;  // width of the one code of three samples; 0 when not grouped
};
constexpr int kQuantiserClassCount = 17;
extern const QuantiserClass kQuantiserClasses[kQuantiserClassCount];
// C.5: A and B of t = A * x + B, per class.
extern const double kTableC5[kQuantiserClassCount][2];
// Signal-to-noise ratio in dB of each class, after the 0 dB of "no samples".
extern const double kClassSnr[kQuantiserClassCount + 1];

// Layer II allocation table: per sub-band the width of the allocation field
// and, per allocation index, the class (index 0 means nothing sent).
struct AllocationTable {
    char name;    // 'a'..'d'
    int sblimit;
    int nbal[32];
    int8_t classes[32][16];  // -1: no samples
};
extern const AllocationTable kTableB2a;
extern const AllocationTable kTableB2b;
extern const AllocationTable kTableB2c;
extern const AllocationTable kTableB2d;

// Layer I: allocation index n (1..14) sends n + 1 bits per sample.
int layerOneClass(int allocation);  // class index into kQuantiserClasses

// C.1: the analysis window.
extern const double kTableC1[512];

// C.4: transmission pattern by the classes of the two scale-factor
// differences, written as three digits naming the scale factor used for
// each of the three parts (4: the smaller index of the first and third).
extern const int kTableC4[5][5];

}  // namespace quillon::audio

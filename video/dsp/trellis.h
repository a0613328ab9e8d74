// Levels chosen by cost instead of by rounding: for each coefficient of a
// block the rounded level, one less or zero, whichever set gives the least
// squared error plus lambda times the exact bits of the block's run/level
// codes and end of block.
#pragma once

#include <cstdint>

namespace quillon {

struct TrellisBlock {
    bool mpeg2 = true;
    bool intra = false;        // intra: DC (position 0) is left alone and not costed
    bool tableB15 = false;     // intra blocks under intra_vlc_format 1
    const uint8_t* scan = nullptr;     // scan position -> natural index
    const uint8_t* weights = nullptr;  // quantiser matrix, natural order
    int mquant = 2;
    double lambda = 0;  // per bit, in squared coefficient units
    // How many non-zero candidates back a code may follow; 64 searches
    // every path.
    int lookBack = 64;
};

// Bits of one run/level code (sign included): the table code where there is
// one, else the escape of the syntax.
int runLevelBits(bool mpeg2, bool tableB15, int run, int magnitude);

// The value the decoder rebuilds from a level magnitude (before mismatch
// control and saturation).
int reconstructedMagnitude(const TrellisBlock& b, int natural, int magnitude);

// coefficients: the transform output; levels: the rounded levels, changed in
// place to the chosen ones (never larger in magnitude, same sign). Returns
// whether any level (AC for intra blocks) is left non-zero.
bool trellisQuantise(const TrellisBlock& b, const int16_t* coefficients, int16_t* levels);
// The same with the levels' non-zero positions already known: scanMask bit n
// set when levels[scan[n]] != 0 (as scanOrderMask gives it). Returns that
// mask of the chosen levels, so the caller need not scan the block again.
uint64_t trellisQuantise(const TrellisBlock& b, const int16_t* coefficients, int16_t* levels, uint64_t scanMask);

// The cost the choice minimises, for comparing level sets: squared error of
// the costed coefficients plus lambda times their code bits (a non-intra
// block without levels costs no bits, it is not coded).
double trellisCost(const TrellisBlock& b, const int16_t* coefficients, const int16_t* levels);

}  // namespace quillon

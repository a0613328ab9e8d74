// Variable-length coding of macroblock and block syntax (Annex B of
// ISO/IEC 13818-2), written through the encoder's BitWriter.
#pragma once

#include <cstdint>

#include "engine/bit_writer.h"
#include "engine/engine.h"

namespace quillon {

// Zig-zag and alternate scan: scan position -> natural-order index.
extern const uint8_t kZigzagScan[64];
extern const uint8_t kAlternateScan[64];

// Whole increment, with macroblock_escape for each 33 beyond 33.
void putAddressIncrement(BitWriter& w, int increment);
// Tables B-2, B-3, B-4 by picture type and the five type bits.
void putMacroblockType(BitWriter& w, int pictureType, int type);
// One motion vector difference with its f_code (wrapped into range).
void putMotionDelta(Engine& engine, BitWriter& w, int delta, int fCode, bool verbose);
// dmvector, Table B-11.
void putDmVector(BitWriter& w, int value);
// coded_block_pattern: Table B-9 for the 4:2:0 part, then the extra bits.
void putCodedBlockPattern(BitWriter& w, int cbp, int blockCount);

struct BlockCoding {
    bool mpeg2 = false;
    int intraVlcFormat = 0;
    int alternateScan = 0;
};

// One (run, signed level) pair; false after "AC value out of range".
bool putRunLevel(Engine& engine, BitWriter& w, bool mpeg2, bool tableB15, int run, int level);
// Intra block of colour component 0 (Y), 1 (Cb) or 2 (Cr); updates the
// predictor. False after "DC value out of range" or an AC failure.
bool putIntraBlock(Engine& engine, BitWriter& w, const BlockCoding& c, const int16_t* levels,
                   int component, int& dcPredictor);
bool putNonIntraBlock(Engine& engine, BitWriter& w, const BlockCoding& c, const int16_t* levels);

}  // namespace quillon

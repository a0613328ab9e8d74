// Variable-length coding of macroblock and block syntax (Annex B of
// ISO/IEC 13818-2) over a bit sink: the encoder's BitWriter writes the
// codes, a BitCounter only counts them, so what a decision estimates is
// exactly what is written.
#pragma once

#include <cstdint>

#include "engine/bit_writer.h"
#include "engine/engine.h"

namespace quillon {

// Counts the bits a BitWriter would be given, from a starting position (so
// byte alignment counts the same padding the writer would put).
class BitCounter {
public:
    explicit BitCounter(uint64_t start = 0) : bits_(start) {}
    void putBits(uint32_t, int count) { bits_ += static_cast<uint64_t>(count); }
    void putBit(uint32_t) { ++bits_; }
    void alignToByte() { bits_ = (bits_ + 7) & ~uint64_t{7}; }
    double totalBits() const { return static_cast<double>(bits_); }
    uint64_t bits() const { return bits_; }

private:
    uint64_t bits_;
};

// Zig-zag and alternate scan: scan position -> natural-order index.
extern const uint8_t kZigzagScan[64];
extern const uint8_t kAlternateScan[64];

// Every coder below is a template over the sink (BitWriter or BitCounter),
// instantiated for both in vlc.cpp. A null engine reports nothing (costing
// a candidate); with an engine the range messages go to it.

// Whole increment, with macroblock_escape for each 33 beyond 33.
template <class Sink>
void putAddressIncrement(Sink& w, int increment);
// Tables B-2, B-3, B-4 by picture type and the five type bits.
template <class Sink>
void putMacroblockType(Sink& w, int pictureType, int type);
// One motion vector difference with its f_code (wrapped into range); code,
// sign and residual in one put. A difference out of range even after the
// wrap is coded as it falls and warned about when verbose.
template <class Sink>
void putMotionDelta(Engine* engine, Sink& w, int delta, int fCode, bool verbose);
// dmvector, Table B-11.
template <class Sink>
void putDmVector(Sink& w, int value);
// coded_block_pattern: Table B-9 for the 4:2:0 part, then the extra bits.
template <class Sink>
void putCodedBlockPattern(Sink& w, int cbp, int blockCount);

struct BlockCoding {
    bool mpeg2 = false;
    int intraVlcFormat = 0;
    int alternateScan = 0;
    const uint8_t* scan() const { return alternateScan ? kAlternateScan : kZigzagScan; }
};

// One (run, signed level) pair, code and sign in one put; false after "AC
// value out of range".
template <class Sink>
bool putRunLevel(Engine* engine, Sink& w, bool mpeg2, bool tableB15, int run, int level);
// Intra block of colour component 0 (Y), 1 (Cb) or 2 (Cr); updates the
// predictor. False after "DC value out of range" or an AC failure.
// scanMask has bit n set when levels[scan[n]] is not zero (scanOrderMask);
// the coder visits only those positions.
template <class Sink>
bool putIntraBlock(Engine* engine, Sink& w, const BlockCoding& c, const int16_t* levels, uint64_t scanMask,
                   int component, int& dcPredictor);
template <class Sink>
bool putNonIntraBlock(Engine* engine, Sink& w, const BlockCoding& c, const int16_t* levels, uint64_t scanMask);

// The same, finding the non-zero positions themselves.
template <class Sink>
bool putIntraBlock(Engine* engine, Sink& w, const BlockCoding& c, const int16_t* levels, int component,
                   int& dcPredictor);
template <class Sink>
bool putNonIntraBlock(Engine* engine, Sink& w, const BlockCoding& c, const int16_t* levels);

}  // namespace quillon

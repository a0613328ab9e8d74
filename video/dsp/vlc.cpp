#include "video/dsp/vlc.h"

#include <cstdlib>

#include "engine/format.h"
#include "video/encoder/video_types.h"
#include "video/dsp/vlc_tables.h"

namespace quillon {

const uint8_t kZigzagScan[64] = {
    0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,  12, 19, 26, 33, 40, 48,
    41, 34, 27, 20, 13, 6,  7,  14, 21, 28, 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23,
    30, 37, 44, 51, 58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63,
};

const uint8_t kAlternateScan[64] = {
    0,  8,  16, 24, 1,  9,  2,  10, 17, 25, 32, 40, 48, 56, 57, 49, 41, 33, 26, 18, 3,  11,
    4,  12, 19, 27, 34, 42, 50, 58, 35, 43, 51, 59, 20, 28, 5,  13, 6,  14, 21, 29, 36, 44,
    52, 60, 37, 45, 53, 61, 22, 30, 7,  15, 23, 31, 38, 46, 54, 62, 39, 47, 55, 63,
};

namespace {
inline void put(BitWriter& w, const VlcCode& c) { w.putBits(c.code, c.length); }
}  // namespace

void putAddressIncrement(BitWriter& w, int increment) {
    while (increment > 33) {
        put(w, kMacroblockEscape);
        increment -= 33;
    }
    put(w, kTableB1[increment]);
}

void putMacroblockType(BitWriter& w, int pictureType, int type) {
    const auto& table = pictureType == kPictureI ? kTableB2 : pictureType == kPictureP ? kTableB3 : kTableB4;
    put(w, table[type & 31]);
}

void putMotionDelta(Engine& engine, BitWriter& w, int delta, int fCode, bool verbose) {
    const int rSize = fCode - 1;
    const int f = 1 << rSize;
    const int low = -16 * f, high = 16 * f - 1, range = 32 * f;
    if (delta > high)
        delta -= range;
    else if (delta < low)
        delta += range;
    if ((delta > high || delta < low) && verbose) engine.reportWarning("Invalid motion vector.");
    const int t = std::abs(delta) + f - 1;
    const int motionCode = t >> rSize;  // magnitude
    put(w, kTableB10[motionCode > 16 ? 16 : motionCode]);
    if (motionCode != 0) w.putBit(delta < 0 ? 1 : 0);
    if (rSize != 0 && motionCode != 0) w.putBits(static_cast<uint32_t>(t & (f - 1)), rSize);
}

void putDmVector(BitWriter& w, int value) {
    if (value == 0)
        w.putBits(0, 1);
    else
        w.putBits(value > 0 ? 0b10 : 0b11, 2);
}

void putCodedBlockPattern(BitWriter& w, int cbp, int blockCount) {
    put(w, kTableB9[(cbp >> (blockCount - 6)) & 63]);
    if (blockCount > 6) w.putBits(static_cast<uint32_t>(cbp & ((1 << (blockCount - 6)) - 1)), blockCount - 6);
}

bool putRunLevel(Engine& engine, BitWriter& w, bool mpeg2, bool tableB15, int run, int level) {
    const int magnitude = std::abs(level);
    if (run < 0 || run > 63 || level == 0 || magnitude > 2047 || (!mpeg2 && magnitude > 255)) {
        engine.reportError(formatText("AC value out of range (run=%d, signed_level=%d)\n", run, level));
        return false;
    }
    if ((run < 2 && magnitude <= 40) || (run >= 2 && run <= 31 && magnitude <= 5)) {
        const VlcCode& c = (tableB15 ? kTableB15 : kTableB14)[run][magnitude];
        if (c.length != 0) {
            put(w, c);
            w.putBit(level < 0 ? 1 : 0);
            return true;
        }
    }
    w.putBits(0b000001, 6);
    w.putBits(static_cast<uint32_t>(run), 6);
    if (mpeg2) {
        w.putBits(static_cast<uint32_t>(level) & 0xFFF, 12);
    } else {
        if (level > 127) w.putBits(0x00, 8);
        if (level < -127) w.putBits(0x80, 8);
        w.putBits(static_cast<uint32_t>(level) & 0xFF, 8);
    }
    return true;
}

bool putIntraBlock(Engine& engine, BitWriter& w, const BlockCoding& c, const int16_t* levels,
                   int component, int& dcPredictor) {
    const int diff = levels[0] - dcPredictor;
    dcPredictor = levels[0];
    const int magnitude = std::abs(diff);
    if (magnitude >= 2048 || (!c.mpeg2 && magnitude >= 256)) {
        engine.reportError(formatText("DC value out of range (%d)\n", diff));
        return false;
    }
    int size = 0;
    while ((magnitude >> size) != 0) ++size;
    w.putBits(component == 0 ? kTableB12[size].code : kTableB13[size].code,
              component == 0 ? kTableB12[size].length : kTableB13[size].length);
    if (size != 0) {
        const int value = diff >= 0 ? diff : diff + (1 << size) - 1;
        w.putBits(static_cast<uint32_t>(value), size);
    }
    const uint8_t* scan = c.alternateScan ? kAlternateScan : kZigzagScan;
    const bool b15 = c.intraVlcFormat != 0;
    int run = 0;
    for (int n = 1; n < 64; ++n) {
        const int level = levels[scan[n]];
        if (level == 0) {
            ++run;
            continue;
        }
        if (!putRunLevel(engine, w, c.mpeg2, b15, run, level)) return false;
        run = 0;
    }
    if (b15)
        w.putBits(0b0110, 4);
    else
        w.putBits(0b10, 2);
    return true;
}

bool putNonIntraBlock(Engine& engine, BitWriter& w, const BlockCoding& c, const int16_t* levels) {
    const uint8_t* scan = c.alternateScan ? kAlternateScan : kZigzagScan;
    int run = 0;
    bool first = true;
    for (int n = 0; n < 64; ++n) {
        const int level = levels[scan[n]];
        if (level == 0) {
            ++run;
            continue;
        }
        if (first && run == 0 && std::abs(level) == 1) {
            w.putBits(level < 0 ? 0b11 : 0b10, 2);
        } else if (!putRunLevel(engine, w, c.mpeg2, false, run, level)) {
            return false;
        }
        first = false;
        run = 0;
    }
    w.putBits(0b10, 2);
    return true;
}

}  // namespace quillon

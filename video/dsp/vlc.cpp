#include "video/dsp/vlc.h"

#include <array>
#include <bit>
#include <cstdlib>

#include "engine/format.h"
#include "video/dsp/scan_mask.h"
#include "video/dsp/syntax_values.h"
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

template <class Sink>
inline void put(Sink& w, const VlcCode& c) {
    w.putBits(c.code, c.length);
}

// The messages stay out of the coders' loops.
[[gnu::cold]] void reportAcRange(Engine* engine, int run, int level) {
    if (engine) engine->reportError(formatText("AC value out of range (run=%d, signed_level=%d)\n", run, level));
}
[[gnu::cold]] void reportDcRange(Engine* engine, int diff) {
    if (engine) engine->reportError(formatText("DC value out of range (%d)\n", diff));
}
[[gnu::cold]] void reportInvalidVector(Engine* engine) {
    if (engine) engine->reportWarning("Invalid motion vector.");
}

}  // namespace

template <class Sink>
void putAddressIncrement(Sink& w, int increment) {
    while (increment > 33) {
        put(w, kMacroblockEscape);
        increment -= 33;
    }
    put(w, kTableB1[static_cast<size_t>(increment)]);
}

template <class Sink>
void putMacroblockType(Sink& w, int pictureType, int type) {
    const auto& table = pictureType == kPictureI ? kTableB2 : pictureType == kPictureP ? kTableB3 : kTableB4;
    put(w, table[static_cast<size_t>(type & 31)]);
}

template <class Sink>
void putMotionDelta(Engine* engine, Sink& w, int delta, int fCode, bool verbose) {
    const int rSize = fCode - 1;
    const int f = 1 << rSize;
    const int low = -16 * f, high = 16 * f - 1, range = 32 * f;
    if (delta > high)
        delta -= range;
    else if (delta < low)
        delta += range;
    if ((delta > high || delta < low) && verbose) reportInvalidVector(engine);
    const int t = std::abs(delta) + f - 1;
    const int motionCode = t >> rSize;  // magnitude
    const VlcCode& c = kTableB10[static_cast<size_t>(motionCode > 16 ? 16 : motionCode)];
    if (motionCode == 0) {
        put(w, c);
        return;
    }
    // motion_code, its sign and motion_residual together.
    const uint32_t sign = delta < 0 ? 1 : 0;
    const uint32_t residual = static_cast<uint32_t>(t & (f - 1));
    w.putBits(((static_cast<uint32_t>(c.code) << 1 | sign) << rSize) | residual, c.length + 1 + rSize);
}

template <class Sink>
void putDmVector(Sink& w, int value) {
    if (value == 0)
        w.putBits(0, 1);
    else
        w.putBits(value > 0 ? 0b10 : 0b11, 2);
}

template <class Sink>
void putCodedBlockPattern(Sink& w, int cbp, int blockCount) {
    put(w, kTableB9[static_cast<size_t>((cbp >> (blockCount - 6)) & 63)]);
    if (blockCount > 6) w.putBits(static_cast<uint32_t>(cbp & ((1 << (blockCount - 6)) - 1)), blockCount - 6);
}

template <class Sink>
bool putRunLevel(Engine* engine, Sink& w, bool mpeg2, bool tableB15, int run, int level) {
    const int magnitude = std::abs(level);
    if (run < 0 || run > 63 || level == 0 || magnitude > 2047 || (!mpeg2 && magnitude > 255)) {
        reportAcRange(engine, run, level);
        return false;
    }
    const uint32_t sign = level < 0 ? 1 : 0;
    if ((run < 2 && magnitude <= 40) || (run >= 2 && run <= 31 && magnitude <= 5)) {
        const VlcCode& c = (tableB15 ? kTableB15 : kTableB14)[static_cast<size_t>(run)][static_cast<size_t>(magnitude)];
        if (c.length != 0) {
            w.putBits(static_cast<uint32_t>(c.code) << 1 | sign, c.length + 1);
            return true;
        }
    }
    // Escape, run and the level in one put.
    const uint32_t head = 0b000001u << 6 | static_cast<uint32_t>(run);
    if (mpeg2) {
        w.putBits(head << 12 | (static_cast<uint32_t>(level) & 0xFFF), 24);
    } else if (level > 127) {
        w.putBits(head << 16 | (static_cast<uint32_t>(level) & 0xFF), 28);
    } else if (level < -127) {
        w.putBits(head << 16 | 0x80u << 8 | (static_cast<uint32_t>(level) & 0xFF), 28);
    } else {
        w.putBits(head << 8 | (static_cast<uint32_t>(level) & 0xFF), 20);
    }
    return true;
}

namespace {

// The pairs with a table code, by run 0..31 and signed level -40..40: code
// and sign as one value, and its length (0: none, written through
// putRunLevel). Filled from tables B-14 and B-15 where the coders take the
// table code: |level| up to 40 at runs 0 and 1, up to 5 beyond.
struct SignedCode {
    uint32_t bits = 0;
    uint32_t length = 0;
};
using SignedTable = std::array<std::array<SignedCode, 81>, 32>;

SignedTable makeSignedTable(const CoefficientTable& table) {
    SignedTable t{};
    for (int run = 0; run < 32; ++run)
        for (int level = -40; level <= 40; ++level) {
            const int magnitude = level < 0 ? -level : level;
            if (magnitude == 0 || (run >= 2 && magnitude > 5)) continue;
            const VlcCode& c = table[static_cast<size_t>(run)][static_cast<size_t>(magnitude)];
            if (c.length == 0) continue;
            SignedCode& e = t[static_cast<size_t>(run)][static_cast<size_t>(level + 40)];
            e.bits = static_cast<uint32_t>(c.code) << 1 | (level < 0 ? 1u : 0u);
            e.length = c.length + 1u;
        }
    return t;
}

// Built on first use: tables B-14 and B-15 are themselves made at start-up
// in another file.
const SignedTable& signedTable(bool tableB15) {
    static const SignedTable b14 = makeSignedTable(kTableB14);
    static const SignedTable b15 = makeSignedTable(kTableB15);
    return tableB15 ? b15 : b14;
}

// The common pairs in one put from the signed table, inlined into the block
// loops; the rest (escapes, range errors) go to putRunLevel.
template <class Sink>
[[gnu::always_inline]] inline bool putPair(Engine* engine, Sink& w, const SignedTable& table, bool mpeg2,
                                           bool tableB15, int run, int level) {
    if (static_cast<unsigned>(run) < 32 && static_cast<unsigned>(level + 40) <= 80) {
        const SignedCode& e = table[static_cast<size_t>(run)][static_cast<size_t>(level + 40)];
        if (e.length != 0) {
            w.putBits(e.bits, static_cast<int>(e.length));
            return true;
        }
    }
    return putRunLevel(engine, w, mpeg2, tableB15, run, level);
}

// A block's codes gathered into one word before they reach the writer: its
// bookkeeping (bit total, buffer and word checks) then runs once per 32 bits
// instead of once per code, which on grainy pictures with dozens of levels a
// block is a tenth of the encode. The writer sees the same bits in the same
// order. A counter only adds lengths, so it is given them directly.
template <class Sink>
class Gathered {
public:
    explicit Gathered(Sink& w) : w_(w) {}
    ~Gathered() { flush(); }
    Gathered(const Gathered&) = delete;
    Gathered& operator=(const Gathered&) = delete;

    // count 1..32, value within its low count bits.
    [[gnu::always_inline]] inline void putBits(uint32_t value, int count) {
        // At most 31 bits wait, so the word holds the new ones too.
        bits_ = bits_ << count | value;
        count_ += count;
        if (count_ >= 32) {
            count_ -= 32;
            w_.putBits(static_cast<uint32_t>(bits_ >> count_), 32);
        }
    }
    void flush() {
        if (count_ > 0) w_.putBits(static_cast<uint32_t>(bits_), count_);
        count_ = 0;
    }

private:
    Sink& w_;
    uint64_t bits_ = 0;
    int count_ = 0;
};

template <class Sink>
struct BlockSink {
    using Type = Gathered<Sink>;
};
template <>
struct BlockSink<BitCounter> {
    using Type = BitCounter&;
};

}  // namespace

template <class Sink>
bool putIntraBlock(Engine* engine, Sink& sink, const BlockCoding& c, const int16_t* levels, uint64_t scanMask,
                   int component, int& dcPredictor) {
    typename BlockSink<Sink>::Type w(sink);
    const int diff = levels[0] - dcPredictor;
    dcPredictor = levels[0];
    const int magnitude = std::abs(diff);
    if (magnitude >= 2048 || (!c.mpeg2 && magnitude >= 256)) {
        reportDcRange(engine, diff);
        return false;
    }
    const int size = std::bit_width(static_cast<unsigned>(magnitude));
    const VlcCode& sizeCode = component == 0 ? kTableB12[static_cast<size_t>(size)] : kTableB13[static_cast<size_t>(size)];
    if (size == 0) {
        put(w, sizeCode);
    } else {
        const int value = diff >= 0 ? diff : diff + (1 << size) - 1;
        w.putBits(static_cast<uint32_t>(sizeCode.code) << size | static_cast<uint32_t>(value), sizeCode.length + size);
    }
    const uint8_t* scan = c.scan();
    const bool b15 = c.intraVlcFormat != 0;
    const SignedTable& table = signedTable(b15);
    int last = 0;
    for (uint64_t m = scanMask & ~uint64_t{1}; m != 0; m &= m - 1) {
        const int n = std::countr_zero(m);
        if (!putPair(engine, w, table, c.mpeg2, b15, n - last - 1, levels[scan[n]])) return false;
        last = n;
    }
    if (b15)
        w.putBits(0b0110, 4);
    else
        w.putBits(0b10, 2);
    return true;
}

template <class Sink>
bool putNonIntraBlock(Engine* engine, Sink& sink, const BlockCoding& c, const int16_t* levels, uint64_t scanMask) {
    typename BlockSink<Sink>::Type w(sink);
    const uint8_t* scan = c.scan();
    uint64_t m = scanMask;
    // The first coefficient at position 0 with level +-1 has its own short
    // code.
    if (m & 1) {
        const int level = levels[scan[0]];
        if (level == 1 || level == -1) {
            w.putBits(level < 0 ? 0b11 : 0b10, 2);
            m &= m - 1;
        }
    }
    int last = -1;
    if (m != scanMask) last = 0;
    const SignedTable& table = signedTable(false);
    for (; m != 0; m &= m - 1) {
        const int n = std::countr_zero(m);
        if (!putPair(engine, w, table, c.mpeg2, false, n - last - 1, levels[scan[n]])) return false;
        last = n;
    }
    w.putBits(0b10, 2);
    return true;
}

template <class Sink>
bool putIntraBlock(Engine* engine, Sink& w, const BlockCoding& c, const int16_t* levels, int component,
                   int& dcPredictor) {
    return putIntraBlock(engine, w, c, levels, scanOrderMask(levels, c.alternateScan != 0), component, dcPredictor);
}

template <class Sink>
bool putNonIntraBlock(Engine* engine, Sink& w, const BlockCoding& c, const int16_t* levels) {
    return putNonIntraBlock(engine, w, c, levels, scanOrderMask(levels, c.alternateScan != 0));
}

#define QUILLON_VLC_SINK(S)                                                                                       \
    template void putAddressIncrement<S>(S&, int);                                                                \
    template void putMacroblockType<S>(S&, int, int);                                                             \
    template void putMotionDelta<S>(Engine*, S&, int, int, bool);                                                 \
    template void putDmVector<S>(S&, int);                                                                        \
    template void putCodedBlockPattern<S>(S&, int, int);                                                          \
    template bool putRunLevel<S>(Engine*, S&, bool, bool, int, int);                                              \
    template bool putIntraBlock<S>(Engine*, S&, const BlockCoding&, const int16_t*, uint64_t, int, int&);         \
    template bool putNonIntraBlock<S>(Engine*, S&, const BlockCoding&, const int16_t*, uint64_t);                 \
    template bool putIntraBlock<S>(Engine*, S&, const BlockCoding&, const int16_t*, int, int&);                   \
    template bool putNonIntraBlock<S>(Engine*, S&, const BlockCoding&, const int16_t*);
QUILLON_VLC_SINK(BitWriter)
QUILLON_VLC_SINK(BitCounter)
#undef QUILLON_VLC_SINK

}  // namespace quillon

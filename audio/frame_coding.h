// The frame encoder's building blocks: header values, the Layer II table
// choice, slots and padding, scale factors and their selection, the
// quantiser and the CRC.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

#include "audio/audio_tables.h"

namespace quillon::audio {

// 0 for 44.1 kHz, 1 for 48 kHz, 2 for 32 kHz; -1 for any other rate.
int samplingFrequencyCode(int rateHz);

// Layer II allocation table by rate and bit rate per channel (kbit/s).
const AllocationTable& chooseAllocationTable(int rateHz, int bitratePerChannel);

// First intensity-coded sub-band of joint stereo for a mode_extension
// (4, 8, 12 or 16), never above the frame's sblimit.
int jointStereoBound(int modeExtension, int sblimit);

// Bits of Layer I bit allocation, which is all the CRC covers after the
// header: 4 per channel below the bound, 4 per sub-band from the bound up.
int layerOneAllocationBits(int channels, int bound);

// Layer II leaves out some bit rates per mode: 32, 48, 56 and 80 kbit/s are
// too little for two channels, 224 kbit/s and more too much for one.
bool layerTwoAllowsBitrate(int bitrateKbps, int channels);

// Frame length in slots (32 bits in Layer I, 8 in Layer II).
struct SlotPlan {
    int bitsPerSlot = 8;
    int whole = 0;
    double frac = 0;
};
SlotPlan planSlots(int layer, int rateHz, int bitrateKbps);

// Which frames carry the padding slot, spreading the fractional slot.
class PaddingSequence {
public:
    explicit PaddingSequence(double frac) : frac_(frac), slotLag_(-frac) {}
    int next() {
        if (frac_ == 0) return 0;
        if (slotLag_ > frac_ - 1) {
            slotLag_ -= frac_;
            return 0;
        }
        slotLag_ += 1 - frac_;
        return 1;
    }

private:
    double frac_;
    double slotLag_;
};

// Scale-factor index of a block's largest absolute value: Layer I 0..62,
// Layer II 0..63 (63 only for silence).
int layerOneScaleIndex(double peak);
int layerTwoScaleIndex(double peak);

// Layer II scale-factor selection over the three parts' indices; returns
// scfsi and replaces the indices by those actually transmitted.
int selectScfsi(int (&indices)[3]);
// Scale factors a Layer II sub-band transmits for a scfsi value.
inline int transmittedScaleFactors(int scfsi) { return scfsi == 0 ? 3 : scfsi == 2 ? 1 : 2; }

// Sample code of x (already divided by its scale factor, |x| <= 1).
uint32_t quantise(double x, int quantiserClass);

// The allocation's next pair: the smallest mask-to-noise ratio among the
// pairs not finished, the first in scan order (sub-band, then channel) among
// equal ones, below 999999; what a scan keeping only strictly smaller values
// finds, kept in a tournament tree so that a step costs six comparisons.
class SmallestRatio {
public:
    static constexpr int kLeaves = 64;  // sub-band * 2 + channel
    void reset() {
        for (int i = 0; i < kLeaves; ++i) {
            value_[kLeaves + i] = kFinished;
            leaf_[kLeaves + i] = i;
        }
    }
    // Before build(): a ratio without the tree's upkeep.
    void put(int leaf, double ratio) { value_[kLeaves + leaf] = std::isnan(ratio) ? kFinished : ratio; }
    void build() {
        for (int n = kLeaves - 1; n >= 1; --n) play(n);
    }
    void set(int leaf, double ratio) {
        put(leaf, ratio);
        for (int n = (kLeaves + leaf) / 2; n >= 1; n /= 2) play(n);
    }
    void finish(int leaf) { set(leaf, kFinished); }
    // The chosen leaf, or -1 when none is left.
    int pick() const { return value_[1] < 999999 ? leaf_[1] : -1; }

private:
    static constexpr double kFinished = std::numeric_limits<double>::infinity();
    // Node n holds the winner of its two children; the left one's leaves
    // come before the right one's in scan order, so the right one wins only
    // when smaller.
    void play(int n) {
        const int w = value_[2 * n + 1] < value_[2 * n] ? 2 * n + 1 : 2 * n;
        value_[n] = value_[w];
        leaf_[n] = leaf_[w];
    }
    double value_[2 * kLeaves];  // nodes 1 .. kLeaves - 1, then the leaves
    int leaf_[2 * kLeaves];
};

// CRC-16, generator 0x8005, start 0xFFFF, most significant bit first.
class Crc16 {
public:
    void add(uint32_t value, int bits) {
        for (int i = bits - 1; i >= 0; --i) {
            bool top = ((crc_ >> 15) & 1) != ((value >> i) & 1);
            crc_ = static_cast<uint16_t>(crc_ << 1);
            if (top) crc_ ^= 0x8005;
        }
    }
    uint16_t value() const { return crc_; }

private:
    uint16_t crc_ = 0xFFFF;
};

}  // namespace quillon::audio

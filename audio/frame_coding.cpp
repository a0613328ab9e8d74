#include "audio/frame_coding.h"

#include <algorithm>
#include <cmath>

namespace quillon::audio {

int samplingFrequencyCode(int rateHz) {
    switch (rateHz) {
        case 44100: return 0;
        case 48000: return 1;
        case 32000: return 2;
        default: return -1;
    }
}

const AllocationTable& chooseAllocationTable(int rateHz, int b) {
    int f = rateHz / 1000;
    if (f == 48) {
        if (b >= 56) return kTableB2a;
        if (b <= 48) return kTableB2c;
        return kTableB2d;
    }
    if (b >= 56 && b <= 80) return kTableB2a;
    if (b >= 96) return kTableB2b;
    if (f == 32 || b > 48) return kTableB2d;
    return kTableB2c;
}

int jointStereoBound(int modeExtension, int sblimit) { return std::min(4 * ((modeExtension & 3) + 1), sblimit); }

int layerOneAllocationBits(int channels, int bound) {
    return 4 * (channels == 2 ? 2 * bound + (32 - bound) : 32);
}

bool layerTwoAllowsBitrate(int bitrateKbps, int channels) {
    if (channels == 2) return bitrateKbps != 32 && bitrateKbps != 48 && bitrateKbps != 56 && bitrateKbps != 80;
    return bitrateKbps <= 192;
}

SlotPlan planSlots(int layer, int rateHz, int bitrateKbps) {
    SlotPlan plan;
    plan.bitsPerSlot = layer == 1 ? 32 : 8;
    double samples = layer == 1 ? 384 : 1152;
    double slots = samples / (rateHz / 1000.0) * (bitrateKbps / static_cast<double>(plan.bitsPerSlot));
    plan.whole = static_cast<int>(slots);
    plan.frac = slots - plan.whole;
    // 48 kHz and 32 kHz give whole numbers that the division may miss by an ulp.
    if (plan.frac < 1e-9) plan.frac = 0;
    if (plan.frac > 1 - 1e-9) {
        ++plan.whole;
        plan.frac = 0;
    }
    return plan;
}

int layerOneScaleIndex(double peak) {
    for (int i = 62; i >= 0; --i)
        if (kTableB1[i] >= peak) return i;
    return 0;
}

int layerTwoScaleIndex(double peak) {
    int i = 32;
    for (int step = 16; step >= 1; step /= 2) i += peak <= kTableB1[i] ? step : -step;
    if (peak > kTableB1[i]) --i;
    return std::clamp(i, 0, 63);
}

namespace {

int differenceClass(int d) {
    if (d < -2) return 0;
    if (d < 0) return 1;
    if (d == 0) return 2;
    if (d <= 2) return 3;
    return 4;
}

}  // namespace

int selectScfsi(int (&sf)[3]) {
    switch (kTableC4[differenceClass(sf[0] - sf[1])][differenceClass(sf[1] - sf[2])]) {
        case 123: return 0;
        case 122: sf[2] = sf[1]; return 3;
        case 133: sf[1] = sf[2]; return 3;
        case 113: sf[1] = sf[0]; return 1;
        case 111: sf[1] = sf[2] = sf[0]; return 2;
        case 222: sf[0] = sf[2] = sf[1]; return 2;
        case 333: sf[0] = sf[1] = sf[2]; return 2;
        default: sf[0] = sf[1] = sf[2] = std::min(sf[0], sf[2]); return 2;  // 444
    }
}

uint32_t quantise(double x, int quantiserClass) {
    const QuantiserClass& q = kQuantiserClasses[quantiserClass];
    double t = kTableC5[quantiserClass][0] * x + kTableC5[quantiserClass][1];
    bool negative = t < 0;
    if (negative) t += 1;
    uint32_t code = static_cast<uint32_t>(t * static_cast<double>(1u << (q.bits - 1)));
    if (!negative) code |= 1u << (q.bits - 1);
    // A sample exactly at its scale factor would reach the all-ones code,
    // which is not a level of the class.
    return std::min(code, static_cast<uint32_t>(q.levels - 1));
}

}  // namespace quillon::audio

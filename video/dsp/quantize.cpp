#include "video/dsp/quantize.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>


namespace quillon {

const std::array<uint8_t, 32> nonLinearQuantTable = {
    0,  1,  2,  3,  4,  5,  6,  7,  8,  10, 12, 14, 16, 18, 20,  22,
    24, 28, 32, 36, 40, 44, 48, 52, 56, 64, 72, 80, 88, 96, 104, 112,
};

namespace {
constexpr std::array<uint8_t, 113> makeQuantCodeMap() {
    // Upper end of each mquant range for codes 8..31.
    constexpr int kUpper[] = {9,  11, 13, 15, 17, 19, 21, 23, 26, 29, 33, 37,
                              41, 45, 49, 53, 60, 67, 75, 83, 90, 100, 107, 112};
    std::array<uint8_t, 113> map{};
    for (int m = 0; m < 8; ++m) map[m] = static_cast<uint8_t>(m);
    int code = 8, m = 8;
    for (int upper : kUpper) {
        for (; m <= upper; ++m) map[m] = static_cast<uint8_t>(code);
        ++code;
    }
    return map;
}

inline int levelLimit(bool mpeg2) { return mpeg2 ? 2047 : 255; }
}  // namespace

const std::array<uint8_t, 113> quantCodeMap = makeQuantCodeMap();

bool quantizeIntraBlock(const int16_t* src, int16_t* dst, int dcPrecision, const uint8_t* intraMatrix,
                        int mquant, bool mpeg2) {
    const int d = 8 >> dcPrecision;
    const int h = d / 2;
    const int x0 = src[0];
    dst[0] = static_cast<int16_t>(x0 >= 0 ? (x0 + h) / d : -((h - x0) / d));
    bool fits = true;
    const int limit = levelLimit(mpeg2);
    const int offset = (3 * mquant + 2) / 4;
    for (int i = 1; i < 64; ++i) {
        const int x = src[i];
        const int w = intraMatrix[i];
        const int a = std::abs(x);
        const int q = (32 * a + w / 2) / w;
        int level = (q + offset) / (2 * mquant);
        if (level >= 256) {
            fits = false;
            if (level > limit) level = limit;
        }
        dst[i] = static_cast<int16_t>(x < 0 ? -level : level);
    }
    return fits;
}

bool quantizeNonIntraBlock(const int16_t* src, int16_t* dst, const uint16_t* matrix, const uint16_t*,
                           int mquant, bool mpeg2) {
    const int limit = levelLimit(mpeg2);
    bool any = false;
    for (int i = 0; i < 64; ++i) {
        const int x = src[i];
        const int w = matrix[i];
        int level = (32 * std::abs(x) + w / 2) / (2 * mquant * w);
        if (level > limit) level = limit;
        if (level) any = true;
        dst[i] = static_cast<int16_t>(x < 0 ? -level : level);
    }
    return any;
}

namespace {
// The high half of a signed 16 x 16 product, with the rounding correction
// the reciprocal form needs (the products are taken as signed 16-bit).
inline int scaledMultiply(int t, int r) {
    const int32_t p = static_cast<int32_t>(static_cast<int16_t>(t)) * static_cast<int16_t>(r);
    return (p >> 16) + ((((p & 0xFFFF) >> 1) + (t >> 1)) >> 15);
}
}  // namespace

bool quantizeNonIntraBlockFast(const int16_t* src, int16_t* dst, const uint16_t* matrix,
                               const uint16_t* reciprocals, int mquant, bool mpeg2) {
    // A weight of 1 has no 16-bit reciprocal: such matrices use the exact form.
    bool fallback = mquant <= 1;
    const int limit = levelLimit(mpeg2);
    const int m = (65536 / mquant) & 0xFFFF;
    int16_t scratch[64];
    bool any = false;
    for (int i = 0; i < 64 && !fallback; ++i) {
        const int x = src[i];
        const int a = std::abs(x);
        const int w = matrix[i];
        if (a > 1023 || reciprocals[i] == 0) {
            fallback = true;
            break;
        }
        const int t = (32 * a + w / 2) & 0xFFFF;
        const int u = scaledMultiply(t, reciprocals[i]) & 0xFFFF;
        const int level = (scaledMultiply(u, m) & 0xFFFF) >> 1;
        if (level > limit) {
            fallback = true;
            break;
        }
        if (level) any = true;
        scratch[i] = static_cast<int16_t>(x < 0 ? -level : level);
    }
    if (fallback) return quantizeNonIntraBlock(src, dst, matrix, reciprocals, mquant, mpeg2);
    std::memcpy(dst, scratch, sizeof scratch);
    return any;
}

namespace {
inline int clampCoefficient(int v) { return v < -2048 ? -2048 : v > 2047 ? 2047 : v; }

void mismatchControl(int16_t* dst) {
    int sum = 0;
    for (int i = 0; i < 64; ++i) sum += dst[i];
    if ((sum & 1) == 0) dst[63] = static_cast<int16_t>(dst[63] ^ 1);
}
}  // namespace

void dequantizeIntraBlock(const int16_t* src, int16_t* dst, int dcPrecision, const uint8_t* intraMatrix,
                          int mquant, bool mpeg2) {
    dst[0] = static_cast<int16_t>(src[0] * (1 << (3 - dcPrecision)));
    for (int i = 1; i < 64; ++i) {
        int v = src[i] * intraMatrix[i] * mquant / 16;
        if (!mpeg2 && v != 0 && (v & 1) == 0) v += v > 0 ? -1 : 1;
        dst[i] = static_cast<int16_t>(clampCoefficient(v));
    }
    if (mpeg2) mismatchControl(dst);
}

void dequantizeNonIntraBlock(const int16_t* src, int16_t* dst, const uint8_t* matrix, int mquant,
                             bool mpeg2) {
    for (int i = 0; i < 64; ++i) {
        const int level = src[i];
        int v = 0;
        if (level != 0) {
            v = (2 * level + (level > 0 ? 1 : -1)) * matrix[i] * mquant / 32;
            if (!mpeg2 && v != 0 && (v & 1) == 0) v += v > 0 ? -1 : 1;
        }
        dst[i] = static_cast<int16_t>(clampCoefficient(v));
    }
    if (mpeg2) mismatchControl(dst);
}

int quantiserScaleCode(int mquant, int qScaleType) {
    if (qScaleType) return quantCodeMap[static_cast<size_t>(std::clamp(mquant, 0, 112))];
    return mquant / 2;
}

int nextCoarserMquant(int mquant, int qScaleType) {
    if (!qScaleType) return mquant + 2 <= 62 ? mquant + 2 : mquant;
    for (uint8_t v : nonLinearQuantTable)
        if (v > mquant) return v;
    return mquant;
}

}  // namespace quillon

#include "video/dsp/dct.h"

#include "engine/engine.h"
#include "platform/cpu_features.h"
#include "video/dsp/quantize.h"
#include "video/dsp/scan_mask.h"
#include "video/dsp/simd_routines.h"

#include <cmath>

namespace quillon {

namespace {

struct FloatScale {
    double v[64];
    FloatScale() {
        double s[8];
        s[0] = 1.0;
        for (int k = 1; k < 8; ++k) s[k] = std::sqrt(2.0) * std::cos(k * M_PI / 16.0);
        for (int u = 0; u < 8; ++u)
            for (int x = 0; x < 8; ++x) v[u * 8 + x] = 1.0 / (s[u] * s[x] * 8.0);
    }
};

const FloatScale& floatScale() {
    static const FloatScale table;  // constant once built
    return table;
}

void aanLine(double* d, int step) {
    double t0 = d[0] + d[7 * step], t7 = d[0] - d[7 * step];
    double t1 = d[step] + d[6 * step], t6 = d[step] - d[6 * step];
    double t2 = d[2 * step] + d[5 * step], t5 = d[2 * step] - d[5 * step];
    double t3 = d[3 * step] + d[4 * step], t4 = d[3 * step] - d[4 * step];

    double t10 = t0 + t3, t13 = t0 - t3, t11 = t1 + t2, t12 = t1 - t2;
    d[0] = t10 + t11;
    d[4 * step] = t10 - t11;
    double z1 = (t12 + t13) * 0.707106781;
    d[2 * step] = t13 + z1;
    d[6 * step] = t13 - z1;

    double p = t4 + t5, q = t5 + t6, r = t6 + t7;
    double z5 = (p - r) * 0.382683433;
    double z2 = 0.5411961 * p + z5;
    double z4 = 1.306562965 * r + z5;
    double z3 = q * 0.707106781;
    double z11 = t7 + z3, z13 = t7 - z3;
    d[5 * step] = z13 + z2;
    d[3 * step] = z13 - z2;
    d[step] = z11 + z4;
    d[7 * step] = z11 - z4;
}

// One LLM pass over a line; pass 0 is the row pass, 1 the column pass.
template <int Pass>
void llmLine(int32_t* d, int step) {
    constexpr int kShift = Pass == 0 ? 11 : 15;
    constexpr int32_t kRound = 1 << (kShift - 1);
    int32_t t0 = d[0] + d[7 * step], t7 = d[0] - d[7 * step];
    int32_t t1 = d[step] + d[6 * step], t6 = d[step] - d[6 * step];
    int32_t t2 = d[2 * step] + d[5 * step], t5 = d[2 * step] - d[5 * step];
    int32_t t3 = d[3 * step] + d[4 * step], t4 = d[3 * step] - d[4 * step];

    int32_t t10 = t0 + t3, t13 = t0 - t3, t11 = t1 + t2, t12 = t1 - t2;
    if (Pass == 0) {
        d[0] = (t10 + t11) * 4;
        d[4 * step] = (t10 - t11) * 4;
    } else {
        d[0] = (t10 + t11 + 2) >> 2;
        d[4 * step] = (t10 - t11 + 2) >> 2;
    }
    int32_t z1 = (t12 + t13) * 4433;
    d[2 * step] = (z1 + t13 * 6270 + kRound) >> kShift;
    d[6 * step] = (z1 - t12 * 15137 + kRound) >> kShift;

    z1 = t4 + t7;
    int32_t z2 = t5 + t6, z3 = t4 + t6, z4 = t5 + t7;
    int32_t z5 = (z3 + z4) * 9633;
    t4 *= 2446;
    t5 *= 16819;
    t6 *= 25172;
    t7 *= 12299;
    z1 *= -7373;
    z2 *= -20995;
    z3 = z3 * -16069 + z5;
    z4 = z4 * -3196 + z5;
    d[7 * step] = (t4 + z1 + z3 + kRound) >> kShift;
    d[5 * step] = (t5 + z2 + z4 + kRound) >> kShift;
    d[3 * step] = (t6 + z2 + z3 + kRound) >> kShift;
    d[step] = (t7 + z1 + z4 + kRound) >> kShift;
}

// (181 * v + 128) >> 8, the 1/sqrt(2) rotation. Four large odd
// coefficients in one line take 181 * v past 32 bits (v reaches 21.5 million
// in the row pass at 2048 and 43 million in the column pass), so the
// product is formed in 64 bits; the result always fits 32.
inline int32_t rotate181(int32_t v) { return static_cast<int32_t>((181 * static_cast<int64_t>(v) + 128) >> 8); }

constexpr int32_t W1 = 2841, W2 = 2676, W3 = 2408, W5 = 1609, W6 = 1108, W7 = 565;

void idctRow(int16_t* blk) {
    int32_t x1 = blk[4] * 2048, x2 = blk[6], x3 = blk[2], x4 = blk[1], x5 = blk[7], x6 = blk[5],
            x7 = blk[3];
    if (!(x1 | x2 | x3 | x4 | x5 | x6 | x7)) {
        const int16_t v = static_cast<int16_t>(blk[0] * 8);
        for (int i = 0; i < 8; ++i) blk[i] = v;
        return;
    }
    int32_t x0 = blk[0] * 2048 + 128;
    int32_t x8 = W7 * (x4 + x5);
    x4 = x8 + (W1 - W7) * x4;
    x5 = x8 - (W1 + W7) * x5;
    x8 = W3 * (x6 + x7);
    x6 = x8 - (W3 - W5) * x6;
    x7 = x8 - (W3 + W5) * x7;

    x8 = x0 + x1;
    x0 -= x1;
    x1 = W6 * (x3 + x2);
    x2 = x1 - (W2 + W6) * x2;
    x3 = x1 + (W2 - W6) * x3;
    x1 = x4 + x6;
    x4 -= x6;
    x6 = x5 + x7;
    x5 -= x7;

    x7 = x8 + x3;
    x8 -= x3;
    x3 = x0 + x2;
    x0 -= x2;
    x2 = rotate181(x4 + x5);
    x4 = rotate181(x4 - x5);

    blk[0] = static_cast<int16_t>((x7 + x1) >> 8);
    blk[1] = static_cast<int16_t>((x3 + x2) >> 8);
    blk[2] = static_cast<int16_t>((x0 + x4) >> 8);
    blk[3] = static_cast<int16_t>((x8 + x6) >> 8);
    blk[4] = static_cast<int16_t>((x8 - x6) >> 8);
    blk[5] = static_cast<int16_t>((x0 - x4) >> 8);
    blk[6] = static_cast<int16_t>((x3 - x2) >> 8);
    blk[7] = static_cast<int16_t>((x7 - x1) >> 8);
}

inline int16_t clipIndex(const int16_t* coefClip, int32_t v) {
    // The clip table covers -512..511; wider values saturate first.
    if (v < -512) v = -512;
    if (v > 511) v = 511;
    return coefClip[v];
}

void idctColumn(int16_t* blk, const int16_t* coefClip) {
    int32_t x1 = blk[8 * 4] * 256, x2 = blk[8 * 6], x3 = blk[8 * 2], x4 = blk[8 * 1], x5 = blk[8 * 7],
            x6 = blk[8 * 5], x7 = blk[8 * 3];
    if (!(x1 | x2 | x3 | x4 | x5 | x6 | x7)) {
        const int16_t v = clipIndex(coefClip, (blk[0] + 32) >> 6);
        for (int i = 0; i < 8; ++i) blk[8 * i] = v;
        return;
    }
    int32_t x0 = blk[0] * 256 + 8192;
    int32_t x8 = W7 * (x4 + x5) + 4;
    x4 = (x8 + (W1 - W7) * x4) >> 3;
    x5 = (x8 - (W1 + W7) * x5) >> 3;
    x8 = W3 * (x6 + x7) + 4;
    x6 = (x8 - (W3 - W5) * x6) >> 3;
    x7 = (x8 - (W3 + W5) * x7) >> 3;

    x8 = x0 + x1;
    x0 -= x1;
    x1 = W6 * (x3 + x2) + 4;
    x2 = (x1 - (W2 + W6) * x2) >> 3;
    x3 = (x1 + (W2 - W6) * x3) >> 3;
    x1 = x4 + x6;
    x4 -= x6;
    x6 = x5 + x7;
    x5 -= x7;

    x7 = x8 + x3;
    x8 -= x3;
    x3 = x0 + x2;
    x0 -= x2;
    x2 = rotate181(x4 + x5);
    x4 = rotate181(x4 - x5);

    blk[8 * 0] = clipIndex(coefClip, (x7 + x1) >> 14);
    blk[8 * 1] = clipIndex(coefClip, (x3 + x2) >> 14);
    blk[8 * 2] = clipIndex(coefClip, (x0 + x4) >> 14);
    blk[8 * 3] = clipIndex(coefClip, (x8 + x6) >> 14);
    blk[8 * 4] = clipIndex(coefClip, (x8 - x6) >> 14);
    blk[8 * 5] = clipIndex(coefClip, (x0 - x4) >> 14);
    blk[8 * 6] = clipIndex(coefClip, (x3 - x2) >> 14);
    blk[8 * 7] = clipIndex(coefClip, (x7 - x1) >> 14);
}

}  // namespace

void forwardDctFloat(int16_t* block) {
    double d[64];
    for (int i = 0; i < 64; ++i) d[i] = block[i];
    for (int r = 0; r < 8; ++r) aanLine(d + 8 * r, 1);
    for (int c = 0; c < 8; ++c) aanLine(d + c, 8);
    const FloatScale& s = floatScale();
    for (int i = 0; i < 64; ++i) block[i] = static_cast<int16_t>(std::floor(s.v[i] * d[i] + 0.499999));
}

const double* forwardDctFloatScale() { return floatScale().v; }

void forwardDctInteger(int16_t* block) {
    int32_t d[64];
    for (int i = 0; i < 64; ++i) d[i] = block[i];
    for (int r = 0; r < 8; ++r) llmLine<0>(d + 8 * r, 1);
    for (int c = 0; c < 8; ++c) llmLine<1>(d + c, 8);
    for (int i = 0; i < 64; ++i) block[i] = static_cast<int16_t>((d[i] + 4) >> 3);
}

void inverseDctChenWang(int16_t* block, const int16_t* coefClip) {
    for (int r = 0; r < 8; ++r) idctRow(block + 8 * r);
    for (int c = 0; c < 8; ++c) idctColumn(block + c, coefClip);
}

void buildCoefficientClipTable(std::array<int16_t, 1024>& table) {
    for (int i = -512; i < 512; ++i)
        table[static_cast<size_t>(i + 512)] = static_cast<int16_t>(i < -256 ? -256 : i > 255 ? 255 : i);
}

TransformRoutines selectTransformRoutines(bool floating, int MMXMode, uint32_t features) {
    // Vector forms replace the plain ones only where they give the same
    // numbers, so the output depends on the DCT family alone.
    TransformRoutines t;
    t.forwardDct = floating ? forwardDctFloat : forwardDctInteger;
    t.inverseDct = inverseDctChenWang;
    t.blockDifference = blockDifferencePlain;
    t.blockReconstruct = blockReconstructPlain;
    t.quantizeNonIntraFast = quantizeNonIntraBlockFast;
    t.quantizeNonIntra = quantizeNonIntraBlock;
    t.quantizeIntra = quantizeIntraBlock;
    t.dequantizeIntra = dequantizeIntraBlock;
    t.dequantizeNonIntra = dequantizeNonIntraBlock;
    t.nonzeroMask = nonzeroMaskPlain;
    if (MMXMode < 1 || MMXMode > 4 || !(features & kCpuSse2)) return t;
    t.blockDifference = blockDifferenceSse2;
    t.blockReconstruct = blockReconstructSse2;
    t.quantizeNonIntraFast = quantizeNonIntraBlockFastSse2;
    t.quantizeNonIntra = quantizeNonIntraBlockSse2;
    t.quantizeIntra = quantizeIntraBlockSse2;
    t.dequantizeIntra = dequantizeIntraBlockSse2;
    t.dequantizeNonIntra = dequantizeNonIntraBlockSse2;
    t.nonzeroMask = nonzeroMaskSse2;
    if (MMXMode < 3 || !(features & kCpuAvx2)) return t;
    t.forwardDct = floating ? forwardDctFloatAvx2 : forwardDctIntegerAvx2;
    t.inverseDct = inverseDctChenWangAvx2;
    t.quantizeIntra = quantizeIntraBlockAvx2;
    t.dequantizeIntra = dequantizeIntraBlockAvx2;
    t.dequantizeNonIntra = dequantizeNonIntraBlockAvx2;
    t.quantizeNonIntraFast = quantizeNonIntraBlockFastAvx2;
    t.quantizeNonIntra = quantizeNonIntraBlockAvx2;
    return t;
}

}  // namespace quillon

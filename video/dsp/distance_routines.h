// Block distances for the motion search, reached through a routine table
// that is filled once per encode from the machine's routine set (MMXMode).
// Every variant of a routine gives the same result as its plain form.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace quillon {

// |a - b| for every pair of 8-bit values, indexed by 256 * a + b.
constexpr std::array<uint8_t, 65536> makeAbsDifferenceTable() {
    std::array<uint8_t, 65536> t{};
    for (int a = 0; a < 256; ++a)
        for (int b = 0; b < 256; ++b) t[static_cast<std::size_t>(256 * a + b)] = static_cast<uint8_t>(a > b ? a - b : b - a);
    return t;
}
extern const std::array<uint8_t, 65536> kAbsDifference;

// Blocks are 16 samples wide and h (16 or 8) lines high; lx is the line
// stride of both the reference and the current block.
using SadHalfPelFn = int (*)(const uint8_t* ref, const uint8_t* cur, int lx, int hx, int hy, int h, int limit);
using SseHalfPelFn = int (*)(const uint8_t* ref, const uint8_t* cur, int lx, int hx, int hy, int h);
using BidirectionalFn = int (*)(const uint8_t* refF, int hxf, int hyf, const uint8_t* refB, int hxb, int hyb,
                                const uint8_t* cur, int lx, int h);
using Variance16Fn = int (*)(const uint8_t* block, int lx);
using Sad4x4Fn = int (*)(const uint8_t* block, const uint8_t* ref, int stride, int limit);

// The integer stage of the block search: the distance at the centre (no
// limit), then rings 1..rings around it, ring k's 8k positions walked
// clockwise from (centreX - k, centreY - k), those inside the inclusive
// bounds taken; a distance strictly below the best replaces it, so ties
// keep the earlier position. Positions are sample offsets into source.
struct RingWindow {
    int centreX = 0, centreY = 0, rings = 0;
    int xLow = 0, xHigh = 0, yLow = 0, yHigh = 0;
};
struct RingBest {
    int x = 0, y = 0, distance = 0;
};
using RingSearchFn = RingBest (*)(const uint8_t* source, const uint8_t* block, int lx, int h, const RingWindow& w);

// The coarse search of the 4x4 block at (x0, y0) of current against anchor
// (quarter-resolution images of the given stride and size): rings up to
// range with the patience rule, positions x in max(0, x0 - range) up to
// but excluding min(width - 4, x0 + range - 1), y likewise.
struct CoarseBest {
    int x = 0, y = 0, distance = 0;
    int rings = 0;  // rings visited
};
using CoarseSearchFn = CoarseBest (*)(const uint8_t* current, const uint8_t* anchor, int stride, int width, int height,
                                      int x0, int y0, int range, int patience);

// The half-sample stage's nine distances in full around the integer
// position ref (sample offsets of one half sample either way):
// out[3 * (dy + 1) + (dx + 1)]. Reads lines -1..h and columns -1..16 of ref;
// h even.
using HalfSampleNineFn = void (*)(const uint8_t* ref, const uint8_t* cur, int lx, int h, int out[9]);

// One line of the quarter-resolution image: output c is the rounded mean of
// the 4x4 samples at column 4c of the four lines line0 + k * lineStep,
// written as a byte to out[c] and as an int to copy[c].
using QuarterLineFn = void (*)(const uint8_t* line0, ptrdiff_t lineStep, int columns, uint8_t* out, int* copy);

// Sum of absolute differences of two 8x8 blocks (the lookahead's quarter
// pictures), and of a block against the rounded-up mean of two others
// ((p + q + 1) >> 1 per sample); all with the same line stride.
using Sad8x8Fn = int (*)(const uint8_t* a, const uint8_t* b, int stride);
using SadAverage8x8Fn = int (*)(const uint8_t* cur, const uint8_t* p, const uint8_t* q, int stride);
// Sum of squared differences of n consecutive samples, n a multiple of 16
// up to 256 (a macroblock's plane against its prediction or rebuild).
using SquaredErrorFn = int (*)(const uint8_t* a, const uint8_t* b, int n);

struct MotionRoutines {
    SadHalfPelFn sadHalfPel = nullptr;
    SseHalfPelFn sseHalfPel = nullptr;
    BidirectionalFn sadBidirectional = nullptr;
    BidirectionalFn sseBidirectional = nullptr;
    Variance16Fn variance16 = nullptr;
    Sad4x4Fn sadSubsampled4x4 = nullptr;
    RingSearchFn ringSearch = nullptr;
    CoarseSearchFn coarseSearch = nullptr;
    // Null: the stage calls sadHalfPel per position.
    HalfSampleNineFn halfSampleNine = nullptr;
    QuarterLineFn quarterLine = nullptr;
    Sad8x8Fn sad8x8 = nullptr;
    SadAverage8x8Fn sadAverage8x8 = nullptr;
    SquaredErrorFn squaredError = nullptr;
};

// The plain forms.
int sadHalfPelPlain(const uint8_t* ref, const uint8_t* cur, int lx, int hx, int hy, int h, int limit);
int sseHalfPelPlain(const uint8_t* ref, const uint8_t* cur, int lx, int hx, int hy, int h);
int sadBidirectionalPlain(const uint8_t* refF, int hxf, int hyf, const uint8_t* refB, int hxb, int hyb,
                          const uint8_t* cur, int lx, int h);
int sseBidirectionalPlain(const uint8_t* refF, int hxf, int hyf, const uint8_t* refB, int hxb, int hyb,
                          const uint8_t* cur, int lx, int h);
int variance16Plain(const uint8_t* block, int lx);
// Variance of one 8x8 block read with the given line step (2x the width for a field).
double blockVariance8(const uint8_t* p, int step);
int sadSubsampled4x4Plain(const uint8_t* block, const uint8_t* ref, int stride, int limit);
RingBest ringSearchPlain(const uint8_t* source, const uint8_t* block, int lx, int h, const RingWindow& w);
// The vector forms keep the distance routines' results but test the best
// only every few lines: a distance that reaches it is dropped either way.
RingBest ringSearchSse2(const uint8_t* source, const uint8_t* block, int lx, int h, const RingWindow& w);
RingBest ringSearchAvx2(const uint8_t* source, const uint8_t* block, int lx, int h, const RingWindow& w);
void quarterLinePlain(const uint8_t* line0, ptrdiff_t lineStep, int columns, uint8_t* out, int* copy);
void quarterLineSse2(const uint8_t* line0, ptrdiff_t lineStep, int columns, uint8_t* out, int* copy);
int sad8x8Plain(const uint8_t* a, const uint8_t* b, int stride);
int sad8x8Sse2(const uint8_t* a, const uint8_t* b, int stride);
int sadAverage8x8Plain(const uint8_t* cur, const uint8_t* p, const uint8_t* q, int stride);
int sadAverage8x8Sse2(const uint8_t* cur, const uint8_t* p, const uint8_t* q, int stride);
int squaredErrorPlain(const uint8_t* a, const uint8_t* b, int n);
int squaredErrorSse2(const uint8_t* a, const uint8_t* b, int n);
void halfSampleNinePlain(const uint8_t* ref, const uint8_t* cur, int lx, int h, int out[9]);
CoarseBest coarseSearchPlain(const uint8_t* current, const uint8_t* anchor, int stride, int width, int height, int x0,
                             int y0, int range, int patience);
CoarseBest coarseSearchSse2(const uint8_t* current, const uint8_t* anchor, int stride, int width, int height, int x0,
                            int y0, int range, int patience);
CoarseBest coarseSearchAvx2(const uint8_t* current, const uint8_t* anchor, int stride, int width, int height, int x0,
                            int y0, int range, int patience);

// The routine table for a routine set: 0 (and anything outside 1..4) plain,
// 1 and 2 the SSE2 forms, 3 and 4 the AVX2 forms where they exist; a set
// the processor (features, detectCpuFeatures bits) lacks falls back to the
// next smaller one, down to the plain routines.
MotionRoutines selectMotionRoutines(int MMXMode, uint32_t features);

}  // namespace quillon

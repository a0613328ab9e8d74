// The block search's integer stage with AVX2, compiled with -mavx2.
//
// Small windows (the refinement around a coarse vector) have the first half
// of every position's lines summed up front, eight neighbours of a row at a
// time by the multiple-distance instruction; the ring walk reads them from
// a table and finishes a distance only where that half is below the best.
// It compares in the same order as the plain walk, and a distance it leaves
// unfinished is one the plain walk drops too, so the best position and its
// distance are the same.
//
// The coarse search's distances are one instruction each already; its walk
// lost most of its time to mispredicted comparisons, so here it compares
// without branches. (Its rows summed eight positions at a time, as above,
// measured slower.)
#include <immintrin.h>

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "video/dsp/ring_search.h"

namespace quillon {

namespace {

inline __m128i load16(const uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }

inline __m256i loadPair(const uint8_t* p, int lx) {
    return _mm256_inserti128_si256(_mm256_castsi128_si256(load16(p)), load16(p + lx), 1);
}

inline int total(__m256i v) {
    const __m128i x = _mm_add_epi64(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
    return _mm_cvtsi128_si32(x) + _mm_cvtsi128_si32(_mm_unpackhi_epi64(x, x));
}

// The distance of N lines at one position (curPairs: the block's lines in
// pairs, from the first of the N).
template <int N>
inline int someLines(const uint8_t* ref, const __m256i* curPairs, int lx) {
    __m256i acc = _mm256_setzero_si256();
    for (int j = 0; j < N / 2; ++j)
        acc = _mm256_add_epi64(acc, _mm256_sad_epu8(loadPair(ref + static_cast<ptrdiff_t>(2 * j) * lx, lx), curPairs[j]));
    return total(acc);
}

// The first N lines' distances at ref + 0..7 into out[0..7]. A line's low
// half takes the block's bytes 0..7 against the reference from ref, the
// high half bytes 8..15 against the reference from ref + 8; each
// instruction sums four bytes of the block at eight offsets. The sums stay
// below 2^16 (at most 16 lines of 16 differences of at most 255). The
// byte after the last position's is read but not used: the block's later
// lines, which the search reads anyway, lie beyond it.
template <int N>
inline void eightPartials(const uint8_t* ref, const __m256i* curLines, int lx, uint16_t* out) {
    __m256i acc0 = _mm256_setzero_si256(), acc1 = _mm256_setzero_si256();
    for (int j = 0; j < N; ++j) {
        const __m256i r = _mm256_inserti128_si256(_mm256_castsi128_si256(load16(ref)), load16(ref + 8), 1);
        // Low half: block bytes 0..3 at offset 0, 4..7 at offset 4; high
        // half: bytes 8..11 at offset 0, 12..15 at offset 4.
        acc0 = _mm256_add_epi16(acc0, _mm256_mpsadbw_epu8(r, curLines[j], 0x10));
        acc1 = _mm256_add_epi16(acc1, _mm256_mpsadbw_epu8(r, curLines[j], 0x3d));
        ref += lx;
    }
    const __m256i acc = _mm256_add_epi16(acc0, acc1);
    const __m128i s = _mm_add_epi16(_mm256_castsi256_si128(acc), _mm256_extracti128_si256(acc, 1));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), s);
}

// Rings up to this many use the table.
constexpr int kTableRings = 8;
constexpr int kTableSide = 2 * kTableRings + 1;

// The positions of rings 1..kTableRings in the walk's order (ring k's
// clockwise from its top left corner): offsets from the centre, and the
// same as table entries.
struct RingOrder {
    int8_t dx[4 * kTableRings * (kTableRings + 1)] = {}, dy[4 * kTableRings * (kTableRings + 1)] = {};
    int16_t offset[4 * kTableRings * (kTableRings + 1)] = {};
};
constexpr RingOrder makeRingOrder() {
    RingOrder o;
    int i = 0;
    for (int k = 1; k <= kTableRings; ++k) {
        int x = -k, y = -k;
        for (int side = 0; side < 4; ++side) {
            const int dx = side == 0 ? 1 : side == 2 ? -1 : 0;
            const int dy = side == 1 ? 1 : side == 3 ? -1 : 0;
            for (int step = 0; step < 2 * k; ++step, x += dx, y += dy, ++i) {
                o.dx[i] = static_cast<int8_t>(x);
                o.dy[i] = static_cast<int8_t>(y);
                o.offset[i] = static_cast<int16_t>(y * kTableSide + x);
            }
        }
    }
    return o;
}
constexpr RingOrder kRingOrder = makeRingOrder();

// The table holds the distance of every position's first half of the
// lines, eight neighbours at a time; the walk sums the second half only
// where the first is below the best so far, as a distance at least the
// best is dropped by the walk whatever its exact value.
template <int H>
RingBest searchTable(const uint8_t* source, const uint8_t* block, int lx, const RingWindow& w) {
    constexpr int N = H / 2;
    __m256i curLines[N], curPairs[H / 2];
    for (int j = 0; j < N; ++j)
        curLines[j] = _mm256_broadcastsi128_si256(load16(block + static_cast<ptrdiff_t>(lx) * j));
    for (int j = 0; j < H / 2; ++j) curPairs[j] = loadPair(block + static_cast<ptrdiff_t>(lx) * 2 * j, lx);
    const ptrdiff_t half = static_cast<ptrdiff_t>(lx) * N;

    const int R = w.rings;
    const int x0 = std::max(w.xLow, w.centreX - R), x1 = std::min(w.xHigh, w.centreX + R);
    const int y0 = std::max(w.yLow, w.centreY - R), y1 = std::min(w.yHigh, w.centreY + R);
    // Indexed by (y - centreY + R, x - centreX + R); only positions inside
    // the window are written, and only those are read.
    alignas(32) uint16_t table[kTableSide * kTableSide];
    for (int y = y0; y <= y1; ++y) {
        const uint8_t* line = source + static_cast<ptrdiff_t>(lx) * y;
        const int row = (y - w.centreY + R) * kTableSide + R - w.centreX;  // + x: the entry of x
        int x = x0;
        for (; x + 7 <= x1; x += 8) eightPartials<N>(line + x, curLines, lx, table + (row + x));
        // A tail of four or more: eight ending at the last position, when
        // the row has room for them inside the window.
        if (x1 - x >= 3 && x1 - 7 >= x0) {
            eightPartials<N>(line + x1 - 7, curLines, lx, table + (row + x1 - 7));
            x = x1 + 1;
        }
        for (; x <= x1; ++x) table[row + x] = static_cast<uint16_t>(someLines<N>(line + x, curPairs, lx));
    }
    auto rest = [&](int x, int y) {
        return someLines<H - N>(source + x + static_cast<ptrdiff_t>(lx) * y + half, curPairs + N / 2, lx);
    };
    const bool whole = w.centreX - R >= w.xLow && w.centreX + R <= w.xHigh && w.centreY - R >= w.yLow &&
                       w.centreY + R <= w.yHigh;
    if (whole) {
        // The common case, every ring inside the window: the walk is the
        // list of ring positions.
        const int centre = R * kTableSide + R;
        RingBest best{w.centreX, w.centreY, table[centre] + rest(w.centreX, w.centreY)};
        const int n = 4 * R * (R + 1);
        for (int i = 0; i < n; ++i) {
            const int first = table[centre + kRingOrder.offset[i]];
            if (first >= best.distance) continue;
            const int x = w.centreX + kRingOrder.dx[i], y = w.centreY + kRingOrder.dy[i];
            const int d = first + rest(x, y);
            if (d < best.distance) best = RingBest{x, y, d};
        }
        return best;
    }
    return walkRings(w, [&](int x, int y, int limit) {
        // Every ring position the walk asks for is inside the window; the
        // centre need not be.
        if (x < w.xLow || x > w.xHigh || y < w.yLow || y > w.yHigh)
            return someLines<H>(source + x + static_cast<ptrdiff_t>(lx) * y, curPairs, lx);
        const int first = table[(y - w.centreY + R) * kTableSide + R + x - w.centreX];
        if (first >= limit) return first;
        return first + rest(x, y);
    });
}

// Wider windows: one position at a time, eight lines between tests of the
// limit.
template <int H>
RingBest searchEach(const uint8_t* source, const uint8_t* block, int lx, const RingWindow& w) {
    __m256i cur[H / 2];
    for (int j = 0; j < H / 2; ++j) cur[j] = loadPair(block + static_cast<ptrdiff_t>(lx) * 2 * j, lx);
    return walkRings(w, [&](int x, int y, int limit) {
        const uint8_t* ref = source + x + static_cast<ptrdiff_t>(lx) * y;
        __m256i acc = _mm256_setzero_si256();
        int s = 0;
        for (int j = 0; j < H / 2; j += 4) {
            const __m256i a = _mm256_sad_epu8(loadPair(ref, lx), cur[j]);
            const __m256i b = _mm256_sad_epu8(loadPair(ref + 2 * lx, lx), cur[j + 1]);
            const __m256i c = _mm256_sad_epu8(loadPair(ref + 4 * lx, lx), cur[j + 2]);
            const __m256i d = _mm256_sad_epu8(loadPair(ref + 6 * lx, lx), cur[j + 3]);
            acc = _mm256_add_epi64(acc, _mm256_add_epi64(_mm256_add_epi64(a, b), _mm256_add_epi64(c, d)));
            s = total(acc);
            if (s >= limit) return s;
            ref += 8 * lx;
        }
        return s;
    });
}

// The coarse search's 4x4 block, its four lines side by side.
inline __m128i blockLines(const uint8_t* p, int stride) {
    int32_t a, b, c, d;
    std::memcpy(&a, p, 4);
    std::memcpy(&b, p + stride, 4);
    std::memcpy(&c, p + 2 * stride, 4);
    std::memcpy(&d, p + 3 * stride, 4);
    return _mm_set_epi32(d, c, b, a);
}

}  // namespace

// The plain walk (walkCoarseRings) without a branch on its comparisons: a
// ring's positions are taken in its order, each strictly smaller distance
// replacing the best by a select, and what the plain walk decides inside a
// ring is decided at its end. A best that changed resets the patience, as
// any change inside the ring did; a 0, where the plain walk stops at once,
// is kept as the ring's first 0 by the strict comparison and ends the walk
// with the same ring count.
CoarseBest coarseSearchAvx2(const uint8_t* current, const uint8_t* anchor, int stride, int width, int height, int x0,
                            int y0, int range, int patience) {
    const __m128i cur = blockLines(current + x0 + static_cast<ptrdiff_t>(stride) * y0, stride);
    auto at = [&](int x, int y) { return anchor + x + static_cast<ptrdiff_t>(stride) * y; };
    auto sum = [&](__m128i lines) {
        const __m128i s = _mm_sad_epu8(lines, cur);
        return _mm_cvtsi128_si32(s) + _mm_cvtsi128_si32(_mm_unpackhi_epi64(s, s));
    };
    auto line = [](const uint8_t* p) {
        int32_t v;
        std::memcpy(&v, p, 4);
        return v;
    };
    const int xLow = std::max(0, x0 - range), xEnd = std::min(width - 4, x0 + range - 1);
    const int yLow = std::max(0, y0 - range), yEnd = std::min(height - 4, y0 + range - 1);
    constexpr int kRingCounts[9] = {0, 1, 1, 0, 1, 0, 0, 0, 1};
    CoarseBest out;
    out.x = x0;
    out.y = y0;
    out.distance = sum(blockLines(at(x0, y0), stride));
    if (out.distance == 0) return out;
    int idle = 0;
    for (int k = 1; k <= range; ++k) {
        out.rings = k;
        int bd = out.distance, bx = out.x, by = out.y;
        auto take = [&](int d, int x, int y) {
            const bool better = d < bd;
            bd = better ? d : bd;
            bx = better ? x : bx;
            by = better ? y : by;
        };
        const int left = x0 - k, right = x0 + k, top = y0 - k, bottom = y0 + k;
        // Each side's positions inside the window, in the walk's order.
        const int xFirst = std::max(left, xLow), xLast = std::min(right, xEnd - 1);
        const int yFirst = std::max(top, yLow), yLast = std::min(bottom, yEnd - 1);
        if (top >= yLow)
            for (int x = xFirst; x <= std::min(right - 1, xEnd - 1); ++x) take(sum(blockLines(at(x, top), stride)), x, top);
        // Down a column a position's lines are the one above's moved up a
        // line and its last line; up a column the other way.
        if (right < xEnd && yFirst <= std::min(bottom - 1, yLast)) {
            __m128i lines = blockLines(at(right, yFirst), stride);
            take(sum(lines), right, yFirst);
            for (int y = yFirst + 1; y <= std::min(bottom - 1, yLast); ++y) {
                lines = _mm_insert_epi32(_mm_srli_si128(lines, 4), line(at(right, y + 3)), 3);
                take(sum(lines), right, y);
            }
        }
        if (bottom < yEnd)
            for (int x = xLast; x >= std::max(left + 1, xLow); --x) take(sum(blockLines(at(x, bottom), stride)), x, bottom);
        if (left >= xLow && std::max(top + 1, yFirst) <= yLast) {
            __m128i lines = blockLines(at(left, yLast), stride);
            take(sum(lines), left, yLast);
            for (int y = yLast - 1; y >= std::max(top + 1, yFirst); --y) {
                lines = _mm_insert_epi32(_mm_slli_si128(lines, 4), line(at(left, y)), 0);
                take(sum(lines), left, y);
            }
        }
        if (bd < out.distance) {
            out.distance = bd;
            out.x = bx;
            out.y = by;
            idle = 0;
            if (bd == 0) return out;
        }
        if (k <= 8 && kRingCounts[k]) {
            ++idle;
            if (idle > patience) break;
        }
    }
    return out;
}

RingBest ringSearchAvx2(const uint8_t* source, const uint8_t* block, int lx, int h, const RingWindow& w) {
    if (w.rings <= kTableRings)
        return h == 8 ? searchTable<8>(source, block, lx, w) : searchTable<16>(source, block, lx, w);
    return h == 8 ? searchEach<8>(source, block, lx, w) : searchEach<16>(source, block, lx, w);
}

}  // namespace quillon

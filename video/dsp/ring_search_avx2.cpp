// The block search's integer stage, two lines to a register: AVX2, compiled
// with -mavx2.
#include <immintrin.h>

#include <algorithm>
#include <cstring>

#include "video/dsp/ring_search.h"

namespace quillon {

namespace {

inline __m256i loadPair(const uint8_t* p, int lx) {
    const __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + lx));
    return _mm256_inserti128_si256(_mm256_castsi128_si256(lo), hi, 1);
}

inline int total(__m256i v) {
    const __m128i x = _mm_add_epi64(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
    return _mm_cvtsi128_si32(x) + _mm_cvtsi128_si32(_mm_unpackhi_epi64(x, x));
}

// Eight lines at a time between tests of the limit.
template <int H>
RingBest search(const uint8_t* source, const uint8_t* block, int lx, const RingWindow& w) {
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

// The coarse search's distances come a row of positions at a time: four
// eight-position distance instructions (one per block line) give eight
// exact distances. Ring k adds rows y0 - k and y0 + k, so a search that
// ends early pays for few, and the walk reads the rows directly: the same
// positions in the same order with the same comparisons as walkCoarseRings.
constexpr int kCoarseBulkRange = 48;

struct CoarseRows {
    const uint8_t* anchor;
    int stride, width;
    int xLow, xEnd;
    __m128i cur[4];    // the block's lines, each in the low four bytes
    __m128i gathered;  // the block's four lines side by side
    uint16_t dist[2 * kCoarseBulkRange][2 * kCoarseBulkRange + 8];

    static __m128i lines(const uint8_t* p, int stride) {
        int32_t a, b, c, d;
        std::memcpy(&a, p, 4);
        std::memcpy(&b, p + stride, 4);
        std::memcpy(&c, p + 2 * stride, 4);
        std::memcpy(&d, p + 3 * stride, 4);
        return _mm_set_epi32(d, c, b, a);
    }
    int single(int x, int y) const {
        const __m128i s = _mm_sad_epu8(lines(anchor + x + static_cast<ptrdiff_t>(stride) * y, stride), gathered);
        return _mm_cvtsi128_si32(s) + _mm_cvtsi128_si32(_mm_unpackhi_epi64(s, s));
    }
    void make(int row, int y) {
        const uint8_t* a = anchor + static_cast<ptrdiff_t>(stride) * y;
        uint16_t* out = dist[row];
        int x = xLow;
        // Sixteen bytes read from x stay inside the line while x + 16 <= width.
        for (; x < xEnd && x + 16 <= width; x += 8) {
            __m128i s = _mm_mpsadbw_epu8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(a + x)), cur[0], 0);
            for (int j = 1; j < 4; ++j)
                s = _mm_add_epi16(s, _mm_mpsadbw_epu8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(
                                                          a + x + static_cast<ptrdiff_t>(stride) * j)),
                                                      cur[j], 0));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + (x - xLow)), s);
        }
        for (; x < xEnd; ++x) out[x - xLow] = static_cast<uint16_t>(single(x, y));
    }
};

}  // namespace

CoarseBest coarseSearchAvx2(const uint8_t* current, const uint8_t* anchor, int stride, int width, int height, int x0,
                            int y0, int range, int patience) {
    if (range > kCoarseBulkRange) return coarseSearchSse2(current, anchor, stride, width, height, x0, y0, range, patience);
    constexpr int kRingCounts[9] = {0, 1, 1, 0, 1, 0, 0, 0, 1};
    const uint8_t* block = current + x0 + static_cast<ptrdiff_t>(stride) * y0;
    CoarseRows rows;
    rows.anchor = anchor;
    rows.stride = stride;
    rows.width = width;
    const int xLow = rows.xLow = std::max(0, x0 - range);
    const int xEnd = rows.xEnd = std::min(width - 4, x0 + range - 1);
    const int yLow = std::max(0, y0 - range), yEnd = std::min(height - 4, y0 + range - 1);
    for (int j = 0; j < 4; ++j) {
        int32_t v;
        std::memcpy(&v, block + static_cast<ptrdiff_t>(stride) * j, 4);
        rows.cur[j] = _mm_cvtsi32_si128(v);
    }
    rows.gathered = CoarseRows::lines(block, stride);

    CoarseBest out;
    out.x = x0;
    out.y = y0;
    // The centre may lie outside the window (the last column or row).
    out.distance = rows.single(x0, y0);
    if (out.distance == 0) return out;
    if (y0 >= yLow && y0 < yEnd) rows.make(y0 - yLow, y0);
    int idle = 0;
    for (int k = 1; k <= range; ++k) {
        out.rings = k;
        const int top = y0 - k, bottom = y0 + k, left = x0 - k, right = x0 + k;
        if (top >= yLow && top < yEnd) rows.make(top - yLow, top);
        if (bottom >= yLow && bottom < yEnd) rows.make(bottom - yLow, bottom);
        // The ring's sides, clipped to the window, in walk order: the top
        // row left to right, the right column down, the bottom row right to
        // left, the left column up. A walk with strict comparisons ends the
        // ring on the first position of the ring's smallest distance, when
        // that is below the best; so the ring's minimum is found without
        // branches and the position looked for only then.
        const int tx0 = std::max(left, xLow), tx1 = std::min(right - 1, xEnd - 1);
        const int ry0 = std::max(top, yLow), ry1 = std::min(bottom - 1, yEnd - 1);
        const int bx0 = std::min(right, xEnd - 1), bx1 = std::max(left + 1, xLow);
        const int ly0 = std::min(bottom, yEnd - 1), ly1 = std::max(top + 1, yLow);
        const bool hasTop = top >= yLow && top < yEnd && tx0 <= tx1;
        const bool hasRight = right >= xLow && right < xEnd && ry0 <= ry1;
        const bool hasBottom = bottom >= yLow && bottom < yEnd && bx1 <= bx0;
        const bool hasLeft = left >= xLow && left < xEnd && ly1 <= ly0;
        int least = 65535;
        if (hasTop)
            for (const uint16_t *p = rows.dist[top - yLow] + (tx0 - xLow), *e = p + (tx1 - tx0 + 1); p < e; ++p)
                least = std::min<int>(least, *p);
        if (hasRight)
            for (int y = ry0; y <= ry1; ++y) least = std::min<int>(least, rows.dist[y - yLow][right - xLow]);
        if (hasBottom)
            for (const uint16_t *p = rows.dist[bottom - yLow] + (bx1 - xLow), *e = p + (bx0 - bx1 + 1); p < e; ++p)
                least = std::min<int>(least, *p);
        if (hasLeft)
            for (int y = ly1; y <= ly0; ++y) least = std::min<int>(least, rows.dist[y - yLow][left - xLow]);
        const bool improved = least < out.distance;
        if (improved) {
            auto found = [&](int x, int y) {
                out.distance = least;
                out.x = x;
                out.y = y;
            };
            bool done = false;
            if (hasTop)
                for (int x = tx0; x <= tx1 && !done; ++x)
                    if (rows.dist[top - yLow][x - xLow] == least) found(x, top), done = true;
            if (hasRight)
                for (int y = ry0; y <= ry1 && !done; ++y)
                    if (rows.dist[y - yLow][right - xLow] == least) found(right, y), done = true;
            if (hasBottom)
                for (int x = bx0; x >= bx1 && !done; --x)
                    if (rows.dist[bottom - yLow][x - xLow] == least) found(x, bottom), done = true;
            if (hasLeft)
                for (int y = ly0; y >= ly1 && !done; --y)
                    if (rows.dist[y - yLow][left - xLow] == least) found(left, y), done = true;
            if (least == 0) return out;
        }
        if (improved) idle = 0;
        if (k <= 8 && kRingCounts[k]) {
            ++idle;
            if (idle > patience) break;
        }
    }
    return out;
}

RingBest ringSearchAvx2(const uint8_t* source, const uint8_t* block, int lx, int h, const RingWindow& w) {
    return h == 8 ? search<8>(source, block, lx, w) : search<16>(source, block, lx, w);
}

}  // namespace quillon

#include "video/dsp/distance_routines.h"

#include <algorithm>
#include <climits>
#include <cstddef>

#include "platform/cpu_features.h"
#include "video/dsp/ring_search.h"
#include "video/dsp/simd_routines.h"

namespace quillon {

constinit const std::array<uint8_t, 65536> kAbsDifference = makeAbsDifferenceTable();

namespace {

inline int absDiff(int a, int b) { return kAbsDifference[static_cast<std::size_t>((a << 8) | b)]; }

}  // namespace

int sadHalfPelPlain(const uint8_t* ref, const uint8_t* cur, int lx, int hx, int hy, int h, int limit) {
    int s = 0;
    if (!hx && !hy) {
        // Only integer positions may stop early: the half-sample positions
        // are few and always summed in full.
        for (int j = 0; j < h; ++j) {
            for (int i = 0; i < 16; ++i) s += absDiff(ref[i], cur[i]);
            if (s >= limit) return s;
            ref += lx;
            cur += lx;
        }
        return s;
    }
    if (hx && !hy) {
        for (int j = 0; j < h; ++j) {
            for (int i = 0; i < 16; ++i) s += absDiff((ref[i] + ref[i + 1] + 1) >> 1, cur[i]);
            ref += lx;
            cur += lx;
        }
        return s;
    }
    if (!hx) {
        const uint8_t* below = ref + lx;
        for (int j = 0; j < h; ++j) {
            for (int i = 0; i < 16; ++i) s += absDiff((ref[i] + below[i] + 1) >> 1, cur[i]);
            ref += lx;
            below += lx;
            cur += lx;
        }
        return s;
    }
    const uint8_t* below = ref + lx;
    for (int j = 0; j < h; ++j) {
        for (int i = 0; i < 16; ++i)
            s += absDiff((ref[i] + ref[i + 1] + below[i] + below[i + 1] + 2) >> 2, cur[i]);
        ref += lx;
        below += lx;
        cur += lx;
    }
    return s;
}

int sseHalfPelPlain(const uint8_t* ref, const uint8_t* cur, int lx, int hx, int hy, int h) {
    int s = 0;
    const uint8_t* right = ref + (hx ? 1 : 0);
    const uint8_t* below = ref + (hy ? lx : 0);
    const uint8_t* diag = below + (hx ? 1 : 0);
    for (int j = 0; j < h; ++j) {
        if (!hx && !hy) {
            for (int i = 0; i < 16; ++i) {
                int d = ref[i] - cur[i];
                s += d * d;
            }
        } else if (hx && hy) {
            for (int i = 0; i < 16; ++i) {
                int d = ((ref[i] + right[i] + below[i] + diag[i] + 2) >> 2) - cur[i];
                s += d * d;
            }
        } else {
            const uint8_t* other = hx ? right : below;
            for (int i = 0; i < 16; ++i) {
                int d = ((ref[i] + other[i] + 1) >> 1) - cur[i];
                s += d * d;
            }
        }
        ref += lx;
        right += lx;
        below += lx;
        diag += lx;
        cur += lx;
    }
    return s;
}

namespace {

// The bidirectional prediction of one sample: each direction's four-sample
// average (neighbours repeat where a half flag is clear), then the mean of
// the two directions.
struct BidirectionalPredictor {
    const uint8_t *fa, *fb, *fc, *fd;
    const uint8_t *ba, *bb, *bc, *bd;
    BidirectionalPredictor(const uint8_t* refF, int hxf, int hyf, const uint8_t* refB, int hxb, int hyb, int lx)
        : fa(refF), fb(refF + hxf), fc(refF + (hyf ? lx : 0)), fd(fc + hxf),
          ba(refB), bb(refB + hxb), bc(refB + (hyb ? lx : 0)), bd(bc + hxb) {}
    int at(int i) const {
        int f = (fa[i] + fb[i] + fc[i] + fd[i] + 2) >> 2;
        int b = (ba[i] + bb[i] + bc[i] + bd[i] + 2) >> 2;
        return (f + b + 1) >> 1;
    }
    void nextLine(int lx) {
        fa += lx; fb += lx; fc += lx; fd += lx;
        ba += lx; bb += lx; bc += lx; bd += lx;
    }
};

}  // namespace

int sadBidirectionalPlain(const uint8_t* refF, int hxf, int hyf, const uint8_t* refB, int hxb, int hyb,
                          const uint8_t* cur, int lx, int h) {
    BidirectionalPredictor p(refF, hxf ? 1 : 0, hyf, refB, hxb ? 1 : 0, hyb, lx);
    int s = 0;
    for (int j = 0; j < h; ++j) {
        for (int i = 0; i < 16; ++i) s += absDiff(p.at(i), cur[i]);
        p.nextLine(lx);
        cur += lx;
    }
    return s;
}

int sseBidirectionalPlain(const uint8_t* refF, int hxf, int hyf, const uint8_t* refB, int hxb, int hyb,
                          const uint8_t* cur, int lx, int h) {
    BidirectionalPredictor p(refF, hxf ? 1 : 0, hyf, refB, hxb ? 1 : 0, hyb, lx);
    int s = 0;
    for (int j = 0; j < h; ++j) {
        for (int i = 0; i < 16; ++i) {
            int d = p.at(i) - cur[i];
            s += d * d;
        }
        p.nextLine(lx);
        cur += lx;
    }
    return s;
}

double blockVariance8(const uint8_t* p, int step) {
    int sum = 0, sumSq = 0;
    for (int y = 0; y < 8; ++y, p += step)
        for (int x = 0; x < 8; ++x) {
            sum += p[x];
            sumSq += p[x] * p[x];
        }
    const double mean = sum / 64.0;
    return sumSq / 64.0 - mean * mean;
}

int variance16Plain(const uint8_t* block, int lx) {
    int sum = 0;
    int squares = 0;
    for (int j = 0; j < 16; ++j) {
        for (int i = 0; i < 16; ++i) {
            int v = block[i];
            sum += v;
            squares += v * v;
        }
        block += lx;
    }
    // The squared sum of a bright block passes 2^31.
    return squares - static_cast<int>((static_cast<int64_t>(sum) * sum) >> 8);
}

int sadSubsampled4x4Plain(const uint8_t* block, const uint8_t* ref, int stride, int limit) {
    int s = 0;
    for (int j = 0; j < 4; ++j) {
        for (int i = 0; i < 4; ++i) s += absDiff(block[i], ref[i]);
        if (s >= limit) return s;
        block += stride;
        ref += stride;
    }
    return s;
}

RingBest ringSearchPlain(const uint8_t* source, const uint8_t* block, int lx, int h, const RingWindow& w) {
    return walkRings(w, [&](int x, int y, int limit) {
        return sadHalfPelPlain(source + x + static_cast<ptrdiff_t>(lx) * y, block, lx, 0, 0, h, limit);
    });
}

void quarterLinePlain(const uint8_t* line0, ptrdiff_t lineStep, int columns, uint8_t* out, int* copy) {
    for (int c = 0; c < columns; ++c) {
        int sum = 0;
        for (int k = 0; k < 4; ++k) {
            const uint8_t* p = line0 + lineStep * k + 4 * c;
            sum += p[0] + p[1] + p[2] + p[3];
        }
        out[c] = static_cast<uint8_t>((sum + 8) >> 4);
        copy[c] = (sum + 8) >> 4;
    }
}

int sad8x8Plain(const uint8_t* a, const uint8_t* b, int stride) {
    int sum = 0;
    for (int r = 0; r < 8; ++r, a += stride, b += stride)
        for (int x = 0; x < 8; ++x) sum += absDiff(a[x], b[x]);
    return sum;
}

int sadAverage8x8Plain(const uint8_t* cur, const uint8_t* p, const uint8_t* q, int stride) {
    int sum = 0;
    for (int r = 0; r < 8; ++r, cur += stride, p += stride, q += stride)
        for (int x = 0; x < 8; ++x) sum += absDiff(cur[x], (p[x] + q[x] + 1) >> 1);
    return sum;
}

int squaredErrorPlain(const uint8_t* a, const uint8_t* b, int n) {
    int sum = 0;
    for (int i = 0; i < n; ++i) {
        const int d = a[i] - b[i];
        sum += d * d;
    }
    return sum;
}

void halfSampleNinePlain(const uint8_t* ref, const uint8_t* cur, int lx, int h, int out[9]) {
    for (int dy = -1; dy <= 1; ++dy)
        for (int dx = -1; dx <= 1; ++dx) {
            const int x = dx < 0 ? -1 : 0, y = dy < 0 ? -1 : 0;
            out[3 * (dy + 1) + dx + 1] = sadHalfPelPlain(ref + x + static_cast<ptrdiff_t>(lx) * y, cur, lx, dx != 0,
                                                        dy != 0, h, INT_MAX);
        }
}

CoarseBest coarseSearchPlain(const uint8_t* current, const uint8_t* anchor, int stride, int width, int height, int x0,
                             int y0, int range, int patience) {
    const uint8_t* block = current + x0 + static_cast<ptrdiff_t>(stride) * y0;
    return walkCoarseRings(x0, y0, std::max(0, x0 - range), std::min(width - 4, x0 + range - 1), std::max(0, y0 - range),
                           std::min(height - 4, y0 + range - 1), range, patience, [&](int x, int y, int limit) {
                               return sadSubsampled4x4Plain(block, anchor + x + static_cast<ptrdiff_t>(stride) * y,
                                                            stride, limit);
                           });
}

MotionRoutines selectMotionRoutines(int MMXMode, uint32_t features) {
    MotionRoutines r;
    r.sadHalfPel = sadHalfPelPlain;
    r.sseHalfPel = sseHalfPelPlain;
    r.sadBidirectional = sadBidirectionalPlain;
    r.sseBidirectional = sseBidirectionalPlain;
    r.variance16 = variance16Plain;
    r.sadSubsampled4x4 = sadSubsampled4x4Plain;
    r.ringSearch = ringSearchPlain;
    r.coarseSearch = coarseSearchPlain;
    r.quarterLine = quarterLinePlain;
    r.sad8x8 = sad8x8Plain;
    r.sadAverage8x8 = sadAverage8x8Plain;
    r.squaredError = squaredErrorPlain;
    if (MMXMode < 1 || MMXMode > 4 || !(features & kCpuSse2)) return r;
    r.sadHalfPel = sadHalfPelSse2;
    r.sseHalfPel = sseHalfPelSse2;
    r.sadBidirectional = sadBidirectionalSse2;
    r.sseBidirectional = sseBidirectionalSse2;
    r.variance16 = variance16Sse2;
    r.sadSubsampled4x4 = sadSubsampled4x4Sse2;
    r.ringSearch = ringSearchSse2;
    r.coarseSearch = coarseSearchSse2;
    r.quarterLine = quarterLineSse2;
    r.sad8x8 = sad8x8Sse2;
    r.sadAverage8x8 = sadAverage8x8Sse2;
    r.squaredError = squaredErrorSse2;
    if (MMXMode < 3 || !(features & kCpuAvx2)) return r;
    r.sadHalfPel = sadHalfPelAvx2;
    r.sseHalfPel = sseHalfPelAvx2;
    r.sadBidirectional = sadBidirectionalAvx2;
    r.sseBidirectional = sseBidirectionalAvx2;
    r.ringSearch = ringSearchAvx2;
    r.coarseSearch = coarseSearchAvx2;
    r.halfSampleNine = halfSampleNineAvx2;
    return r;
}

}  // namespace quillon

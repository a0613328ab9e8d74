// The ring walk shared by the forms of the block search's integer stage;
// Distance(x, y, limit) gives the block distance at (x, y), exact when it is
// below limit and at least limit otherwise.
#pragma once

#include "video/dsp/distance_routines.h"

namespace quillon {

template <typename Distance>
inline RingBest walkRings(const RingWindow& w, Distance distance) {
    RingBest best;
    best.x = w.centreX;
    best.y = w.centreY;
    best.distance = distance(best.x, best.y, 65536);
    for (int k = 1; k <= w.rings; ++k) {
        int x = w.centreX - k, y = w.centreY - k;
        for (int side = 0; side < 4; ++side) {
            const int dx = side == 0 ? 1 : side == 2 ? -1 : 0;
            const int dy = side == 1 ? 1 : side == 3 ? -1 : 0;
            for (int step = 0; step < 2 * k; ++step, x += dx, y += dy) {
                if (x < w.xLow || x > w.xHigh || y < w.yLow || y > w.yHigh) continue;
                const int d = distance(x, y, best.distance);
                if (d < best.distance) {
                    best.distance = d;
                    best.x = x;
                    best.y = y;
                }
            }
        }
    }
    return best;
}

// The coarse search's ring walk on quarter-resolution images: positions x
// in xLow..xEnd - 1 (y likewise), an exact 0 ends it at once, and rings
// 1..8 marked in the flag table count towards the patience.
template <typename Distance>
inline CoarseBest walkCoarseRings(int x0, int y0, int xLow, int xEnd, int yLow, int yEnd, int range, int patience,
                                  Distance distance) {
    constexpr int kRingCounts[9] = {0, 1, 1, 0, 1, 0, 0, 0, 1};
    CoarseBest out;
    out.x = x0;
    out.y = y0;
    out.distance = distance(x0, y0, 65536);
    if (out.distance == 0) return out;
    int idle = 0;
    for (int k = 1; k <= range; ++k) {
        out.rings = k;
        int x = x0 - k, y = y0 - k;
        for (int side = 0; side < 4; ++side) {
            const int dx = side == 0 ? 1 : side == 2 ? -1 : 0;
            const int dy = side == 1 ? 1 : side == 3 ? -1 : 0;
            for (int step = 0; step < 2 * k; ++step, x += dx, y += dy) {
                if (x < xLow || x >= xEnd || y < yLow || y >= yEnd) continue;
                const int d = distance(x, y, out.distance);
                if (d < out.distance) {
                    out.distance = d;
                    out.x = x;
                    out.y = y;
                    idle = 0;
                    if (d == 0) return out;
                }
            }
        }
        if (k <= 8 && kRingCounts[k]) {
            ++idle;
            if (idle > patience) break;
        }
    }
    return out;
}

}  // namespace quillon

#include "video/encoder/predictive_search.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "video/encoder/rate_interface.h"
#include "video/encoder/rd_cost.h"

namespace quillon {

int motionDeltaBits(int delta, int fCode) {
    // Lengths of the motion_code codes 0..16, sign included.
    static constexpr int kCodeBits[17] = {1, 3, 4, 5, 7, 8, 8, 8, 10, 10, 10, 11, 11, 11, 11, 11, 11};
    if (delta == 0) return 1;
    const int rSize = fCode - 1;
    const int f = 1 << rSize;
    int code = (std::abs(delta) + f - 1) / f;
    if (code > 16) code = 16;
    return kCodeBits[code] + rSize;
}

double vectorLambda(int mquant, int pictureType, int percent) {
    if (percent <= 0) return 0;
    // The distance is a sum of absolute differences: its weight per bit is
    // about the square root of the squared-error one.
    return std::sqrt(rdLambda(mquant, pictureType, 100)) * percent / 100.0;
}

int searchMquant(const VideoEncoder& enc) {
    if (enc.constantBitrate() && enc.rcStats.mquantCount > 0) return static_cast<int>(enc.rcStats.avgMquant + 0.5);
    return fixedMquant(enc);
}

SearchResult chooseVectorByCost(const MotionRoutines& r, const VectorChoice& c, const SearchResult& found,
                                const int (*extra)[2], int extraCount) {
    auto bits = [&](int hx, int hy) {
        return motionDeltaBits(hx - 2 * c.x - c.predictorX, c.fCode[0]) +
               motionDeltaBits(hy - 2 * c.y - c.predictorY, c.fCode[1]);
    };
    SearchResult best = found;
    double bestCost = found.distance + c.lambda * bits(found.x, found.y);
    auto tryVector = [&](int mx, int my) {
        const int hx = 2 * c.x + mx, hy = 2 * c.y + my;
        if (hx < c.xLow || hx > c.xHigh || hy < c.yLow || hy > c.yHigh) return;
        if (hx == best.x && hy == best.y) return;
        const double rate = c.lambda * bits(hx, hy);
        if (rate >= bestCost) return;
        // The distance routine stops once it passes its limit.
        const int limit = static_cast<int>(bestCost - rate) + 1;
        const int d = r.sadHalfPel(c.recon + (hx >> 1) + c.lx * (hy >> 1), c.block, c.lx, hx & 1, hy & 1, c.h, limit);
        if (d + rate < bestCost) {
            bestCost = d + rate;
            best = SearchResult{d, hx, hy};
        }
    };
    tryVector(c.predictorX, c.predictorY);
    tryVector(0, 0);
    for (int i = 0; i < extraCount; ++i) tryVector(extra[i][0], extra[i][1]);
    return best;
}

RingBest predictiveIntegerSearch(const MotionRoutines& r, const uint8_t* source, const uint8_t* block, int lx, int h,
                                 const PredictiveWindow& w, const int (*candidates)[2], int count) {
    auto rate = [&](int px, int py) {
        return w.lambda * (motionDeltaBits(2 * (px - w.x) - w.predictorX, w.fCode[0]) +
                           motionDeltaBits(2 * (py - w.y) - w.predictorY, w.fCode[1]));
    };
    RingBest best{std::clamp(w.x, w.xLow, w.xHigh), std::clamp(w.y, w.yLow, w.yHigh), 0};
    double bestCost = 1e300;
    auto tryPosition = [&](int px, int py) {
        if (px < w.xLow || px > w.xHigh || py < w.yLow || py > w.yHigh) return false;
        const double bits = rate(px, py);
        if (bits >= bestCost) return false;
        // Past this the position cannot win; the routine stops there.
        const int limit = bestCost > 1e9 ? 1 << 30 : static_cast<int>(bestCost - bits) + 1;
        const int d = r.sadHalfPel(source + px + static_cast<ptrdiff_t>(lx) * py, block, lx, 0, 0, h, limit);
        if (d + bits < bestCost) {
            bestCost = d + bits;
            best = RingBest{px, py, d};
            return true;
        }
        return false;
    };
    tryPosition(best.x, best.y);
    for (int i = 0; i < count; ++i) {
        // Half-sample vectors round towards minus infinity.
        const int px = w.x + (candidates[i][0] >> 1), py = w.y + (candidates[i][1] >> 1);
        if (px == best.x && py == best.y) continue;
        tryPosition(px, py);
    }
    static constexpr int kDiamond[4][2] = {{0, -1}, {-1, 0}, {1, 0}, {0, 1}};
    for (int step = 0; step < w.steps; ++step) {
        const int cx = best.x, cy = best.y;
        bool moved = false;
        for (const auto& d : kDiamond) moved |= tryPosition(cx + d[0], cy + d[1]);
        if (!moved) break;
    }
    return best;
}

}  // namespace quillon

#include "video/encoder/predictive_search.h"

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

}  // namespace quillon

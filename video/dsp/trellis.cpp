#include "video/dsp/trellis.h"

#include <cstdlib>
#include <limits>

#include "video/dsp/vlc_tables.h"

namespace quillon {

int runLevelBits(bool mpeg2, bool tableB15, int run, int magnitude) {
    if ((run < 2 && magnitude <= 40) || (run >= 2 && run <= 31 && magnitude <= 5)) {
        const VlcCode& c = (tableB15 ? kTableB15 : kTableB14)[static_cast<size_t>(run)][static_cast<size_t>(magnitude)];
        if (c.length != 0) return c.length + 1;
    }
    if (mpeg2) return 24;
    return magnitude > 127 ? 28 : 20;
}

int reconstructedMagnitude(const TrellisBlock& b, int natural, int magnitude) {
    if (magnitude == 0) return 0;
    const int w = b.weights[natural];
    int v = b.intra ? magnitude * w * b.mquant / 16 : (2 * magnitude + 1) * w * b.mquant / 32;
    // MPEG-1 makes every rebuilt value odd, towards zero.
    if (!b.mpeg2 && v != 0 && (v & 1) == 0) v -= 1;
    return v > 2047 ? 2047 : v;
}

namespace {

int endOfBlockBits(const TrellisBlock& b) { return b.intra && b.tableB15 ? 4 : 2; }

// The code of a first non-intra coefficient: +-1 at position 0 has its own.
int firstBits(const TrellisBlock& b, int position, int magnitude) {
    if (!b.intra && position == 0 && magnitude == 1) return 2;
    return runLevelBits(b.mpeg2, b.tableB15, b.intra ? position - 1 : position, magnitude);
}

double squared(double v) { return v * v; }

}  // namespace

bool trellisQuantise(const TrellisBlock& b, const int16_t* coefficients, int16_t* levels) {
    // Candidate positions: those with a rounded level. A zero level never
    // turns into a non-zero one.
    int position[64];
    int count = 0;
    for (int n = b.intra ? 1 : 0; n < 64; ++n)
        if (levels[b.scan[n]] != 0) position[count++] = n;
    if (count == 0) return false;

    // Per candidate and option (0: the rounded magnitude, 1: one less): the
    // magnitude, and the best cost of a code ending there, measured against
    // every candidate being zero.
    int magnitude[64][2];
    double best[64][2];
    int from[64][2];  // previous candidate * 2 + option, -1 for the first code
    const double lambda = b.lambda;
    double bestEnd = b.intra ? lambda * endOfBlockBits(b) : 0.0;  // every level zero
    int bestLast = -1;
    for (int j = 0; j < count; ++j) {
        const int n = position[j];
        const int natural = b.scan[n];
        const int x = std::abs(coefficients[natural]);
        const int rounded = std::abs(levels[natural]);
        const double zero = squared(x);
        for (int o = 0; o < 2; ++o) {
            const int m = rounded - o;
            magnitude[j][o] = m;
            best[j][o] = std::numeric_limits<double>::infinity();
            from[j][o] = -1;
            if (m < 1) continue;
            const double gain = squared(x - reconstructedMagnitude(b, natural, m)) - zero;
            double cost = lambda * firstBits(b, n, m);
            int parent = -1;
            // With a short look-back a code follows one of the few
            // candidates before it: longer runs of dropped levels seldom
            // pay, and the rounded choice (every candidate kept) stays
            // among the paths.
            for (int i = j > b.lookBack ? j - b.lookBack : 0; i < j; ++i) {
                const int run = n - position[i] - 1;
                for (int u = 0; u < 2; ++u) {
                    if (magnitude[i][u] < 1) continue;
                    const double c = best[i][u] + lambda * runLevelBits(b.mpeg2, b.tableB15, run, m);
                    if (c < cost) {
                        cost = c;
                        parent = 2 * i + u;
                    }
                }
            }
            best[j][o] = cost + gain;
            from[j][o] = parent;
            const double end = best[j][o] + lambda * endOfBlockBits(b);
            if (end < bestEnd) {
                bestEnd = end;
                bestLast = 2 * j + o;
            }
        }
    }

    for (int j = 0; j < count; ++j) levels[b.scan[position[j]]] = 0;
    bool any = false;
    for (int at = bestLast; at >= 0; at = from[at / 2][at % 2]) {
        const int j = at / 2;
        const int natural = b.scan[position[j]];
        const int m = magnitude[j][at % 2];
        levels[natural] = static_cast<int16_t>(coefficients[natural] < 0 ? -m : m);
        any = true;
    }
    return any;
}

double trellisCost(const TrellisBlock& b, const int16_t* coefficients, const int16_t* levels) {
    double distortion = 0;
    int bits = 0, last = b.intra ? 0 : -1;
    bool first = true;
    for (int n = b.intra ? 1 : 0; n < 64; ++n) {
        const int natural = b.scan[n];
        const int m = std::abs(levels[natural]);
        distortion += squared(std::abs(coefficients[natural]) - reconstructedMagnitude(b, natural, m));
        if (m == 0) continue;
        bits += first ? firstBits(b, n, m) : runLevelBits(b.mpeg2, b.tableB15, n - last - 1, m);
        first = false;
        last = n;
    }
    if (!first || b.intra) bits += endOfBlockBits(b);
    return distortion + b.lambda * bits;
}

}  // namespace quillon

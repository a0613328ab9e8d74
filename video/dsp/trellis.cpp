#include "video/dsp/trellis.h"

#include <cstdlib>
#include <limits>

#include "video/dsp/vlc_tables.h"

namespace quillon {

namespace {

// The escape of the syntax (sign included).
int escapeBits(bool mpeg2, int magnitude) {
    if (mpeg2) return 24;
    return magnitude > 127 ? 28 : 20;
}

// Run/level bits of one code set (MPEG-1, MPEG-2 table B-14, table B-15)
// as a flat table: the search asks for them thousands of times a block,
// and the table's gaps and the escapes cost branches there. Magnitudes past
// the table's last column are always escapes.
struct BitsTable {
    static constexpr int kMagnitudes = 41;
    uint8_t bits[64][kMagnitudes];
    bool mpeg2;

    BitsTable(bool isMpeg2, bool tableB15) : mpeg2(isMpeg2) {
        for (int run = 0; run < 64; ++run) {
            for (int m = 0; m < kMagnitudes; ++m) {
                int n = escapeBits(mpeg2, m);
                if (run < 32 && m > 0) {
                    const VlcCode& c = (tableB15 ? kTableB15 : kTableB14)[static_cast<size_t>(run)][static_cast<size_t>(m)];
                    if (c.length != 0) n = c.length + 1;
                }
                bits[run][m] = static_cast<uint8_t>(n);
            }
        }
    }
    int at(int run, int magnitude) const {
        return magnitude < kMagnitudes ? bits[run][magnitude] : escapeBits(mpeg2, magnitude);
    }
};

const BitsTable& bitsTable(bool mpeg2, bool tableB15) {
    static const BitsTable mpeg1Table(false, false), b14(true, false), b15(true, true);
    if (!mpeg2) return mpeg1Table;
    return tableB15 ? b15 : b14;
}

}  // namespace

int runLevelBits(bool mpeg2, bool tableB15, int run, int magnitude) {
    if ((run < 2 && magnitude <= 40) || (run >= 2 && run <= 31 && magnitude <= 5)) {
        const VlcCode& c = (tableB15 ? kTableB15 : kTableB14)[static_cast<size_t>(run)][static_cast<size_t>(magnitude)];
        if (c.length != 0) return c.length + 1;
    }
    return escapeBits(mpeg2, magnitude);
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
int firstBits(const TrellisBlock& b, const BitsTable& table, int position, int magnitude) {
    if (!b.intra && position == 0 && magnitude == 1) return 2;
    return table.at(b.intra ? position - 1 : position, magnitude);
}

double squared(double v) { return v * v; }

}  // namespace

bool trellisQuantise(const TrellisBlock& b, const int16_t* coefficients, int16_t* levels) {
    uint64_t scanMask = 0;
    for (int n = 0; n < 64; ++n)
        if (levels[b.scan[n]] != 0) scanMask |= uint64_t{1} << n;
    const uint64_t kept = trellisQuantise(b, coefficients, levels, scanMask);
    return (b.intra ? kept & ~uint64_t{1} : kept) != 0;
}

uint64_t trellisQuantise(const TrellisBlock& b, const int16_t* coefficients, int16_t* levels, uint64_t scanMask) {
    const uint64_t dc = b.intra ? scanMask & 1 : 0;
    // Candidate positions: those with a rounded level. A zero level never
    // turns into a non-zero one.
    int position[64];
    int count = 0;
    for (uint64_t rest = b.intra ? scanMask & ~uint64_t{1} : scanMask; rest != 0; rest &= rest - 1)
        position[count++] = __builtin_ctzll(rest);
    if (count == 0) return scanMask;

    const BitsTable& table = bitsTable(b.mpeg2, b.tableB15);
    // Per candidate and option (0: the rounded magnitude, 1: one less): the
    // magnitude, and the best cost of a code ending there, measured against
    // every candidate being zero (infinite for an option that is zero).
    int magnitude[64][2];
    double best[64][2];
    int from[64][2];  // previous candidate * 2 + option, -1 for the first code
    const double lambda = b.lambda;
    const double endBits = lambda * endOfBlockBits(b);
    double bestEnd = b.intra ? endBits : 0.0;  // every level zero
    int bestLast = -1;
    constexpr double kNone = std::numeric_limits<double>::infinity();
    for (int j = 0; j < count; ++j) {
        const int n = position[j];
        const int natural = b.scan[n];
        const int x = std::abs(coefficients[natural]);
        const int rounded = std::abs(levels[natural]);
        const double zero = squared(x);
        const int m0 = rounded, m1 = rounded - 1;
        const bool two = m1 >= 1;
        magnitude[j][0] = m0;
        magnitude[j][1] = m1;
        // Each option's best code so far: as the first one, then after each
        // parent in order, a later parent taking over only when strictly
        // cheaper (ties keep the earlier path, the rounded option first).
        double cost0 = lambda * firstBits(b, table, n, m0);
        double cost1 = two ? lambda * firstBits(b, table, n, m1) : kNone;
        int parent0 = -1, parent1 = -1;
        // With a short look-back a code follows one of the few
        // candidates before it: longer runs of dropped levels seldom
        // pay, and the rounded choice (every candidate kept) stays
        // among the paths.
        for (int i = j > b.lookBack ? j - b.lookBack : 0; i < j; ++i) {
            const int run = n - position[i] - 1;
            const double b0 = best[i][0], b1 = best[i][1];
            const double bits0 = lambda * table.at(run, m0);
            const double bits1 = lambda * table.at(run, m1 < 1 ? 1 : m1);
            // Branch-free: the comparisons are unpredictable.
            double c = b0 + bits0;
            parent0 = c < cost0 ? 2 * i : parent0;
            cost0 = c < cost0 ? c : cost0;
            c = b1 + bits0;
            parent0 = c < cost0 ? 2 * i + 1 : parent0;
            cost0 = c < cost0 ? c : cost0;
            c = b0 + bits1;
            parent1 = c < cost1 ? 2 * i : parent1;
            cost1 = c < cost1 ? c : cost1;
            c = b1 + bits1;
            parent1 = c < cost1 ? 2 * i + 1 : parent1;
            cost1 = c < cost1 ? c : cost1;
        }
        best[j][0] = cost0 + (squared(x - reconstructedMagnitude(b, natural, m0)) - zero);
        from[j][0] = parent0;
        best[j][1] = two ? cost1 + (squared(x - reconstructedMagnitude(b, natural, m1)) - zero) : kNone;
        from[j][1] = parent1;
        for (int o = 0; o < (two ? 2 : 1); ++o) {
            const double end = best[j][o] + endBits;
            if (end < bestEnd) {
                bestEnd = end;
                bestLast = 2 * j + o;
            }
        }
    }

    for (int j = 0; j < count; ++j) levels[b.scan[position[j]]] = 0;
    uint64_t kept = dc;
    for (int at = bestLast; at >= 0; at = from[at / 2][at % 2]) {
        const int j = at / 2;
        const int natural = b.scan[position[j]];
        const int m = magnitude[j][at % 2];
        levels[natural] = static_cast<int16_t>(coefficients[natural] < 0 ? -m : m);
        kept |= uint64_t{1} << position[j];
    }
    return kept;
}

double trellisCost(const TrellisBlock& b, const int16_t* coefficients, const int16_t* levels) {
    const BitsTable& table = bitsTable(b.mpeg2, b.tableB15);
    double distortion = 0;
    int bits = 0, last = b.intra ? 0 : -1;
    bool first = true;
    for (int n = b.intra ? 1 : 0; n < 64; ++n) {
        const int natural = b.scan[n];
        const int m = std::abs(levels[natural]);
        distortion += squared(std::abs(coefficients[natural]) - reconstructedMagnitude(b, natural, m));
        if (m == 0) continue;
        bits += first ? firstBits(b, table, n, m) : table.at(n - last - 1, m);
        first = false;
        last = n;
    }
    if (!first || b.intra) bits += endOfBlockBits(b);
    return distortion + b.lambda * bits;
}

}  // namespace quillon

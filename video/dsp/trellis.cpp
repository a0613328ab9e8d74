#include "video/dsp/trellis.h"

#include <cassert>
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
    // The same by magnitude, then run: the search walks the runs of one
    // magnitude. Magnitudes past the table have a row of their escape each
    // (MPEG-1's escape grows past 127).
    uint8_t byRun[kMagnitudes][64];
    uint8_t escapes[2][64];
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
                byRun[m][run] = static_cast<uint8_t>(n);
            }
            escapes[0][run] = static_cast<uint8_t>(escapeBits(mpeg2, kMagnitudes));
            escapes[1][run] = static_cast<uint8_t>(escapeBits(mpeg2, 128));
        }
    }
    int at(int run, int magnitude) const {
        return magnitude < kMagnitudes ? bits[run][magnitude] : escapeBits(mpeg2, magnitude);
    }
    // Bits by run of one magnitude: row[run] == at(run, magnitude).
    const uint8_t* row(int magnitude) const {
        if (magnitude < kMagnitudes) return byRun[magnitude];
        return escapes[magnitude > 127 ? 1 : 0];
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

namespace {

// The rebuilt magnitude of a level of at least 1, from the coefficient's
// weight times the quantiser; inline, as the search asks twice a candidate.
inline int rebuilt(bool intra, bool mpeg2, int weightedQuant, int magnitude) {
    // Every factor is positive: shifts divide exactly as the syntax does.
    int v = intra ? (magnitude * weightedQuant) >> 4 : ((2 * magnitude + 1) * weightedQuant) >> 5;
    // MPEG-1 makes every rebuilt value odd, towards zero.
    if (!mpeg2 && v != 0 && (v & 1) == 0) v -= 1;
    return v > 2047 ? 2047 : v;
}

}  // namespace

int reconstructedMagnitude(const TrellisBlock& b, int natural, int magnitude) {
    if (magnitude == 0) return 0;
    return rebuilt(b.intra, b.mpeg2, b.weights[natural] * b.mquant, magnitude);
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
    // Per candidate: its rounded magnitude; per candidate and option (0: the
    // rounded magnitude, 1: one less) at 2 * candidate + option, the best
    // cost of a code ending there, measured against every candidate being
    // zero, and the option it follows. A candidate of magnitude 1 has no
    // second option; on grain most are such.
    int magnitude[64];
    double best0[64], best1[64];
    int from[128];  // previous candidate * 2 + option, -1 for the first code
    // The candidates with a second option, in order.
    int withTwo[64];
    int twoCount = 0, twoStart = 0;
    const double lambda = b.lambda;
    const double endBits = lambda * endOfBlockBits(b);
    double bestEnd = b.intra ? endBits : 0.0;  // every level zero
    int bestLast = -1;
    constexpr double kNone = std::numeric_limits<double>::infinity();
    // A parent's second option comes after its rounded one; a path from a
    // parent only when strictly cheaper than starting the block here.
    auto merge = [](double first, double a, int ai, double s, int si, double& cost) {
        int parent = -1;
        cost = first;
        const bool second = si >= 0 && (ai < 0 || s < a || (s == a && si < ai));
        const double c = second ? s : a;
        if (c < first) {
            cost = c;
            parent = second ? 2 * si + 1 : 2 * ai;
        }
        return parent;
    };
    for (int j = 0; j < count; ++j) {
        const int n = position[j];
        const int natural = b.scan[n];
        const int x = std::abs(coefficients[natural]);
        const int rounded = std::abs(levels[natural]);
        const double zero = squared(x);
        const int m0 = rounded, m1 = rounded - 1;
        const bool two = m1 >= 1;
        magnitude[j] = m0;
        // With a short look-back a code follows one of the few candidates
        // before it: longer runs of dropped levels seldom pay, and the
        // rounded choice (every candidate kept) stays among the paths.
        const int lo = j > b.lookBack ? j - b.lookBack : 0;
        while (twoStart < twoCount && withTwo[twoStart] < lo) ++twoStart;
        // Each option's best code: the first one, else the cheapest after a
        // parent, the earliest (parent, then its rounded option first) among
        // equals. The parents' rounded options and their second ones are
        // searched apart, the second ones only where they exist, and the
        // two winners merged by cost and order. Branch-free comparisons:
        // they are unpredictable.
        const uint8_t* row0 = table.row(m0);
        const double first0 = lambda * firstBits(b, table, n, m0);
        double a0 = kNone, s0 = kNone;
        int ai0 = -1, si0 = -1;
        double a1 = kNone, s1 = kNone;
        int ai1 = -1, si1 = -1;
        if (two) {
            const uint8_t* row1 = table.row(m1);
            for (int i = lo; i < j; ++i) {
                const int run = n - position[i] - 1;
                const double p = best0[i];
                double c = p + lambda * row0[run];
                ai0 = c < a0 ? i : ai0;
                a0 = c < a0 ? c : a0;
                c = p + lambda * row1[run];
                ai1 = c < a1 ? i : ai1;
                a1 = c < a1 ? c : a1;
            }
            for (int k = twoStart; k < twoCount; ++k) {
                const int i = withTwo[k];
                const int run = n - position[i] - 1;
                const double p = best1[i];
                double c = p + lambda * row0[run];
                si0 = c < s0 ? i : si0;
                s0 = c < s0 ? c : s0;
                c = p + lambda * row1[run];
                si1 = c < s1 ? i : si1;
                s1 = c < s1 ? c : s1;
            }
        } else {
            // The even and the odd parents in two chains of comparisons,
            // which the processor runs side by side; each keeps its
            // earliest least cost, and the merge the earlier of equals.
            double odd = kNone;
            int oddAt = -1;
            int i = lo;
            for (; i + 1 < j; i += 2) {
                const double c = best0[i] + lambda * row0[n - position[i] - 1];
                ai0 = c < a0 ? i : ai0;
                a0 = c < a0 ? c : a0;
                const double d = best0[i + 1] + lambda * row0[n - position[i + 1] - 1];
                oddAt = d < odd ? i + 1 : oddAt;
                odd = d < odd ? d : odd;
            }
            if (i < j) {
                const double c = best0[i] + lambda * row0[n - position[i] - 1];
                ai0 = c < a0 ? i : ai0;
                a0 = c < a0 ? c : a0;
            }
            if (oddAt >= 0 && (odd < a0 || (odd == a0 && oddAt < ai0))) {
                a0 = odd;
                ai0 = oddAt;
            }
            for (int k = twoStart; k < twoCount; ++k) {
                const int i = withTwo[k];
                const double c = best1[i] + lambda * row0[n - position[i] - 1];
                si0 = c < s0 ? i : si0;
                s0 = c < s0 ? c : s0;
            }
        }
        double cost0, cost1;
        from[2 * j] = merge(first0, a0, ai0, s0, si0, cost0);
        const int weightedQuant = b.weights[natural] * b.mquant;
        best0[j] = cost0 + (squared(x - rebuilt(b.intra, b.mpeg2, weightedQuant, m0)) - zero);
        if (best0[j] + endBits < bestEnd) {
            bestEnd = best0[j] + endBits;
            bestLast = 2 * j;
        }
        if (two) {
            from[2 * j + 1] = merge(lambda * firstBits(b, table, n, m1), a1, ai1, s1, si1, cost1);
            best1[j] = cost1 + (squared(x - rebuilt(b.intra, b.mpeg2, weightedQuant, m1)) - zero);
            if (best1[j] + endBits < bestEnd) {
                bestEnd = best1[j] + endBits;
                bestLast = 2 * j + 1;
            }
            withTwo[twoCount++] = j;
        } else {
            from[2 * j + 1] = -1;
            best1[j] = kNone;
        }
    }

    for (int j = 0; j < count; ++j) levels[b.scan[position[j]]] = 0;
    uint64_t kept = dc;
    // Every link points to an earlier candidate, so the walk visits each
    // candidate at most once. One plain index into one array: with a step
    // that chose between two arrays, the sanitizer build (GCC 12, -O1 with
    // the overflow checks) kept revisiting the first step's candidate and
    // never ended.
    int at = bestLast;
    while (at >= 0) {
        const int j = at >> 1;
        const int natural = b.scan[position[j]];
        const int m = magnitude[j] - (at & 1);
        levels[natural] = static_cast<int16_t>(coefficients[natural] < 0 ? -m : m);
        kept |= uint64_t{1} << position[j];
        const int next = from[at];
        assert(next < 2 * j);
        at = next;
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

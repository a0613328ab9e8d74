#include "video/encoder/mode_decision.h"

#include <algorithm>
#include <cstring>

#include "video/dsp/vlc.h"
#include "video/encoder/picture_prediction.h"
#include "video/encoder/rd_cost.h"
#include "video/encoder/rd_quantise.h"

namespace quillon {

namespace {

// What a candidate leaves behind that the writer needs.
struct Kept {
    MacroblockInfo mb;
    Block blocks[12];
    uint64_t scanMask[12];
    uint8_t prediction[3][256];
};

void keep(Kept& k, const MacroblockInfo& mb, const MacroblockWork& work, int count) {
    k.mb = mb;
    std::copy(work.blocks, work.blocks + count, k.blocks);
    std::copy(work.scanMask, work.scanMask + count, k.scanMask);
    std::memcpy(k.prediction, work.prediction, sizeof k.prediction);
}

void restore(const Kept& k, MacroblockInfo& mb, MacroblockWork& work, int count) {
    mb = k.mb;
    std::copy(k.blocks, k.blocks + count, work.blocks);
    std::copy(k.scanMask, k.scanMask + count, work.scanMask);
    std::memcpy(work.prediction, k.prediction, sizeof k.prediction);
}

}  // namespace

CandidateCost costCandidate(const VideoEncoder& enc, MacroblockInfo& mb, int mquant, int dctType, bool codeError,
                            bool trellis, const SliceState& st, const MacroblockSyntax& syntax,
                            MacroblockWork& work) {
    const int count = enc.geo.blockCount;
    const bool intra = (mb.type & kMbIntra) != 0;
    mb.dctType = dctType;
    mb.type &= ~(kMbPattern | kMbQuant);
    if (intra || codeError) {
        transformMacroblock(enc, dctType, work);
        Block coefficients[12];
        if (trellis) std::copy(work.blocks, work.blocks + count, coefficients);
        quantiseMacroblock(enc, mb, mquant, work);
        if (trellis) refineMacroblockLevels(enc, mb, coefficients, work);
    } else {
        for (int b = 0; b < count; ++b) {
            work.blocks[b].fill(0);
            work.scanMask[b] = 0;
        }
        mb.mquant = mquant;
        mb.cbp = 0;
    }

    // The bits as the writer will put them (a skipped macroblock is
    // counted as coded: an upper bound of its few bits).
    MacroblockInfo written = mb;
    if (written.cbp != 0 && written.mquant != st.prevMquant) written.type |= kMbQuant;
    if (syntax.pictureCodingType == kPictureP && written.cbp == 0 && !(written.type & kMbMotionForward))
        written.type |= kMbMotionForward;
    if (!written.cbp) written.dctType = 0;
    SliceState scratch = st;
    BitCounter counter;
    putMacroblock<BitCounter>(nullptr, counter, syntax, written, work.blocks, work.scanMask, scratch);

    // Reconstruct from a copy: the writer needs the levels.
    Block levels[12];
    std::copy(work.blocks, work.blocks + count, levels);
    reconstructMacroblock(enc, mb, dctType, work);
    std::copy(levels, levels + count, work.blocks);

    CandidateCost c;
    c.error = macroblockError(enc, work);
    c.bits = static_cast<int>(counter.bits());
    c.cost = static_cast<double>(c.error) + rdLambda(mb.mquant, syntax.pictureCodingType, enc.s.lambdaPercent) * c.bits;
    return c;
}

void decideMacroblock(const VideoEncoder& enc, MacroblockInfo& mb, int mquant, bool trellis, const SliceState& st,
                      const MacroblockSyntax& syntax, MacroblockWork& work) {
    const int count = enc.geo.blockCount;
    const bool intra = (mb.type & kMbIntra) != 0;
    const bool bothDct = !syntax.framePredFrameDct && !syntax.fieldPicture;
    const MacroblockInfo start = mb;
    Kept best;
    double bestCost = 0;
    bool any = false;
    auto consider = [&](int dctType, bool codeError) {
        mb = start;
        const CandidateCost c = costCandidate(enc, mb, mquant, dctType, codeError, trellis, st, syntax, work);
        if (!any || c.cost < bestCost) {
            keep(best, mb, work, count);
            bestCost = c.cost;
            any = true;
        }
    };
    consider(0, true);
    if (bothDct) consider(1, true);
    if (!intra && enc.s.rdDecision >= 2) {
        consider(0, false);
        // The motion search's choice against coding the samples themselves.
        MacroblockInfo asIntra = start;
        asIntra.type = kMbIntra;
        for (auto& plane : work.prediction) std::memset(plane, 128, sizeof plane);
        for (int dctType = 0; dctType <= (bothDct ? 1 : 0); ++dctType) {
            mb = asIntra;
            const CandidateCost c = costCandidate(enc, mb, mquant, dctType, true, trellis, st, syntax, work);
            if (c.cost < bestCost) {
                keep(best, mb, work, count);
                bestCost = c.cost;
            }
        }
    }
    restore(best, mb, work, count);
}

namespace {

// Squared error of the prediction alone, all planes.
int64_t predictionError(const VideoEncoder& enc, const MacroblockWork& work) {
    return planesSquaredError(enc, work.source, work.prediction);
}

// Whether 16 samples from half-sample position p (a half sample further
// when p is odd) lie within size samples.
bool halfSampleAreaInside(int p, int size) { return p >= 0 && p + 32 + (p & 1) <= 2 * size; }

// Whether a half-sample vector component fits the f_code's range.
bool vectorFits(int v, int fCode) {
    const int range = 16 << (fCode - 1);
    return v >= -range && v < range;
}

// The best forward frame vector for a P macroblock among its decided
// neighbours' (left, above-left, above, above-right), each refined by one
// half sample, by the prediction's squared error. Sets mb.mv[0][0]; false
// when no neighbour has a frame vector to offer.
bool nearbyVector(const VideoEncoder& enc, MacroblockWork& work, const Picture& forward, const Picture& backward,
                  MacroblockInfo& mb) {
    const int w = enc.geo.mbWidth;
    const int i = work.k % w, j = work.k / w;
    int seeds[4][2];
    int n = 0;
    auto seed = [&](int di, int dj) {
        const int ni = i + di, nj = j + dj;
        if (ni < 0 || ni >= w || nj < 0) return;
        const MacroblockInfo& m = enc.mbInfo[static_cast<size_t>(nj * w + ni)];
        if ((m.type & kMbIntra) || !(m.type & kMbMotionForward) || m.motionType != kMotionFrame) return;
        for (int s = 0; s < n; ++s)
            if (seeds[s][0] == m.mv[0][0][0] && seeds[s][1] == m.mv[0][0][1]) return;
        seeds[n][0] = m.mv[0][0][0];
        seeds[n][1] = m.mv[0][0][1];
        ++n;
    };
    seed(-1, 0);
    seed(-1, -1);
    seed(0, -1);
    seed(1, -1);
    if (n == 0) return false;
    const int fh = enc.pic.fCode[0][0], fv = enc.pic.fCode[0][1];
    int64_t bestError = -1;
    int best[2] = {0, 0};
    auto probe = [&](int vx, int vy) {
        if (!vectorFits(vx, fh) || !vectorFits(vy, fv) || !halfSampleAreaInside(2 * work.x + vx, enc.geo.paddedWidth) ||
            !halfSampleAreaInside(2 * work.y + vy, enc.geo.paddedHeight))
            return;
        mb.mv[0][0][0] = vx;
        mb.mv[0][0][1] = vy;
        predictMacroblock(enc, mb, forward, backward, work);
        const int64_t e = predictionError(enc, work);
        if (bestError < 0 || e < bestError) {
            bestError = e;
            best[0] = vx;
            best[1] = vy;
        }
    };
    for (int s = 0; s < n; ++s) probe(seeds[s][0], seeds[s][1]);
    if (bestError < 0) return false;
    const int cx = best[0], cy = best[1];
    for (int dy = -1; dy <= 1; ++dy)
        for (int dx = -1; dx <= 1; ++dx)
            if (dx != 0 || dy != 0) probe(cx + dx, cy + dy);
    mb.mv[0][0][0] = best[0];
    mb.mv[0][0][1] = best[1];
    return true;
}

}  // namespace

void decideInterMacroblock(const VideoEncoder& enc, MacroblockInfo& mb, int mquant, bool trellis, SkipChance skip,
                           const Picture& forward, const Picture& backward, const SliceState& st,
                           const MacroblockSyntax& syntax, MacroblockWork& work) {
    const int count = enc.geo.blockCount;
    const bool bothDct = !syntax.framePredFrameDct && !syntax.fieldPicture;
    const bool allDct = bothDct && enc.s.rdDecision >= 1;
    const bool bPicture = syntax.pictureCodingType == kPictureB;
    const double lambda = rdLambda(mquant, syntax.pictureCodingType, enc.s.lambdaPercent);
    const int parity = enc.pic.pictureStructure == kBottomField ? 1 : 0;
    const MacroblockInfo start = mb;
    Kept best;
    double bestCost = 0;
    bool any = false;
    auto take = [&](double cost) {
        if (!any || cost < bestCost) {
            keep(best, mb, work, count);
            bestCost = cost;
            any = true;
        }
    };
    // One prediction: its error coded (frame/field DCT by cost or by the
    // fields' correlation) and, for a motion-compensated one, left out. A
    // candidate the writer will skip costs its error and about one bit (the
    // next macroblock's longer address increment).
    auto tryPrediction = [&](const MacroblockInfo& candidate, bool skippable) {
        mb = candidate;
        predictMacroblock(enc, mb, forward, backward, work);
        // A coded candidate that kept no level is the uncoded one already.
        int64_t uncodedError = -1;
        auto coded = [&](int dct) {
            mb = candidate;
            const CandidateCost c = costCandidate(enc, mb, mquant, dct, true, trellis, st, syntax, work);
            take(c.cost);
            if (mb.cbp == 0 && !(candidate.type & kMbIntra)) uncodedError = c.error;
        };
        if (allDct) {
            coded(0);
            coded(1);
        } else {
            coded(decideMacroblockDctType(enc, work));
        }
        if (candidate.type & kMbIntra) return;
        if (uncodedError >= 0) {
            if (skippable) {
                mb = candidate;
                costCandidate(enc, mb, mquant, 0, false, trellis, st, syntax, work);
                take(static_cast<double>(uncodedError) + lambda);
            }
            return;
        }
        mb = candidate;
        const CandidateCost c = costCandidate(enc, mb, mquant, 0, false, trellis, st, syntax, work);
        take(skippable ? static_cast<double>(c.error) + lambda : c.cost);
    };
    // The predicted vectors were the left neighbour's: from here they may
    // reach past the picture's edge.
    auto inside = [&](const MacroblockInfo& m) {
        const int height = syntax.fieldPicture ? enc.geo.pictureHeight : enc.geo.paddedHeight;
        for (int s = 0; s < 2; ++s) {
            if (!(m.type & (s == 0 ? kMbMotionForward : kMbMotionBackward))) continue;
            if (!halfSampleAreaInside(2 * work.x + m.mv[0][s][0], enc.geo.paddedWidth) ||
                !halfSampleAreaInside(2 * work.y + m.mv[0][s][1], height))
                return false;
        }
        return true;
    };

    const int directions = kMbMotionForward | kMbMotionBackward;
    if (!bPicture) {
        // The search's choice, and no motion compensation (a skip where the
        // row allows one).
        tryPrediction(start, false);
        if ((start.type & kMbIntra) && !syntax.fieldPicture) {
            // The search judged intra by variance alone and kept no vector:
            // on grain that is most macroblocks, at the price of intra
            // blocks. The neighbours' vectors, refined by a half sample,
            // compete by cost.
            MacroblockInfo moved = start;
            moved.type = kMbMotionForward;
            moved.motionType = kMotionFrame;
            const bool nearby = nearbyVector(enc, work, forward, backward, moved);
            if (nearby) tryPrediction(moved, false);
            // The search's own vector: on grain it often beats the
            // neighbours' once the bits of intra blocks are counted.
            if (start.hasSearchedMv) {
                MacroblockInfo searched = start;
                searched.type = kMbMotionForward;
                searched.motionType = kMotionFrame;
                searched.mv[0][0][0] = start.searchedMv[0];
                searched.mv[0][0][1] = start.searchedMv[1];
                const bool tried = nearby && moved.mv[0][0][0] == searched.mv[0][0][0] &&
                                   moved.mv[0][0][1] == searched.mv[0][0][1];
                if (!tried && inside(searched)) tryPrediction(searched, false);
            }
        }
        // The second field of an I frame has no same-parity reference to
        // predict from without motion.
        const bool stillAllowed = !(syntax.fieldPicture && enc.pic.iFrame && enc.pic.secondField);
        if (start.type != 0 && stillAllowed) {
            MacroblockInfo still = start;
            still.type = 0;
            still.motionType = syntax.fieldPicture ? kMotionField : kMotionFrame;
            for (auto& a : still.mv)
                for (auto& b : a) b[0] = b[1] = 0;
            still.fieldSelect[0][0] = parity;
            tryPrediction(still, skip.inside);
        } else if (start.type == 0 && skip.inside) {
            // The search's own no-motion choice, skipped when not coded.
            mb = start;
            predictMacroblock(enc, mb, forward, backward, work);
            const CandidateCost c = costCandidate(enc, mb, mquant, 0, false, trellis, st, syntax, work);
            take(static_cast<double>(c.error) + lambda);
        }
        restore(best, mb, work, count);
        return;
    }

    if (start.type & kMbIntra) tryPrediction(start, false);
    // Directions whose prediction alone is far worse than the best one's
    // seldom win once coded: they are not costed.
    MacroblockInfo candidates[6];
    int64_t predicted[6];
    int64_t least = -1;
    int n = 0;
    auto add = [&](const MacroblockInfo& c) {
        candidates[n] = c;
        mb = c;
        predictMacroblock(enc, mb, forward, backward, work);
        predicted[n] = predictionError(enc, work);
        if (least < 0 || predicted[n] < least) least = predicted[n];
        ++n;
    };
    for (int type : {kMbMotionForward, kMbMotionBackward, directions}) {
        MacroblockInfo c = start;
        c.type = type;
        add(c);
    }
    // The same directions with the predicted vectors, whose codes take a
    // bit each: on grain the search's vectors follow the noise.
    if (enc.s.rdModes >= 2 && !syntax.fieldPicture) {
        for (int type : {kMbMotionForward, kMbMotionBackward, directions}) {
            MacroblockInfo c = start;
            c.type = type;
            c.motionType = kMotionFrame;
            bool same = start.motionType == kMotionFrame;
            for (int s = 0; s < 2; ++s) {
                if (!(type & (s == 0 ? kMbMotionForward : kMbMotionBackward))) continue;
                same = same && c.mv[0][s][0] == st.pmv[0][s][0] && c.mv[0][s][1] == st.pmv[0][s][1];
                c.mv[0][s][0] = st.pmv[0][s][0];
                c.mv[0][s][1] = st.pmv[0][s][1];
            }
            if (!same && inside(c)) add(c);
        }
    }
    const int prune = enc.s.rdModesPrune;
    for (int d = 0; d < n; ++d)
        if (prune == 0 || 100 * predicted[d] <= static_cast<int64_t>(prune) * least + 100 * static_cast<int64_t>(lambda))
            tryPrediction(candidates[d], false);
    // Skipping: the previous macroblock's directions, frame motion (field
    // motion in a field picture) with the predicted vectors, nothing coded.
    const int previous = skip.previousType & directions;
    if (skip.inside && previous != 0 && !(skip.previousType & kMbIntra)) {
        MacroblockInfo candidate = start;
        candidate.type = previous;
        candidate.motionType = syntax.fieldPicture ? kMotionField : kMotionFrame;
        for (int s = 0; s < 2; ++s) {
            candidate.mv[0][s][0] = st.pmv[0][s][0];
            candidate.mv[0][s][1] = st.pmv[0][s][1];
            candidate.fieldSelect[0][s] = parity;
        }
        if (inside(candidate)) {
            mb = candidate;
            predictMacroblock(enc, mb, forward, backward, work);
            const int64_t error = predictionError(enc, work);
            if (static_cast<double>(error) + lambda < bestCost) {
                costCandidate(enc, mb, mquant, 0, false, trellis, st, syntax, work);
                take(static_cast<double>(error) + lambda);
            }
        }
    }
    restore(best, mb, work, count);
}

}  // namespace quillon

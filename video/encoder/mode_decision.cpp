#include "video/encoder/mode_decision.h"

#include <algorithm>
#include <cstring>

#include "video/dsp/vlc.h"
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

}  // namespace quillon

#include "video/encoder/picture_writer.h"

#include <algorithm>
#include <array>
#include <vector>

#include "video/dsp/quantize.h"
#include "video/encoder/adaptive_quant.h"
#include "video/encoder/lookahead.h"
#include "video/encoder/macroblock_pipeline.h"
#include "video/encoder/mode_decision.h"
#include "video/encoder/picture_prediction.h"
#include "video/encoder/rate_interface.h"
#include "video/encoder/rd_quantise.h"
#include "video/encoder/row_threads.h"
#include "video/encoder/stream_headers.h"
#include "video/dsp/vlc.h"

namespace quillon {

namespace {

// Macroblock rows prepared ahead of the coding at most: enough to ride out
// a worker's late start, few enough to stay in the cache until coded.
constexpr int kRowsPreparedAhead = 4;

void writeSliceHeader(VideoEncoder& enc, SliceState& st, int row) {
    BitWriter& w = enc.writer;
    w.alignToByte();
    if (!enc.mpeg2 || enc.geo.height <= 2800) {
        w.putBits(0x00000101u + static_cast<uint32_t>(row), 32);
    } else {
        w.putBits(0x00000101u + static_cast<uint32_t>(row & 127), 32);
        w.putBits(static_cast<uint32_t>(row >> 7), 3);
    }
    w.putBits(static_cast<uint32_t>(quantiserScaleCode(st.prevMquant, enc.pic.qScaleType)), 5);
    w.putBit(0);
    st.resetDc();
    st.resetPmv();
    st.addressIncrement = 1;
}

template <class Sink>
void putVectors(Engine* e, Sink& w, const MacroblockSyntax& p, const MacroblockInfo& mb, int s, SliceState& st) {
    const bool verbose = p.verbose;
    const int fh = p.fCode[s][0], fv = p.fCode[s][1];
    const int (&mv0)[2] = mb.mv[0][s];
    const int (&mv1)[2] = mb.mv[1][s];
    int (&p0)[2] = st.pmv[0][s];
    int (&p1)[2] = st.pmv[1][s];
    if (!p.fieldPicture) {
        if (mb.motionType == kMotionField) {
            w.putBit(mb.fieldSelect[0][s]);
            putMotionDelta(e, w, mv0[0] - p0[0], fh, verbose);
            putMotionDelta(e, w, (mv0[1] >> 1) - (p0[1] >> 1), fv, verbose);
            w.putBit(mb.fieldSelect[1][s]);
            putMotionDelta(e, w, mv1[0] - p1[0], fh, verbose);
            putMotionDelta(e, w, (mv1[1] >> 1) - (p1[1] >> 1), fv, verbose);
            p0[0] = mv0[0], p0[1] = mv0[1];
            p1[0] = mv1[0], p1[1] = mv1[1];
            return;
        }
        if (mb.motionType == kMotionDualPrime) {
            putMotionDelta(e, w, mv0[0] - p0[0], fh, verbose);
            putDmVector(w, mb.dualPrimeDelta[0]);
            putMotionDelta(e, w, (mv0[1] >> 1) - (p0[1] >> 1), fv, verbose);
            putDmVector(w, mb.dualPrimeDelta[1]);
        } else {
            putMotionDelta(e, w, mv0[0] - p0[0], fh, verbose);
            putMotionDelta(e, w, mv0[1] - p0[1], fv, verbose);
        }
        p0[0] = p1[0] = mv0[0];
        p0[1] = p1[1] = mv0[1];
        return;
    }
    if (mb.motionType == kMotion16x8) {
        w.putBit(mb.fieldSelect[0][s]);
        putMotionDelta(e, w, mv0[0] - p0[0], fh, verbose);
        putMotionDelta(e, w, mv0[1] - p0[1], fv, verbose);
        w.putBit(mb.fieldSelect[1][s]);
        putMotionDelta(e, w, mv1[0] - p1[0], fh, verbose);
        putMotionDelta(e, w, mv1[1] - p1[1], fv, verbose);
        p0[0] = mv0[0], p0[1] = mv0[1];
        p1[0] = mv1[0], p1[1] = mv1[1];
        return;
    }
    if (mb.motionType == kMotionDualPrime) {
        putMotionDelta(e, w, mv0[0] - p0[0], fh, verbose);
        putDmVector(w, mb.dualPrimeDelta[0]);
        putMotionDelta(e, w, mv0[1] - p0[1], fv, verbose);
        putDmVector(w, mb.dualPrimeDelta[1]);
    } else {
        w.putBit(mb.fieldSelect[0][s]);
        putMotionDelta(e, w, mv0[0] - p0[0], fh, verbose);
        putMotionDelta(e, w, mv0[1] - p0[1], fv, verbose);
    }
    p0[0] = p1[0] = mv0[0];
    p0[1] = p1[1] = mv0[1];
}

bool canSkip(const VideoEncoder& enc, const MacroblockInfo& mb, int previousType, const SliceState& st) {
    const PictureState& pic = enc.pic;
    if (pic.pictureCodingType == kPictureP) return !(mb.type & kMbMotionForward);
    if (pic.pictureCodingType != kPictureB) return false;
    const int directions = kMbMotionForward | kMbMotionBackward;
    if ((mb.type & directions) != (previousType & directions) || !(mb.type & directions)) return false;
    if (mb.type & kMbIntra) return false;
    if (mb.motionType != (pic.isField() ? kMotionField : kMotionFrame)) return false;
    for (int s = 0; s < 2; ++s) {
        if (!(mb.type & (s == 0 ? kMbMotionForward : kMbMotionBackward))) continue;
        if (mb.mv[0][s][0] != st.pmv[0][s][0] || mb.mv[0][s][1] != st.pmv[0][s][1]) return false;
        if (pic.isField() && mb.fieldSelect[0][s] != (pic.pictureStructure == kBottomField ? 1 : 0))
            return false;
    }
    return true;
}

}  // namespace

MacroblockSyntax macroblockSyntax(const VideoEncoder& enc) {
    const PictureState& pic = enc.pic;
    MacroblockSyntax p;
    p.pictureCodingType = pic.pictureCodingType;
    p.fieldPicture = pic.isField();
    p.framePredFrameDct = pic.framePredFrameDct != 0;
    p.qScaleType = pic.qScaleType;
    for (int d = 0; d < 2; ++d)
        for (int c = 0; c < 2; ++c) p.fCode[d][c] = pic.fCode[d][c];
    p.blockCount = enc.geo.blockCount;
    p.coding = BlockCoding{enc.mpeg2, pic.intraVlcFormat, pic.alternateScan};
    p.verbose = enc.s.verbose != 0;
    return p;
}

template <class Sink>
bool putMacroblock(Engine* engine, Sink& w, const MacroblockSyntax& p, const MacroblockInfo& mb,
                   const Block* levels, const uint64_t* scanMasks, SliceState& st) {
    const double start = w.totalBits();
    putAddressIncrement(w, st.addressIncrement);
    st.addressIncrement = 1;
    putMacroblockType(w, p.pictureCodingType, mb.type);
    const bool motion = (mb.type & (kMbMotionForward | kMbMotionBackward)) != 0;
    if (motion && !p.framePredFrameDct) w.putBits(static_cast<uint32_t>(mb.motionType), 2);
    if (!p.fieldPicture && mb.cbp != 0 && !p.framePredFrameDct) w.putBit(static_cast<uint32_t>(mb.dctType));
    if (mb.type & kMbQuant) {
        w.putBits(static_cast<uint32_t>(quantiserScaleCode(mb.mquant, p.qScaleType)), 5);
        st.prevMquant = mb.mquant;
    }
    if (mb.type & kMbMotionForward) putVectors(engine, w, p, mb, 0, st);
    if (mb.type & kMbMotionBackward) putVectors(engine, w, p, mb, 1, st);
    if (mb.type & kMbPattern) putCodedBlockPattern(w, mb.cbp, p.blockCount);

    const int count = p.blockCount;
    const double blocksStart = w.totalBits();
    for (int b = 0; b < count; ++b) {
        if (!(mb.cbp & (1 << (count - 1 - b)))) continue;
        bool ok;
        if (mb.type & kMbIntra) {
            const int component = b < 4 ? 0 : 1 + (b & 1);
            ok = putIntraBlock(engine, w, p.coding, levels[b].data(), scanMasks[b], component, st.dcPred[component]);
        } else {
            ok = putNonIntraBlock(engine, w, p.coding, levels[b].data(), scanMasks[b]);
        }
        if (!ok) return false;
    }
    st.blockBits += w.totalBits() - blocksStart;
    st.macroblockBits += w.totalBits() - start;
    if (!(mb.type & kMbIntra)) st.resetDc();
    if ((mb.type & kMbIntra) || (p.pictureCodingType == kPictureP && !(mb.type & kMbMotionForward))) st.resetPmv();
    return true;
}

template bool putMacroblock<BitWriter>(Engine*, BitWriter&, const MacroblockSyntax&, const MacroblockInfo&,
                                       const Block*, const uint64_t*, SliceState&);
template bool putMacroblock<BitCounter>(Engine*, BitCounter&, const MacroblockSyntax&, const MacroblockInfo&,
                                        const Block*, const uint64_t*, SliceState&);

bool codePicture(VideoEncoder& enc, const Picture& source) {
    const bool cbr = enc.constantBitrate() && enc.rate;
    PictureState& pic = enc.pic;
    const EncoderSettings& s = enc.s;
    if (cbr) enc.rate->rcInitPicture(enc, source);

    writePictureHeader(enc);
    if (enc.mpeg2) writePictureCodingExtension(enc);
    if (s.writePictureDisplayExt && s.writeSequenceDisplayExt && enc.mpeg2 && !pic.isField())
        writePictureDisplayExtension(enc);
    if (s.embedSVCDUserBlocks && pic.pictureCodingType == kPictureI) writeSvcdUserData(enc);

    SliceState st;
    st.prevMquant = cbr ? enc.rate->rcStartMacroblock(enc) : fixedMquant(enc);
    const VideoGeometry& g = enc.geo;
    const MacroblockSyntax syntax = macroblockSyntax(enc);
    const Picture& forward = *enc.oldRef;
    const Picture& backward = *enc.newRef;
    int previousType = 0;
    const bool trellis = s.trellis != 0;
    const bool rdDecision = s.rdDecision != 0;
    const bool interModes = (s.rdModes >= 1 && pic.pictureCodingType == kPictureB) ||
                            (s.rdModes >= 2 && pic.pictureCodingType == kPictureP);
    // Level 2 takes to the decision only the P macroblocks the search made intra.
    const bool allP = s.rdModes >= 3;
    AdaptiveQuant adaptive;
    if (!cbr) adaptive.startPicture(enc, source, s.adaptiveQuant);

    // In variable bitrate without decisions by cost, a macroblock's
    // quantiser comes from the picture and the lookahead alone, and its
    // levels and reconstruction from its own coefficients: nothing of the
    // macroblocks coded before it. Those steps are then prepared ahead too,
    // the levels kept apart, since the reconstruction works on them in place.
    const bool levelsAhead = !cbr && !rdDecision;
    auto quantise = [&](int k, MacroblockInfo& mb, MacroblockWork& work) {
        Block coefficients[12];  // on each thread's own stack: rows prepare side by side
        if (trellis) std::copy(work.blocks, work.blocks + g.blockCount, coefficients);
        int mquant = chooseMquant(enc, k);
        if (adaptive.active()) mquant = adaptive.mquantFor(k, mquant, pic.qScaleType);
        mquant = temporalMquant(enc, k, mquant, pic.qScaleType);
        quantiseMacroblock(enc, mb, mquant, work);
        if (trellis) refineMacroblockLevels(enc, mb, coefficients, work);
    };

    // What macroblock k needs of no other macroblock's coding: its source,
    // its prediction from the finished references and, unless a decision
    // by cost runs those steps itself, its DCT type and transform (and, see
    // levelsAhead, its levels and reconstruction, the levels into `levels`).
    auto prepare = [&](int k, MacroblockWork& work, Block* levels) {
        MacroblockInfo& mb = enc.mbInfo[static_cast<size_t>(k)];
        startMacroblock(enc, k, source, work);
        predictMacroblock(enc, mb, forward, backward, work);
        // Which decision runs is fixed by the search's type, before coding
        // changes it.
        work.interByCost =
            interModes && (pic.pictureCodingType == kPictureB || allP || (mb.type & kMbIntra) != 0);
        if (!rdDecision && !work.interByCost) {
            mb.dctType = decideMacroblockDctType(enc, work);
            transformMacroblock(enc, mb.dctType, work);
            if (levelsAhead) {
                quantise(k, mb, work);
                std::copy(work.blocks, work.blocks + g.blockCount, levels);
                // Skipping, decided in order, needs no levels (cbp 0): the
                // reconstruction is the same either way.
                MacroblockInfo coded = mb;
                coded.skipped = 0;
                reconstructMacroblock(enc, coded, mb.dctType, work);
                commitMacroblock(enc, work, *enc.reconstructed);
            }
        }
    };
    // The rest, in order: it depends on the macroblocks before (quantiser,
    // skipping, the bits written).
    auto code = [&](int k, MacroblockWork& work, const Block* levels) -> bool {
        const int i = k % g.mbWidth, j = k / g.mbWidth;
        if (i == 0 && (j == 0 || s.sliceHdrEveryMBrow)) writeSliceHeader(enc, st, j);
        MacroblockInfo& mb = enc.mbInfo[static_cast<size_t>(k)];
        const bool prepared = levelsAhead && !work.interByCost;
        if (prepared) {
            // Quantised and reconstructed already.
        } else if (rdDecision || work.interByCost) {
            int mquant = chooseMquant(enc, k);
            if (adaptive.active()) mquant = adaptive.mquantFor(k, mquant, pic.qScaleType);
            mquant = temporalMquant(enc, k, mquant, pic.qScaleType);
            if (work.interByCost)
                decideInterMacroblock(enc, mb, mquant, trellis, SkipChance{i != 0 && i != g.mbWidth - 1, previousType},
                                      forward, backward, st, syntax, work);
            else
                decideMacroblock(enc, mb, mquant, trellis, st, syntax, work);
        } else {
            quantise(k, mb, work);
        }
        if (cbr) enc.rate->rcRecordMquant(enc, mb.mquant);
        if (mb.cbp != 0 && mb.mquant != st.prevMquant) mb.type |= kMbQuant;

        if (i != 0 && i != g.mbWidth - 1 && mb.cbp == 0 && canSkip(enc, mb, previousType, st)) {
            if (pic.pictureCodingType == kPictureP) {
                st.resetDc();
                st.resetPmv();
            }
            mb.skipped = 1;
            previousType = mb.type;
            ++st.addressIncrement;
        } else {
            mb.skipped = 0;
            if (pic.pictureCodingType == kPictureP && mb.cbp == 0 && !(mb.type & kMbMotionForward))
                mb.type |= kMbMotionForward;
            if (!putMacroblock(&enc.engine, enc.writer, syntax, mb, prepared ? levels : work.blocks, work.scanMask,
                               st))
                return false;
            previousType = mb.type;
        }
        if (!prepared) {
            reconstructMacroblock(enc, mb, mb.dctType, work);
            commitMacroblock(enc, work, *enc.reconstructed);
        }
        PictureTally& tally = enc.tally;
        tally.quantSum += mb.mquant;
        ++tally.macroblocks;
        if (mb.type & kMbIntra) ++tally.intra;
        if (mb.skipped) ++tally.skipped;
        return true;
    };

    const int mbCount = g.mbWidth * g.mbHeightPicture;
    if (encoderThreadCount() < 2) {
        MacroblockWork work;
        Block levels[12];
        for (int k = 0; k < mbCount; ++k) {
            prepare(k, work, levels);
            if (!code(k, work, levels)) return false;
        }
    } else {
        // Rows are prepared ahead on another thread while this one codes
        // them in order; the bytes are those of the loop above.
        const int width = g.mbWidth;
        // Kept from picture to picture: a fresh ring would take its pages
        // from the system again for every picture. Every value a step reads
        // is written first, so what a slot held before does not matter.
        // (The worker reaches the ring through this reference: the name of
        // a thread_local would be its own, empty ring.)
        static thread_local std::vector<MacroblockWork> kept;
        static thread_local std::vector<std::array<Block, 12>> keptLevels;
        std::vector<MacroblockWork>& slots = kept;
        std::vector<std::array<Block, 12>>& levels = keptLevels;
        if (slots.size() < static_cast<size_t>(kRowsPreparedAhead * width))
            slots.resize(static_cast<size_t>(kRowsPreparedAhead * width));
        if (levels.size() < slots.size()) levels.resize(slots.size());
        const bool ok = runRowsAhead(
            g.mbHeightPicture, kRowsPreparedAhead, encoderThreadCount(),
            [&](int j, int slot) {
                for (int i = 0; i < width; ++i) {
                    const size_t at = static_cast<size_t>(slot * width + i);
                    prepare(j * width + i, slots[at], levels[at].data());
                }
            },
            [&](int j, int slot) {
                for (int i = 0; i < width; ++i) {
                    const size_t at = static_cast<size_t>(slot * width + i);
                    if (!code(j * width + i, slots[at], levels[at].data())) return false;
                }
                return true;
            });
        if (!ok) return false;
    }
    enc.tally.macroblockBits += st.macroblockBits;
    enc.tally.blockBits += st.blockBits;

    if (cbr) {
        enc.rate->rcUpdatePicture(enc);
        enc.rate->rcMarkEndOfPicture(enc);
    }
    if (!pic.isField() || pic.secondField) rcFrameStatistics(enc);
    return true;
}

}  // namespace quillon

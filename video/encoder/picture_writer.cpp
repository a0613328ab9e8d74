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
// Rows prepared or coded ahead of their joining in the stream, when rows
// are coded apart (see rowSlices).
constexpr size_t kRowsCodedAhead = 6;

// One row's slice coded apart: its bits and what it adds to the tallies.
struct RowSlice {
    BitWriter bits;
    PictureTally tally;
    bool coded = false;
    bool ready = false;  // bits open in memory
};

void writeSliceHeader(const VideoEncoder& enc, BitWriter& w, SliceState& st, int row) {
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

namespace {

// A macroblock whose quantiser and levels are settled, into its slice:
// skipped where the syntax allows, else written. `edge`: the first or last
// of its row, never skipped. previousType becomes its type; the tallies
// count it. False when it could not be written.
bool putOrSkip(const VideoEncoder& enc, Engine* engine, BitWriter& w, const MacroblockSyntax& syntax,
               MacroblockInfo& mb, bool edge, const Block* levels, const uint64_t* scanMasks, SliceState& st,
               int& previousType, PictureTally& tally) {
    if (mb.cbp != 0 && mb.mquant != st.prevMquant) mb.type |= kMbQuant;
    const bool p = enc.pic.pictureCodingType == kPictureP;
    if (!edge && mb.cbp == 0 && canSkip(enc, mb, previousType, st)) {
        if (p) {
            st.resetDc();
            st.resetPmv();
        }
        mb.skipped = 1;
        ++st.addressIncrement;
    } else {
        mb.skipped = 0;
        if (p && mb.cbp == 0 && !(mb.type & kMbMotionForward)) mb.type |= kMbMotionForward;
        if (!putMacroblock(engine, w, syntax, mb, levels, scanMasks, st)) return false;
    }
    previousType = mb.type;
    tally.quantSum += mb.mquant;
    ++tally.macroblocks;
    if (mb.type & kMbIntra) ++tally.intra;
    if (mb.skipped) ++tally.skipped;
    return true;
}

}  // namespace

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
        if (i == 0 && (j == 0 || s.sliceHdrEveryMBrow)) writeSliceHeader(enc, enc.writer, st, j);
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
        if (!putOrSkip(enc, &enc.engine, enc.writer, syntax, mb, i == 0 || i == g.mbWidth - 1,
                       prepared ? levels : work.blocks, work.scanMask, st, previousType, enc.tally))
            return false;
        if (!prepared) {
            reconstructMacroblock(enc, mb, mb.dctType, work);
            commitMacroblock(enc, work, *enc.reconstructed);
        }
        return true;
    };

    // Where every row is a slice of its own and every macroblock is made
    // ahead, a row's coding needs of the rows before it only the quantiser
    // its slice header repeats: that of their last macroblock with coded
    // blocks, known once they are prepared. Rows are then coded into
    // buffers of their own on whichever thread is free, and this thread
    // only joins them in order (slices start at a byte boundary).
    const bool rowSlices = encoderThreadCount() >= 2 && levelsAhead && !interModes && s.sliceHdrEveryMBrow &&
                           !s.verbose && g.mbHeightPicture > 1;

    const int mbCount = g.mbWidth * g.mbHeightPicture;
    if (rowSlices) {
        const int width = g.mbWidth, rows = g.mbHeightPicture;
        // Kept from picture to picture (see below for why through references).
        static thread_local std::vector<MacroblockWork> kept;
        static thread_local std::vector<std::array<Block, 12>> keptLevels;
        static thread_local std::array<RowSlice, kRowsCodedAhead> keptSlices;
        std::vector<MacroblockWork>& slots = kept;
        std::vector<std::array<Block, 12>>& levels = keptLevels;
        std::array<RowSlice, kRowsCodedAhead>& slices = keptSlices;
        const size_t ring = kRowsCodedAhead;
        if (slots.size() < ring * width) slots.resize(ring * width);
        if (levels.size() < slots.size()) levels.resize(slots.size());
        for (RowSlice& slice : slices)
            if (!slice.ready) {
                if (!slice.bits.openMemory()) {
                    enc.engine.reportError("Could not allocate memory for the slices.");
                    return false;
                }
                slice.ready = true;
            }
        // Per row: the quantiser of its last macroblock with coded blocks,
        // or -1 when it has none.
        std::vector<int> lastQuantiser(static_cast<size_t>(rows), -1);
        const int firstQuantiser = st.prevMquant;
        // The quantiser the slice header of row j repeats.
        auto enteringQuantiser = [&](int j) {
            for (int r = j - 1; r >= 0; --r)
                if (lastQuantiser[static_cast<size_t>(r)] >= 0) return lastQuantiser[static_cast<size_t>(r)];
            return firstQuantiser;
        };
        // Row j's slice into `w`: what code() does for its macroblocks, with
        // the tallies into the slice's own. A null engine reports nothing.
        auto codeRow = [&](int j, int slot, BitWriter& w, RowSlice& out, Engine* engine) -> bool {
            SliceState rs;
            rs.prevMquant = enteringQuantiser(j);
            writeSliceHeader(enc, w, rs, j);
            out.tally = PictureTally{};
            int previous = 0;
            for (int i = 0; i < width; ++i) {
                const int k = j * width + i;
                const size_t at = static_cast<size_t>(slot * width + i);
                MacroblockInfo& mb = enc.mbInfo[static_cast<size_t>(k)];
                if (!putOrSkip(enc, engine, w, syntax, mb, i == 0 || i == width - 1, levels[at].data(),
                               slots[at].scanMask, rs, previous, out.tally))
                    return false;
            }
            out.tally.macroblockBits = rs.macroblockBits;
            out.tally.blockBits = rs.blockBits;
            return true;
        };
        const bool ok = runRowsStaged(
            rows, static_cast<int>(ring), encoderThreadCount(),
            [&](int j, int slot) {
                int last = -1;
                for (int i = 0; i < width; ++i) {
                    const size_t at = static_cast<size_t>(slot * width + i);
                    prepare(j * width + i, slots[at], levels[at].data());
                    const MacroblockInfo& mb = enc.mbInfo[static_cast<size_t>(j * width + i)];
                    if (mb.cbp != 0) last = mb.mquant;
                }
                lastQuantiser[static_cast<size_t>(j)] = last;
            },
            [&](int j, int slot) {
                RowSlice& slice = slices[static_cast<size_t>(slot)];
                slice.coded = codeRow(j, slot, slice.bits, slice, nullptr);
            },
            [&](int j, int slot) -> bool {
                RowSlice& slice = slices[static_cast<size_t>(slot)];
                const bool whole = slice.coded && !slice.bits.writeError();
                if (!whole) {
                    // A value that cannot be coded (or a slice past the
                    // buffer): coded again straight into the stream, where
                    // the engine hears what went wrong.
                    slice.bits.forget();
                    if (!codeRow(j, slot, enc.writer, slice, &enc.engine)) return false;
                } else {
                    enc.writer.alignToByte();
                    slice.bits.moveTo(enc.writer);
                }
                PictureTally& tally = enc.tally;
                tally.quantSum += slice.tally.quantSum;
                tally.macroblocks += slice.tally.macroblocks;
                tally.intra += slice.tally.intra;
                tally.skipped += slice.tally.skipped;
                st.macroblockBits += slice.tally.macroblockBits;
                st.blockBits += slice.tally.blockBits;
                return true;
            });
        if (!ok) return false;
    } else if (encoderThreadCount() < 2) {
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

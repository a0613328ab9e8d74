#include "video/encoder/picture_writer.h"

#include "video/dsp/quantize.h"
#include "video/encoder/macroblock_quantiser.h"
#include "video/encoder/rate_interface.h"
#include "video/encoder/stream_headers.h"
#include "video/dsp/vlc.h"

namespace quillon {

namespace {

struct CodingState {
    int dcPred[3] = {0, 0, 0};
    int pmv[2][2][2] = {};
    int addressIncrement = 1;
    int prevMquant = 0;

    void resetDc() { dcPred[0] = dcPred[1] = dcPred[2] = 0; }
    void resetPmv() {
        for (auto& a : pmv)
            for (auto& b : a) b[0] = b[1] = 0;
    }
};

void writeSliceHeader(VideoEncoder& enc, CodingState& st, int row) {
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

void putVectors(VideoEncoder& enc, const MacroblockInfo& mb, int s, CodingState& st) {
    Engine& e = enc.engine;
    BitWriter& w = enc.writer;
    const bool verbose = enc.s.verbose != 0;
    const int fh = enc.pic.fCode[s][0], fv = enc.pic.fCode[s][1];
    const int (&mv0)[2] = mb.mv[0][s];
    const int (&mv1)[2] = mb.mv[1][s];
    int (&p0)[2] = st.pmv[0][s];
    int (&p1)[2] = st.pmv[1][s];
    if (!enc.pic.isField()) {
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

bool canSkip(const VideoEncoder& enc, const MacroblockInfo& mb, int previousType, const CodingState& st) {
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

bool codePicture(VideoEncoder& enc, const Picture& source) {
    const bool cbr = enc.constantBitrate() && enc.rate;
    PictureState& pic = enc.pic;
    const EncoderSettings& s = enc.s;
    BitWriter& w = enc.writer;
    if (cbr) enc.rate->rcInitPicture(enc, source);

    writePictureHeader(enc);
    if (enc.mpeg2) writePictureCodingExtension(enc);
    if (s.writePictureDisplayExt && s.writeSequenceDisplayExt && enc.mpeg2 && !pic.isField())
        writePictureDisplayExtension(enc);
    if (s.embedSVCDUserBlocks && pic.pictureCodingType == kPictureI) writeSvcdUserData(enc);

    CodingState st;
    st.prevMquant = cbr ? enc.rate->rcStartMacroblock(enc) : fixedMquant(enc);
    const VideoGeometry& g = enc.geo;
    const int count = g.blockCount;
    const BlockCoding coding{enc.mpeg2, pic.intraVlcFormat, pic.alternateScan};
    int previousType = 0;

    int k = 0;
    for (int j = 0; j < g.mbHeightPicture; ++j) {
        for (int i = 0; i < g.mbWidth; ++i, ++k) {
            if (i == 0 && (j == 0 || s.sliceHdrEveryMBrow)) writeSliceHeader(enc, st, j);
            MacroblockInfo& mb = enc.mbInfo[static_cast<size_t>(k)];
            quantiseMacroblock(enc, k);
            if (mb.cbp != 0 && mb.mquant != st.prevMquant) mb.type |= kMbQuant;

            if (i != 0 && i != g.mbWidth - 1 && mb.cbp == 0 && canSkip(enc, mb, previousType, st)) {
                if (pic.pictureCodingType == kPictureP) {
                    st.resetDc();
                    st.resetPmv();
                }
                mb.skipped = 1;
                previousType = mb.type;
                ++st.addressIncrement;
                continue;
            }
            mb.skipped = 0;
            if (pic.pictureCodingType == kPictureP && mb.cbp == 0 && !(mb.type & kMbMotionForward))
                mb.type |= kMbMotionForward;

            putAddressIncrement(w, st.addressIncrement);
            st.addressIncrement = 1;
            putMacroblockType(w, pic.pictureCodingType, mb.type);
            const bool motion = (mb.type & (kMbMotionForward | kMbMotionBackward)) != 0;
            if (motion && !pic.framePredFrameDct) w.putBits(static_cast<uint32_t>(mb.motionType), 2);
            if (!pic.isField() && mb.cbp != 0 && !pic.framePredFrameDct) w.putBit(mb.dctType);
            if (mb.type & kMbQuant) {
                w.putBits(static_cast<uint32_t>(quantiserScaleCode(mb.mquant, pic.qScaleType)), 5);
                st.prevMquant = mb.mquant;
            }
            if (mb.type & kMbMotionForward) putVectors(enc, mb, 0, st);
            if (mb.type & kMbMotionBackward) putVectors(enc, mb, 1, st);
            if (mb.type & kMbPattern) putCodedBlockPattern(w, mb.cbp, count);

            Block* blocks = enc.macroblockBlocks(k);
            for (int b = 0; b < count; ++b) {
                if (!(mb.cbp & (1 << (count - 1 - b)))) continue;
                bool ok;
                if (mb.type & kMbIntra) {
                    const int component = b < 4 ? 0 : 1 + (b & 1);
                    ok = putIntraBlock(enc.engine, w, coding, blocks[b].data(), component, st.dcPred[component]);
                } else {
                    ok = putNonIntraBlock(enc.engine, w, coding, blocks[b].data());
                }
                if (!ok) return false;
            }
            if (!(mb.type & kMbIntra)) st.resetDc();
            if ((mb.type & kMbIntra) ||
                (pic.pictureCodingType == kPictureP && !(mb.type & kMbMotionForward)))
                st.resetPmv();
            previousType = mb.type;
        }
    }

    if (cbr) {
        enc.rate->rcUpdatePicture(enc);
        enc.rate->rcMarkEndOfPicture(enc);
    }
    if (!pic.isField() || pic.secondField) rcFrameStatistics(enc);
    return true;
}

}  // namespace quillon

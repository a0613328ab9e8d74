#include "video/encoder/picture_prediction.h"

#include <cstring>

#include "platform/cpu_features.h"
#include "video/dsp/prediction.h"
#include "video/encoder/macroblock_pipeline.h"

namespace quillon {

namespace {

struct MacroblockPredictor {
    const VideoEncoder& enc;
    const Picture& forward;
    const Picture& backward;
    MacroblockWork& work;
    const PictureState& pic;
    const int W;
    const bool vectorForm = enc.engine.ev.MMXMode >= 1 && enc.engine.ev.MMXMode <= 4 &&
                            (enc.engine.ev.cpuFeatures & kCpuSse2) != 0;

    // All three planes of one area, into the macroblock's buffers. Field
    // halves of a frame macroblock land on every other line of them; a
    // field picture's macroblock is all of one field already.
    void area(const Picture& ref, int refField, int dstField, int lx, int h, int x, int y, int dx, int dy,
              bool average) {
        const bool halves = !pic.isField() && lx == 2 * W;
        for (int c = 0; c < 3; ++c) {
            AreaPrediction a;
            a.reference = ref.plane[c].data();
            a.referenceField = refField;
            a.destination = work.prediction[c];
            a.destinationField = halves ? dstField : 0;
            a.destinationStride = halves ? 32 : 16;
            a.originX = work.x;
            a.originY = halves ? work.y / 2 : work.y;
            a.lx = lx;
            a.width = 16;
            a.height = h;
            a.x = x;
            a.y = y;
            a.dx = dx;
            a.dy = dy;
            a.average = average;
            a.vectorForm = vectorForm;
            predictArea(a, c, enc.geo.chromaFormat);
        }
    }

    void intra() {
        const int cf = enc.geo.chromaFormat;
        std::memset(work.prediction[0], 128, 256);
        const size_t chroma = static_cast<size_t>(chromaBlockWidth(cf) * chromaBlockHeight(cf));
        std::memset(work.prediction[1], 128, chroma);
        std::memset(work.prediction[2], 128, chroma);
    }

    void invalidMotion() const {
        if (enc.s.verbose) enc.engine.reportWarning("Invalid motion_type.");
    }

    // One direction of a frame picture macroblock.
    void frameDirection(const MacroblockInfo& mb, int dir, const Picture& ref, int x, int y, bool average,
                        bool allowDualPrime) {
        const int motion = dir == 0 && !(mb.type & kMbMotionForward) ? kMotionFrame : mb.motionType;
        if (motion == kMotionFrame) {
            area(ref, 0, 0, W, 16, x, y, mb.mv[0][dir][0], mb.mv[0][dir][1], average);
        } else if (motion == kMotionField || !allowDualPrime) {
            // Backward predictions have no dual prime: anything but frame
            // motion is two field halves.
            area(ref, mb.fieldSelect[0][dir], 0, 2 * W, 8, x, y / 2, mb.mv[0][dir][0], mb.mv[0][dir][1] >> 1, average);
            area(ref, mb.fieldSelect[1][dir], 1, 2 * W, 8, x, y / 2, mb.mv[1][dir][0], mb.mv[1][dir][1] >> 1, average);
        } else if (motion == kMotionDualPrime) {
            const int mx = mb.mv[0][dir][0], my = mb.mv[0][dir][1] >> 1;
            DualPrimeVectors dmv = dualPrimeVectors(mx, my, mb.dualPrimeDelta[0], mb.dualPrimeDelta[1], true,
                                                    pic.topFieldFirst != 0, kFramePicture);
            area(ref, 0, 0, 2 * W, 8, x, y / 2, mx, my, false);
            area(ref, 1, 1, 2 * W, 8, x, y / 2, mx, my, false);
            area(ref, 1, 0, 2 * W, 8, x, y / 2, dmv.v[0][0], dmv.v[0][1], true);
            area(ref, 0, 1, 2 * W, 8, x, y / 2, dmv.v[1][0], dmv.v[1][1], true);
        } else {
            invalidMotion();
        }
    }

    // One direction of a field picture macroblock.
    void fieldDirection(const MacroblockInfo& mb, int dir, int x, int y, bool average) {
        const int parity = pic.pictureStructure == kBottomField ? 1 : 0;
        // In the second field of an I or P frame the other parity is the
        // frame's own first field, already rebuilt in the newer anchor.
        auto refFor = [&](int select) -> const Picture& {
            if (dir == 0 && pic.pictureCodingType == kPictureP && pic.secondField && select != parity) return backward;
            return dir == 0 ? forward : backward;
        };
        const int lx = 2 * W;
        int motion = dir == 0 && !(mb.type & kMbMotionForward) ? kMotionField : mb.motionType;
        if (dir == 1 && motion == kMotionDualPrime) motion = -1;
        if (motion == kMotionField) {
            const int sel = mb.fieldSelect[0][dir];
            area(refFor(sel), sel, parity, lx, 16, x, y, mb.mv[0][dir][0], mb.mv[0][dir][1], average);
        } else if (motion == kMotion16x8) {
            const int s0 = mb.fieldSelect[0][dir], s1 = mb.fieldSelect[1][dir];
            area(refFor(s0), s0, parity, lx, 8, x, y, mb.mv[0][dir][0], mb.mv[0][dir][1], average);
            area(refFor(s1), s1, parity, lx, 8, x, y + 8, mb.mv[1][dir][0], mb.mv[1][dir][1], average);
        } else if (motion == kMotionDualPrime) {
            const int mx = mb.mv[0][0][0], my = mb.mv[0][0][1];
            DualPrimeVectors dmv = dualPrimeVectors(mx, my, mb.dualPrimeDelta[0], mb.dualPrimeDelta[1], false,
                                                    pic.topFieldFirst != 0, pic.pictureStructure);
            area(forward, parity, parity, lx, 16, x, y, mx, my, false);
            const Picture& other = pic.secondField ? backward : forward;
            area(other, 1 - parity, parity, lx, 16, x, y, dmv.v[0][0], dmv.v[0][1], true);
        } else {
            invalidMotion();
        }
    }

    void run(const MacroblockInfo& mb) {
        const bool field = pic.isField();
        const int x = work.x, y = work.y;
        if (mb.type & kMbIntra) {
            intra();
            return;
        }
        bool formed = false;
        if ((mb.type & kMbMotionForward) || pic.pictureCodingType == kPictureP) {
            if (field)
                fieldDirection(mb, 0, x, y, false);
            else
                frameDirection(mb, 0, forward, x, y, false, true);
            formed = true;
        }
        if (mb.type & kMbMotionBackward) {
            if (field)
                fieldDirection(mb, 1, x, y, formed);
            else
                frameDirection(mb, 1, backward, x, y, formed, false);
        }
    }
};

}  // namespace

void predictMacroblock(const VideoEncoder& enc, const MacroblockInfo& mb, const Picture& forward,
                       const Picture& backward, MacroblockWork& work) {
    MacroblockPredictor p{enc, forward, backward, work, enc.pic, enc.geo.paddedWidth};
    p.run(mb);
}

void predictPicture(VideoEncoder& enc, const Picture& forward, const Picture& backward, Picture& prediction) {
    MacroblockWork work;
    for (int k = 0; k < enc.geo.macroblockCount(); ++k) {
        work.k = k;
        work.x = 16 * (k % enc.geo.mbWidth);
        work.y = 16 * (k / enc.geo.mbWidth);
        predictMacroblock(enc, enc.mbInfo[static_cast<size_t>(k)], forward, backward, work);
        std::memcpy(work.reconstruction, work.prediction, sizeof work.prediction);
        commitMacroblock(enc, work, prediction);
    }
}

}  // namespace quillon

#include "video/encoder/picture_coding.h"

#include <bit>
#include <cmath>
#include <utility>

#include "video/encoder/motion_estimation.h"
#include "video/encoder/picture_writer.h"

namespace quillon {

void assignPictureBuffers(VideoEncoder& enc, const CodingStep& step) {
    if (step.pictureType == kPictureB) {
        enc.current = enc.auxOrg;
        enc.reconstructed = enc.aux;
        return;
    }
    std::swap(enc.oldRef, enc.newRef);
    std::swap(enc.oldOrg, enc.newOrg);
    enc.current = enc.newOrg;
    enc.reconstructed = enc.newRef;
}

void preparePicture(VideoEncoder& enc, const CodingStep& step) {
    setPictureValues(enc, step);
    // A field picture carries field_motion_type whatever the flag says, and
    // the standard requires the flag to be 0 there.
    if (enc.s.fieldPictures) enc.pic.framePredFrameDct = 0;
}

void writePictureHeaderStatistics(VideoEncoder& enc, int codingIndex) {
    std::FILE* out = enc.statistics();
    if (!out) return;
    const PictureState& pic = enc.pic;
    static const char kLetters[] = {'?', 'I', 'P', 'B'};
    std::fprintf(out, "\nFrame %d (#%d in display order):\n", codingIndex, pic.displayIndex);
    std::fprintf(out, " picture_type=%c\n", kLetters[pic.pictureCodingType & 3]);
    std::fprintf(out, " temporal_reference=%d\n", pic.temporalReference);
    std::fprintf(out, " frame_pred_frame_dct=%d\n", pic.framePredFrameDct);
    std::fprintf(out, " q_scale_type=%d\n", pic.qScaleType);
    std::fprintf(out, " intra_vlc_format=%d\n", pic.intraVlcFormat);
    std::fprintf(out, " alternate_scan=%d\n", pic.alternateScan);
    auto direction = [&](const char* name, int d) {
        const int sx = pic.searchRange[d][0], sy = pic.searchRange[d][1];
        const int fh = pic.fCode[d][0], fv = pic.fCode[d][1];
        std::fprintf(out, " %s search window: %d...%d / %d...%d\n", name, -sx, sx, -sy, sy);
        std::fprintf(out, " %s vector range: %d...%d.5 / %d...%d.5\n", name, -4 * (1 << fh), 4 * (1 << fh) - 1,
                     -4 * (1 << fv), 4 * (1 << fv) - 1);
    };
    if (pic.pictureCodingType != kPictureI) direction("forward", 0);
    if (pic.pictureCodingType == kPictureB) direction("backward", 1);
}

namespace {

// Steps 1 to 6 of one frame or field picture; the caller reconstructs.
bool codeOnePicture(VideoEncoder& enc, int motionEntry) {
    PictureState& pic = enc.pic;
    if (enc.motion && enc.motion->hierarchical) clearMotionMaxima(enc);
    if (!estimateMotion(enc)) return false;
    if (enc.motion && enc.motion->hierarchical && pic.pictureCodingType != kPictureI)
        adaptFCodes(enc, motionEntry);
    // Prediction, transform, quantisation, writing and reconstruction run
    // macroblock by macroblock inside the picture writer.
    return codePicture(enc, *enc.current);
}

void finishPicture(VideoEncoder& enc) {
    if (std::FILE* out = enc.statistics()) writePictureStatistics(enc, out);
}

}  // namespace

bool codeFrame(VideoEncoder& enc, const CodingStep& step) {
    PictureState& pic = enc.pic;
    if (!enc.s.fieldPictures) {
        pic.pictureStructure = kFramePicture;
        if (!codeOnePicture(enc, step.motionEntry)) return false;
        finishPicture(enc);
        return true;
    }

    const int first = enc.s.topFieldFirst ? kTopField : kBottomField;
    pic.pictureStructure = first;
    pic.secondField = false;
    pic.iFrame = step.pictureType == kPictureI;
    if (!codeOnePicture(enc, step.motionEntry)) return false;
    finishPicture(enc);

    pic.pictureStructure = first == kTopField ? kBottomField : kTopField;
    pic.secondField = true;
    int entry = step.motionEntry;
    if (step.pictureType == kPictureI) {
        // The second field of an I frame predicts from the first; the
        // per-type flags stay those of the I picture.
        pic.pictureCodingType = kPictureP;
        entry = 0;
        const int32_t* m = enc.s.motion[0];
        pic.fCode[0][0] = m[kForwHorzFCode];
        pic.fCode[0][1] = m[kForwVertFCode];
        pic.searchRange[0][0] = m[kForwHorzSearch];
        pic.searchRange[0][1] = m[kForwVertSearch];
        pic.fCode[1][0] = pic.fCode[1][1] = kUnusedFCode;
    }
    if (!codeOnePicture(enc, entry)) return false;
    finishPicture(enc);
    pic.pictureCodingType = step.pictureType;
    return true;
}

void writePictureStatistics(VideoEncoder& enc, std::FILE* out) {
    const VideoGeometry& g = enc.geo;
    const PictureState& pic = enc.pic;
    const bool field = pic.isField();
    const int parity = pic.pictureStructure == kBottomField ? 1 : 0;

    // Signal to noise over the visible area of each plane (one field's lines
    // for a field picture).
    static const char* const kPlaneLines[3] = {"Y: variance=%4.4g, MSE=%3.3g (%3.3g dB), SNR=%3.3g dB\n",
                                              "U: variance=%4.4g, MSE=%3.3g (%3.3g dB), SNR=%3.3g dB\n",
                                              "V: variance=%4.4g, MSE=%3.3g (%3.3g dB), SNR=%3.3g dB\n"};
    for (int c = 0; c < 3; ++c) {
        const int stride = c == 0 ? g.paddedWidth : g.chromaWidth;
        int w = g.width, h = g.height;
        if (c > 0) {
            if (g.chromaFormat != 3) w = (w + 1) / 2;
            if (g.chromaFormat == 1) h = (h + 1) / 2;
        }
        const uint8_t* src = enc.current->plane[c].data();
        const uint8_t* rec = enc.reconstructed->plane[c].data();
        double sum = 0, squares = 0, error = 0;
        long count = 0;
        for (int y = field ? parity : 0; y < h; y += field ? 2 : 1)
            for (int x = 0; x < w; ++x, ++count) {
                const size_t at = static_cast<size_t>(y) * stride + x;
                const double v = src[at];
                const double d = v - rec[at];
                sum += v;
                squares += v * v;
                error += d * d;
            }
        double variance = 0, mse = 0;
        if (count > 0) {
            const double mean = sum / count;
            variance = squares / count - mean * mean;
            mse = error / count;
        }
        if (variance == 0) variance = 0.00001;
        if (mse == 0) mse = 0.00001;
        std::fprintf(out, kPlaneLines[c], variance, mse, 10.0 * std::log10(65025.0 / mse),
                     10.0 * std::log10(variance / mse));
    }

    const int mbCount = g.macroblockCount();
    int intra = 0, codedBlocks = 0, notCoded = 0, skipped = 0, forward = 0, backward = 0, interpolated = 0;
    for (int k = 0; k < mbCount; ++k) {
        const MacroblockInfo& mb = enc.mbInfo[static_cast<size_t>(k)];
        const bool isIntra = (mb.type & kMbIntra) != 0;
        intra += isIntra;
        codedBlocks += std::popcount(static_cast<unsigned>(mb.cbp) & ((1u << g.blockCount) - 1));
        if (!isIntra && mb.cbp == 0) ++notCoded;
        skipped += mb.skipped != 0;
        if (!isIntra) {
            const bool f = mb.type & kMbMotionForward, b = mb.type & kMbMotionBackward;
            forward += f && !b;
            backward += b && !f;
            interpolated += f && b;
        }
    }
    const double mbs = mbCount > 0 ? mbCount : 1;
    const double blocks = mbs * g.blockCount;
    std::fprintf(out, "\npicture statistics:\n");
    std::fprintf(out, " # of intra coded macroblocks:  %4d (%.1f%%)\n", intra, 100.0 * intra / mbs);
    std::fprintf(out, " # of coded blocks:             %4d (%.1f%%)\n", codedBlocks, 100.0 * codedBlocks / blocks);
    std::fprintf(out, " # of not coded macroblocks:    %4d (%.1f%%)\n", notCoded, 100.0 * notCoded / mbs);
    std::fprintf(out, " # of skipped macroblocks:      %4d (%.1f%%)\n", skipped, 100.0 * skipped / mbs);
    std::fprintf(out, " # of forw. pred. macroblocks:  %4d (%.1f%%)\n", forward, 100.0 * forward / mbs);
    std::fprintf(out, " # of backw. pred. macroblocks: %4d (%.1f%%)\n", backward, 100.0 * backward / mbs);
    std::fprintf(out, " # of interpolated macroblocks: %4d (%.1f%%)\n", interpolated, 100.0 * interpolated / mbs);

    std::fprintf(out, "\nmacroblock_type map:\n");
    int k = 0;
    for (int j = 0; j < g.mbHeightPicture; ++j) {
        for (int i = 0; i < g.mbWidth; ++i, ++k) {
            const MacroblockInfo& mb = enc.mbInfo[static_cast<size_t>(k)];
            char kind;
            const bool fieldMotion = mb.motionType == kMotionField;
            const bool f = mb.type & kMbMotionForward, b = mb.type & kMbMotionBackward;
            if (mb.skipped)
                kind = 'S';
            else if (mb.type & kMbIntra)
                kind = 'I';
            else if (b && !f)
                kind = fieldMotion ? 'b' : 'B';
            else if (f && !b)
                kind = fieldMotion ? 'f' : mb.motionType == kMotionDualPrime ? 'p' : 'F';
            else if (f && b)
                kind = fieldMotion ? 'd' : 'D';
            else
                kind = '0';
            char mark;
            if (mb.type & kMbQuant)
                mark = 'Q';
            else if ((mb.type & kMbIntra) || mb.cbp)
                mark = ' ';
            else
                mark = 'N';
            std::fprintf(out, "%c%c ", kind, mark);
        }
        std::fprintf(out, "\n");
    }

    std::fprintf(out, "\nmquant map:\n");
    k = 0;
    for (int j = 0; j < g.mbHeightPicture; ++j) {
        int previous = -1;
        for (int i = 0; i < g.mbWidth; ++i, ++k) {
            const int q = enc.mbInfo[static_cast<size_t>(k)].mquant;
            if (i > 0 && q == previous)
                std::fprintf(out, "   ");
            else
                std::fprintf(out, "%3d", q);
            previous = q;
        }
        std::fprintf(out, "\n");
    }
}

}  // namespace quillon

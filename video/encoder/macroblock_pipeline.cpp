#include "video/encoder/macroblock_pipeline.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "video/dsp/quantize.h"
#include "video/dsp/scan_mask.h"
#include "video/dsp/simd_routines.h"
#include "video/encoder/motion_estimation.h"
#include "video/encoder/rate_interface.h"

namespace quillon {

namespace {

// Where block b starts in the macroblock's buffers, and the line stride
// between its rows there.
struct LocalBlock {
    int plane;
    int offset;
    int stride;
};

LocalBlock localBlock(int b, int chromaFormat, bool fieldDct) {
    if (b < 4) {
        const int column = 8 * (b & 1);
        if (fieldDct) return {0, 16 * ((b >> 1) & 1) + column, 32};
        return {0, 16 * 8 * ((b >> 1) & 1) + column, 16};
    }
    const int cw = chromaBlockWidth(chromaFormat);
    const int column = (b & 8) ? 8 : 0;
    if (fieldDct && chromaFormat != 1) return {1 + (b & 1), cw * ((b >> 1) & 1) + column, 2 * cw};
    return {1 + (b & 1), cw * 8 * ((b >> 1) & 1) + column, cw};
}

// A plane of the coded picture around macroblock (x, y): the address of
// its first sample and the stride between the coded picture's lines.
struct PlaneArea {
    size_t offset;
    int stride;
    int width, height;
};

PlaneArea planeArea(const VideoEncoder& enc, int plane, int x, int y) {
    const VideoGeometry& g = enc.geo;
    const bool field = enc.pic.isField();
    const bool bottom = enc.pic.pictureStructure == kBottomField;
    if (plane == 0) {
        const int stride = field ? g.lineStep : g.paddedWidth;
        const size_t base = bottom ? static_cast<size_t>(g.paddedWidth) : 0;
        return {base + static_cast<size_t>(y) * stride + static_cast<size_t>(x), stride, 16, 16};
    }
    const int cw = chromaBlockWidth(g.chromaFormat), ch = chromaBlockHeight(g.chromaFormat);
    const int cx = g.chromaFormat == 3 ? x : x / 2;
    const int cy = g.chromaFormat == 1 ? y / 2 : y;
    const int stride = field ? g.chromaLineStep : g.chromaWidth;
    const size_t base = bottom ? static_cast<size_t>(g.chromaWidth) : 0;
    return {base + static_cast<size_t>(cy) * stride + static_cast<size_t>(cx), stride, cw, ch};
}

bool allZero(const Block& block) {
    uint64_t words[16];
    std::memcpy(words, block.data(), sizeof words);
    uint64_t any = 0;
    for (uint64_t w : words) any |= w;
    return any == 0;
}

// Lines of a macroblock plane between the picture and the work buffers: the
// common widths as fixed-size copies the compiler turns into moves.
void copyLines(uint8_t* dst, int dstStride, const uint8_t* src, int srcStride, int width, int height) {
    auto lines = [&](auto widthConstant) {
        for (int r = 0; r < height; ++r)
            std::memcpy(dst + static_cast<ptrdiff_t>(r) * dstStride, src + static_cast<ptrdiff_t>(r) * srcStride,
                        widthConstant);
    };
    if (width == 16)
        lines(size_t{16});
    else if (width == 8)
        lines(size_t{8});
    else
        lines(static_cast<size_t>(width));
}

bool fieldDctAllowed(const VideoEncoder& enc) { return !enc.pic.framePredFrameDct && !enc.pic.isField(); }

}  // namespace

void startMacroblock(const VideoEncoder& enc, int k, const Picture& source, MacroblockWork& work) {
    work.k = k;
    work.x = 16 * (k % enc.geo.mbWidth);
    work.y = 16 * (k / enc.geo.mbWidth);
    for (int c = 0; c < 3; ++c) {
        const PlaneArea a = planeArea(enc, c, work.x, work.y);
        copyLines(work.source[c], a.width, source.plane[c].data() + a.offset, a.stride, a.width, a.height);
    }
}

int decideMacroblockDctType(const VideoEncoder& enc, const MacroblockWork& work) {
    if (!fieldDctAllowed(enc)) return 0;
    long long sa = 0, sb = 0, saa = 0, sbb = 0, sab = 0;
    for (int r = 0; r < 8; ++r) {
        const uint8_t* top = work.source[0] + 32 * r;
        const uint8_t* topPred = work.prediction[0] + 32 * r;
        for (int c = 0; c < 16; ++c) {
            const int a = top[c] - topPred[c];
            const int b = top[16 + c] - topPred[16 + c];
            sa += a;
            sb += b;
            saa += a * a;
            sbb += b * b;
            sab += a * b;
        }
    }
    const double d = (static_cast<double>(saa) - static_cast<double>(sa) * sa / 128.0) *
                     (static_cast<double>(sbb) - static_cast<double>(sb) * sb / 128.0);
    if (d > 0) {
        const double r = (static_cast<double>(sab) - static_cast<double>(sa) * sb / 128.0) / std::sqrt(d);
        return r > 0.5 ? 0 : 1;
    }
    return 1;
}

void transformMacroblock(const VideoEncoder& enc, int dctType, MacroblockWork& work) {
    const TransformRoutines& t = enc.transforms;
    auto difference = t.blockDifference ? t.blockDifference : blockDifferencePlain;
    const bool fieldDct = dctType != 0 && fieldDctAllowed(enc);
    for (int b = 0; b < enc.geo.blockCount; ++b) {
        const LocalBlock p = localBlock(b, enc.geo.chromaFormat, fieldDct);
        int16_t* out = work.blocks[b].data();
        difference(work.source[p.plane] + p.offset, work.prediction[p.plane] + p.offset, p.stride, out);
        // Every DCT form maps a zero block to zero coefficients.
        if (!allZero(work.blocks[b])) t.forwardDct(out);
    }
}

int chooseMquant(VideoEncoder& enc, int k) {
    if (enc.constantBitrate() && enc.rate) return enc.rate->rcCalcMquant(enc, k);
    return fixedMquant(enc);
}

void quantiseMacroblock(const VideoEncoder& enc, MacroblockInfo& mb, int mquant, MacroblockWork& work) {
    Block* blocks = work.blocks;
    const int count = enc.geo.blockCount;
    const PictureState& pic = enc.pic;
    const TransformRoutines& t = enc.transforms;
    const bool alternate = pic.alternateScan != 0;
    auto mask = t.nonzeroMask ? t.nonzeroMask : nonzeroMaskPlain;
    mb.mquant = mquant;
    if (mb.type & kMbIntra) {
        auto quantizeIntra = t.quantizeIntra ? t.quantizeIntra : quantizeIntraBlock;
        if (enc.constantBitrate() && enc.rate) {
            Block saved[12];
            std::copy(blocks, blocks + count, saved);
            // Coarser quantisers are tried while a level does not fit and
            // mquant is below the intra matrix's weight at (3, 7).
            const int bound = std::min<int>(enc.quant.intra[31], pic.qScaleType ? 112 : 62);
            for (;;) {
                bool fits = true;
                for (int b = 0; b < count && fits; ++b)
                    fits = quantizeIntra(blocks[b].data(), blocks[b].data(), pic.intraDcPrecision,
                                         enc.quant.intra.data(), mquant, enc.mpeg2);
                if (fits || mquant >= bound) {
                    if (!fits) {
                        // Finish the remaining blocks with the limited levels.
                        std::copy(saved, saved + count, blocks);
                        for (int b = 0; b < count; ++b)
                            quantizeIntra(blocks[b].data(), blocks[b].data(), pic.intraDcPrecision,
                                          enc.quant.intra.data(), mquant, enc.mpeg2);
                    }
                    break;
                }
                const int next = nextCoarserMquant(mquant, pic.qScaleType);
                if (next == mquant) break;
                mquant = next;
                mb.mquant = mquant;
                std::copy(saved, saved + count, blocks);
            }
        } else {
            for (int b = 0; b < count; ++b)
                quantizeIntra(blocks[b].data(), blocks[b].data(), pic.intraDcPrecision, enc.quant.intra.data(),
                              mquant, enc.mpeg2);
        }
        for (int b = 0; b < count; ++b) work.scanMask[b] = toScanOrder(mask(blocks[b].data()), alternate);
        mb.cbp = (1 << count) - 1;
        return;
    }
    const bool fast = enc.engine.ev.MMXMode > 0 && mquant > 1;
    auto quantize = fast ? (t.quantizeNonIntraFast ? t.quantizeNonIntraFast : quantizeNonIntraBlockFast)
                         : (t.quantizeNonIntra ? t.quantizeNonIntra : quantizeNonIntraBlock);
    int cbp = 0;
    for (int b = 0; b < count; ++b) {
        int16_t* levels = blocks[b].data();
        quantize(levels, levels, enc.quant.nonIntra16.data(), enc.quant.nonIntraReciprocal.data(), mquant, enc.mpeg2);
        const uint64_t natural = mask(levels);
        work.scanMask[b] = toScanOrder(natural, alternate);
        cbp = (cbp << 1) | (natural != 0 ? 1 : 0);
    }
    mb.cbp = cbp;
    if (cbp) mb.type |= kMbPattern;
}

void reconstructMacroblock(const VideoEncoder& enc, const MacroblockInfo& mb, int dctType, MacroblockWork& work) {
    const int count = enc.geo.blockCount;
    const TransformRoutines& t = enc.transforms;
    auto intra = t.dequantizeIntra ? t.dequantizeIntra : dequantizeIntraBlock;
    auto nonIntra = t.dequantizeNonIntra ? t.dequantizeNonIntra : dequantizeNonIntraBlock;
    // Tables filled by hand (tests) may leave the block steps out.
    auto reconstruct = t.blockReconstruct ? t.blockReconstruct : blockReconstructPlain;
    const int16_t* coefClip = enc.coefClip();
    const bool fieldDct = dctType != 0 && fieldDctAllowed(enc);
    const bool isIntra = (mb.type & kMbIntra) != 0;
    for (int b = 0; b < count; ++b) {
        int16_t* blk = work.blocks[b].data();
        // A block without coded levels adds nothing in the decoder, so it
        // must not pick up the mismatch-control bit here either.
        if (!isIntra && (mb.skipped || !(mb.cbp & (1 << (count - 1 - b))))) {
            work.blocks[b].fill(0);
        } else {
            if (isIntra)
                intra(blk, blk, enc.pic.intraDcPrecision, enc.quant.intra.data(), mb.mquant, enc.mpeg2);
            else
                nonIntra(blk, blk, enc.quant.nonIntra8.data(), mb.mquant, enc.mpeg2);
            // Blocks without levels are common in predicted pictures; every
            // inverse transform maps them to zero, so they skip it.
            if (!allZero(work.blocks[b])) t.inverseDct(blk, coefClip);
        }
        const LocalBlock p = localBlock(b, enc.geo.chromaFormat, fieldDct);
        reconstruct(work.prediction[p.plane] + p.offset, blk, p.stride, work.reconstruction[p.plane] + p.offset);
    }
}

void commitMacroblock(const VideoEncoder& enc, const MacroblockWork& work, Picture& reconstructed) {
    for (int c = 0; c < 3; ++c) {
        const PlaneArea a = planeArea(enc, c, work.x, work.y);
        copyLines(reconstructed.plane[c].data() + a.offset, a.stride, work.reconstruction[c], a.width, a.width,
                  a.height);
    }
}

int64_t planesSquaredError(const VideoEncoder& enc, const uint8_t (*a)[256], const uint8_t (*b)[256]) {
    const int chroma = chromaBlockWidth(enc.geo.chromaFormat) * chromaBlockHeight(enc.geo.chromaFormat);
    const SquaredErrorFn squaredError = enc.motion ? enc.motion->routines.squaredError : squaredErrorPlain;
    int64_t sum = 0;
    for (int c = 0; c < 3; ++c) sum += squaredError(a[c], b[c], c == 0 ? 256 : chroma);
    return sum;
}

int64_t macroblockError(const VideoEncoder& enc, const MacroblockWork& work) {
    return planesSquaredError(enc, work.source, work.reconstruction);
}

}  // namespace quillon

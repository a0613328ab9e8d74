#include "video/encoder/macroblock_quantiser.h"

#include <algorithm>

#include "video/dsp/quantize.h"
#include "video/encoder/rate_interface.h"

namespace quillon {

void quantiseMacroblock(VideoEncoder& enc, int k) {
    MacroblockInfo& mb = enc.mbInfo[static_cast<size_t>(k)];
    Block* blocks = enc.macroblockBlocks(k);
    const int count = enc.geo.blockCount;
    const bool cbr = enc.constantBitrate() && enc.rate;
    const PictureState& pic = enc.pic;
    int mquant = cbr ? enc.rate->rcCalcMquant(enc, k) : fixedMquant(enc);
    mb.mquant = mquant;
    if (mb.type & kMbIntra) {
        auto quantizeIntra = enc.transforms.quantizeIntra ? enc.transforms.quantizeIntra : quantizeIntraBlock;
        if (cbr) {
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
        mb.cbp = (1 << count) - 1;
    } else {
        const bool fast = enc.engine.ev.MMXMode > 0 && mquant > 1;
        auto fastForm = enc.transforms.quantizeNonIntraFast ? enc.transforms.quantizeNonIntraFast
                                                            : quantizeNonIntraBlockFast;
        int cbp = 0;
        for (int b = 0; b < count; ++b) {
            const bool coded =
                fast ? fastForm(blocks[b].data(), blocks[b].data(), enc.quant.nonIntra16.data(),
                                                 enc.quant.nonIntraReciprocal.data(), mquant, enc.mpeg2)
                     : quantizeNonIntraBlock(blocks[b].data(), blocks[b].data(), enc.quant.nonIntra16.data(),
                                             enc.quant.nonIntraReciprocal.data(), mquant, enc.mpeg2);
            cbp = (cbp << 1) | (coded ? 1 : 0);
        }
        mb.cbp = cbp;
        if (cbp) mb.type |= kMbPattern;
    }
    if (cbr) enc.rate->rcRecordMquant(enc, mb.mquant);
}

void dequantizePicture(VideoEncoder& enc) {
    const int count = enc.geo.blockCount;
    const int mbCount = enc.geo.macroblockCount();
    auto intra = enc.transforms.dequantizeIntra ? enc.transforms.dequantizeIntra : dequantizeIntraBlock;
    auto nonIntra = enc.transforms.dequantizeNonIntra ? enc.transforms.dequantizeNonIntra : dequantizeNonIntraBlock;
    for (int k = 0; k < mbCount; ++k) {
        const MacroblockInfo& mb = enc.mbInfo[static_cast<size_t>(k)];
        Block* blocks = enc.macroblockBlocks(k);
        for (int b = 0; b < count; ++b) {
            // A block without coded levels adds nothing in the decoder, so
            // it must not pick up the mismatch-control bit here either.
            if (!(mb.type & kMbIntra) && (mb.skipped || !(mb.cbp & (1 << (count - 1 - b))))) {
                blocks[b].fill(0);
                continue;
            }
            if (mb.type & kMbIntra)
                intra(blocks[b].data(), blocks[b].data(), enc.pic.intraDcPrecision, enc.quant.intra.data(),
                      mb.mquant, enc.mpeg2);
            else
                nonIntra(blocks[b].data(), blocks[b].data(), enc.quant.nonIntra8.data(), mb.mquant, enc.mpeg2);
        }
    }
}

}  // namespace quillon

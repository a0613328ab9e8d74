#include "video/encoder/rd_quantise.h"

#include "video/dsp/trellis.h"
#include "video/dsp/vlc.h"
#include "video/encoder/rd_cost.h"

namespace quillon {

void refineMacroblockLevels(const VideoEncoder& enc, MacroblockInfo& mb, const Block* coefficients,
                            MacroblockWork& work) {
    const PictureState& pic = enc.pic;
    const bool intra = (mb.type & kMbIntra) != 0;
    const bool alternate = pic.alternateScan != 0;
    TrellisBlock t;
    t.mpeg2 = enc.mpeg2;
    t.intra = intra;
    t.tableB15 = intra && pic.intraVlcFormat != 0;
    t.scan = alternate ? kAlternateScan : kZigzagScan;
    t.weights = intra ? enc.quant.intra.data() : enc.quant.nonIntra8.data();
    t.mquant = mb.mquant;
    // The best level searches every path; high the few that nearly always win.
    t.lookBack = enc.s.trellis >= 2 ? 64 : 8;
    t.lambda = rdLambda(mb.mquant, pic.pictureCodingType, enc.s.lambdaPercent);

    const int count = enc.geo.blockCount;
    int cbp = 0;
    for (int b = 0; b < count; ++b) {
        int16_t* levels = work.blocks[b].data();
        if (work.scanMask[b] & (intra ? ~uint64_t{1} : ~uint64_t{0}))
            work.scanMask[b] = trellisQuantise(t, coefficients[b].data(), levels, work.scanMask[b]);
        cbp = (cbp << 1) | (work.scanMask[b] != 0 ? 1 : 0);
    }
    if (intra) return;
    mb.cbp = cbp;
    if (cbp)
        mb.type |= kMbPattern;
    else
        mb.type &= ~kMbPattern;
}

}  // namespace quillon

#include "video/encoder/picture_tools.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "video/dsp/quantize.h"
#include "video/encoder/rate_interface.h"

namespace quillon {

int nearestCodableMquant(double value, int qScaleType) {
    if (!qScaleType) {
        const int code = static_cast<int>(std::lround(value / 2));
        return 2 * std::clamp(code, 1, 31);
    }
    int best = nonLinearQuantTable[1];
    for (int code = 1; code < 32; ++code) {
        const int m = nonLinearQuantTable[static_cast<size_t>(code)];
        if (std::abs(m - value) < std::abs(best - value)) best = m;
    }
    return best;
}

int typeMquant(const EncoderSettings& s, int pictureType, int baseMquant, int qScaleType) {
    const int ratio = pictureType == kPictureI ? s.iQuantRatio : pictureType == kPictureB ? s.bQuantRatio : 100;
    if (ratio == 100) return baseMquant;
    return nearestCodableMquant(baseMquant * ratio / 100.0, qScaleType);
}

bool looksProgressive(const Picture& source, const VideoGeometry& geo) {
    const uint8_t* y = source.y();
    const int stride = geo.paddedWidth;
    // Every fourth line pair is plenty to tell the two apart.
    long long adjacent = 0, apart = 0;
    for (int r = 0; r + 2 < geo.height; r += 4) {
        const uint8_t* a = y + static_cast<size_t>(r) * stride;
        const uint8_t* b = a + stride;
        const uint8_t* c = b + stride;
        for (int x = 0; x < geo.width; ++x) {
            adjacent += std::abs(a[x] - b[x]) + std::abs(b[x] - c[x]);
            apart += 2 * std::abs(a[x] - c[x]);
        }
    }
    return adjacent <= apart;
}

namespace {

// Finer DC steps pay where the AC steps are fine too.
int dcPrecisionFor(int mquant) {
    if (mquant < 6) return 2;
    if (mquant < 16) return 1;
    return 0;
}

}  // namespace

void applyPictureTools(VideoEncoder& enc) {
    if (!enc.mpeg2) return;
    const EncoderSettings& s = enc.s;
    PictureState& pic = enc.pic;
    if ((s.zigzagProgressive || s.fieldModes) && !s.fieldPictures && enc.current) {
        const bool progressive = pic.progressiveFrame || looksProgressive(*enc.current, enc.geo);
        if (progressive && s.zigzagProgressive) {
            pic.alternateScan = 0;
            pic.framePredFrameDct = 1;
        }
        // Where the two fields differ, field prediction and field DCT
        // compete with the frame forms macroblock by macroblock. A
        // progressive frame must keep frame-only prediction.
        if (!progressive && s.fieldModes) pic.framePredFrameDct = 0;
    }
    if (s.intraVLCAll) pic.intraVlcFormat = 1;
    if (s.dcPrecisionByRate) {
        // The quantiser the I picture's blocks will mostly see.
        const int mquant = enc.constantBitrate() && enc.rcStats.mquantCount > 0
                               ? static_cast<int>(enc.rcStats.avgMquant * s.iQuantRatio / 100.0)
                               : typeMquant(s, kPictureI, baseFixedMquant(enc), pic.qScaleType);
        pic.intraDcPrecision = dcPrecisionFor(mquant);
    }
}

}  // namespace quillon

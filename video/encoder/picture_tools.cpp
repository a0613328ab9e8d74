#include "video/encoder/picture_tools.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <vector>

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

int grainTypeRatio(int pictureType) {
    // Measured on the bench's grainy clip (DVD PAL and VCD, high level,
    // BD-rate): I 120 and B 90 gained 0.2-1.2 % (PSNR-Y) and 1.1-1.2 %
    // (SSIM-Y) against P's quantiser for both; I 110 and 135 were within
    // 0.5 %, I 170 lost 3 % SSIM-Y on DVD, B 80 lost 0.7-1.8 %.
    return pictureType == kPictureI ? 120 : pictureType == kPictureB ? 90 : 100;
}

int typeRatioPercent(const EncoderSettings& s, int pictureType, int share) {
    int ratio = pictureType == kPictureI ? s.iQuantRatio : pictureType == kPictureB ? s.bQuantRatio : 100;
    if (share != 100) {
        const int grain = grainTypeRatio(pictureType);
        ratio = grain + (ratio - grain) * share / 100;
    }
    return ratio;
}

int typeMquant(const EncoderSettings& s, int pictureType, int baseMquant, int qScaleType, int share) {
    const int ratio = typeRatioPercent(s, pictureType, share);
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

double grainLevel(const Picture& source, const VideoGeometry& geo) {
    const uint8_t* y = source.y();
    const int stride = geo.paddedWidth;
    std::vector<int> blocks;
    for (int by = 0; by + 12 <= geo.height; by += 16)
        for (int bx = 0; bx + 10 <= geo.width; bx += 16) {
            int sum = 0;
            for (int r = by + 2; r < by + 10; ++r) {
                const uint8_t* p = y + static_cast<size_t>(r) * stride;
                for (int c = bx + 1; c < bx + 9; ++c)
                    sum += std::abs(4 * p[c] - p[c - 1] - p[c + 1] - p[c - 2 * stride] - p[c + 2 * stride]);
            }
            blocks.push_back(sum);
        }
    if (blocks.empty()) return 0;
    auto quartile = blocks.begin() + static_cast<ptrdiff_t>(blocks.size() / 4);
    std::nth_element(blocks.begin(), quartile, blocks.end());
    return *quartile / 64.0;
}

int typeRatioShareFor(double grain) {
    // Measured: the bench's clean clips 1.6-1.8 at DVD size; at VCD size
    // the natural clip's detail, zoomed in, reaches 4.2, and counting it as
    // a little grainy cost 0.3-0.6 % BD-rate there. The grainy clip is at
    // 10-11.6 at both sizes.
    constexpr double kClean = 4.5, kGrainy = 8;
    const double t = std::clamp((grain - kClean) / (kGrainy - kClean), 0.0, 1.0);
    return static_cast<int>(std::lround(100 - 100 * t));
}

namespace {

// Finer DC steps pay where the AC steps are fine too.
int dcPrecisionFor(int mquant) {
    if (mquant < 6) return 2;
    if (mquant < 16) return 1;
    return 0;
}

}  // namespace

void measureGrain(VideoEncoder& enc) {
    enc.typeRatioShare =
        enc.s.grainRatios && enc.current ? typeRatioShareFor(grainLevel(*enc.current, enc.geo)) : 100;
}

void applyPictureTools(VideoEncoder& enc) {
    const EncoderSettings& s = enc.s;
    if (!enc.mpeg2) return;
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
        int mquant = enc.constantBitrate() && enc.rcStats.mquantCount > 0
                         ? static_cast<int>(enc.rcStats.avgMquant * s.iQuantRatio / 100.0)
                         : typeMquant(s, kPictureI, baseFixedMquant(enc), pic.qScaleType, enc.typeRatioShare);
        if (enc.passQuant > 0) {
            // A second pass codes at its own quantisers, not at the
            // settings' one: the I picture's, from this picture's by the
            // type ratios.
            const int base = baseFixedMquant(enc);
            const double own = typeMquant(s, pic.pictureCodingType, base, pic.qScaleType, enc.typeRatioShare);
            mquant = static_cast<int>(fixedMquant(enc) * mquant / std::max(1.0, own) + 0.5);
        }
        pic.intraDcPrecision = dcPrecisionFor(mquant);
    }
}

}  // namespace quillon

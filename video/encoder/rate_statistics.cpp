// The rate statistics kept in both bitrate modes, and the fixed quantiser of
// variable-bitrate coding.
#include <cmath>

#include "video/dsp/quantize.h"
#include "video/encoder/picture_tools.h"
#include "video/encoder/rate_interface.h"

namespace quillon {

int baseFixedMquant(const VideoEncoder& enc) {
    const int value = enc.s.mquantValue < 1 ? 1 : enc.s.mquantValue > 31 ? 31 : enc.s.mquantValue;
    return enc.pic.qScaleType ? nonLinearQuantTable[static_cast<size_t>(value)] : 2 * value;
}

int fixedMquant(const VideoEncoder& enc) {
    if (enc.passQuant > 0) {
        const double recoded = enc.passMquantValue > 0 ? static_cast<double>(enc.s.mquantValue) / enc.passMquantValue : 1.0;
        return nearestCodableMquant(enc.passQuant * recoded, enc.pic.qScaleType);
    }
    return typeMquant(enc.s, enc.pic.pictureCodingType, baseFixedMquant(enc), enc.pic.qScaleType, enc.typeRatioShare);
}

void rcInitSequenceStatistics(VideoEncoder& enc) {
    RateStatistics& st = enc.rcStats;
    st.minFrameBits = 200000000;
    st.minWindowBits = 200000000;
    st.maxFrameBits = 0;
    st.maxWindowBits = 0;
    st.framesInWindow = 0;
    st.maxMquant = 0;
    st.mquantSum = 0;
    st.mquantCount = 0;
    st.avgMquant = 0;
    st.bitsAtLastFrame = 0;
    st.bitsAtLastWindow = 0;
    st.minMquant = 200;
    static constexpr int kWindow[9] = {25, 24, 24, 25, 30, 30, 50, 60, 60};
    const int code = enc.s.frameRateCode;
    st.windowLength = code >= 1 && code <= 8 ? kWindow[code]
                                             : static_cast<int>(std::floor(enc.s.frameRate + 0.5));
    if (st.windowLength < 1) st.windowLength = 1;
}

void rcFrameStatistics(VideoEncoder& enc) {
    RateStatistics& st = enc.rcStats;
    const double total = enc.writer.totalBits();
    const uint32_t frameBits = static_cast<uint32_t>(std::floor(total - st.bitsAtLastFrame));
    st.bitsAtLastFrame = total;
    if (frameBits > st.maxFrameBits) st.maxFrameBits = frameBits;
    if (frameBits < st.minFrameBits) st.minFrameBits = frameBits;
    if (++st.framesInWindow >= st.windowLength) {
        const uint32_t windowBits = static_cast<uint32_t>(std::floor(total - st.bitsAtLastWindow));
        st.bitsAtLastWindow = total;
        if (windowBits > st.maxWindowBits) st.maxWindowBits = windowBits;
        if (windowBits < st.minWindowBits) st.minWindowBits = windowBits;
        st.framesInWindow = 0;
    }
}

}  // namespace quillon

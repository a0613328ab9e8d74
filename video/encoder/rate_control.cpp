#include "video/encoder/rate_control.h"

#include <algorithm>
#include <cmath>

#include "engine/format.h"
#include "video/dsp/distance_routines.h"
#include "video/dsp/quantize.h"
#include "video/encoder/picture_tools.h"

namespace quillon {

SavedRateStatistics saveRateStatistics(const RateStatistics& st) {
    SavedRateStatistics v;
    v.bitsAtLastFrame = st.bitsAtLastFrame;
    v.bitsAtLastWindow = st.bitsAtLastWindow;
    v.maxFrameBits = st.maxFrameBits;
    v.minFrameBits = st.minFrameBits;
    v.maxWindowBits = st.maxWindowBits;
    v.minWindowBits = st.minWindowBits;
    v.framesInWindow = st.framesInWindow;
    v.maxMquant = st.maxMquant;
    v.minMquant = st.minMquant;
    v.mquantSum = st.mquantSum;
    v.mquantCount = st.mquantCount;
    return v;
}

void restoreRateStatistics(RateStatistics& st, const SavedRateStatistics& v) {
    st.bitsAtLastFrame = v.bitsAtLastFrame;
    st.bitsAtLastWindow = v.bitsAtLastWindow;
    st.maxFrameBits = v.maxFrameBits;
    st.minFrameBits = v.minFrameBits;
    st.maxWindowBits = v.maxWindowBits;
    st.minWindowBits = v.minWindowBits;
    st.framesInWindow = v.framesInWindow;
    st.maxMquant = v.maxMquant;
    st.minMquant = v.minMquant;
    st.mquantSum = v.mquantSum;
    st.mquantCount = v.mquantCount;
    st.avgMquant = v.mquantCount ? v.mquantSum / v.mquantCount : 0.0;
}

std::FILE* RateControl::statsFile() const { return engine_.job.statisticsFile; }

void RateControl::initSequence() {
    const double rate = s_.constBitrate;
    const double F = s_.frameRate;
    minPictureBits_ = 0;
    maxPictureBits_ = 999999999.0;
    maxDelay_ = rate > 0 ? 1474560000.0 / rate * s_.vbvBufferSize : 0.0;
    thirdPicture_ = std::floor(rate / (F * 3) + 0.5);
    lastUnderflowPicture_ = -1;
    lastOverflowPicture_ = -1;
    pictureCount_ = 0;

    bitcountEOP_ = 0;
    nextIPDelay_ = 0;
    decodingTime_ = 0;
    R_ = 0;
    r_ = s_.reactionParameter ? s_.reactionParameter : static_cast<int>(std::floor(2 * rate / F + 0.5));
    if (r_ <= 0) r_ = 1;  // a zero rate would divide by zero below
    avgAct_ = s_.initialAverageActivity ? s_.initialAverageActivity : 400.0;
    Xi_ = s_.initialIComplexity ? s_.initialIComplexity : static_cast<int>(std::floor(rate * 1.391304347826087 + 0.5));
    Xp_ = s_.initialPComplexity ? s_.initialPComplexity : static_cast<int>(std::floor(rate * 60.0 / 115.0 + 0.5));
    Xb_ = s_.initialBComplexity ? s_.initialBComplexity : static_cast<int>(std::floor(rate * 0.3652173913043478 + 0.5));
    d0i_ = s_.initialIFullness ? s_.initialIFullness : static_cast<int>(std::floor(r_ * 0.3225806451612903 + 0.5));
    d0p_ = s_.initialPFullness ? s_.initialPFullness : static_cast<int>(std::floor(r_ * 0.3225806451612903 + 0.5));
    d0b_ = s_.initialBFullness ? s_.initialBFullness : static_cast<int>(std::floor(r_ * 0.45161290322580644 + 0.5));
    prevMquant_ = 0;

    if (std::FILE* f = statsFile()) {
        std::fprintf(f, "\nrate control: sequence initialization\n");
        std::fprintf(f, " initial global complexity measures (I,P,B): Xi=%d, Xp=%d, Xb=%d\n", Xi_, Xp_, Xb_);
        std::fprintf(f, " reaction parameter: r=%d\n", r_);
        std::fprintf(f, " initial virtual buffer fullness (I,P,B): d0i=%d, d0p=%d, d0b=%d\n", d0i_, d0p_, d0b_);
        std::fprintf(f, " initial average activity: avg_act=%.1f\n", avgAct_);
    }
}

void RateControl::initGop(int np, int nb) {
    if (s_.fieldPictures) {
        Np_ = 2 * np + 1;
        Nb_ = 2 * nb;
    } else {
        Np_ = np;
        Nb_ = nb;
    }
    // Unused bits are not carried into the next GOP; an overspend is.
    if (R_ > 0) R_ = 0;
    R_ += std::floor((np + nb + 1) * s_.constBitrate / s_.frameRate + 0.5);
    if (d0p_ < s_.initialIFullness) d0p_ = s_.initialIFullness;
    if (s_.resetPBIVBF) {
        d0p_ = s_.initialPFullness;
        d0b_ = s_.initialBFullness;
    } else {
        d0p_ = std::max(d0p_, s_.initialPFullness);
        d0b_ = std::max(d0b_, s_.initialBFullness);
    }
    if (std::FILE* f = statsFile()) {
        std::fprintf(f, "\nrate control: new group of pictures (GOP)\n");
        std::fprintf(f, " target number of bits for GOP: R=%.1f\n", R_);
        std::fprintf(f, " number of P pictures in GOP: Np=%d\n", Np_);
        std::fprintf(f, " number of B pictures in GOP: Nb=%d\n", Nb_);
    }
}

void RateControl::initPicture(int pictureCodingType, const ActivitySource& src, double* activityOut) {
    pictureType_ = pictureCodingType;
    const double Kb = 1.4;
    double denom;
    if (s_.typeWeights) {
        // Each type's share of the GOP's bits as its complexity over its
        // quantiser weight: I pictures finer, B pictures coarser than P.
        // R holds the bits of the pictures still to code: the I picture
        // counts only while it is one of them (counted again, it took
        // its share twice and left the P and B pictures starved).
        // A grainy picture keeps the share of the ratios variable bitrate
        // gives it (finer I pictures buy little where grain is most of
        // what is coded).
        const double wi = Xi_ / (typeRatioPercent(s_, kPictureI, typeShare_) / 100.0), wp = Xp_,
                     wb = Xb_ / (typeRatioPercent(s_, kPictureB, typeShare_) / 100.0);
        const double own = pictureCodingType == kPictureI ? wi : pictureCodingType == kPictureP ? wp : wb;
        denom = ((pictureCodingType == kPictureI ? wi : 0.0) + Np_ * wp + Nb_ * wb) / own;
    }
    switch (pictureCodingType) {
    case kPictureI:
        if (!s_.typeWeights)
            denom = 1 + Np_ * static_cast<double>(Xp_) / Xi_ + Nb_ * static_cast<double>(Xb_) / (Xi_ * Kb);
        d_ = d0i_;
        break;
    case kPictureP:
        if (!s_.typeWeights) denom = Np_ + Nb_ * static_cast<double>(Xb_) / (Kb * Xp_);
        d_ = d0p_;
        break;
    default:
        if (!s_.typeWeights) denom = Nb_ + Kb * Np_ * static_cast<double>(Xp_) / Xb_;
        d_ = d0b_;
        break;
    }
    // More pictures than the GOP was planned for (or a broken complexity)
    // would divide by zero: treat the picture as the last one.
    if (!(denom >= 1.0)) denom = 1.0;
    T_ = std::floor(R_ / denom + 0.5);
    if (T_ > maxPictureBits_) T_ = maxPictureBits_;
    if (T_ < minPictureBits_) T_ = minPictureBits_;
    thirdPicture_ = std::floor(s_.constBitrate / (s_.frameRate * 3) + 0.5);
    if (R_ <= 0 || (T_ / R_ > 0.9 && T_ < thirdPicture_)) T_ = thirdPicture_;

    S0_ = writer_.totalBits();
    Qsum_ = 0;
    actSum_ = 0;

    // Spatial activity on the source luminance.
    mbCount_ = std::max(1, src.mbWidth * src.mbHeightPicture);
    activity_.assign(static_cast<size_t>(mbCount_), 1.0);
    if (src.luma) {
        const bool field = src.pictureStructure != kFramePicture;
        const int W = src.paddedWidth;
        const uint8_t* base = src.luma + (src.pictureStructure == kBottomField ? W : 0);
        const int step = field ? 2 * W : W;
        const bool fieldBlocks = !field && !s_.progressiveSequence;
        for (int my = 0; my < src.mbHeightPicture; ++my)
            for (int mx = 0; mx < src.mbWidth; ++mx) {
                const uint8_t* p = base + static_cast<size_t>(16 * my) * step + 16 * mx;
                double v = blockVariance8(p, step);
                v = std::min(v, blockVariance8(p + 8, step));
                v = std::min(v, blockVariance8(p + 8 * step, step));
                v = std::min(v, blockVariance8(p + 8 * step + 8, step));
                if (fieldBlocks) {
                    v = std::min(v, blockVariance8(p, 2 * step));
                    v = std::min(v, blockVariance8(p + 8, 2 * step));
                    v = std::min(v, blockVariance8(p + step, 2 * step));
                    v = std::min(v, blockVariance8(p + step + 8, 2 * step));
                }
                activity_[static_cast<size_t>(my * src.mbWidth + mx)] = 1.0 + v;
            }
    }
    if (activityOut) std::copy(activity_.begin(), activity_.end(), activityOut);

    if (std::FILE* f = statsFile()) {
        std::fprintf(f, "\nrate control: start of picture\n");
        std::fprintf(f, " min picture bits: %.1f\n", minPictureBits_);
        std::fprintf(f, " target number of bits: T=%.1f\n", T_);
        std::fprintf(f, " max picture bits: %.1f\n", maxPictureBits_);
    }
}

void RateControl::noteMquant(int mquant) {
    stats_.maxMquant = std::max(stats_.maxMquant, mquant);
    stats_.minMquant = std::min(stats_.minMquant, mquant);
    stats_.mquantSum += mquant;
    stats_.mquantCount += 1;
    stats_.avgMquant = stats_.mquantSum / stats_.mquantCount;
}

int RateControl::nonLinearMquant(double twiceQ) const {
    double code = std::floor(twiceQ + 0.5);
    int c = code < 1 ? 1 : code > 112 ? 112 : static_cast<int>(code);
    return nonLinearQuantTable[quantCodeMap[static_cast<size_t>(c)]];
}

int RateControl::startMacroblock(int qScaleType) {
    double Q = d_ * 31.0 / r_;
    int mquant;
    if (qScaleType) {
        mquant = nonLinearMquant(2 * Q);
    } else {
        double m = 2 * std::floor(Q + 0.5);
        mquant = m <= 0 ? 2 : m > 62 ? 62 : static_cast<int>(m);
        prevMquant_ = mquant;
    }
    noteMquant(mquant);
    return mquant;
}

int RateControl::calcMquant(int j, int qScaleType) {
    double act = j >= 0 && j < mbCount_ ? activity_[static_cast<size_t>(j)] : 1.0;
    actSum_ += act;
    double dj = d_ + (writer_.totalBits() - S0_) - T_ * j / mbCount_;
    double Qj = dj * 31.0 / r_;
    double Nact = (2 * act + avgAct_) / (act + 2 * avgAct_);
    if (s_.cbrActivity != 100) Nact = std::pow(Nact, s_.cbrActivity / 100.0);
    int mquant;
    if (qScaleType) {
        mquant = nonLinearMquant(2 * Qj * Nact);
    } else {
        double m = 2 * std::floor(Qj * Nact + 0.5);
        if (m < 2) {
            mquant = 2;
        } else {
            mquant = m > 62 ? 62 : static_cast<int>(m);
            // Small changes of a coarse quantiser cost more than they save.
            if (mquant >= 8 && std::abs(mquant - prevMquant_) <= 4) mquant = prevMquant_;
        }
    }
    noteMquant(mquant);
    return mquant;
}

void RateControl::recordMquant(int mquant) {
    prevMquant_ = mquant;
    Qsum_ += mquant;
}

void RateControl::updatePicture() {
    const double S = writer_.totalBits() - S0_;
    if (S < minPictureBits_) {
        int n = static_cast<int>(minPictureBits_ - S);
        if (n > 0) {
            for (int words = (n - 1) / 32 + 1; words > 0; --words) writer_.putBits(0, 32);
            writer_.alignToByte();
        }
    }
    const double S1 = writer_.totalBits() - S0_;
    R_ -= S1;
    const int X = static_cast<int>(std::floor(S1 * (Qsum_ * 0.5 / mbCount_) + 0.5));
    d_ = d_ + S1 - T_;
    avgAct_ = actSum_ / mbCount_;
    switch (pictureType_) {
    case kPictureI:
        Xi_ = X;
        d0i_ = static_cast<int>(d_);
        break;
    case kPictureP:
        Xp_ = X;
        d0p_ = static_cast<int>(d_);
        Np_ -= 1;
        break;
    default:
        Xb_ = X;
        d0b_ = static_cast<int>(d_);
        Nb_ -= 1;
        break;
    }
    stats_.totalPaddingBits += S1 - S;
    stats_.maxPaddingBits = std::max(stats_.maxPaddingBits, std::floor(S1 - S));
    if (std::FILE* f = statsFile()) {
        std::fprintf(f, "\nrate control: end of picture\n");
        std::fprintf(f, " actual number of bits: S=%.1f\n", S);
        std::fprintf(f, " padding bits added: P=%.1f\n", S1 - S);
        std::fprintf(f, " average quantization parameter Q=%.1f\n", Qsum_ / mbCount_);
        std::fprintf(f, " remaining number of bits in GOP: R=%.1f\n", R_);
        std::fprintf(f, " global complexity measures (I,P,B): Xi=%d, Xp=%d, Xb=%d\n", Xi_, Xp_, Xb_);
        std::fprintf(f, " virtual buffer fullness (I,P,B): d0i=%d, d0p=%d, d0b=%d\n", d0i_, d0p_, d0b_);
        std::fprintf(f, " remaining number of P pictures in GOP: Np=%d\n", Np_);
        std::fprintf(f, " remaining number of B pictures in GOP: Nb=%d\n", Nb_);
        std::fprintf(f, " average activity: avg_act=%.1f\n", avgAct_);
    }
}

void RateControl::markEndOfPicture() { bitcountEOP_ = 8 * std::floor((writer_.totalBits() + 7) / 8); }

void RateControl::warn(const char* text) {
    if (s_.verbose) engine_.reportWarning(text);
}

double RateControl::bPictureDelay(int structure, int tff, int rff) const {
    const double F = s_.frameRate;
    const double F2 = s_.videoPulldownFlag ? 29.97 : F;
    if (s_.progressiveSequence) return rff == 0 ? 90000.0 / F : tff == 0 ? 180000.0 / F : 270000.0 / F;
    if (structure != kFramePicture) return 90000.0 / (2 * F);
    return rff == 0 ? 180000.0 / (2 * F2) : 270000.0 / (2 * F2);
}

int RateControl::computeVbvDelay(const VbvPicture& pic) {
    const double F = s_.frameRate;
    const double rate = s_.constBitrate;
    const double fieldPeriod = 90000.0 / (2 * F);
    const bool field = pic.pictureStructure != kFramePicture;
    const int thisPicture = pictureCount_;

    double P;
    if (pic.pictureCodingType == kPictureB) {
        P = bPictureDelay(pic.pictureStructure, pic.topFieldFirst, pic.repeatFirstField);
    } else if (field) {
        const bool firstField = (s_.topFieldFirst != 0) == (pic.pictureStructure == kTopField);
        if (firstField) {
            P = fieldPeriod;
        } else {
            P = nextIPDelay_ - fieldPeriod;
            // The frame's display time: a field pair shows for two field
            // periods, which is what the next reference frame waits for.
            nextIPDelay_ = 2 * fieldPeriod;
        }
    } else {
        P = nextIPDelay_;
        nextIPDelay_ = bPictureDelay(pic.pictureStructure, pic.topFieldFirst, pic.repeatFirstField);
    }

    if (decodingTime_ == 0) {
        // The buffer starts 7/8 full.
        P = static_cast<double>((static_cast<int64_t>(s_.vbvBufferSize) * 7 * 16384) / 8) * 90000.0 / rate;
        if (s_.fieldPictures) nextIPDelay_ = std::floor(90000.0 / F + 0.5);
    }

    const bool force = s_.forceVBVDelay != 0;
    const double tEOP = bitcountEOP_ * 90000.0 / rate;
    if (!s_.lowDelay && tEOP > decodingTime_ && !force && lastUnderflowPicture_ != thisPicture) {
        warn(formatText("vbv_delay underflow! (decoding_time=%.1f, t_EOP=%.1f, bitcount=%.1f, frame=%d)",
                        decodingTime_, tEOP, writer_.totalBits(), pic.frameNumber)
                 .c_str());
        stats_.vbvUnderflows += 1;
        lastUnderflowPicture_ = thisPicture;
    }

    decodingTime_ += P;
    pictureCount_ += 1;

    const int v = static_cast<int>(std::floor(decodingTime_ - tEOP));
    if (v > maxDelay_ && !force && lastOverflowPicture_ != thisPicture) {
        warn(formatText("vbv_delay overflow! (decoding_time=%.1f, bitcnt_EOP=%.1f, bit_rate=%.1f, vbv_buffer_size=%d, "
                        "bitcount=%.1f, frame=%d)",
                        decodingTime_, bitcountEOP_, rate, s_.vbvBufferSize, writer_.totalBits(), pic.frameNumber)
                 .c_str());
        stats_.vbvOverflows += 1;
        lastOverflowPicture_ = thisPicture;
    }
    if (std::FILE* f = statsFile())
        std::fprintf(f, "\nvbv_delay=%d (bitcount=%.1f, decoding_time=%.2f, bitcnt_EOP=%.1f)\n", v, writer_.totalBits(),
                     decodingTime_, bitcountEOP_);

    vbvDelay_ = static_cast<int>(std::floor(decodingTime_ - writer_.totalBits() * 90000.0 / rate));
    minPictureBits_ = 8 * std::floor((((vbvDelay_ - maxDelay_) / 90000.0 + 2 / F) * rate + 7) / 8);
    if (minPictureBits_ <= 0) minPictureBits_ = 0;
    maxPictureBits_ = 8 * std::floor((rate * decodingTime_ / 90000.0 - writer_.totalBits()) / 8) - 100;

    if (vbvDelay_ < 0) {
        if (!force && lastUnderflowPicture_ != thisPicture) {
            warn(formatText("vbv_delay underflow=%d, bitcount=%.1f, frame=%d", vbvDelay_, writer_.totalBits(),
                            pic.frameNumber)
                     .c_str());
            stats_.vbvUnderflows += 1;
            lastUnderflowPicture_ = thisPicture;
        }
        vbvDelay_ = 0;
    }
    if (vbvDelay_ > 65535) {
        if (!force && lastOverflowPicture_ != thisPicture) {
            warn(formatText("vbv_delay overflow=%d, bitcount=%.1f, frame=%d", vbvDelay_, writer_.totalBits(),
                            pic.frameNumber)
                     .c_str());
            stats_.vbvOverflows += 1;
            lastOverflowPicture_ = thisPicture;
        }
        vbvDelay_ = 0xFFFF;
    }
    return vbvDelay_;
}

namespace {

// The controller the picture writer talks to in constant-bitrate mode.
class ConstantRateController final : public RateController {
public:
    explicit ConstantRateController(VideoEncoder& enc) : rc_(enc.engine, enc.s, enc.writer, enc.rcStats) {}

    void rcInitSequence(VideoEncoder&) override { rc_.initSequence(); }
    void rcInitGop(VideoEncoder&, int np, int nb) override { rc_.initGop(np, nb); }
    void rcInitPicture(VideoEncoder& enc, const Picture& source) override {
        ActivitySource src;
        src.luma = source.plane[0].empty() ? nullptr : source.y();
        src.paddedWidth = enc.geo.paddedWidth;
        src.mbWidth = enc.geo.mbWidth;
        src.mbHeightPicture = enc.geo.mbHeightPicture;
        src.pictureStructure = enc.pic.pictureStructure;
        rc_.setTypeRatioShare(enc.typeRatioShare);
        rc_.initPicture(enc.pic.pictureCodingType, src);
        const size_t n = std::min(enc.mbInfo.size(), static_cast<size_t>(enc.geo.macroblockCount()));
        for (size_t k = 0; k < n; ++k) enc.mbInfo[k].activity = rc_.activity(static_cast<int>(k));
    }
    void rcComputeVbvDelay(VideoEncoder& enc) override {
        VbvPicture p;
        p.pictureCodingType = enc.pic.pictureCodingType;
        p.pictureStructure = enc.pic.pictureStructure;
        p.topFieldFirst = enc.pic.topFieldFirst;
        p.repeatFirstField = enc.pic.repeatFirstField;
        p.frameNumber = enc.pic.frameNumber;
        enc.pic.vbvDelay = rc_.computeVbvDelay(p);
    }
    int rcStartMacroblock(VideoEncoder& enc) override { return rc_.startMacroblock(enc.pic.qScaleType); }
    int rcCalcMquant(VideoEncoder& enc, int j) override { return rc_.calcMquant(j, enc.pic.qScaleType); }
    void rcRecordMquant(VideoEncoder&, int mquant) override { rc_.recordMquant(mquant); }
    void rcUpdatePicture(VideoEncoder&) override { rc_.updatePicture(); }
    void rcMarkEndOfPicture(VideoEncoder&) override { rc_.markEndOfPicture(); }

private:
    RateControl rc_;
};

}  // namespace

std::unique_ptr<RateController> makeConstantRateController(VideoEncoder& enc) {
    return std::make_unique<ConstantRateController>(enc);
}

}  // namespace quillon

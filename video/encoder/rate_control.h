// Rate control of the video encoder: Test Model 5 targets, virtual buffers
// and activity modulation for constant-bitrate coding, the VBV model that
// bounds each picture and yields its vbv_delay, and the per-frame and
// per-second bit statistics kept in both modes.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

#include "video/encoder/rate_interface.h"
#include "video/encoder/video_types.h"

namespace quillon {

// What the VBV model needs to know of the picture whose header is written.
struct VbvPicture {
    int pictureCodingType = 1;  // 1 I, 2 P, 3 B
    int pictureStructure = 3;   // 1 top field, 2 bottom field, 3 frame
    int topFieldFirst = 0;
    int repeatFirstField = 0;
    int frameNumber = 0;        // for the warnings
};

// Where the activity pass reads the source luminance of the picture.
struct ActivitySource {
    const uint8_t* luma = nullptr;  // first sample of the frame (not the field)
    int paddedWidth = 0;            // row distance of frame lines
    int mbWidth = 0;
    int mbHeightPicture = 0;        // macroblock rows of the coded picture
    int pictureStructure = 3;
};

class RateControl {
public:
    RateControl(Engine& engine, const EncoderSettings& settings, BitWriter& writer, RateStatistics& stats)
        : engine_(engine), s_(settings), writer_(writer), stats_(stats) {}

    void initSequence();
    void initGop(int np, int nb);
    // Computes the target and the activity of every macroblock of the
    // picture. activityOut, when given, receives one value per macroblock.
    void initPicture(int pictureCodingType, const ActivitySource& source, double* activityOut = nullptr);
    int startMacroblock(int qScaleType);
    int calcMquant(int j, int qScaleType);
    void recordMquant(int mquant);
    void updatePicture();
    void markEndOfPicture();
    // Called right after the picture start code; returns the vbv_delay to
    // write (0..0xFFFF).
    int computeVbvDelay(const VbvPicture& picture);

    double activity(int j) const { return j >= 0 && j < mbCount_ ? activity_[static_cast<size_t>(j)] : 1.0; }
    int vbvDelay() const { return vbvDelay_; }
    double maxPictureBits() const { return maxPictureBits_; }
    double target() const { return T_; }
    double remainingGopBits() const { return R_; }
    double thirdPicture() const { return thirdPicture_; }
    int reaction() const { return r_; }
    int d0i() const { return d0i_; }
    int d0p() const { return d0p_; }
    int d0b() const { return d0b_; }
    int Xi() const { return Xi_; }
    int Xp() const { return Xp_; }
    int Xb() const { return Xb_; }
    int Np() const { return Np_; }
    int Nb() const { return Nb_; }
    double averageActivity() const { return avgAct_; }
    double decodingTime() const { return decodingTime_; }
    double maxDelay() const { return maxDelay_; }

    // Test hooks: a picture's virtual buffer fullness and the previous
    // quantiser, so the quantiser rules can be checked in isolation.
    void setFullness(double d) { d_ = d; }
    void setPreviousMquant(int m) { prevMquant_ = m; }
    void setRemainingGopBits(double r) { R_ = r; }
    // With typeWeights: how much of the type ratios the next picture
    // keeps, in percent (grainy pictures keep less).
    void setTypeRatioShare(int share) { typeShare_ = share; }

private:
    std::FILE* statsFile() const;
    void noteMquant(int mquant);
    void warn(const char* text);
    double bPictureDelay(int structure, int tff, int rff) const;
    int nonLinearMquant(double twiceQ) const;

    Engine& engine_;
    const EncoderSettings& s_;
    BitWriter& writer_;

    // TM5
    int r_ = 0;
    int Xi_ = 0, Xp_ = 0, Xb_ = 0;
    int d0i_ = 0, d0p_ = 0, d0b_ = 0;
    double avgAct_ = 400.0;
    double R_ = 0;
    int Np_ = 0, Nb_ = 0;
    double T_ = 0;
    double d_ = 0;
    double S0_ = 0;
    double Qsum_ = 0;
    double actSum_ = 0;
    int prevMquant_ = 0;
    int pictureType_ = 1;
    int typeShare_ = 100;
    int mbCount_ = 1;
    std::vector<double> activity_;
    double minPictureBits_ = 0;
    double maxPictureBits_ = 999999999.0;
    double thirdPicture_ = 0;

    // VBV
    double decodingTime_ = 0;
    double nextIPDelay_ = 0;
    double bitcountEOP_ = 0;
    double maxDelay_ = 0;
    int pictureCount_ = 0;
    int lastUnderflowPicture_ = -1;
    int lastOverflowPicture_ = -1;
    int vbvDelay_ = 0;

    RateStatistics& stats_;
};

// Statistics GOP re-coding saves at a GOP start and puts back before it
// codes the GOP again (the VBV counts and padding totals are not part of it).
struct SavedRateStatistics {
    double bitsAtLastFrame = 0, bitsAtLastWindow = 0;
    uint32_t maxFrameBits = 0, minFrameBits = 0, maxWindowBits = 0, minWindowBits = 0;
    int framesInWindow = 0, maxMquant = 0, minMquant = 0;
    double mquantSum = 0;
    int mquantCount = 0;
};
SavedRateStatistics saveRateStatistics(const RateStatistics& stats);
void restoreRateStatistics(RateStatistics& stats, const SavedRateStatistics& saved);

}  // namespace quillon

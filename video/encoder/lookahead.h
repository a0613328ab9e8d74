// The lookahead: quarter-size luminance pictures of the frames ahead of the
// coding loop, what coding each of them would cost (intra, and predicted
// from another picture by a cheap block search), and the GOP plan decided
// from those costs: a new GOP with an I picture at each scene cut, and as
// many B pictures between references as pays.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <utility>
#include <vector>

#include "video/dsp/distance_routines.h"
#include "video/encoder/coding_plan.h"

namespace quillon {

struct VideoEncoder;

// A picture at half the width and half the height; one 8x8 block per
// macroblock of the full picture.
struct QuarterPicture {
    int width = 0, height = 0;  // multiples of 8
    std::vector<uint8_t> y;
    std::vector<int> intraCost;  // per block
    int64_t intraTotal = 0;

    int blocksAcross() const { return width / 8; }
    int blocksDown() const { return height / 8; }
    const uint8_t* at(int x, int y0) const { return y.data() + static_cast<size_t>(y0) * width + x; }
};

// Averages 2x2 luminance samples of a width x height area (both even).
QuarterPicture makeQuarterPicture(const uint8_t* luma, int stride, int width, int height);

// Per-block result of predicting one picture from another.
struct BlockMatch {
    int cost = 0;  // sum of absolute differences of the best vector
    int8_t dx = 0, dy = 0;
};
struct PictureMatch {
    std::vector<BlockMatch> blocks;
    int64_t total = 0;  // sum over blocks of min(cost, intra cost)
};
// The block distances of the searches below (the routine set's forms).
struct QuarterDistances {
    Sad8x8Fn sad = sad8x8Plain;
    SadAverage8x8Fn sadAverage = sadAverage8x8Plain;
};

// Searches every block of cur in ref from the zero vector and its
// neighbours' vectors, refined in steps of 4, 2 and 1 samples.
PictureMatch matchPicture(const QuarterPicture& cur, const QuarterPicture& ref, const QuarterDistances& d = {});

// Cost of coding cur as a B picture between fwd and bwd, given both
// matches: per block the cheapest of forward, backward and their average.
int64_t bidirectionalCost(const QuarterPicture& cur, const QuarterPicture& fwd, const QuarterPicture& bwd,
                          const PictureMatch& fromFwd, const PictureMatch& fromBwd, const QuarterDistances& d = {});

// What the plan is decided from, by display index; a decider that can be
// tested on synthetic pictures without an encoder.
class PictureCosts {
public:
    virtual ~PictureCosts() = default;
    // Null when the picture cannot be had (beyond the input).
    virtual const QuarterPicture* picture(int display) = 0;
    // Prediction of cur from ref, computed once.
    const PictureMatch& match(int cur, int ref);
    // Forgets what lies before display (pictures and matches).
    void forgetBefore(int display);
    const QuarterDistances& distances() const { return distances_; }

protected:
    std::map<std::pair<int, int>, PictureMatch> matches_;
    QuarterDistances distances_;
};

struct LookaheadParameters {
    int N = 15;           // usual GOP length
    int maxLength = 15;   // the target's longest GOP, for a GOP that runs on to a cut
    int M = 3;            // at most M - 1 B pictures between references
    int nframes = 0;
    // A picture starts a new scene when predicting it from the picture
    // before costs at least this share (percent) of coding it alone; 0
    // finds no cuts.
    int cutPercent = 50;
};

class LookaheadDecider : public PlanDecider {
public:
    LookaheadDecider(PictureCosts& costs, const LookaheadParameters& p) : costs_(costs), p_(p) {}
    void decideMore(std::vector<CodingStep>& plan) override;
    // True when display starts a new scene: predicting it from the picture
    // before saves little against coding it alone.
    bool isCut(int display);

private:
    int chooseDistance(int anchor, int longest);
    PictureCosts& costs_;
    LookaheadParameters p_;
    int lastAnchor_ = -1;
    int gopStart_ = 0;
};

// Temporal propagation: how much of each block of picture display later
// pictures (up to display + window, within the encode) take over by
// prediction, following each picture's search in the one before it. The
// result is a quantiser factor per block, below 1 where later pictures
// predict from the block, above 1 where nothing does, with a geometric mean
// of 1 over the picture; exponent 0 gives 1 everywhere.
std::vector<double> temporalFactors(PictureCosts& costs, int display, int window, double exponent);

// The encoder's lookahead: its pictures, fetched through the frame input,
// shared by the GOP plan and the temporal propagation.
class EncoderLookahead;
std::shared_ptr<EncoderLookahead> makeEncoderLookahead(VideoEncoder& enc);
// The plan of an encode with the lookahead on (enc.s.lookahead > 0).
std::unique_ptr<CodingPlan> makeLookaheadPlan(VideoEncoder& enc, const std::shared_ptr<EncoderLookahead>& lookahead);
// Before coding the picture at display: sets enc.temporalFactor for it
// (empty when the propagation is off or does not apply) and lets go of the
// pictures the encode no longer needs.
void prepareTemporalFactors(VideoEncoder& enc, EncoderLookahead& lookahead, int display, int pictureType);
// The first picture the source could not give the lookahead (the source has
// reported it and ended the job), or -1. The pictures before it are still
// coded, as they would have been without reading ahead.
int lookaheadBreak(const EncoderLookahead& lookahead);
// The hook into the quantiser choice: macroblock k's quantiser with the
// temporal factor applied (mquant itself when there is none).
int temporalMquant(const VideoEncoder& enc, int k, int mquant, int qScaleType);

}  // namespace quillon

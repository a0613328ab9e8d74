// The macroblock decision keeps the cheaper of its candidates, and on
// hand-made macroblocks that is the one the content calls for.
#include <gtest/gtest.h>

#include <cstring>

#include "tests/support/temp_dir.h"
#include "tests/video/video_test_util.h"
#include "video/encoder/encoder_setup.h"
#include "video/encoder/mode_decision.h"
#include "video/encoder/rd_cost.h"

namespace quillon::testing {
namespace {

struct Bench {
    TempDir dir;
    VideoJob job{64, 64, 1, dir.file("d.m2v"), 4, 4};
    std::unique_ptr<VideoEncoder> enc;
    Bench() {
        job.engine.work.framePredDCTI = job.engine.work.framePredDCTP = 0;
        job.engine.work.rdDecision = 2;
        enc = std::make_unique<VideoEncoder>(job.engine);
        enc->gopSize = 15;
        enc->nframes = 1;
        EXPECT_TRUE(setUpEncoder(*enc));
        PictureState& pic = enc->pic;
        pic.pictureStructure = kFramePicture;
        pic.framePredFrameDct = 0;
        pic.qScaleType = 1;
        pic.intraVlcFormat = 1;
        pic.alternateScan = 1;
        pic.intraDcPrecision = 1;
    }
    ~Bench() { tearDownEncoder(*enc); }
};

// Luminance from f(row, column); chroma flat.
template <class F>
void fill(MacroblockWork& work, uint8_t prediction, F f) {
    for (int r = 0; r < 16; ++r)
        for (int c = 0; c < 16; ++c) work.source[0][16 * r + c] = static_cast<uint8_t>(f(r, c));
    std::memset(work.source[1], 128, sizeof work.source[1]);
    std::memset(work.source[2], 128, sizeof work.source[2]);
    std::memset(work.prediction[0], prediction, sizeof work.prediction[0]);
    std::memset(work.prediction[1], 128, sizeof work.prediction[1]);
    std::memset(work.prediction[2], 128, sizeof work.prediction[2]);
}

// Decides, then checks the choice against every candidate's own cost.
CandidateCost decideAndCheck(Bench& b, MacroblockInfo start, MacroblockWork& work, int* dctType, int* cbp) {
    const MacroblockSyntax syntax = macroblockSyntax(*b.enc);
    SliceState st;
    st.prevMquant = 8;
    CandidateCost cheapest;
    cheapest.cost = 1e300;
    int cheapestDct = -1;
    bool cheapestCoded = false;
    for (int dct : {0, 1})
        for (bool coded : {true, false}) {
            if (!coded && (start.type & kMbIntra)) continue;
            MacroblockInfo mb = start;
            MacroblockWork w = work;
            const CandidateCost c = costCandidate(*b.enc, mb, 8, dct, coded, true, st, syntax, w);
            EXPECT_NEAR(c.cost, c.error + rdLambda(8, syntax.pictureCodingType, b.enc->s.lambdaPercent) * c.bits, 1e-6);
            if (c.cost < cheapest.cost) {
                cheapest = c;
                cheapestDct = dct;
                cheapestCoded = coded;
            }
        }
    MacroblockInfo mb = start;
    decideMacroblock(*b.enc, mb, 8, true, st, syntax, work);
    // The levels left behind are the chosen candidate's: costing it again
    // gives the cheapest cost.
    if (cheapestCoded) {
        EXPECT_EQ(mb.dctType, cheapestDct);
    } else {
        EXPECT_EQ(mb.cbp, 0);
    }
    *dctType = mb.dctType;
    *cbp = mb.cbp;
    return cheapest;
}

TEST(ModeDecision, FieldStripesTakeFieldDctAndASmoothRampFrameDct) {
    Bench b;
    b.enc->pic.pictureCodingType = kPictureI;
    MacroblockInfo intra;
    intra.type = kMbIntra;
    MacroblockWork work;
    int dct = -1, cbp = 0;
    // The two fields far apart, each smooth: a woven moving edge.
    fill(work, 128, [](int r, int c) { return (r & 1) ? 40 + c : 200 - c; });
    decideAndCheck(b, intra, work, &dct, &cbp);
    EXPECT_EQ(dct, 1);
    // A ramp down the rows: frame lines continue one another.
    fill(work, 128, [](int r, int c) { return 30 + 9 * r + (c & 3); });
    decideAndCheck(b, intra, work, &dct, &cbp);
    EXPECT_EQ(dct, 0);
}

TEST(ModeDecision, ANearPerfectPredictionIsNotWorthItsLevels) {
    Bench b;
    b.enc->pic.pictureCodingType = kPictureP;
    MacroblockInfo inter;
    inter.type = kMbMotionForward;
    inter.motionType = kMotionFrame;
    MacroblockWork work;
    int dct = -1, cbp = 0;
    // One sample off by a little: its level costs more than its error.
    fill(work, 100, [](int r, int c) { return r == 5 && c == 9 ? 106 : 100; });
    decideAndCheck(b, inter, work, &dct, &cbp);
    EXPECT_EQ(cbp, 0);
    // A prediction far off: the error must be coded.
    fill(work, 60, [](int r, int c) { return 100 + 4 * ((r + c) % 7); });
    decideAndCheck(b, inter, work, &dct, &cbp);
    EXPECT_NE(cbp, 0);
}

}  // namespace
}  // namespace quillon::testing

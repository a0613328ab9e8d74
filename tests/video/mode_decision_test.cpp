// The macroblock decision keeps the cheaper of its candidates, and on
// hand-made macroblocks that is the one the content calls for.
#include <gtest/gtest.h>

#include <cstring>

#include "tests/support/temp_dir.h"
#include "tests/video/video_test_util.h"
#include "video/encoder/encoder_setup.h"
#include "video/encoder/mode_decision.h"
#include "video/encoder/picture_prediction.h"
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

// A B picture's macroblock between two references of hand-made content.
struct BScene {
    Bench b;
    Picture forward, backward;
    MacroblockWork work;
    MacroblockSyntax syntax;
    BScene() {
        VideoEncoder& enc = *b.enc;
        enc.pic.pictureCodingType = kPictureB;
        enc.pic.framePredFrameDct = 1;
        enc.pic.fCode[0][0] = enc.pic.fCode[0][1] = enc.pic.fCode[1][0] = enc.pic.fCode[1][1] = 3;
        syntax = macroblockSyntax(enc);
        for (Picture* p : {&forward, &backward}) {
            p->plane[0].assign(enc.geo.lumaSize(), 0);
            p->plane[1].assign(enc.geo.chromaSize(), 128);
            p->plane[2].assign(enc.geo.chromaSize(), 128);
        }
        // Different textures: neither reference predicts the other.
        for (int y = 0; y < enc.geo.paddedHeight; ++y)
            for (int x = 0; x < enc.geo.paddedWidth; ++x) {
                const size_t at = static_cast<size_t>(y) * enc.geo.paddedWidth + x;
                forward.plane[0][at] = static_cast<uint8_t>(60 + (x * 7 + y * 3) % 50);
                backward.plane[0][at] = static_cast<uint8_t>(150 + ((x ^ y) * 5) % 60);
            }
        work.k = 1;
        work.x = 16;
        work.y = 0;
    }
    // The source: the macroblock at (16, 0) of f(forward sample, backward sample).
    template <class F>
    void source(F f) {
        const int w = b.enc->geo.paddedWidth;
        for (int r = 0; r < 16; ++r)
            for (int c = 0; c < 16; ++c) {
                const size_t at = static_cast<size_t>(r) * w + 16 + c;
                work.source[0][16 * r + c] = static_cast<uint8_t>(f(forward.plane[0][at], backward.plane[0][at]));
            }
        std::memset(work.source[1], 128, sizeof work.source[1]);
        std::memset(work.source[2], 128, sizeof work.source[2]);
    }
    // What the motion search left: both directions' vectors, a direction.
    static MacroblockInfo searched(int type) {
        MacroblockInfo mb;
        mb.type = type;
        mb.motionType = kMotionFrame;
        return mb;
    }
    MacroblockInfo decide(MacroblockInfo mb, SkipChance skip, const SliceState& st) {
        decideInterMacroblock(*b.enc, mb, 8, true, skip, forward, backward, st, syntax, work);
        return mb;
    }
    // Every direction costed on its own, coded and not: the cheapest.
    double cheapest(const MacroblockInfo& start, const SliceState& st) {
        double best = 1e300;
        for (int type : {kMbMotionForward, kMbMotionBackward, kMbMotionForward | kMbMotionBackward})
            for (bool coded : {true, false}) {
                MacroblockInfo mb = start;
                mb.type = type;
                MacroblockWork w = work;
                predictMacroblock(*b.enc, mb, forward, backward, w);
                best = std::min(best, costCandidate(*b.enc, mb, 8, 0, coded, true, st, syntax, w).cost);
            }
        return best;
    }
};

TEST(ModeDecision, BDirectionIsTheCheapestOfForwardBackwardAndInterpolated) {
    SliceState st;
    st.prevMquant = 8;
    {
        // The backward reference itself, though the search said forward.
        BScene s;
        s.source([](int, int bwd) { return bwd; });
        const MacroblockInfo mb = s.decide(BScene::searched(kMbMotionForward), {}, st);
        EXPECT_EQ(mb.type & (kMbMotionForward | kMbMotionBackward), kMbMotionBackward);
        EXPECT_EQ(mb.cbp, 0);
    }
    {
        // The mean of the two references: only interpolation predicts it.
        BScene s;
        s.source([](int fwd, int bwd) { return (fwd + bwd + 1) / 2; });
        const MacroblockInfo start = BScene::searched(kMbMotionBackward);
        const double cheapest = s.cheapest(start, st);
        const MacroblockInfo mb = s.decide(start, {}, st);
        EXPECT_EQ(mb.type & (kMbMotionForward | kMbMotionBackward), kMbMotionForward | kMbMotionBackward);
        // The levels and prediction left behind are the winner's: costing
        // them again gives the cheapest candidate's cost.
        MacroblockInfo again = mb;
        MacroblockWork w = s.work;
        EXPECT_NEAR(costCandidate(*s.b.enc, again, 8, 0, mb.cbp != 0, true, st, s.syntax, w).cost, cheapest, 1e-6);
    }
    {
        // Forward with grain on top: coded or not, forward stays the best.
        BScene s;
        s.source([](int fwd, int) { return fwd + 3; });
        const MacroblockInfo start = BScene::searched(kMbMotionForward | kMbMotionBackward);
        const MacroblockInfo mb = s.decide(start, {}, st);
        EXPECT_EQ(mb.type & (kMbMotionForward | kMbMotionBackward), kMbMotionForward);
    }
}

TEST(ModeDecision, BSkipTakesThePredictedVectorsOnlyWhereTheyStayInThePicture) {
    // The backward reference 4 samples to the right, which the left
    // neighbour's backward vector already says.
    SliceState st;
    st.prevMquant = 8;
    st.pmv[0][1][0] = st.pmv[1][1][0] = 8;
    BScene s;
    const int w = s.b.enc->geo.paddedWidth;
    for (int r = 0; r < 16; ++r)
        for (int c = 0; c < 16; ++c)
            s.work.source[0][16 * r + c] = s.backward.plane[0][static_cast<size_t>(r) * w + 20 + c];
    std::memset(s.work.source[1], 128, sizeof s.work.source[1]);
    std::memset(s.work.source[2], 128, sizeof s.work.source[2]);
    // The search found something poorer: forward with zero vectors.
    const MacroblockInfo start = BScene::searched(kMbMotionForward);
    MacroblockInfo mb = s.decide(start, SkipChance{true, kMbMotionBackward}, st);
    EXPECT_EQ(mb.type, kMbMotionBackward);
    EXPECT_EQ(mb.cbp, 0);
    EXPECT_EQ(mb.motionType, kMotionFrame);
    EXPECT_EQ(mb.mv[0][1][0], 8);
    EXPECT_EQ(mb.mv[0][1][1], 0);
    // The prediction left is the skipped macroblock's: the reference itself.
    EXPECT_EQ(std::memcmp(s.work.prediction[0], s.work.source[0], 256), 0);

    // At a row's end, or after an intra macroblock, there is no skip.
    for (SkipChance no : {SkipChance{false, kMbMotionBackward}, SkipChance{true, kMbIntra}}) {
        mb = s.decide(start, no, st);
        EXPECT_FALSE(mb.mv[0][1][0] == 8 && mb.cbp == 0 && mb.type == kMbMotionBackward);
    }

    // With the predicted vectors among the coded candidates (level 2) they
    // win there too, as a macroblock of their own.
    s.b.enc->s.rdModes = 2;
    for (SkipChance no : {SkipChance{false, kMbMotionBackward}, SkipChance{true, kMbIntra}}) {
        mb = s.decide(start, no, st);
        EXPECT_EQ(mb.type, kMbMotionBackward);
        EXPECT_EQ(mb.mv[0][1][0], 8);
        EXPECT_EQ(mb.cbp, 0);
    }

    // A predicted vector reaching past the right edge from here is never
    // taken, however well it would predict.
    SliceState far = st;
    far.pmv[0][1][0] = far.pmv[1][1][0] = 2 * (w - 16 - 16) + 2;
    mb = s.decide(start, SkipChance{true, kMbMotionBackward}, far);
    EXPECT_FALSE(mb.type == kMbMotionBackward && mb.mv[0][1][0] == far.pmv[0][1][0]);
}

TEST(ModeDecision, AnIntraPMacroblockTakesANeighboursOrItsSearchedVectorWhenThatIsCheaper) {
    // The search made the macroblock at (16, 16) intra; the source is the
    // forward reference 6 samples right and 1.5 down, and the left
    // neighbour moved by 6 right and 1 down.
    BScene s;
    VideoEncoder& enc = *s.b.enc;
    enc.pic.pictureCodingType = kPictureP;
    s.syntax = macroblockSyntax(enc);
    const int w = enc.geo.paddedWidth;
    s.work.k = enc.geo.mbWidth + 1;
    s.work.x = s.work.y = 16;
    MacroblockInfo& left = enc.mbInfo[static_cast<size_t>(enc.geo.mbWidth)];
    left.type = kMbMotionForward;
    left.motionType = kMotionFrame;
    left.mv[0][0][0] = 12;
    left.mv[0][0][1] = 2;
    for (int r = 0; r < 16; ++r)
        for (int c = 0; c < 16; ++c) {
            const size_t at = static_cast<size_t>(17 + r) * w + 22 + c;
            s.work.source[0][16 * r + c] =
                static_cast<uint8_t>((s.forward.plane[0][at] + s.forward.plane[0][at + w] + 1) / 2);
        }
    std::memset(s.work.source[1], 128, sizeof s.work.source[1]);
    std::memset(s.work.source[2], 128, sizeof s.work.source[2]);
    SliceState st;
    st.prevMquant = 8;
    MacroblockInfo mb;
    mb.type = kMbIntra;
    decideInterMacroblock(enc, mb, 8, true, SkipChance{true, kMbMotionForward}, s.forward, s.backward, st, s.syntax,
                          s.work);
    EXPECT_EQ(mb.type & (kMbIntra | kMbMotionForward), kMbMotionForward);
    EXPECT_EQ(mb.mv[0][0][0], 12);
    EXPECT_EQ(mb.mv[0][0][1], 3);

    // Without a neighbour's vector there is nothing but intra and zero motion.
    left.type = kMbIntra;
    mb = MacroblockInfo{};
    mb.type = kMbIntra;
    decideInterMacroblock(enc, mb, 8, true, SkipChance{true, kMbMotionForward}, s.forward, s.backward, st, s.syntax,
                          s.work);
    EXPECT_TRUE((mb.type & kMbIntra) || (mb.mv[0][0][0] == 0 && mb.mv[0][0][1] == 0));

    // The vector the search found before it chose intra competes too.
    mb = MacroblockInfo{};
    mb.type = kMbIntra;
    mb.searchedMv[0] = 12;
    mb.searchedMv[1] = 3;
    mb.hasSearchedMv = 1;
    decideInterMacroblock(enc, mb, 8, true, SkipChance{true, kMbMotionForward}, s.forward, s.backward, st, s.syntax,
                          s.work);
    EXPECT_EQ(mb.type & (kMbIntra | kMbMotionForward), kMbMotionForward);
    EXPECT_EQ(mb.mv[0][0][0], 12);
    EXPECT_EQ(mb.mv[0][0][1], 3);
}

TEST(ModeDecision, TheSecondFieldOfAnIFrameNeverPredictsWithoutMotion) {
    // A P field picture: the source is the older reference's same-parity
    // field exactly, so no motion would cost nothing, but as the second
    // field of an I frame that field is not the decoder's to use.
    for (bool iFrame : {false, true}) {
        BScene s;
        VideoEncoder& enc = *s.b.enc;
        enc.pic.pictureCodingType = kPictureP;
        enc.pic.pictureStructure = kBottomField;
        enc.pic.secondField = true;
        enc.pic.iFrame = iFrame;
        s.syntax = macroblockSyntax(enc);
        const int w = enc.geo.paddedWidth;
        for (int r = 0; r < 16; ++r)
            for (int c = 0; c < 16; ++c)
                s.work.source[0][16 * r + c] = s.forward.plane[0][static_cast<size_t>(2 * r + 1) * w + 16 + c];
        std::memset(s.work.source[1], 128, sizeof s.work.source[1]);
        std::memset(s.work.source[2], 128, sizeof s.work.source[2]);
        SliceState st;
        st.prevMquant = 8;
        MacroblockInfo mb;
        mb.type = kMbIntra;
        decideInterMacroblock(enc, mb, 8, true, SkipChance{true, kMbIntra}, s.forward, s.backward, st, s.syntax,
                              s.work);
        if (iFrame)
            EXPECT_EQ(mb.type, kMbIntra);
        else
            EXPECT_EQ(mb.type & (kMbIntra | kMbMotionForward), 0);
    }
}

}  // namespace
}  // namespace quillon::testing

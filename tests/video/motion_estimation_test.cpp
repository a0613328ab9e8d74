#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "tests/video/motion_fixture.h"

namespace quillon {
namespace {

using testing::MotionFixture;
using testing::textureAt;

TEST(MotionDecisions, IntraAndNoMotionCompensationThresholds) {
    // 5 * 3000 >= 4 * 3500: the vector gains too little.
    EXPECT_TRUE(chooseNoMotionCompensation(3000, 3500));
    EXPECT_FALSE(chooseNoMotionCompensation(2000, 3500));
    // A zero-vector error of at most 2303 is always good enough.
    EXPECT_TRUE(chooseNoMotionCompensation(100, 2303));
    EXPECT_FALSE(chooseNoMotionCompensation(100, 2304));

    EXPECT_TRUE(chooseIntra(2400, 2500, false));
    EXPECT_TRUE(chooseIntra(2400, 2500, true));
    EXPECT_FALSE(chooseIntra(3000, 2500, false));
    EXPECT_TRUE(chooseIntra(3000, 2500, true));
    // A small prediction error never makes a macroblock intra.
    EXPECT_FALSE(chooseIntra(0, 2303, false));
    EXPECT_FALSE(chooseIntra(0, 2303, true));
}

TEST(MotionDecisions, DualPrimeScalingAndFCodes) {
    EXPECT_EQ(scaleTwoThirds(0), 0);
    EXPECT_EQ(scaleTwoThirds(3), 2);
    EXPECT_EQ(scaleTwoThirds(4), 3);   // (8 + 1) / 3
    EXPECT_EQ(scaleTwoThirds(-1), -1); // -((1 + 2) / 3)
    EXPECT_EQ(scaleTwoThirds(-4), -3);
    EXPECT_EQ(scaleTwoThirds(-5), -3);

    EXPECT_EQ(fCodeForMaximum(0), 1);
    EXPECT_EQ(fCodeForMaximum(7), 1);
    EXPECT_EQ(fCodeForMaximum(8), 2);
    EXPECT_EQ(fCodeForMaximum(20), 3);
    EXPECT_EQ(fCodeForMaximum(2047), 9);
    EXPECT_EQ(fCodeForMaximum(5000), 1);
}

TEST(MotionDecisions, FCodesFollowTheLargestVectorsAndWarnBeyondTheMaximum) {
    MotionFixture f(64, 64);
    ASSERT_TRUE(f.setUp(16));
    f.setPicture(kPictureP);
    f.enc.mpeg2 = false;
    f.enc.motion->maxVector[0][0] = 20;
    f.enc.motion->maxVector[0][1] = 5;
    adaptFCodes(f.enc, 0);
    EXPECT_EQ(f.enc.pic.fCode[0][0], 3);
    EXPECT_EQ(f.enc.pic.fCode[0][1], 3);  // MPEG-1 has one f_code per direction
    EXPECT_EQ(f.enc.s.motion[0][kForwHorzFCode], 3);
    EXPECT_TRUE(f.host.lines.empty());

    f.enc.mpeg2 = true;
    f.setPicture(kPictureB);
    f.enc.motion->maxVector[0][0] = 22;  // beyond 16 + 5
    f.enc.motion->maxVector[1][1] = 70;
    adaptFCodes(f.enc, 2);
    EXPECT_EQ(f.enc.pic.fCode[0][0], 3);
    EXPECT_EQ(f.enc.pic.fCode[0][1], 1);
    EXPECT_EQ(f.enc.pic.fCode[1][0], 1);
    EXPECT_EQ(f.enc.pic.fCode[1][1], 5);
    ASSERT_EQ(f.host.lines.size(), 2u);
    EXPECT_EQ(f.host.lines[0], "Warning, horz forward motion vector larger than max, vector = 22, max = 21.");
    EXPECT_EQ(f.host.lines[1], "Warning, vert backward motion vector larger than max, vector = 70, max = 21.");
}

TEST(MotionSearch, HierarchicalRangesFollowTheMaximumMotion) {
    MotionFixture f(64, 64);
    ASSERT_TRUE(f.setUp(58));
    EXPECT_TRUE(f.enc.motion->hierarchical);
    EXPECT_EQ(f.enc.motion->coarseRangeForward, 14);
    EXPECT_EQ(f.enc.motion->coarseRangeBackward, 10);
    EXPECT_EQ(f.enc.motion->refineRange, 62);
    MotionFixture g(64, 64);
    ASSERT_TRUE(g.setUp(7));
    EXPECT_FALSE(g.enc.motion->hierarchical);
    EXPECT_TRUE(g.enc.motion->forwardX.empty());
}

TEST(MotionSearch, CoarseSearchStopsAtAPerfectCentreAndFindsAShift) {
    const MotionRoutines r = selectMotionRoutines(0, 0);
    constexpr int w = 40, h = 40;
    std::vector<uint8_t> cur(w * h), anchor(w * h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) cur[y * w + x] = MotionFixture::clamp(textureAt(4.0 * x, 4.0 * y));
    CoarseResult same = coarseSearch(r, cur.data(), cur.data(), w, w, h, 16, 16, 8, 2);
    EXPECT_EQ(same.rings, 0);
    EXPECT_EQ(same.x, 16);
    EXPECT_EQ(same.distance, 0);

    // The anchor holds the content 3 to the left and 2 down.
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) anchor[y * w + x] = MotionFixture::clamp(textureAt(4.0 * (x + 3), 4.0 * (y - 2)));
    CoarseResult shifted = coarseSearch(r, cur.data(), anchor.data(), w, w, h, 16, 16, 8, 2);
    EXPECT_EQ(shifted.x, 13);
    EXPECT_EQ(shifted.y, 18);
    EXPECT_EQ(shifted.distance, 0);
}

// Records the half-sample positions the refinement tries.
std::vector<std::pair<long, int>>* gCalls = nullptr;
const uint8_t* gBase = nullptr;
int recordingSad(const uint8_t* ref, const uint8_t* cur, int lx, int hx, int hy, int h, int limit) {
    if (gCalls && (hx || hy)) gCalls->push_back({static_cast<long>(ref - gBase), hx + 2 * hy});
    return sadHalfPelPlain(ref, cur, lx, hx, hy, h, limit);
}

TEST(MotionSearch, HalfSampleRefinementStaysInsideAtTheLeftEdge) {
    constexpr int W = 64, H = 48;
    std::vector<uint8_t> ref(W * H), cur(16 * W);
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) ref[y * W + x] = MotionFixture::clamp(textureAt(x, y));
    // The block equals the reference at (0, 16): the best integer position
    // sits on the left edge.
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 16; ++x) cur[y * W + x] = ref[(16 + y) * W + x];
    MotionRoutines r = selectMotionRoutines(0, 0);
    r.sadHalfPel = recordingSad;
    std::vector<std::pair<long, int>> calls;
    gCalls = &calls;
    gBase = ref.data();
    SearchWindow win;
    win.xLow = 0;
    win.xHigh = 8;
    win.yLow = 8;
    win.yHigh = 24;
    win.centreX = 4;
    win.centreY = 16;
    win.rings = 8;
    win.xLimit = W - 16;
    win.yLimit = H - 16;
    calls.clear();
    SearchResult res = searchBlock(r, ref.data(), ref.data(), cur.data(), W, 16, win);
    gCalls = nullptr;
    EXPECT_EQ(res.x, 0);
    EXPECT_EQ(res.y, 32);
    EXPECT_EQ(res.distance, 0);
    // Half positions tried: x 0 and +1 only, with y -1, 0, +1: five of them
    // (the integer centre is not a half position).
    ASSERT_EQ(calls.size(), 5u);
    for (auto& c : calls) {
        EXPECT_GE(c.first % W, 0);
        EXPECT_GE(c.first, 15 * W);
    }
}

// Fills the two references and the current picture of a pan: the content
// moves by (dx, dy) samples per picture.
void pan(MotionFixture& f, Picture& older, Picture& current, double dx, double dy, unsigned seed = 1) {
    f.fill(older, [=](double x, double y) { return textureAt(x, y, seed); });
    f.fill(current, [=](double x, double y) { return textureAt(x - dx, y - dy, seed); });
}

void pointReferences(MotionFixture& f, Picture& current) {
    f.enc.current = &current;
    f.enc.pictureStore[4].plane[0] = f.enc.oldRef->plane[0];  // old source = old reconstruction
    f.enc.pictureStore[4].plane[1] = f.enc.oldRef->plane[1];
    f.enc.pictureStore[4].plane[2] = f.enc.oldRef->plane[2];
}

// Every non-intra macroblock's recorded error is what its prediction gives.
void expectPredictionMatchesSearch(MotionFixture& f, const Picture& forward, const Picture& backward) {
    predictPicture(f.enc, forward, backward, *f.enc.pred);
    for (size_t k = 0; k < f.enc.mbInfo.size(); ++k) {
        const MacroblockInfo& mb = f.enc.mbInfo[k];
        if (mb.type & kMbIntra) continue;
        EXPECT_EQ(f.macroblockError(k), mb.variance)
            << "macroblock " << k << " type " << mb.type << " motion " << mb.motionType;
    }
}

struct PanCase {
    int variableMaxMotion;
    int framePredFrameDct;
    int M;
};

class FramePan : public ::testing::TestWithParam<PanCase> {};

TEST_P(FramePan, FindsTheGlobalMotionAndPredictsWhatItMeasured) {
    const PanCase pc = GetParam();
    MotionFixture f(96, 64);
    f.enc.s.ipFrameDistance = pc.M;
    ASSERT_TRUE(f.setUp(pc.variableMaxMotion));
    Picture& cur = *f.enc.newOrg;
    pan(f, *f.enc.oldRef, cur, 3, -2);
    pointReferences(f, cur);
    if (pc.variableMaxMotion >= 8) {
        // The anchors must hold the reference first: run it as an I picture.
        Picture* saved = f.enc.current;
        f.enc.current = f.enc.oldRef;
        f.setPicture(kPictureI);
        ASSERT_TRUE(estimateMotion(f.enc));
        f.enc.current = saved;
    }
    f.setPicture(kPictureP, kFramePicture, pc.framePredFrameDct);
    f.enc.pic.topFieldFirst = 1;
    ASSERT_TRUE(estimateMotion(f.enc));
    int found = 0, interior = 0;
    for (int j = 1; j < f.enc.geo.mbHeight - 1; ++j)
        for (int i = 1; i < f.enc.geo.mbWidth - 1; ++i) {
            const MacroblockInfo& mb = f.enc.mbInfo[static_cast<size_t>(j * f.enc.geo.mbWidth + i)];
            ++interior;
            EXPECT_EQ(mb.type, kMbMotionForward);
            // Frame and field vectors of a pure pan point the same way.
            if (mb.motionType == kMotionFrame && mb.mv[0][0][0] == -6 && mb.mv[0][0][1] == 4) ++found;
            if (mb.motionType == kMotionField && mb.mv[0][0][0] == -6 && mb.mv[0][0][1] == 4 &&
                mb.mv[1][0][1] == 4)
                ++found;
            if (mb.motionType == kMotionDualPrime && mb.mv[0][0][0] == -6 && mb.mv[0][0][1] == 4) ++found;
        }
    // A coarse search over a wide range on a picture this small may settle
    // on a look-alike for a macroblock; the refinement cannot leave it then.
    EXPECT_GE(found, pc.variableMaxMotion > 32 ? interior - 1 : interior);
    if (pc.variableMaxMotion >= 8) {
        EXPECT_GE(f.enc.motion->maxVector[0][0], 3);
        EXPECT_GE(f.enc.motion->maxVector[0][1], 2);
    }
    expectPredictionMatchesSearch(f, *f.enc.oldRef, *f.enc.newRef);
}

INSTANTIATE_TEST_SUITE_P(Modes, FramePan,
                         ::testing::Values(PanCase{4, 1, 3}, PanCase{16, 1, 3}, PanCase{4, 0, 3}, PanCase{58, 0, 3},
                                           PanCase{4, 0, 1}, PanCase{16, 0, 1}));

TEST(MotionSearch, HalfSamplePanGivesOddVectors) {
    MotionFixture f(96, 64);
    ASSERT_TRUE(f.setUp(4));
    Picture& cur = *f.enc.newOrg;
    pan(f, *f.enc.oldRef, cur, 1.5, 0);
    pointReferences(f, cur);
    f.setPicture(kPictureP);
    ASSERT_TRUE(estimateMotion(f.enc));
    std::map<int, int> horizontal;
    for (int j = 1; j < 3; ++j)
        for (int i = 1; i < 5; ++i) ++horizontal[f.enc.mbInfo[static_cast<size_t>(j * 6 + i)].mv[0][0][0]];
    EXPECT_GE(horizontal[-3], 6);
    expectPredictionMatchesSearch(f, *f.enc.oldRef, *f.enc.newRef);
}

TEST(MotionSearch, StillPictureNeedsNoMotionCompensationAndFlatOneIsNotIntra) {
    MotionFixture f(64, 64);
    ASSERT_TRUE(f.setUp(4));
    Picture& cur = *f.enc.newOrg;
    pan(f, *f.enc.oldRef, cur, 0, 0);
    pointReferences(f, cur);
    f.setPicture(kPictureP);
    ASSERT_TRUE(estimateMotion(f.enc));
    for (const MacroblockInfo& mb : f.enc.mbInfo) {
        EXPECT_EQ(mb.type, 0);
        EXPECT_EQ(mb.motionType, kMotionFrame);
        EXPECT_EQ(mb.variance, 0);
    }
    expectPredictionMatchesSearch(f, *f.enc.oldRef, *f.enc.newRef);
}

TEST(MotionSearch, NewContentBecomesIntra) {
    MotionFixture f(64, 64);
    ASSERT_TRUE(f.setUp(4));
    Picture& cur = *f.enc.newOrg;
    f.fill(*f.enc.oldRef, [](double, double) { return 128.0; });
    f.fill(cur, [](double x, double y) { return textureAt(x, y, 9) * 1.3 - 30; });
    pointReferences(f, cur);
    f.setPicture(kPictureP);
    ASSERT_TRUE(estimateMotion(f.enc));
    int intra = 0;
    for (const MacroblockInfo& mb : f.enc.mbInfo) intra += (mb.type & kMbIntra) ? 1 : 0;
    EXPECT_EQ(intra, static_cast<int>(f.enc.mbInfo.size()));
}

class BidirectionalPan : public ::testing::TestWithParam<PanCase> {};

TEST_P(BidirectionalPan, UsesBothAnchorsAndPredictsWhatItMeasured) {
    const PanCase pc = GetParam();
    MotionFixture f(96, 64);
    ASSERT_TRUE(f.setUp(pc.variableMaxMotion));
    Picture& older = *f.enc.oldRef;
    Picture& newer = *f.enc.newRef;
    Picture& cur = *f.enc.auxOrg;
    f.fill(older, [](double x, double y) { return textureAt(x, y, 3); });
    f.fill(newer, [](double x, double y) { return textureAt(x - 4, y - 2, 3); });
    f.fill(cur, [](double x, double y) { return textureAt(x - 2, y - 1, 3); });
    f.enc.pictureStore[4] = older;  // sources equal the reconstructions
    f.enc.pictureStore[3] = newer;
    if (pc.variableMaxMotion >= 8) {
        f.setPicture(kPictureI);
        f.enc.current = &older;
        ASSERT_TRUE(estimateMotion(f.enc));
        f.enc.current = &newer;
        ASSERT_TRUE(estimateMotion(f.enc));
    }
    f.enc.current = &cur;
    f.setPicture(kPictureB, kFramePicture, pc.framePredFrameDct);
    ASSERT_TRUE(estimateMotion(f.enc));
    for (int j = 1; j < 3; ++j)
        for (int i = 1; i < 5; ++i) {
            const MacroblockInfo& mb = f.enc.mbInfo[static_cast<size_t>(j * 6 + i)];
            ASSERT_FALSE(mb.type & kMbIntra);
            EXPECT_NE(mb.type & (kMbMotionForward | kMbMotionBackward), 0);
            if (mb.motionType == kMotionFrame) {
                EXPECT_EQ(mb.mv[0][0][0], -4);
                EXPECT_EQ(mb.mv[0][0][1], -2);
                EXPECT_EQ(mb.mv[0][1][0], 4);
                EXPECT_EQ(mb.mv[0][1][1], 2);
            }
        }
    expectPredictionMatchesSearch(f, older, newer);
}

INSTANTIATE_TEST_SUITE_P(Modes, BidirectionalPan,
                         ::testing::Values(PanCase{4, 1, 3}, PanCase{4, 0, 3}, PanCase{16, 0, 3}));

TEST(MotionSearch, BidirectionalAverageWinsWhenThePictureIsBetweenItsAnchors) {
    MotionFixture f(64, 64);
    ASSERT_TRUE(f.setUp(4));
    Picture& cur = *f.enc.auxOrg;
    f.fill(*f.enc.oldRef, [](double x, double y) { return textureAt(x, y, 5); });
    f.fill(*f.enc.newRef, [](double x, double y) { return textureAt(x, y, 6); });
    f.fill(cur, [](double x, double y) { return 0.5 * (textureAt(x, y, 5) + textureAt(x, y, 6)); });
    f.enc.pictureStore[4] = *f.enc.oldRef;
    f.enc.pictureStore[3] = *f.enc.newRef;
    f.enc.current = &cur;
    f.setPicture(kPictureB);
    ASSERT_TRUE(estimateMotion(f.enc));
    int interpolated = 0;
    for (const MacroblockInfo& mb : f.enc.mbInfo)
        interpolated += mb.type == (kMbMotionForward | kMbMotionBackward) ? 1 : 0;
    EXPECT_GE(interpolated, 12);
    expectPredictionMatchesSearch(f, *f.enc.oldRef, *f.enc.newRef);
}

struct FieldCase {
    int variableMaxMotion;
    int M;
};
class FieldPictures : public ::testing::TestWithParam<FieldCase> {};

// Interlaced content: the bottom field is half a picture interval later.
double interlaced(double x, double y, double t, double speed) {
    int line = static_cast<int>(y);
    double time = t + ((line & 1) ? 0.5 : 0.0);
    return textureAt(x - speed * time, y, 11);
}

TEST_P(FieldPictures, BothFieldsOfAPFrameAndTheSecondFieldOfAnIFrame) {
    const FieldCase fc = GetParam();
    MotionFixture f(96, 96, true);
    f.enc.s.ipFrameDistance = fc.M;
    ASSERT_TRUE(f.setUp(fc.variableMaxMotion));
    Picture& older = *f.enc.oldRef;
    Picture& cur = *f.enc.newOrg;
    f.fill(older, [](double x, double y) { return interlaced(x, y, 0, 3); });
    f.fill(cur, [](double x, double y) { return interlaced(x, y, 1, 3); });
    f.enc.pictureStore[4] = older;
    f.enc.current = &cur;
    if (fc.variableMaxMotion >= 8) {
        f.enc.current = &older;
        f.setPicture(kPictureI, kTopField);
        ASSERT_TRUE(estimateMotion(f.enc));
        f.enc.current = &cur;
    }

    // First field of a P frame: both reference fields from the older frame.
    f.setPicture(kPictureP, kTopField, 1);
    f.enc.pic.topFieldFirst = 1;
    ASSERT_TRUE(estimateMotion(f.enc));
    expectPredictionMatchesSearch(f, older, *f.enc.newRef);
    for (const MacroblockInfo& mb : f.enc.mbInfo) EXPECT_FALSE(mb.type & kMbIntra);

    // Second field: the top field of the same frame is already rebuilt, and
    // the older frame no longer resembles it.
    *f.enc.newRef = cur;
    f.fill(older, [](double x, double y) { return textureAt(x, y, 99); });
    f.enc.pictureStore[4] = older;
    f.setPicture(kPictureP, kBottomField, 1);
    f.enc.pic.topFieldFirst = 1;
    f.enc.pic.secondField = true;
    ASSERT_TRUE(estimateMotion(f.enc));
    int fromOwnFrame = 0;
    for (const MacroblockInfo& mb : f.enc.mbInfo)
        if ((mb.type & kMbMotionForward) && mb.motionType != kMotionDualPrime && mb.fieldSelect[0][0] == 0)
            ++fromOwnFrame;
    EXPECT_GE(2 * fromOwnFrame, static_cast<int>(f.enc.mbInfo.size()));
    expectPredictionMatchesSearch(f, older, *f.enc.newRef);

    // The second field of an I frame: only the first field may be used and
    // every macroblock is motion compensated or intra.
    f.setPicture(kPictureP, kBottomField, 1);
    f.enc.pic.topFieldFirst = 1;
    f.enc.pic.secondField = true;
    f.enc.pic.iFrame = true;
    f.fill(older, [](double, double) { return 0.0; });  // whatever the older frame holds must not matter
    ASSERT_TRUE(estimateMotion(f.enc));
    for (const MacroblockInfo& mb : f.enc.mbInfo) {
        if (mb.type & kMbIntra) continue;
        EXPECT_EQ(mb.type, kMbMotionForward);
        EXPECT_NE(mb.motionType, kMotionDualPrime);
        EXPECT_EQ(mb.fieldSelect[0][0], 0);
        if (mb.motionType == kMotion16x8) {
            EXPECT_EQ(mb.fieldSelect[1][0], 0);
        }
    }
    expectPredictionMatchesSearch(f, older, *f.enc.newRef);
}

INSTANTIATE_TEST_SUITE_P(Modes, FieldPictures,
                         ::testing::Values(FieldCase{4, 3}, FieldCase{16, 3}, FieldCase{4, 1}));

TEST(MotionSearch, BFieldPredictsWhatItMeasured) {
    MotionFixture f(96, 96, true);
    ASSERT_TRUE(f.setUp(4));
    Picture& older = *f.enc.oldRef;
    Picture& newer = *f.enc.newRef;
    Picture& cur = *f.enc.auxOrg;
    f.fill(older, [](double x, double y) { return interlaced(x, y, 0, 2); });
    f.fill(newer, [](double x, double y) { return interlaced(x, y, 2, 2); });
    f.fill(cur, [](double x, double y) { return interlaced(x, y, 1, 2); });
    f.enc.pictureStore[4] = older;
    f.enc.pictureStore[3] = newer;
    f.enc.current = &cur;
    for (int structure : {kBottomField, kTopField}) {
        f.setPicture(kPictureB, structure, 1);
        f.enc.pic.secondField = structure == kTopField;
        ASSERT_TRUE(estimateMotion(f.enc));
        expectPredictionMatchesSearch(f, older, newer);
    }
}

class StoppingView : public DialogView {
public:
    explicit StoppingView(Engine& e, int after) : engine_(e), remaining_(after) {}
    int pumps = 0;
    void setStartEnabled(bool) override {}
    void setStopEnabled(bool) override {}
    void setCancelEnabled(bool) override {}
    void setCancelLabel(const std::string&) override {}
    void setProgressValue(int) override {}
    void setStatusText(const std::string&) override {}
    void startTimer(int) override {}
    void postStart() override {}
    void postClose() override {}
    void processEvents() override {
        ++pumps;
        if (--remaining_ == 0) engine_.pressStop();
    }
    void runModal(DialogController&) override {}

private:
    Engine& engine_;
    int remaining_;
};

TEST(MotionSearch, ConfirmedStopEndsTheSearch) {
    MotionFixture f(96, 64);
    ASSERT_TRUE(f.setUp(16));
    StoppingView view(f.engine, 5);
    f.engine.setActiveDialog(&view);
    Picture& cur = *f.enc.newOrg;
    pan(f, *f.enc.oldRef, cur, 1, 1);
    pointReferences(f, cur);
    f.setPicture(kPictureP);
    EXPECT_FALSE(estimateMotion(f.enc));
    EXPECT_TRUE(f.engine.job.stopRequested);
    EXPECT_EQ(view.pumps, 5);  // the search ended at the macroblock the stop came with
    f.engine.setActiveDialog(nullptr);
}

// An I picture (display 0) whose uncoded picture is the forward reference,
// then the P picture cur (display 3) predicted from it with field modes.
void codeAnchorThenPredicted(MotionFixture& f, Picture& cur, MotionSearchState* beforeP = nullptr) {
    f.enc.current = f.enc.oldOrg;
    f.setPicture(kPictureI);
    f.enc.pic.displayIndex = 0;
    ASSERT_TRUE(estimateMotion(f.enc));
    if (beforeP) *beforeP = *f.enc.motion;
    f.enc.current = &cur;
    f.setPicture(kPictureP, kFramePicture, 0);
    f.enc.pic.displayIndex = 3;
    f.enc.pic.topFieldFirst = 1;
    ASSERT_TRUE(estimateMotion(f.enc));
}

bool sameDecisions(const MacroblockInfo& a, const MacroblockInfo& b) {
    return a.type == b.type && a.motionType == b.motionType && a.variance == b.variance &&
           std::equal(&a.mv[0][0][0], &a.mv[0][0][0] + 8, &b.mv[0][0][0]) &&
           std::equal(&a.fieldSelect[0][0], &a.fieldSelect[0][0] + 4, &b.fieldSelect[0][0]);
}

// A GOP coded again restores the search state saved at its start; the
// integer results kept from the first coding must not hide that the
// reconstruction the half-sample stage reads has changed.
TEST(SearchMemory, AGopCodedAgainGivesWhatAFreshSearchGivesOnTheNewReconstruction) {
    for (int vmm : {4, 16}) {
        SCOPED_TRACE(vmm);
        auto reconstructionShift = [](double x, double y) { return textureAt(x + 0.5, y - 0.5) + 3; };
        MotionFixture f(96, 64);
        ASSERT_TRUE(f.setUp(vmm));
        Picture& cur = *f.enc.newOrg;
        pan(f, *f.enc.oldOrg, cur, 2.5, -1.5);
        f.fill(*f.enc.oldRef, [](double x, double y) { return textureAt(x, y); });
        MotionSearchState atGopStart;
        codeAnchorThenPredicted(f, cur, &atGopStart);
        const std::vector<MacroblockInfo> first = f.enc.mbInfo;
        f.fill(*f.enc.oldRef, reconstructionShift);
        *f.enc.motion = atGopStart;
        f.enc.current = &cur;
        f.setPicture(kPictureP, kFramePicture, 0);
        f.enc.pic.displayIndex = 3;
        f.enc.pic.topFieldFirst = 1;
        ASSERT_TRUE(estimateMotion(f.enc));
        EXPECT_EQ(f.enc.motion->memory->used, 2u);  // the P picture's record was found again

        MotionFixture g(96, 64);
        ASSERT_TRUE(g.setUp(vmm));
        Picture& cur2 = *g.enc.newOrg;
        pan(g, *g.enc.oldOrg, cur2, 2.5, -1.5);
        g.fill(*g.enc.oldRef, reconstructionShift);
        codeAnchorThenPredicted(g, cur2);
        int changed = 0;
        for (size_t k = 0; k < g.enc.mbInfo.size(); ++k) {
            EXPECT_TRUE(sameDecisions(f.enc.mbInfo[k], g.enc.mbInfo[k])) << "macroblock " << k;
            if (!sameDecisions(first[k], g.enc.mbInfo[k])) ++changed;
        }
        // The new reconstruction moves the half-sample results, or the
        // comparison above proves nothing.
        EXPECT_GT(changed, 0);
    }
}

TEST(SearchMemory, RecordsAreNamedByPictureAndAnchorsAndANewGopDropsThem) {
    SearchMemory m;
    const SearchMemory::Key p{3, kFramePicture, kPictureP, 0, 3};
    SearchMemory::Key otherAnchor = p;
    otherAnchor.older = 1;
    SearchMemory::Key field = p;
    field.structure = kTopField;
    SearchMemory::Record* a = m.open(p, false, 6);
    ASSERT_NE(a, nullptr);
    EXPECT_FALSE(a->coarseKept);
    EXPECT_EQ(a->searches.size(), 6u * SearchMemory::kSlots);
    a->coarseKept = true;
    a->searches[5].rings = 4;
    EXPECT_EQ(m.open(p, false, 6), a);
    EXPECT_TRUE(a->coarseKept);
    SearchMemory::Record* b = m.open(otherAnchor, false, 6);
    SearchMemory::Record* c = m.open(field, false, 3);
    EXPECT_NE(b, a);
    EXPECT_NE(c, a);
    EXPECT_NE(c, b);
    EXPECT_FALSE(b->coarseKept);
    EXPECT_EQ(m.used, 3u);
    // Finding an I picture's record again keeps the GOP's others.
    const SearchMemory::Key intra{0, kFramePicture, kPictureI, 0, 0};
    SearchMemory::Record* i = m.open(intra, true, 6);
    EXPECT_EQ(m.used, 1u);
    EXPECT_EQ(m.open(intra, true, 6), i);
    SearchMemory::Record* again = m.open(p, false, 6);
    EXPECT_FALSE(again->coarseKept);
    EXPECT_EQ(again->searches[5].rings, -1);
    EXPECT_EQ(m.used, 2u);
    EXPECT_EQ(m.open(intra, true, 6), i);
    EXPECT_EQ(m.used, 2u);
    // A GOP longer than the memory starts over instead of growing.
    for (int d = 10; d < 10 + static_cast<int>(SearchMemory::kMostPictures); ++d)
        m.open(SearchMemory::Key{d, kFramePicture, kPictureB, 0, 3}, false, 6);
    EXPECT_LE(m.used, SearchMemory::kMostPictures);
    EXPECT_LE(m.records.size(), SearchMemory::kMostPictures);
}

// The quarter-size reduction and the coarse search run by rows on the
// pool: the quarter images, the patience and the coarse vectors of a P and
// a B frame, and of both fields of a field-coded P frame, are those of one
// thread at the full DVD size.
TEST(MotionSearch, CoarseVectorsDoNotDependOnTheThreadCount) {
    struct Coarse {
        std::vector<int> v[4];
        std::vector<uint8_t> quarter;
        int patience[2];
    };
    auto take = [](const MotionFixture& f) {
        const MotionSearchState& ms = *f.enc.motion;
        Coarse c{{ms.forwardX, ms.forwardY, ms.backwardX, ms.backwardY}, ms.quarter[ms.pictureImage], {}};
        c.patience[0] = ms.patience[0];
        c.patience[1] = ms.patience[1];
        return c;
    };
    auto same = [](const Coarse& a, const Coarse& b) {
        for (int d = 0; d < 4; ++d)
            if (a.v[d] != b.v[d]) return false;
        return a.quarter == b.quarter && a.patience[0] == b.patience[0] && a.patience[1] == b.patience[1];
    };
    const int threadCounts[3] = {1, 2, 5};
    for (bool fields : {false, true}) {
        SCOPED_TRACE(fields ? "field pictures" : "frame pictures");
        std::vector<Coarse> byThreads[3];
        for (int t = 0; t < 3; ++t) {
            MotionFixture f(720, 576, fields);
            ASSERT_TRUE(f.setUp(58));
            f.enc.motion->threads = threadCounts[t];
            Picture& older = *f.enc.oldRef;
            Picture& newer = *f.enc.newRef;
            Picture& cur = *f.enc.auxOrg;
            f.fill(older, [](double x, double y) { return textureAt(x, y, 5); });
            f.fill(newer, [](double x, double y) { return textureAt(x - 22, y + 13, 5); });
            f.fill(cur, [](double x, double y) { return textureAt(x - 11, y + 6, 5); });
            f.enc.pictureStore[4] = older;
            f.enc.pictureStore[3] = newer;
            const int structures[2] = {fields ? kTopField : kFramePicture, kBottomField};
            for (int p = 0; p < (fields ? 2 : 1); ++p) {
                f.enc.current = &older;
                f.setPicture(kPictureI, structures[p]);
                f.enc.pic.secondField = p == 1;
                ASSERT_TRUE(estimateMotion(f.enc));
            }
            for (int p = 0; p < (fields ? 2 : 1); ++p) {
                f.enc.current = &newer;
                f.setPicture(kPictureP, structures[p]);
                f.enc.pic.secondField = p == 1;
                ASSERT_TRUE(estimateMotion(f.enc));
                byThreads[t].push_back(take(f));
            }
            if (!fields) {
                f.enc.current = &cur;
                f.setPicture(kPictureB);
                ASSERT_TRUE(estimateMotion(f.enc));
                byThreads[t].push_back(take(f));
            }
        }
        // The pan moves the coarse positions off the macroblocks' own, so
        // equal vectors are not merely untouched ones.
        const Coarse& p = byThreads[0][0];
        const size_t middle = p.v[0].size() / 2 + 10;
        EXPECT_NE(p.v[0][middle], 16 * static_cast<int>(middle % 45));
        for (int t = 1; t < 3; ++t) {
            ASSERT_EQ(byThreads[t].size(), byThreads[0].size());
            for (size_t k = 0; k < byThreads[0].size(); ++k)
                EXPECT_TRUE(same(byThreads[0][k], byThreads[t][k])) << threadCounts[t] << " threads, picture " << k;
        }
    }
}

// The predictive search reads the left neighbour's final vector and the
// previous picture's: its vectors follow a pan as the ring search's do, and
// do not depend on how many rows run side by side.
TEST(PredictiveSearchInPictures, FollowsAPanAndGivesTheSameVectorsForAnyThreadCount) {
    std::vector<MacroblockInfo> byThreads[3];
    const int threadCounts[3] = {1, 2, 5};
    for (int t = 0; t < 3; ++t) {
        MotionFixture f(192, 128);
        f.enc.s.motionSearch = 1;
        ASSERT_TRUE(f.setUp(58));
        f.enc.motion->threads = threadCounts[t];
        Picture& cur = *f.enc.newOrg;
        pan(f, *f.enc.oldRef, cur, 5, -3);
        pointReferences(f, cur);
        f.enc.current = f.enc.oldOrg;
        f.setPicture(kPictureI);
        ASSERT_TRUE(estimateMotion(f.enc));
        f.enc.current = &cur;
        f.setPicture(kPictureP, kFramePicture, 0);
        f.enc.pic.topFieldFirst = 1;
        for (int d = 0; d < 2; ++d)
            for (int c = 0; c < 2; ++c) f.enc.pic.fCode[d][c] = 3;
        ASSERT_TRUE(estimateMotion(f.enc));
        int found = 0, interior = 0;
        for (int j = 1; j < f.enc.geo.mbHeight - 1; ++j)
            for (int i = 1; i < f.enc.geo.mbWidth - 1; ++i) {
                const MacroblockInfo& mb = f.enc.mbInfo[static_cast<size_t>(j * f.enc.geo.mbWidth + i)];
                ++interior;
                if (mb.type == kMbMotionForward && mb.mv[0][0][0] == -10 && mb.mv[0][0][1] == 6) ++found;
            }
        EXPECT_GE(found, interior * 3 / 4) << threadCounts[t] << " threads";
        expectPredictionMatchesSearch(f, *f.enc.oldRef, *f.enc.newRef);
        byThreads[t] = f.enc.mbInfo;
    }
    for (int t = 1; t < 3; ++t)
        for (size_t k = 0; k < byThreads[0].size(); ++k)
            EXPECT_TRUE(sameDecisions(byThreads[0][k], byThreads[t][k])) << threadCounts[t] << " threads, macroblock " << k;
}

}  // namespace
}  // namespace quillon

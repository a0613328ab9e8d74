#include <gtest/gtest.h>

#include <algorithm>

#include "tests/video/motion_fixture.h"
#include "video/encoder/frame_input.h"
#include "video/encoder/macroblock_pipeline.h"

namespace quillon {
namespace {

using testing::MotionFixture;
using testing::textureAt;

TEST(Prediction, HalfSampleVectorWithTruncatedChroma) {
    MotionFixture f(64, 64);
    Picture& ref = *f.enc.oldRef;
    f.fill(ref, [](double x, double y) { return textureAt(x, y, 4); });
    f.setPicture(kPictureP);
    MacroblockInfo& mb = f.enc.mbInfo[5];  // column 1, row 1: (16, 16)
    mb.type = kMbMotionForward;
    mb.motionType = kMotionFrame;
    mb.mv[0][0][0] = -3;
    mb.mv[0][0][1] = -1;
    predictPicture(f.enc, ref, *f.enc.newRef, *f.enc.pred);
    const int W = f.W();
    auto Y = [&](int x, int y) { return int(ref.plane[0][static_cast<size_t>(y * W + x)]); };
    for (int y = 16; y < 32; ++y)
        for (int x = 16; x < 32; ++x) {
            // x - 2 and y - 1 with both half flags.
            int want = (Y(x - 2, y - 1) + Y(x - 1, y - 1) + Y(x - 2, y) + Y(x - 1, y) + 2) >> 2;
            ASSERT_EQ(f.enc.pred->plane[0][static_cast<size_t>(y * W + x)], want) << x << "," << y;
        }
    // Chroma: dx = -3 / 2 = -1 (truncating), dy = -1 / 2 = 0: offset x/2 - 1
    // with the horizontal half flag only.
    const int cw = f.enc.geo.chromaWidth;
    for (int c = 1; c < 3; ++c) {
        auto C = [&](int x, int y) { return int(ref.plane[c][static_cast<size_t>(y * cw + x)]); };
        for (int y = 8; y < 16; ++y)
            for (int x = 8; x < 16; ++x)
                ASSERT_EQ(f.enc.pred->plane[c][static_cast<size_t>(y * cw + x)], (C(x - 1, y) + C(x, y) + 1) >> 1);
    }
}

TEST(Prediction, BidirectionalAverageRoundsUpAndIntraIsMidGrey) {
    MotionFixture f(32, 32, false, 2);
    f.fill(*f.enc.oldRef, [](double, double) { return 10.0; });
    f.fill(*f.enc.newRef, [](double, double) { return 13.0; });
    // Chroma of fill() is 0.5 v + 64: 69 and 70.5 (71).
    f.setPicture(kPictureB);
    f.enc.mbInfo[0].type = kMbMotionForward | kMbMotionBackward;
    f.enc.mbInfo[0].motionType = kMotionFrame;
    f.enc.mbInfo[1].type = kMbIntra;
    f.enc.mbInfo[2].type = kMbMotionBackward;
    f.enc.mbInfo[2].motionType = kMotionFrame;
    f.enc.mbInfo[3].type = kMbMotionForward | kMbMotionBackward;
    f.enc.mbInfo[3].motionType = kMotionField;
    f.enc.mbInfo[3].fieldSelect[1][0] = 1;
    predictPicture(f.enc, *f.enc.oldRef, *f.enc.newRef, *f.enc.pred);
    const int W = f.W(), cw = f.enc.geo.chromaWidth;
    EXPECT_EQ(f.enc.pred->plane[0][5 * W + 3], 12);         // (10 + 13 + 1) >> 1
    EXPECT_EQ(f.enc.pred->plane[1][5 * cw + 3], 70);        // (69 + 71 + 1) >> 1
    EXPECT_EQ(f.enc.pred->plane[0][5 * W + 20], 128);
    EXPECT_EQ(f.enc.pred->plane[2][15 * cw + 15], 128);     // 4:2:2 chroma is 8 wide, 16 high
    EXPECT_EQ(f.enc.pred->plane[0][20 * W + 3], 13);
    EXPECT_EQ(f.enc.pred->plane[0][21 * W + 20], 12);       // field halves average too
    EXPECT_EQ(f.enc.pred->plane[2][31 * cw + 12], 70);
}

TEST(Prediction, DualPrimeVectorsFollowTheFieldDistances) {
    // Frame picture, top field first: the top field's opposite-parity
    // vector is half the vector less one line, the bottom field's 3/2 plus
    // one.
    DualPrimeVectors a = dualPrimeVectors(5, 3, 0, 0, true, true, kFramePicture);
    EXPECT_EQ(a.v[0][0], 3);
    EXPECT_EQ(a.v[0][1], 1);
    EXPECT_EQ(a.v[1][0], 8);
    EXPECT_EQ(a.v[1][1], 6);
    DualPrimeVectors b = dualPrimeVectors(-5, -3, 1, -1, true, true, kFramePicture);
    EXPECT_EQ(b.v[0][0], -3 + 1);
    EXPECT_EQ(b.v[0][1], -2 - 1 - 1);
    EXPECT_EQ(b.v[1][0], -8 + 1);
    EXPECT_EQ(b.v[1][1], -5 - 1 + 1);
    DualPrimeVectors c = dualPrimeVectors(4, 2, 0, 1, true, false, kFramePicture);
    EXPECT_EQ(c.v[0][0], 6);
    EXPECT_EQ(c.v[0][1], 3 + 1 - 1);
    EXPECT_EQ(c.v[1][0], 2);
    EXPECT_EQ(c.v[1][1], 1 + 1 + 1);
    DualPrimeVectors top = dualPrimeVectors(4, 2, 0, 0, false, true, kTopField);
    DualPrimeVectors bottom = dualPrimeVectors(4, 2, 0, 0, false, true, kBottomField);
    EXPECT_EQ(top.v[0][1], 0);
    EXPECT_EQ(bottom.v[0][1], 2);
}

TEST(Prediction, SecondFieldTakesTheOtherParityFromItsOwnFrame) {
    MotionFixture f(32, 64, true);
    f.fill(*f.enc.oldRef, [](double, double) { return 50.0; });
    f.fill(*f.enc.newRef, [](double, double y) { return (static_cast<int>(y) & 1) ? 90.0 : 200.0; });
    f.setPicture(kPictureP, kBottomField);
    f.enc.pic.secondField = true;
    MacroblockInfo& own = f.enc.mbInfo[0];
    own.type = kMbMotionForward;
    own.motionType = kMotionField;
    own.fieldSelect[0][0] = 0;  // the top field: this frame's first field
    MacroblockInfo& older = f.enc.mbInfo[1];
    older.type = 0;  // no motion compensation: same parity of the older frame
    older.motionType = kMotionField;
    older.fieldSelect[0][0] = 1;
    predictPicture(f.enc, *f.enc.oldRef, *f.enc.newRef, *f.enc.pred);
    const int W = f.W();
    // Bottom field lines are the odd frame lines; the top field of the own
    // frame holds 200.
    EXPECT_EQ(f.enc.pred->plane[0][1 * W + 3], 200);
    EXPECT_EQ(f.enc.pred->plane[0][31 * W + 3], 200);
    EXPECT_EQ(f.enc.pred->plane[0][0 * W + 3], 0);  // the top field is left alone
    EXPECT_EQ(f.enc.pred->plane[0][1 * W + 20], 50);
}

}  // namespace
}  // namespace quillon

namespace quillon {
namespace {

using testing::MotionFixture;

void keepCoefficients(int16_t*, const int16_t*) {}
void keepLevels(const int16_t* src, int16_t* dst, int, const uint8_t*, int, bool) {
    std::copy(src, src + 64, dst);
}

// dct_type of macroblock k, with a flat prediction of 100.
int dctTypeOf(MotionFixture& f, const Picture& cur, int k) {
    MacroblockWork work;
    startMacroblock(f.enc, k, cur, work);
    std::fill(&work.prediction[0][0], &work.prediction[0][0] + 3 * 256, uint8_t{100});
    return decideMacroblockDctType(f.enc, work);
}

TEST(Prediction, DctTypeFollowsTheCorrelationOfTheTwoFields) {
    MotionFixture f(32, 32);
    f.setPicture(kPictureP, kFramePicture, 0);
    Picture& cur = *f.enc.newOrg;
    const int W = f.W();
    // Macroblock 0: both fields carry the same error pattern (r = 1).
    // Macroblock 1: the odd lines have no error at all (d = 0).
    // Macroblock 2: the fields' errors are opposite (r = -1).
    f.fill(cur, [](double, double) { return 100.0; });
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 16; ++x) {
            const uint8_t pattern = static_cast<uint8_t>(100 + (x * 7 + (y / 2) * 3) % 11);
            cur.plane[0][static_cast<size_t>(y * W + x)] = pattern;
            cur.plane[0][static_cast<size_t>(y * W + 16 + x)] = (y & 1) ? 100 : pattern;
            cur.plane[0][static_cast<size_t>((16 + y) * W + x)] =
                static_cast<uint8_t>((y & 1) ? 200 - pattern : pattern);
        }
    EXPECT_EQ(dctTypeOf(f, cur, 0), 0);
    EXPECT_EQ(dctTypeOf(f, cur, 1), 1);
    EXPECT_EQ(dctTypeOf(f, cur, 2), 1);
    // With frame prediction only, and in field pictures, frame DCT always.
    f.enc.pic.framePredFrameDct = 1;
    EXPECT_EQ(dctTypeOf(f, cur, 1), 0);
}

TEST(Prediction, ReconstructionAddsThePredictionAndClips) {
    MotionFixture f(16, 16);
    f.setPicture(kPictureP);
    buildClipTable(f.enc.clipTable);
    f.enc.transforms.inverseDct = keepCoefficients;
    f.enc.transforms.dequantizeIntra = keepLevels;
    MacroblockWork work;
    startMacroblock(f.enc, 0, *f.enc.newOrg, work);
    for (int r = 0; r < 16; ++r)
        for (int x = 0; x < 16; ++x) work.prediction[0][16 * r + x] = x < 8 ? 250 : 3;
    for (int k = 0; k < 64; ++k) {
        work.blocks[0][static_cast<size_t>(k)] = 20;   // over 250: 255
        work.blocks[1][static_cast<size_t>(k)] = -10;  // under 3: 0
        work.blocks[2][static_cast<size_t>(k)] = 5;    // 250 + 5
    }
    MacroblockInfo mb;
    mb.type = kMbIntra;
    mb.cbp = (1 << f.enc.geo.blockCount) - 1;
    reconstructMacroblock(f.enc, mb, 0, work);
    commitMacroblock(f.enc, work, *f.enc.newRef);
    const int W = f.W();
    EXPECT_EQ(f.enc.newRef->plane[0][0], 255);
    EXPECT_EQ(f.enc.newRef->plane[0][8], 0);
    EXPECT_EQ(f.enc.newRef->plane[0][static_cast<size_t>(9 * W + 2)], 255);
    EXPECT_EQ(f.enc.newRef->plane[0][static_cast<size_t>(9 * W + 12)], 3);  // block 3 adds nothing
}

}  // namespace
}  // namespace quillon

// The picture-level tools' measures on hand-made pictures: grain is told
// from detail and smooth shading, and its ratio share moves the I and B
// quantisers from the settings' ratios to the grain ones.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "video/encoder/picture_tools.h"

namespace quillon::testing {
namespace {

struct Frame {
    VideoGeometry geo;
    Picture picture;
    Frame(int w, int h) {
        geo.width = geo.paddedWidth = w;
        geo.height = geo.paddedHeight = h;
        picture.plane[0].assign(static_cast<size_t>(w) * h, 0);
    }
    uint8_t& at(int x, int y) { return picture.plane[0][static_cast<size_t>(y) * geo.paddedWidth + x]; }
};

// A landscape-like picture: smooth shading in the upper half, fine detail
// (edges every few samples) in the lower, optionally with grain.
Frame landscape(int grain) {
    Frame f(352, 288);
    std::mt19937 random(3);
    std::normal_distribution<double> noise(0, grain);
    for (int y = 0; y < 288; ++y)
        for (int x = 0; x < 352; ++x) {
            double v = y < 144 ? 90 + 0.2 * x + 0.1 * y : ((x / 3 + y / 5) % 2 ? 170 : 60);
            if (grain) v += noise(random);
            f.at(x, y) = static_cast<uint8_t>(std::clamp(std::lround(v), 0L, 255L));
        }
    return f;
}

TEST(PictureTools, GrainIsToldFromDetailAndSetsTheRatioShare) {
    const Frame clean = landscape(0), grainy = landscape(4);
    const double cleanLevel = grainLevel(clean.picture, clean.geo);
    const double grainyLevel = grainLevel(grainy.picture, grainy.geo);
    EXPECT_LT(cleanLevel, 3.0);
    EXPECT_GT(grainyLevel, 8.0);
    EXPECT_EQ(typeRatioShareFor(cleanLevel), 100);
    EXPECT_EQ(typeRatioShareFor(grainyLevel), 0);
    // Up to the most detailed clean bench pictures and a little over, the
    // settings' ratios whole; from the grainy clip's level down to 8 none
    // of them.
    EXPECT_EQ(typeRatioShareFor(4.2), 100);
    EXPECT_EQ(typeRatioShareFor(4.5), 100);
    EXPECT_EQ(typeRatioShareFor(6.25), 50);
    EXPECT_EQ(typeRatioShareFor(8.0), 0);
    EXPECT_EQ(typeRatioShareFor(40.0), 0);
    // Between the two the share falls steadily.
    int previous = 100;
    for (double g = 0; g < 12; g += 0.5) {
        const int share = typeRatioShareFor(g);
        EXPECT_LE(share, previous);
        previous = share;
    }
}

TEST(PictureTools, TheRatioShareMovesTypeQuantisersTowardTheGrainRatios) {
    EncoderSettings s;
    s.iQuantRatio = 60;
    s.bQuantRatio = 140;
    // Linear scale: 40 -> I 24, B 56 with the whole ratios.
    EXPECT_EQ(typeMquant(s, kPictureI, 40, 0), 24);
    EXPECT_EQ(typeMquant(s, kPictureB, 40, 0), 56);
    EXPECT_EQ(typeMquant(s, kPictureP, 40, 0, 50), 40);
    EXPECT_EQ(typeMquant(s, kPictureP, 40, 0, 0), 40);
    // None of them: grainy pictures code I coarser and B finer than P.
    EXPECT_GT(grainTypeRatio(kPictureI), 100);
    EXPECT_LT(grainTypeRatio(kPictureB), 100);
    EXPECT_EQ(grainTypeRatio(kPictureP), 100);
    EXPECT_EQ(typeRatioPercent(s, kPictureI, 0), grainTypeRatio(kPictureI));
    EXPECT_EQ(typeRatioPercent(s, kPictureB, 0), grainTypeRatio(kPictureB));
    EXPECT_EQ(typeMquant(s, kPictureI, 40, 0, 0), 48);
    EXPECT_EQ(typeMquant(s, kPictureB, 40, 0, 0), 36);
    // Half way between the settings' ratio and the grain one: I 90 %,
    // B 115 %.
    EXPECT_EQ(typeMquant(s, kPictureI, 40, 0, 50), 36);
    EXPECT_EQ(typeMquant(s, kPictureB, 40, 0, 50), 46);
    // A picture that takes the whole share keeps the settings' ratios
    // whatever they are, the classic level's 100 included.
    s.iQuantRatio = s.bQuantRatio = 100;
    EXPECT_EQ(typeRatioPercent(s, kPictureI, 100), 100);
    EXPECT_EQ(typeRatioPercent(s, kPictureB, 100), 100);
}

}  // namespace
}  // namespace quillon::testing

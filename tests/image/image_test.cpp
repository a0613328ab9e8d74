// Picture loading in every format an image list may name, and the bitmap
// helpers: orientation, colour order, crop, depth and scaling.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <random>
#include <fstream>

#include "image/bitmap.h"
#include "image/image_file.h"
#include "tests/support/temp_dir.h"

namespace quillon {
namespace {

// 40x30: top half red (left) and green (right), bottom half blue (left)
// and white (right), written as a binary PPM the ffmpeg tool converts.
void writePpm(const std::string& path) {
    std::ofstream out(path, std::ios::binary);
    out << "P6\n40 30\n255\n";
    for (int y = 0; y < 30; ++y) {
        for (int x = 0; x < 40; ++x) {
            unsigned char rgb[3];
            const bool right = x >= 20, lower = y >= 15;
            if (!lower && !right) rgb[0] = 255, rgb[1] = 0, rgb[2] = 0;
            else if (!lower) rgb[0] = 0, rgb[1] = 255, rgb[2] = 0;
            else if (!right) rgb[0] = 0, rgb[1] = 0, rgb[2] = 255;
            else rgb[0] = 255, rgb[1] = 255, rgb[2] = 255;
            out.write(reinterpret_cast<const char*>(rgb), 3);
        }
    }
}

void expectQuadrants(const Bitmap& b, int tolerance) {
    ASSERT_EQ(b.width, 40);
    ASSERT_EQ(b.height, 30);
    auto px = [&](int x, int y) { return b.topRow(y) + x * 4; };
    auto check = [&](int x, int y, int bl, int g, int r) {
        const uint8_t* p = px(x, y);
        EXPECT_NEAR(p[0], bl, tolerance) << x << "," << y;
        EXPECT_NEAR(p[1], g, tolerance) << x << "," << y;
        EXPECT_NEAR(p[2], r, tolerance) << x << "," << y;
        EXPECT_EQ(p[3], 0);
    };
    check(8, 6, 0, 0, 255);      // red top-left
    check(32, 6, 0, 255, 0);     // green top-right
    check(8, 24, 255, 0, 0);     // blue bottom-left
    check(32, 24, 255, 255, 255);
    // Bottom-up: the first row in memory is the picture's bottom row.
    EXPECT_EQ(b.row(0), b.topRow(29));
}

TEST(ImageFiles, EveryFormatLoadsRightWayUpInBlueGreenRedOrder) {
    testing::TempDir dir;
    const std::string ppm = dir.file("q.ppm");
    writePpm(ppm);
    struct Format {
        const char* ext;
        const char* args;
        int tolerance;
    } formats[] = {{"jpg", "-q:v 2", 40}, {"png", "", 0}, {"bmp", "", 0}, {"gif", "", 8}, {"tga", "", 0},
                   {"bmp", "-pix_fmt bgra", 0}};
    int n = 0;
    for (const Format& f : formats) {
        const std::string out = dir.file("q" + std::to_string(n++) + "." + f.ext);
        const std::string cmd =
            "ffmpeg -nostdin -y -v error -i '" + ppm + "' " + f.args + " -frames:v 1 '" + out + "'";
        ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
        Bitmap b;
        std::string error;
        ASSERT_TRUE(loadPicture(out, b, &error)) << out << ": " << error;
        SCOPED_TRACE(out);
        expectQuadrants(b, f.tolerance);
    }
}

TEST(ImageFiles, MissingAndBrokenFilesFailWithAReason) {
    testing::TempDir dir;
    Bitmap b;
    std::string error;
    EXPECT_FALSE(loadPicture(dir.file("none.png"), b, &error));
    EXPECT_NE(error.find("none.png"), std::string::npos);
    // A JPEG cut after its header.
    const std::string ppm = dir.file("q.ppm");
    writePpm(ppm);
    const std::string jpg = dir.file("q.jpg");
    ASSERT_EQ(std::system(("ffmpeg -nostdin -y -v error -i '" + ppm + "' '" + jpg + "'").c_str()), 0);
    std::ifstream in(jpg, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), {});
    error.clear();
    // A file cut inside its headers fails.
    std::ofstream(dir.file("head.jpg"), std::ios::binary).write(bytes.data(), 40);
    EXPECT_FALSE(loadPicture(dir.file("head.jpg"), b, &error));
    EXPECT_FALSE(error.empty());
    std::ofstream(dir.file("text.png")) << "not a picture";
    EXPECT_FALSE(loadPicture(dir.file("text.png"), b, &error));
}

Bitmap solid(int w, int h, uint8_t b, uint8_t g, uint8_t r) {
    Bitmap out;
    out.allocate(w, h);
    for (size_t i = 0; i < out.pixels.size(); i += 4) {
        out.pixels[i] = b;
        out.pixels[i + 1] = g;
        out.pixels[i + 2] = r;
    }
    return out;
}

TEST(BitmapHelpers, FlipCropAndDepth) {
    Bitmap b = solid(4, 3, 1, 2, 3);
    b.topRow(0)[0] = 200;
    flipVertical(b);
    EXPECT_EQ(b.topRow(2)[0], 200);
    EXPECT_EQ(b.topRow(0)[0], 1);
    ASSERT_TRUE(cropBitmap(b, 0, 2, 2, 1));
    EXPECT_EQ(b.width, 2);
    EXPECT_EQ(b.height, 1);
    EXPECT_EQ(b.pixels[0], 200);
    EXPECT_FALSE(cropBitmap(b, 1, 0, 2, 1));
    EXPECT_FALSE(cropBitmap(b, 0, 0, 0, 1));
    b.pixels[3] = 99;
    ASSERT_TRUE(changeDepth(b));
    EXPECT_EQ(b.pixels[3], 0);
    EXPECT_EQ(b.pixels[0], 200);
}

TEST(BitmapHelpers, LinearScalingInterpolatesAndKeepsFlatAreas) {
    // A left-to-right ramp doubled in width stays a monotonic ramp with its
    // end values; a flat picture stays flat at any size.
    Bitmap ramp;
    ramp.allocate(5, 2);
    for (int y = 0; y < 2; ++y) {
        for (int x = 0; x < 5; ++x) ramp.row(y)[x * 4 + 1] = static_cast<uint8_t>(x * 50);
    }
    Bitmap wide;
    ASSERT_TRUE(scaleBitmap(ramp, wide, 10, 4));
    EXPECT_EQ(wide.row(0)[1], 0);
    EXPECT_EQ(wide.row(0)[9 * 4 + 1], 200);
    for (int x = 1; x < 10; ++x) EXPECT_GE(wide.row(3)[x * 4 + 1], wide.row(3)[(x - 1) * 4 + 1]);
    EXPECT_EQ(wide.row(0)[2 * 4 + 1], 38);  // (2.5 x 0.4 - 0.5) = 0.75 of the way from 0 to 50
    Bitmap flat = solid(7, 5, 10, 20, 30), big;
    ASSERT_TRUE(scaleBitmap(flat, big, 33, 17));
    for (size_t i = 0; i < big.pixels.size(); i += 4) {
        ASSERT_EQ(big.pixels[i], 10);
        ASSERT_EQ(big.pixels[i + 2], 30);
    }
    EXPECT_FALSE(scaleBitmap(flat, big, 0, 10));

    // An abort stops the scaler; what it did not reach stays as it was.
    Bitmap target = solid(8, 64, 9, 9, 9);
    int calls = 0;
    ASSERT_TRUE(scaleBitmap(flat, target, 8, 64, [&] { return ++calls > 1; }));
    EXPECT_EQ(target.row(0)[0], 10);
    EXPECT_EQ(target.row(63)[0], 9);
}

// The scaler keeps interpolated rows between output rows; every output
// byte must still be the direct two-by-two formula's, enlarging, reducing
// and at one-pixel sizes.
TEST(BitmapHelpers, ScalingGivesTheDirectFormulasBytes) {
    auto taps = [](int from, int to) {
        std::vector<std::array<int, 3>> t(static_cast<size_t>(to));
        for (int i = 0; i < to; ++i) {
            double pos = std::max(0.0, (i + 0.5) * from / to - 0.5);
            int i0 = std::min(static_cast<int>(pos), from - 1), i1 = std::min(i0 + 1, from - 1);
            int w = i1 == i0 ? 0 : std::clamp(static_cast<int>(std::lround((pos - i0) * 256)), 0, 256);
            t[static_cast<size_t>(i)] = {i0, i1, w};
        }
        return t;
    };
    std::mt19937 rng(4);
    const int sizes[][4] = {{320, 240, 720, 576}, {320, 240, 352, 240}, {720, 576, 352, 288}, {7, 5, 33, 17},
                            {1, 1, 9, 4},         {9, 4, 1, 1},         {640, 480, 480, 576}, {3, 200, 5, 7}};
    for (const auto& z : sizes) {
        Bitmap src;
        src.allocate(z[0], z[1]);
        for (uint8_t& b : src.pixels) b = static_cast<uint8_t>(rng());
        Bitmap out;
        ASSERT_TRUE(scaleBitmap(src, out, z[2], z[3]));
        const auto cols = taps(z[0], z[2]), rows = taps(z[1], z[3]);
        for (int y = 0; y < z[3]; ++y)
            for (int x = 0; x < z[2]; ++x)
                for (int k = 0; k < 4; ++k) {
                    const auto& cx = cols[static_cast<size_t>(x)];
                    const auto& ry = rows[static_cast<size_t>(y)];
                    auto at = [&](int r, int c) { return static_cast<int>(src.row(r)[c * 4 + k]); };
                    const int top = at(ry[0], cx[0]) * (256 - cx[2]) + at(ry[0], cx[1]) * cx[2];
                    const int bottom = at(ry[1], cx[0]) * (256 - cx[2]) + at(ry[1], cx[1]) * cx[2];
                    const int expected = (top * (256 - ry[2]) + bottom * ry[2] + 32768) >> 16;
                    ASSERT_EQ(out.row(y)[x * 4 + k], expected) << z[0] << "x" << z[1] << " to " << z[2] << "x"
                                                               << z[3] << " at " << x << "," << y;
                }
    }
}

TEST(BitmapHelpers, ProportionalPlacement) {
    Bitmap src = solid(640, 480, 0, 0, 255), out;
    ASSERT_TRUE(scaleProportional(src, out, 352, 240, false));
    EXPECT_EQ(out.topRow(100)[15 * 4 + 2], 0);
    EXPECT_EQ(out.topRow(100)[16 * 4 + 2], 255);
    EXPECT_EQ(out.topRow(100)[335 * 4 + 2], 255);
    EXPECT_EQ(out.topRow(100)[336 * 4 + 2], 0);
    // Odd remainders: the top and left offsets are rounded down.
    Bitmap odd = solid(100, 51, 0, 255, 0);
    ASSERT_TRUE(scaleProportional(odd, out, 100, 100, false));  // 100 x 51 at (0, 24)
    EXPECT_EQ(out.topRow(23)[50 * 4 + 1], 0);
    EXPECT_EQ(out.topRow(24)[50 * 4 + 1], 255);
    EXPECT_EQ(out.topRow(74)[50 * 4 + 1], 255);
    EXPECT_EQ(out.topRow(75)[50 * 4 + 1], 0);
    // SVCD shape from 720x480 on 480x480: planned 720 wide, narrowed to 480.
    Bitmap dvd = solid(720, 480, 255, 0, 0);
    ASSERT_TRUE(scaleProportional(dvd, out, 480, 480, true));
    EXPECT_EQ(out.topRow(200)[0], 255);
    EXPECT_EQ(out.topRow(200)[479 * 4], 255);
}

}  // namespace
}  // namespace quillon

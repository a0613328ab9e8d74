// Transforms, quantisers and the matrix files.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <random>

#include "tests/support/temp_dir.h"
#include "tests/video/video_test_util.h"
#include "video/dsp/dct.h"
#include "video/encoder/encoder_setup.h"
#include "video/dsp/quantize.h"

namespace quillon::testing {
namespace {

std::array<int16_t, 1024> coefClipTable() {
    std::array<int16_t, 1024> t;
    buildCoefficientClipTable(t);
    return t;
}

// F(u,v) straight from its definition.
void referenceDct(const int16_t* in, double* out) {
    for (int v = 0; v < 8; ++v)
        for (int u = 0; u < 8; ++u) {
            double sum = 0;
            for (int y = 0; y < 8; ++y)
                for (int x = 0; x < 8; ++x)
                    sum += in[8 * y + x] * std::cos((2 * x + 1) * u * M_PI / 16) * std::cos((2 * y + 1) * v * M_PI / 16);
            const double cu = u ? 1 : 1 / std::sqrt(2.0), cv = v ? 1 : 1 / std::sqrt(2.0);
            out[8 * v + u] = 0.25 * cu * cv * sum;
        }
}

TEST(Dct, FlatBlocks) {
    const auto clip = coefClipTable();
    for (auto fdct : {forwardDctInteger, forwardDctFloat}) {
        Block b;
        b.fill(10);
        fdct(b.data());
        EXPECT_EQ(b[0], 80);
        for (int i = 1; i < 64; ++i) EXPECT_EQ(b[i], 0) << i;
        b.fill(-255);
        fdct(b.data());
        EXPECT_EQ(b[0], -2040);
    }
    Block dc{};
    dc[0] = 80;
    inverseDctChenWang(dc.data(), clip.data() + 512);
    for (int16_t v : dc) EXPECT_EQ(v, 10);
}

TEST(Dct, MatchesTheDefinitionAndRoundTrips) {
    const auto clip = coefClipTable();
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> sample(-255, 255);
    int worstForward = 0, worstRound = 0;
    for (int n = 0; n < 300; ++n) {
        Block in;
        for (auto& v : in) v = static_cast<int16_t>(sample(rng));
        if (n % 3 == 1)  // smooth blocks as well as noise
            for (int i = 0; i < 64; ++i) in[i] = static_cast<int16_t>((i % 8) * 30 - (i / 8) * 20);
        double ref[64];
        referenceDct(in.data(), ref);
        for (auto fdct : {forwardDctInteger, forwardDctFloat}) {
            Block f = in;
            fdct(f.data());
            for (int i = 0; i < 64; ++i)
                worstForward = std::max(worstForward, static_cast<int>(std::lround(std::fabs(f[i] - ref[i]))));
            inverseDctChenWang(f.data(), clip.data() + 512);
            for (int i = 0; i < 64; ++i) worstRound = std::max(worstRound, std::abs(f[i] - in[i]));
        }
    }
    EXPECT_LE(worstForward, 1);
    EXPECT_LE(worstRound, 1);
}

TEST(Dct, InverseClampsInsteadOfWrapping) {
    const auto clip = coefClipTable();
    Block b{};
    b[0] = 2047;  // DC alone: the shortcut path
    inverseDctChenWang(b.data(), clip.data() + 512);
    for (int16_t v : b) EXPECT_EQ(v, 255);
    Block c{};
    c[0] = -2048;
    c[1] = 2047;  // the full path
    c[9] = -2048;
    inverseDctChenWang(c.data(), clip.data() + 512);
    for (int16_t v : c) {
        EXPECT_GE(v, -256);
        EXPECT_LE(v, 255);
    }
    EXPECT_EQ(c[0], -256);
}

// Four large odd coefficients of one column (each row DC-only) make the
// 1/sqrt(2) rotation's product pass 32 bits; the result must still follow
// the transform (clipped), within the integer form's rounding.
TEST(Dct, InverseOfLargeOddCoefficientsStaysExact) {
    const auto clip = coefClipTable();
    for (int sign : {1, -1}) {
        Block b{};
        b[8 * 1] = static_cast<int16_t>(1500 * sign);
        b[8 * 3] = b[8 * 5] = b[8 * 7] = static_cast<int16_t>(-1500 * sign);
        b[2] = static_cast<int16_t>(40 * sign);  // and a row with the full path
        Block out = b;
        inverseDctChenWang(out.data(), clip.data() + 512);
        for (int y = 0; y < 8; ++y)
            for (int x = 0; x < 8; ++x) {
                double sum = 0;
                for (int v = 0; v < 8; ++v)
                    for (int u = 0; u < 8; ++u) {
                        const double cu = u ? 1 : 1 / std::sqrt(2.0), cv = v ? 1 : 1 / std::sqrt(2.0);
                        sum += cu * cv * b[8 * v + u] * std::cos((2 * x + 1) * u * M_PI / 16) *
                               std::cos((2 * y + 1) * v * M_PI / 16);
                    }
                const double ref = std::clamp(0.25 * sum, -256.0, 255.0);
                EXPECT_LE(std::fabs(out[8 * y + x] - ref), 1.0) << x << "," << y << " sign " << sign;
            }
    }
}

TEST(Quantiser, IntraDcAndAc) {
    const auto& m = kDefaultIntraMatrix;
    Block in{}, out{};
    for (auto [x, want] : {std::pair{-4, -1}, {3, 0}, {4, 1}, {-3, 0}, {-5, -1}, {2040, 255}}) {
        in[0] = static_cast<int16_t>(x);
        quantizeIntraBlock(in.data(), out.data(), 0, m.data(), 2, true);
        EXPECT_EQ(out[0], want) << x;
    }
    in[0] = 2040;
    quantizeIntraBlock(in.data(), out.data(), 3, m.data(), 2, true);
    EXPECT_EQ(out[0], 2040);
    quantizeIntraBlock(in.data(), out.data(), 1, m.data(), 2, true);
    EXPECT_EQ(out[0], 510);
    // AC: weight 16 at position 1; (32 a + 8) / 16 then (q + 2) / 4 for mquant 2.
    const uint8_t flat[64] = {16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16,
                              16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16,
                              16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16};
    in[1] = 511;  // q = 1022, level (1022 + 2) / 4 = 256
    EXPECT_FALSE(quantizeIntraBlock(in.data(), out.data(), 0, flat, 2, true));
    EXPECT_EQ(out[1], 256);
    EXPECT_FALSE(quantizeIntraBlock(in.data(), out.data(), 0, flat, 2, false));
    EXPECT_EQ(out[1], 255);
    in[1] = -509;  // q = 1018: level 255 fits
    EXPECT_TRUE(quantizeIntraBlock(in.data(), out.data(), 0, flat, 2, true));
    EXPECT_EQ(out[1], -255);
}

TEST(Quantiser, NonIntraExactAndFast) {
    std::array<uint16_t, 64> w16, rec;
    w16.fill(16);
    rec.fill(4096);
    Block in{}, out{};
    in[0] = 1;
    EXPECT_FALSE(quantizeNonIntraBlock(in.data(), out.data(), w16.data(), rec.data(), 2, true));
    in[0] = 2;
    EXPECT_TRUE(quantizeNonIntraBlock(in.data(), out.data(), w16.data(), rec.data(), 2, true));
    EXPECT_EQ(out[0], 1);
    in[0] = 3000;
    in[5] = -3000;
    quantizeNonIntraBlock(in.data(), out.data(), w16.data(), rec.data(), 1, true);
    EXPECT_EQ(out[0], 2047);
    EXPECT_EQ(out[5], -2047);
    quantizeNonIntraBlock(in.data(), out.data(), w16.data(), rec.data(), 1, false);
    EXPECT_EQ(out[0], 255);
    EXPECT_EQ(out[5], -255);
    // The fast form gives the exact level or one more, and falls back to the
    // exact form for large coefficients without touching the source.
    std::mt19937 rng(3);
    std::uniform_int_distribution<int> coef(-1023, 1023), weight(2, 255), q(2, 62);
    for (int n = 0; n < 2000; ++n) {
        std::array<uint16_t, 64> w, r;
        Block src;
        for (int i = 0; i < 64; ++i) {
            w[i] = static_cast<uint16_t>(n % 2 ? 16 : weight(rng));
            r[i] = static_cast<uint16_t>(65536 / w[i]);
            src[i] = static_cast<int16_t>(coef(rng));
        }
        if (n % 50 == 0) src[17] = 2000;
        const int mq = q(rng);
        Block exact, fast = src;
        const bool e = quantizeNonIntraBlock(src.data(), exact.data(), w.data(), r.data(), mq, true);
        const bool f = quantizeNonIntraBlockFast(fast.data(), fast.data(), w.data(), r.data(), mq, true);
        if (n % 50 == 0) {
            EXPECT_EQ(fast, exact);
        }
        for (int i = 0; i < 64; ++i) {
            const int d = std::abs(fast[i]) - std::abs(exact[i]);
            ASSERT_TRUE(d == 0 || d == 1) << "n " << n << " i " << i << " exact " << exact[i] << " fast " << fast[i];
        }
        if (e) {
            EXPECT_TRUE(f);
        }
    }
}

TEST(Quantiser, InverseRules) {
    const auto& m = kDefaultIntraMatrix;
    std::mt19937 rng(11);
    std::uniform_int_distribution<int> level(-60, 60);
    std::array<uint8_t, 64> w8;
    w8.fill(16);
    for (int n = 0; n < 200; ++n) {
        Block in, out;
        for (auto& v : in) v = static_cast<int16_t>(n % 4 ? 0 : level(rng));
        in[n % 64] = static_cast<int16_t>(level(rng));
        dequantizeIntraBlock(in.data(), out.data(), n % 4, m.data(), 2 + n % 30, true);
        int sum = 0;
        for (int16_t v : out) sum += v;
        EXPECT_EQ(sum & 1, 1);
        dequantizeNonIntraBlock(in.data(), out.data(), w8.data(), 2 + n % 30, true);
        sum = 0;
        for (int16_t v : out) sum += v;
        EXPECT_EQ(sum & 1, 1);
    }
    // MPEG-1: even reconstructions move one step toward zero.
    Block in{}, out{};
    in[0] = 5;
    in[1] = 1;   // 1 * 16 * 8 / 16 = 8 -> 7
    in[2] = -1;
    const uint8_t* flat = w8.data();
    dequantizeIntraBlock(in.data(), out.data(), 0, flat, 8, false);
    EXPECT_EQ(out[0], 40);
    EXPECT_EQ(out[1], 7);
    EXPECT_EQ(out[2], -7);
    in[3] = 2047;
    dequantizeIntraBlock(in.data(), out.data(), 0, flat, 62, false);
    EXPECT_EQ(out[3], 2047);
    // Non-intra: (2 level + sign) w q / 32.
    Block ni{};
    ni[0] = 1;
    ni[1] = -2;
    dequantizeNonIntraBlock(ni.data(), out.data(), flat, 4, false);
    EXPECT_EQ(out[0], 5);   // 3 * 16 * 4 / 32 = 6 -> 5
    EXPECT_EQ(out[1], -9);  // -5 * 2 = -10 -> -9
    EXPECT_EQ(out[2], 0);
}

TEST(Quantiser, ScaleCodes) {
    EXPECT_EQ(quantiserScaleCode(26, 1), 16);
    EXPECT_EQ(nonLinearQuantTable[16], 24);
    EXPECT_EQ(quantiserScaleCode(30, 1), 18);
    EXPECT_EQ(nonLinearQuantTable[18], 32);
    EXPECT_EQ(quantiserScaleCode(62, 0), 31);
    EXPECT_EQ(quantiserScaleCode(112, 1), 31);
    EXPECT_EQ(quantiserScaleCode(7, 1), 7);
    // Every table value maps back to its own code.
    for (int code = 1; code < 32; ++code) EXPECT_EQ(quantCodeMap[nonLinearQuantTable[code]], code);
    for (int m = 1; m < 112; ++m) EXPECT_LE(quantCodeMap[m], quantCodeMap[m + 1]);
    EXPECT_EQ(nextCoarserMquant(24, 1), 28);
    EXPECT_EQ(nextCoarserMquant(112, 1), 112);
    EXPECT_EQ(nextCoarserMquant(60, 0), 62);
    EXPECT_EQ(nextCoarserMquant(62, 0), 62);
}

class MatrixFiles : public ::testing::Test {
protected:
    RecordingHost host;
    Engine engine{host};
    TempDir dir;
    std::string write(const std::string& name, const std::string& text) {
        std::ofstream(dir.file(name)) << text;
        return dir.file(name);
    }
    bool load(const std::string& intra, const std::string& nonIntra, VideoEncoder& enc) {
        std::snprintf(engine.work.intraQuantMatrix, kTextFieldSize, "%s", intra.c_str());
        std::snprintf(engine.work.nonIntraQuantMatrix, kTextFieldSize, "%s", nonIntra.c_str());
        return loadQuantMatrices(enc);
    }
    static std::string values(int first, int rest) {
        std::string s = std::to_string(first);
        for (int i = 1; i < 64; ++i) s += (i % 8 ? " " : "\n") + std::to_string(rest);
        return s;
    }
};

TEST_F(MatrixFiles, DefaultsAndMpegDefaultName) {
    VideoEncoder enc(engine);
    ASSERT_TRUE(load("", "mpeg default", enc));
    EXPECT_FALSE(enc.quant.loadIntra);
    EXPECT_FALSE(enc.quant.loadNonIntra);
    EXPECT_EQ(enc.quant.intra, kDefaultIntraMatrix);
    EXPECT_EQ(enc.quant.intra[31], 40);
    for (int i = 0; i < 64; ++i) {
        EXPECT_EQ(enc.quant.nonIntra16[i], 16);
        EXPECT_EQ(enc.quant.nonIntraReciprocal[i], 4096);
    }
    VideoEncoder enc2(engine);
    ASSERT_TRUE(load("", "", enc2));
    EXPECT_EQ(enc2.quant.nonIntra8, enc.quant.nonIntra8);
    EXPECT_FALSE(enc2.quant.loadNonIntra);
}

TEST_F(MatrixFiles, FilesAreReadInNaturalOrder) {
    VideoEncoder enc(engine);
    ASSERT_TRUE(load(write("i", values(8, 20)), write("n", values(1, 33)), enc));
    EXPECT_TRUE(enc.quant.loadIntra);
    EXPECT_TRUE(enc.quant.loadNonIntra);
    EXPECT_EQ(enc.quant.intra[0], 8);
    EXPECT_EQ(enc.quant.intra[63], 20);
    EXPECT_EQ(enc.quant.nonIntra16[0], 1);
    EXPECT_EQ(enc.quant.nonIntraReciprocal[1], 65536 / 33);
    EXPECT_TRUE(host.errors.empty());
}

TEST_F(MatrixFiles, InvalidValuesAndMissingFilesAreReported) {
    for (const std::string& bad : {values(0, 16), values(16, 256), std::string("16 16 16")}) {
        host.errors.clear();
        VideoEncoder enc(engine);
        const std::string path = write("bad", bad);
        EXPECT_FALSE(load(path, "", enc));
        ASSERT_EQ(host.errors.size(), 1u);
        EXPECT_EQ(host.errors[0], "Invalid value in intra quant matrix file " + path + ".");
        host.errors.clear();
        VideoEncoder enc2(engine);
        EXPECT_FALSE(load("", path, enc2));
        ASSERT_EQ(host.errors.size(), 1u);
        EXPECT_EQ(host.errors[0], "Invalid value in non-intra quant matrix file " + path + ".");
    }
    host.errors.clear();
    VideoEncoder enc(engine);
    EXPECT_FALSE(load("", dir.file("absent"), enc));
    ASSERT_EQ(host.errors.size(), 1u);
    EXPECT_EQ(host.errors[0], "Could not open non-intra quant matrix file " + dir.file("absent") + ".");
}

}  // namespace
}  // namespace quillon::testing

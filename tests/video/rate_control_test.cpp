#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <utility>
#include <iterator>
#include <vector>

#include "engine/bit_writer.h"
#include "engine/engine.h"
#include "tests/support/temp_dir.h"
#include "video/encoder/picture_loop.h"
#include "video/encoder/rate_control.h"

namespace quillon {
namespace {

class RecordingHost : public Host {
public:
    std::vector<std::string> messages;
    std::vector<std::string> lines;
    void messageBox(const std::string& caption, const std::string& text, MessageIcon, bool) override {
        messages.push_back(caption + ": " + text);
    }
    void logLine(const std::string& text) override { lines.push_back(text); }
    bool askYesNo(const std::string&, const std::string&) override { return true; }
    std::unique_ptr<DialogView> createDialog() override { return nullptr; }
};

// A writer, settings and statistics around one RateControl.
struct Rig {
    RecordingHost host;
    Engine engine{host};
    testing::TempDir dir;
    BitWriter writer;
    RateStatistics stats;
    EncoderSettings s;
    std::unique_ptr<RateControl> rc;

    Rig() {
        s.constBitrateFlag = 1;
        s.constBitrate = 1150000;
        s.frameRate = 25;
        s.frameRateCode = 3;
        s.vbvBufferSize = 20;
        EXPECT_TRUE(writer.open(engine, dir.file("out.m1v")));
    }
    RateControl& make() {
        rc = std::make_unique<RateControl>(engine, s, writer, stats);
        stats = RateStatistics{};
        rc->initSequence();
        return *rc;
    }
    // Codes one picture of `bits` bits (after its 32-bit start code) through
    // the picture-level calls, as the picture writer does.
    void codePicture(int type, double bits, int structure = kFramePicture) {
        writer.alignToByte();
        ActivitySource src;
        src.mbWidth = 22;
        src.mbHeightPicture = 18;
        src.pictureStructure = structure;
        rc->initPicture(type, src);
        writer.putBits(0x100, 32);
        VbvPicture p;
        p.pictureCodingType = type;
        p.pictureStructure = structure;
        rc->computeVbvDelay(p);
        rc->startMacroblock(0);
        for (double left = bits - 32; left > 0; left -= 32) writer.putBits(0x55555555u, left >= 32 ? 32 : int(left));
        rc->recordMquant(8);
        rc->updatePicture();
        rc->markEndOfPicture();
    }
};

TEST(RateControl, SequenceStartValuesForVideoCdRate) {
    Rig rig;
    RateControl& rc = rig.make();
    EXPECT_EQ(rc.reaction(), 92000);
    EXPECT_EQ(rc.d0i(), 29677);
    EXPECT_EQ(rc.d0p(), 29677);
    EXPECT_EQ(rc.d0b(), 41548);
    EXPECT_EQ(rc.Xi(), 1600000);
    EXPECT_EQ(rc.Xp(), 600000);
    EXPECT_EQ(rc.Xb(), 420000);
    EXPECT_DOUBLE_EQ(rc.averageActivity(), 400.0);
    EXPECT_DOUBLE_EQ(rc.thirdPicture(), 15333);
    EXPECT_DOUBLE_EQ(rc.maxDelay(), 1474560000.0 / 1150000 * 20);

    // Explicit settings win over the computed start values.
    rig.s.reactionParameter = 1000;
    rig.s.initialBFullness = 77;
    rig.s.initialAverageActivity = 12;
    RateControl& rc2 = rig.make();
    EXPECT_EQ(rc2.reaction(), 1000);
    EXPECT_EQ(rc2.d0i(), 323);
    EXPECT_EQ(rc2.d0b(), 77);
    EXPECT_DOUBLE_EQ(rc2.averageActivity(), 12.0);
}

TEST(RateControl, StatisticsFileFollowsSequenceGopPictureAndVbv) {
    Rig rig;
    const std::string path = rig.dir.file("stats.txt");
    rig.engine.job.statisticsFile = std::fopen(path.c_str(), "w");
    ASSERT_NE(rig.engine.job.statisticsFile, nullptr);
    rig.make();
    rig.rc->initGop(2, 0);
    rig.codePicture(kPictureI, 40000);
    std::fclose(rig.engine.job.statisticsFile);
    rig.engine.job.statisticsFile = nullptr;
    std::ifstream in(path);
    std::string text{std::istreambuf_iterator<char>(in), {}};
    for (const char* line : {"\nrate control: sequence initialization\n",
                             " initial global complexity measures (I,P,B): Xi=1600000, Xp=600000, Xb=420000\n",
                             " reaction parameter: r=92000\n",
                             " initial virtual buffer fullness (I,P,B): d0i=29677, d0p=29677, d0b=41548\n",
                             " initial average activity: avg_act=400.0\n",
                             "\nrate control: new group of pictures (GOP)\n", " target number of bits for GOP: R=138000.0\n",
                             " number of P pictures in GOP: Np=2\n", "\nrate control: start of picture\n",
                             " max picture bits: 999999999.0\n", "\nvbv_delay=", "\nrate control: end of picture\n",
                             " remaining number of P pictures in GOP: Np=2\n"})
        EXPECT_NE(text.find(line), std::string::npos) << line;
}

TEST(RateControl, LinearQuantiserHysteresisAndLimits) {
    Rig rig;
    rig.s.initialAverageActivity = 1;  // flat pictures then give Nact = 1
    RateControl& rc = rig.make();
    rc.initGop(4, 8);
    ActivitySource src;
    src.mbWidth = 4;
    src.mbHeightPicture = 1;
    rc.initPicture(kPictureI, src);
    auto quantFor = [&](double q, int previous) {
        rc.setFullness(q * rc.reaction() / 31.0);
        rc.setPreviousMquant(previous);
        return rc.calcMquant(0, 0);
    };
    EXPECT_EQ(quantFor(5, 12), 12);  // 10 is within 4 of 12
    EXPECT_EQ(quantFor(3, 12), 6);   // below 8 there is no hysteresis
    EXPECT_EQ(quantFor(7, 12), 12);  // 14 is within 4 of 12 too
    EXPECT_EQ(quantFor(9, 12), 18);
    EXPECT_EQ(quantFor(35, 50), 62);
    EXPECT_EQ(quantFor(35, 58), 58);
    EXPECT_EQ(quantFor(35, 60), 60);
    EXPECT_EQ(quantFor(35, 62), 62);
    EXPECT_EQ(quantFor(0.2, 12), 2);
    EXPECT_EQ(quantFor(-3, 12), 2);
    // Non-linear scale: nearest code by range, clamped to 1..112.
    rc.setFullness(20.0 * rc.reaction() / 31.0);  // 2Q = 40: code 20, value 40
    EXPECT_EQ(rc.calcMquant(0, 1), 40);
    rc.setFullness(30.5 * rc.reaction() / 31.0);  // 2Q = 61: code 25, value 64
    EXPECT_EQ(rc.calcMquant(0, 1), 64);
    rc.setFullness(1000.0 * rc.reaction() / 31.0);
    EXPECT_EQ(rc.calcMquant(0, 1), 112);
    rc.setFullness(-5);
    EXPECT_EQ(rc.calcMquant(0, 1), 1);
    EXPECT_EQ(rig.stats.maxMquant, 112);
    EXPECT_EQ(rig.stats.minMquant, 1);
}

TEST(RateControl, ActivityUsesSmallestBlockVarianceAndFieldBlocksWhenInterlaced) {
    Rig rig;
    // One macroblock: top-left block flat, the rest noisy; interlaced lines
    // alternate 0/200 so frame blocks vary but field blocks are flat.
    const int W = 16;
    std::vector<uint8_t> luma(16 * 16);
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 16; ++x) luma[y * W + x] = (y & 1) ? 200 : 0;
    ActivitySource src{luma.data(), W, 1, 1, kFramePicture};
    rig.s.progressiveSequence = 1;
    RateControl& rc = rig.make();
    rc.initPicture(kPictureI, src);
    EXPECT_DOUBLE_EQ(rc.activity(0), 1 + 10000.0);  // mean 100, mean square 20000
    rig.s.progressiveSequence = 0;
    RateControl& rc2 = rig.make();
    rc2.initPicture(kPictureI, src);
    EXPECT_DOUBLE_EQ(rc2.activity(0), 1.0);
    // A bottom-field picture reads the odd lines of the frame.
    std::vector<uint8_t> frame(16 * 32);
    for (int y = 0; y < 32; ++y)
        for (int x = 0; x < 16; ++x) frame[y * W + x] = (y & 1) ? 50 : static_cast<uint8_t>(x * 15);
    ActivitySource bottom{frame.data(), W, 1, 1, kBottomField};
    rc2.initPicture(kPictureI, bottom);
    EXPECT_DOUBLE_EQ(rc2.activity(0), 1.0);
    ActivitySource top{frame.data(), W, 1, 1, kTopField};
    rc2.initPicture(kPictureI, top);
    EXPECT_GT(rc2.activity(0), 100.0);
}

// The strength of the activity's say in the quantiser: full, half (the
// square root of the factor) and none, where a busy and a flat macroblock
// get the quantiser the buffer alone asks for.
TEST(RateControl, ActivityStrengthScalesTheQuantiserSpread) {
    std::vector<uint8_t> flat(16 * 16, 100), busy(16 * 16);
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 16; ++x) busy[y * 16 + x] = static_cast<uint8_t>((x + y) & 1 ? 0 : 200);
    auto quantiser = [](int strength, const std::vector<uint8_t>& luma) {
        Rig rig;
        rig.s.progressiveSequence = 1;
        rig.s.cbrActivity = strength;
        RateControl& rc = rig.make();
        rc.initGop(4, 8);
        ActivitySource src{luma.data(), 16, 1, 1, kFramePicture};
        rc.initPicture(kPictureI, src);
        rc.setFullness(10.0 * rc.reaction() / 31.0);
        rc.setPreviousMquant(0);
        return rc.calcMquant(0, 0);
    };
    EXPECT_EQ(std::make_pair(quantiser(100, flat), quantiser(100, busy)), std::make_pair(10, 38));
    EXPECT_EQ(std::make_pair(quantiser(50, flat), quantiser(50, busy)), std::make_pair(14, 28));
    EXPECT_EQ(std::make_pair(quantiser(0, flat), quantiser(0, busy)), std::make_pair(20, 20));
}

TEST(RateControl, TargetFallsBackToAThirdPictureWhenGopBudgetIsSpent) {
    Rig rig;
    RateControl& rc = rig.make();
    rc.initGop(4, 10);
    EXPECT_DOUBLE_EQ(rc.remainingGopBits(), 15 * 46000.0);
    ActivitySource src;
    src.mbWidth = 22;
    src.mbHeightPicture = 15;
    rc.initPicture(kPictureI, src);
    // I target from the complexity ratios: R / (1 + 4*Xp/Xi + 10*Xb/(1.4 Xi)).
    double want = std::floor(690000.0 / (1 + 4 * 0.375 + 10 * 420000.0 / (1600000 * 1.4)) + 0.5);
    EXPECT_DOUBLE_EQ(rc.target(), want);
    for (double R : {0.0, -1000.0}) {
        rc.setRemainingGopBits(R);
        rc.initPicture(kPictureB, src);
        EXPECT_DOUBLE_EQ(rc.target(), rc.thirdPicture()) << R;
        rc.initPicture(kPictureP, src);
        EXPECT_DOUBLE_EQ(rc.target(), rc.thirdPicture()) << R;
    }
    // An overspend is carried into the next GOP, a saving is not.
    rc.setRemainingGopBits(-1000);
    rc.initGop(1, 0);
    EXPECT_DOUBLE_EQ(rc.remainingGopBits(), 2 * 46000.0 - 1000);
    rc.setRemainingGopBits(5000);
    rc.initGop(1, 0);
    EXPECT_DOUBLE_EQ(rc.remainingGopBits(), 2 * 46000.0);
    // Field pictures count both fields, the I frame's second field as P.
    rig.s.fieldPictures = 1;
    RateControl& rc2 = rig.make();
    rc2.initGop(4, 10);
    EXPECT_EQ(rc2.Np(), 9);
    EXPECT_EQ(rc2.Nb(), 20);
}

// Type weights share the bits still to spend in the GOP. With the ratios
// of the controller's own constants (I as P, B 1.4 times) they give its
// targets; a finer I picture takes more than its share while it is still to
// come, and the P and B pictures after it split what is left as before.
TEST(RateControl, TypeWeightsShareTheGopsRemainingBits) {
    auto targets = [](int typeWeights, int iRatio, int share) {
        Rig rig;
        rig.s.typeWeights = typeWeights;
        rig.s.iQuantRatio = iRatio;
        rig.s.bQuantRatio = 140;
        RateControl& rc = rig.make();
        rc.initGop(4, 10);
        rc.setTypeRatioShare(share);
        ActivitySource src;
        src.mbWidth = 22;
        src.mbHeightPicture = 15;
        std::vector<double> t;
        for (int type : {kPictureI, kPictureP, kPictureB}) {
            rc.initPicture(type, src);
            t.push_back(rc.target());
        }
        return t;
    };
    const std::vector<double> tm5 = targets(0, 100, 100);
    const std::vector<double> same = targets(1, 100, 100);
    for (size_t i = 0; i < 3; ++i) EXPECT_NEAR(same[i], tm5[i], 1.0) << i;
    const std::vector<double> finer = targets(1, 65, 100);
    EXPECT_GT(finer[0], tm5[0] * 1.2);
    EXPECT_NEAR(finer[1], tm5[1], 1.0);
    EXPECT_NEAR(finer[2], tm5[2], 1.0);
    // A grainy picture keeps a third of the ratios: a smaller I share, B
    // pictures less coarse than the controller's own 1.4.
    const std::vector<double> grainy = targets(1, 65, 34);
    EXPECT_LT(grainy[0], finer[0] * 0.9);
    EXPECT_GT(grainy[2], tm5[2] * 1.05);
}

TEST(RateControl, SmallPicturesArePaddedWithWholeZeroWords) {
    Rig rig;
    rig.s.vbvBufferSize = 1;  // a tiny buffer overflows unless pictures are large
    RateControl& rc = rig.make();
    rc.initGop(0, 0);
    rig.codePicture(kPictureI, 3000);
    // First picture: the buffer is 7/8 full, so the picture must be at least
    // two frame periods of data minus the eighth of the buffer left free.
    double vbvDelay = rc.vbvDelay();
    double want = 8 * std::floor((((vbvDelay - rc.maxDelay()) / 90000 + 2 / 25.0) * 1150000 + 7) / 8);
    ASSERT_GT(want, 3000);
    double padding = rig.stats.totalPaddingBits;
    double S = 3000;
    int n = static_cast<int>(want - S);
    double words = (n - 1) / 32 + 1;
    EXPECT_GE(padding, words * 32);
    EXPECT_LT(padding, words * 32 + 8);
    EXPECT_EQ(std::fmod(rig.writer.totalBits(), 8.0), 0.0);
    EXPECT_DOUBLE_EQ(rig.stats.maxPaddingBits, padding);
    EXPECT_GE(rig.writer.totalBits() - 0, want);  // S' reaches the minimum
    // The padding bytes are zero and stand right after the picture data.
    rig.writer.close();
    std::ifstream in(rig.dir.file("out.m1v"), std::ios::binary);
    std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
    ASSERT_EQ(bytes.size() * 8.0, 3000 + padding + 0);
    for (size_t i = 3000 / 8 + 1; i < bytes.size(); ++i) ASSERT_EQ(bytes[i], 0) << i;
}

TEST(RateControl, VbvModelAtTheNominalRateStaysQuietAndSteady) {
    Rig rig;
    rig.s.verbose = 1;
    RateControl& rc = rig.make();
    rc.initGop(14, 0);
    std::vector<int> delays;
    for (int i = 0; i < 15; ++i) {
        rig.codePicture(i ? kPictureP : kPictureI, 46000);
        delays.push_back(rc.vbvDelay());
    }
    EXPECT_TRUE(rig.host.messages.empty());
    EXPECT_EQ(rig.stats.vbvUnderflows, 0);
    EXPECT_EQ(rig.stats.vbvOverflows, 0);
    // 7/8 of 20 x 16384 bits at 1,150,000 bit/s, less the start code.
    int first = static_cast<int>(std::floor((20 * 7 * 16384 / 8) * 90000.0 / 1150000 - 32 * 90000.0 / 1150000));
    EXPECT_EQ(delays[0], first);
    // Padding keeps one picture period of room in the buffer, so the delay
    // settles a little below the start value and stays there.
    for (int d : delays) {
        EXPECT_LE(d, first);
        EXPECT_GE(d, first - 3700);
    }
    EXPECT_NEAR(delays[14], delays[13], 2);
}

TEST(RateControl, VbvViolationsAreCountedOncePerPictureAndForcingSilencesThem) {
    for (int force : {0, 1}) {
        Rig rig;
        rig.s.verbose = 1;
        rig.s.forceVBVDelay = force;
        RateControl& rc = rig.make();
        rc.initGop(14, 0);
        // Pictures far above the channel rate drain the buffer.
        for (int i = 0; i < 6; ++i) rig.codePicture(i ? kPictureP : kPictureI, 200000);
        if (force) {
            EXPECT_EQ(rig.stats.vbvUnderflows, 0);
            EXPECT_EQ(rig.stats.vbvOverflows, 0);
            EXPECT_TRUE(rig.host.messages.empty());
        } else {
            EXPECT_GE(rig.stats.vbvUnderflows, 3);
            EXPECT_LE(rig.stats.vbvUnderflows, 5);  // at most once per picture after the first
            ASSERT_FALSE(rig.host.messages.empty());
            EXPECT_NE(rig.host.messages[0].find("Quorvel Encoder - warning: vbv_delay underflow"), std::string::npos);
        }
        EXPECT_EQ(rc.vbvDelay(), 0);
        // The bounds are derived either way.
        EXPECT_LT(rc.maxPictureBits(), 999999999.0);
    }
    // Without verbose the count still runs but nothing is shown.
    Rig quiet;
    RateControl& rc = quiet.make();
    rc.initGop(14, 0);
    for (int i = 0; i < 6; ++i) quiet.codePicture(i ? kPictureP : kPictureI, 200000);
    EXPECT_GT(quiet.stats.vbvUnderflows, 0);
    EXPECT_TRUE(quiet.host.messages.empty());
}

TEST(RateControl, FieldPicturesAdvanceDecodingTimeByOneFieldEach) {
    Rig rig;
    rig.s.fieldPictures = 1;
    rig.s.progressiveSequence = 0;
    rig.s.topFieldFirst = 1;
    RateControl& rc = rig.make();
    rc.initGop(1, 2);
    const double field = 90000.0 / 50;
    // I P | B B | B B | P P in coding order, one frame of data per field pair.
    int types[8] = {kPictureI, kPictureP, kPictureB, kPictureB, kPictureB, kPictureB, kPictureP, kPictureP};
    double previous = 0;
    for (int k = 0; k < 8; ++k) {
        rig.codePicture(types[k], 23000, (k % 2) ? kBottomField : kTopField);
        if (k > 0) {
            EXPECT_NEAR(rc.decodingTime() - previous, field, 1e-6) << k;
        }
        previous = rc.decodingTime();
    }
    EXPECT_EQ(rig.stats.vbvUnderflows + rig.stats.vbvOverflows, 0);
}

// Puts `bits` more bits through the encoder's writer and counts a frame.
void frame(VideoEncoder& enc, int bits) {
    for (; bits > 0; bits -= 8) enc.writer.putBits(0, 8);
    rcFrameStatistics(enc);
}

TEST(RateStatistics, OneSecondWindowsDoNotOverlapAndFollowTheFrameRate) {
    RecordingHost host;
    Engine engine(host);
    testing::TempDir dir;
    VideoEncoder enc(engine);
    ASSERT_TRUE(enc.writer.open(engine, dir.file("s.m1v")));
    const std::pair<int, int> windows[] = {{3, 25}, {4, 30}, {1, 24}, {8, 60}};
    for (auto [code, length] : windows) {
        engine.work.frameRateCode = code;
        rcInitSequenceStatistics(enc);
        EXPECT_EQ(enc.rcStats.windowLength, length) << code;
    }
    engine.work.frameRateCode = 3;
    rcInitSequenceStatistics(enc);
    // Second one: 25 frames of 1000 bits, second two: 25 of 3000 with one
    // big frame; the 60 frames leave an incomplete third window.
    for (int i = 0; i < 60; ++i) frame(enc, i < 25 ? 1000 : i == 30 ? 50000 : 3000);
    const RateStatistics& st = enc.rcStats;
    EXPECT_EQ(st.minFrameBits, 1000u);
    EXPECT_EQ(st.maxFrameBits, 50000u);
    EXPECT_EQ(st.minWindowBits, 25000u);
    EXPECT_EQ(st.maxWindowBits, 24u * 3000 + 50000);
    EXPECT_EQ(st.framesInWindow, 10);

    // A saved copy brings the statistics back exactly.
    SavedRateStatistics saved = saveRateStatistics(st);
    for (int i = 0; i < 30; ++i) frame(enc, 90000);
    EXPECT_EQ(st.maxFrameBits, 90000u);
    restoreRateStatistics(enc.rcStats, saved);
    EXPECT_EQ(st.maxFrameBits, 50000u);
    EXPECT_EQ(st.maxWindowBits, 24u * 3000 + 50000);
    EXPECT_EQ(st.framesInWindow, 10);
    EXPECT_DOUBLE_EQ(st.bitsAtLastFrame, saved.bitsAtLastFrame);
}

}  // namespace
}  // namespace quillon

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "engine/engine.h"
#include "engine/format.h"
#include "tests/support/temp_dir.h"
#include "video/encoder/gop_recoding.h"
#include "video/encoder/rate_interface.h"

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

// Codes a GOP whose size falls with the quantiser as content / mquant and
// runs the budget until it accepts; returns the quantisers of the attempts.
std::vector<int> attempts(GopBudget& budget, int base, double content) {
    std::vector<int> used;
    int mquant = base;
    for (int guard = 0; guard < 40; ++guard) {
        used.push_back(mquant);
        GopBudget::Verdict v = budget.check(static_cast<int>(content / mquant), mquant);
        if (!v.recode) {
            EXPECT_EQ(v.mquant, base);  // every GOP starts from the configured quantiser
            return used;
        }
        mquant = v.mquant;
    }
    ADD_FAILURE() << "no verdict";
    return used;
}

TEST(GopBudget, TooLargeGopsAreCodedAgainUntilTheyFitOrTheQuantiserIsCoarsest) {
    GopBudget b;
    b.start(15, 25, 1000000, 0, 0, 4);
    EXPECT_EQ(b.maxGopBits(), 600000);
    EXPECT_EQ(b.minGopBits(), 0);
    // 1.5 Mbit at mquant 4: the next try scales the quantiser by the excess.
    std::vector<int> want = {4, 10};
    EXPECT_EQ(attempts(b, 4, 6000000), want);
    EXPECT_EQ(b.gopNumber(), 2);
    // Content too rich for any quantiser: steps end at 31 and the GOP stays.
    std::vector<int> used = attempts(b, 4, 1e9);
    EXPECT_EQ(used.back(), 31);
    for (size_t k = 1; k < used.size(); ++k) EXPECT_GT(used[k], used[k - 1]);
    EXPECT_EQ(b.gopNumber(), 3);
    // A GOP that fits at once is not touched.
    EXPECT_EQ(attempts(b, 4, 2000000).size(), 1u);
}

TEST(GopBudget, AShortGopIsMeasuredAgainstItsOwnLength) {
    GopBudget b;
    b.start(15, 25, 1000000, 200000, 0, 4);
    // 3 pictures at 1 Mbit/s may carry 120000 bits, not the 600000 of 15.
    EXPECT_TRUE(b.check(300000, 4, 3).recode);
    EXPECT_FALSE(b.check(300000, 4).recode);
    EXPECT_FALSE(b.check(100000, 4, 3).recode);
    // The minimum shrinks alike: 24000 bits for 3 pictures at 200 kbit/s.
    EXPECT_TRUE(b.check(20000, 4, 3).recode);
    EXPECT_FALSE(b.check(30000, 4, 3).recode);
    // With an average, the bank is charged the short GOP's own share.
    GopBudget avg;
    avg.start(15, 25, 0, 0, 1000000, 4);
    const double bank = avg.bank();
    EXPECT_FALSE(avg.check(100000, 4, 3).recode);
    EXPECT_DOUBLE_EQ(avg.bank(), bank + 120000 - 100000);
}

TEST(GopBudget, TooSmallGopsGetAFinerQuantiserButARaisedOneIsNotLoweredAgain) {
    GopBudget b;
    b.start(15, 25, 0, 1000000, 0, 8);
    EXPECT_EQ(b.minGopBits(), 600000);
    // 250 kbit at mquant 8: limit 600k -> min(7, floor(250/600*8 + 0.5) + 1) = 4.
    std::vector<int> used = attempts(b, 8, 2000000);
    ASSERT_GE(used.size(), 2u);
    EXPECT_EQ(used[1], 4);
    for (size_t k = 1; k < used.size(); ++k) EXPECT_LT(used[k], used[k - 1]);
    EXPECT_GE(2000000 / used.back(), 600000);
    // Never below 1.
    std::vector<int> tiny = attempts(b, 8, 10);
    EXPECT_EQ(tiny.back(), 1);

    // Too large at 4, too small at the raised quantiser: it stays raised.
    GopBudget both;
    both.start(15, 25, 1000000, 900000, 0, 4);
    GopBudget::Verdict v = both.check(1500000, 4);
    ASSERT_TRUE(v.recode);
    EXPECT_EQ(v.mquant, 10);
    EXPECT_TRUE(both.raised());
    v = both.check(100000, 10);  // far below the minimum now
    EXPECT_FALSE(v.recode);
    EXPECT_EQ(v.mquant, 4);
    EXPECT_FALSE(both.raised());  // the next GOP may be lowered again
    v = both.check(100000, 4);
    EXPECT_TRUE(v.recode);
    EXPECT_LT(v.mquant, 4);
}

TEST(GopBudget, AverageTargetDrawsOnABankSpreadOverTenSeconds) {
    GopBudget b;
    b.start(15, 25, 0, 0, 2000000, 5);
    EXPECT_EQ(b.targetGopBits(), 1200000);
    EXPECT_DOUBLE_EQ(b.bank(), 40000000);
    EXPECT_DOUBLE_EQ(b.allowed(), std::floor(40000000 / (250.0 / 15) + 1200000));  // 3.6 Mbit
    // A GOP above the target but within the bank's share is kept and charged.
    EXPECT_FALSE(b.check(3000000, 5).recode);
    EXPECT_DOUBLE_EQ(b.bank(), 40000000 - 1800000.0);
    // A GOP beyond the allowance is re-coded.
    GopBudget::Verdict v = b.check(4000000, 5);
    EXPECT_TRUE(v.recode);
    EXPECT_GT(v.mquant, 5);
    // Savings fill the bank again.
    EXPECT_FALSE(b.check(200000, v.mquant).recode);
    EXPECT_DOUBLE_EQ(b.bank(), 40000000 - 1800000.0 + 1000000);
    // A spent bank leaves nothing: the coarsest quantiser at once.
    GopBudget empty;
    empty.start(15, 25, 0, 0, 100000, 5);
    for (int k = 0; k < 20 && empty.allowed() > 0; ++k) empty.check(10000000, 31);
    ASSERT_LE(empty.allowed(), 0);
    v = empty.check(1000, 5);
    EXPECT_TRUE(v.recode);
    EXPECT_EQ(v.mquant, 31);
}

TEST(GopBudget, AverageSettlesOnTheTargetOnceTheBankIsSpent) {
    // Content twice as rich as the average allows at the configured
    // quantiser, varying from GOP to GOP; 150 s of 15-picture GOPs.
    const double avg = 4000000, target = 15 * avg / 25;
    GopBudget b;
    b.start(15, 25, 0, 0, avg, 8);
    std::vector<double> sizes;
    for (int g = 0; g < 250; ++g) {
        const double content = target * 16 * (1 + 0.2 * std::sin(g * 0.7));
        int mquant = 8, bits = 0;
        for (;;) {
            bits = static_cast<int>(content / mquant);
            GopBudget::Verdict v = b.check(bits, mquant);
            if (!v.recode) break;
            mquant = v.mquant;
        }
        sizes.push_back(bits);
    }
    auto average = [&](size_t from, size_t to) {
        double sum = 0;
        for (size_t k = from; k < to; ++k) sum += sizes[k];
        return sum / (to - from) * 25 / 15;
    };
    // The first 30 s may spend most of the bank, never more.
    EXPECT_LE(average(0, 50) * 30, avg * 30 + 40000000);
    EXPECT_GT(average(0, 50), avg * 1.2);
    // The last 30 s are within 5 % of the average.
    EXPECT_NEAR(average(200, 250), avg, 0.05 * avg);
    EXPECT_GT(b.bank(), -2 * target);
}

TEST(GopBudget, ReportLinesNameTheGopOnceAndThenTheNewQuantiser) {
    GopBudget b;
    b.start(15, 25, 1000000, 0, 0, 4);
    EXPECT_EQ(b.reportLine(1500000, 4), "  GOP #    1, bitrate = 2500000, act mquant = 4");
    b.noteReported();
    b.check(1500000, 4);
    EXPECT_EQ(b.reportLine(600000, 10), "              bitrate = 1000000, new mquant = 10");
    b.check(600000, 10);
    EXPECT_EQ(b.reportLine(600000, 4), "  GOP #    2, bitrate = 1000000, act mquant = 4");
}

std::vector<uint8_t> readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// An encoder context with small pictures, as set-up leaves it.
struct EncoderRig {
    RecordingHost host;
    Engine engine{host};
    testing::TempDir dir;
    std::unique_ptr<VideoEncoder> enc;
    EncoderRig() {
        engine.work.iFramesInGOP = 2;
        engine.work.frameRate = 25;
        engine.work.maxBitrate = 100000;  // 8000 bits per GOP of two pictures
        engine.work.mquantValue = 3;
        engine.work.verbose = 1;
        enc = std::make_unique<VideoEncoder>(engine);
        enc->gopSize = 2;
        for (auto& p : enc->pictureStore)
            for (auto& plane : p.plane) plane.assign(64, 0);
        enc->newRef = &enc->pictureStore[0];
        enc->oldRef = &enc->pictureStore[1];
        enc->aux = &enc->pictureStore[2];
        enc->newOrg = &enc->pictureStore[3];
        enc->oldOrg = &enc->pictureStore[4];
        enc->auxOrg = &enc->pictureStore[5];
        enc->pred = &enc->pictureStore[6];
        enc->current = enc->newOrg;
        enc->reconstructed = enc->newRef;
        enc->mbInfo.resize(4);
        EXPECT_TRUE(enc->writer.open(engine, dir.file("v.m2v")));
    }
};

TEST(GopRecoding, AFailedGopRollsBackStreamPicturesRecordsAndRoles) {
    EncoderRig rig;
    VideoEncoder& enc = *rig.enc;
    ASSERT_TRUE(setUpGopRecoding(enc));
    EXPECT_EQ(enc.undoBuffer.size(), static_cast<size_t>(kBitWriterBufferSize));
    for (int k = 0; k < 100; ++k) enc.writer.putBits(0xA5, 8);  // the sequence header
    enc.pictureStore[0].plane[0][5] = 77;
    enc.mbInfo[2].mquant = 9;
    enc.s.motion[0][kForwHorzFCode] = 3;
    enc.headerBits = 800;
    startGopRecoding(enc);

    // The GOP: more than a writer buffer of data, and everything changes.
    for (int k = 0; k < kBitWriterBufferSize + 5000; ++k) enc.writer.putBits(0x3C, 8);
    enc.pictureStore[0].plane[0][5] = 1;
    enc.pictureStore[6].plane[2][63] = 200;
    std::swap(enc.newRef, enc.oldRef);
    enc.current = enc.auxOrg;
    enc.mbInfo[2].mquant = 30;
    enc.s.motion[0][kForwHorzFCode] = 7;
    enc.headerBits = 5000;
    enc.rcStats.maxWindowBits = 123456;

    EXPECT_EQ(recodeCheckAtGopStart(enc, 2), 0);
    EXPECT_EQ(enc.writer.totalBits(), 800);
    EXPECT_EQ(enc.pictureStore[0].plane[0][5], 77);
    EXPECT_EQ(enc.pictureStore[6].plane[2][63], 0);
    EXPECT_EQ(enc.newRef, &enc.pictureStore[0]);
    EXPECT_EQ(enc.oldRef, &enc.pictureStore[1]);
    EXPECT_EQ(enc.current, &enc.pictureStore[3]);
    EXPECT_EQ(enc.mbInfo[2].mquant, 9);
    EXPECT_EQ(enc.s.motion[0][kForwHorzFCode], 3);
    EXPECT_EQ(enc.headerBits, 800);
    EXPECT_EQ(enc.rcStats.maxWindowBits, 0u);
    EXPECT_GT(enc.s.mquantValue, 3);
    ASSERT_EQ(rig.host.lines.size(), 1u);
    EXPECT_EQ(rig.host.lines[0].rfind("  GOP #    1, bitrate = ", 0), 0u);

    // The second attempt is small enough and is kept; the quantiser goes
    // back to the configured one for the next GOP.
    const int raised = enc.s.mquantValue;
    for (int k = 0; k < 500; ++k) enc.writer.putBits(0x81, 8);
    EXPECT_EQ(recodeCheckAtGopStart(enc, 2), 2);
    EXPECT_EQ(enc.s.mquantValue, 3);
    EXPECT_EQ(rig.host.lines.back(), formatText("              bitrate = %u, new mquant = %d", 4000u * 25 / 2, raised));

    // The stream ends shorter than the abandoned attempt: cut at close.
    enc.writer.alignToByte();
    cutStreamAtWrittenLength(enc);
    enc.writer.close();
    std::vector<uint8_t> bytes = readAll(rig.dir.file("v.m2v"));
    ASSERT_EQ(bytes.size(), 600u);
    for (int k = 0; k < 100; ++k) ASSERT_EQ(bytes[k], 0xA5);
    for (int k = 100; k < 600; ++k) ASSERT_EQ(bytes[k], 0x81) << k;
    EXPECT_TRUE(rig.host.messages.empty());
}

}  // namespace
}  // namespace quillon

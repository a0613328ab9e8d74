// Two-pass variable bitrate: the first pass's record, the bit distribution
// of the second pass, and whole encodes checked by libavcodec, by the bits
// they come to and by a buffer model of the stream's own picture sizes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "engine/quality_level.h"
#include "tests/support/temp_dir.h"
#include "tests/support/video_stream_check.h"
#include "tests/video/rate_test_frames.h"
#include "tests/video/video_test_util.h"
#include "video/encoder/two_pass.h"
#include "video/video_encoder.h"

namespace quillon::testing {
namespace {

namespace fs = std::filesystem;

PassRecord sampleRecord() {
    PassRecord r;
    r.frames = 7;
    r.frameRate = 25;
    r.gopSize = 6;
    r.refDistance = 3;
    r.mquantValue = 4;
    const int types[7] = {kPictureI, kPictureP, kPictureB, kPictureB, kPictureI, kPictureB, kPictureB};
    const int display[7] = {0, 3, 1, 2, 6, 4, 5};
    for (int i = 0; i < 7; ++i) {
        PassPicture p;
        p.codingIndex = i;
        p.displayIndex = display[i];
        p.type = types[i];
        p.structure = i == 4 ? 0 : 3;
        p.opensGop = types[i] == kPictureI;
        p.closedGop = i == 0;
        p.brokenLink = i == 4;
        p.gopStart = i < 4 ? 0 : 6;
        p.motionEntry = types[i] == kPictureB ? display[i] % 3 : 0;
        p.headerBits = 300 + i;
        p.vectorBits = 1000.5 * i;
        p.coefficientBits = 40000.0 / (i + 1) + 0.125;
        p.quantSum = 396 * (8 + i);
        p.pictureQuant = 7.5 + i / 3.0;
        p.macroblocks = 396;
        p.intraMacroblocks = types[i] == kPictureI ? 396 : i * 7;
        p.skippedMacroblocks = i * 3;
        p.complexity = (p.vectorBits + p.coefficientBits) * p.meanQuant() + 1.0 / 3.0;
        r.pictures.push_back(p);
    }
    return r;
}

TEST(PassRecordFile, RoundTripsEveryFieldExactly) {
    TempDir dir;
    const PassRecord r = sampleRecord();
    std::string error;
    ASSERT_TRUE(writePassRecord(dir.file("r.passes"), r, &error)) << error;
    PassRecord back;
    ASSERT_TRUE(readPassRecord(dir.file("r.passes"), back, &error)) << error;
    EXPECT_EQ(back.frames, r.frames);
    EXPECT_EQ(back.frameRate, r.frameRate);
    EXPECT_EQ(back.gopSize, r.gopSize);
    EXPECT_EQ(back.refDistance, r.refDistance);
    EXPECT_EQ(back.mquantValue, r.mquantValue);
    ASSERT_EQ(back.pictures.size(), r.pictures.size());
    for (size_t i = 0; i < r.pictures.size(); ++i) {
        const PassPicture &a = r.pictures[i], &b = back.pictures[i];
        EXPECT_EQ(a.codingIndex, b.codingIndex);
        EXPECT_EQ(a.displayIndex, b.displayIndex);
        EXPECT_EQ(a.type, b.type);
        EXPECT_EQ(a.structure, b.structure);
        EXPECT_EQ(a.opensGop, b.opensGop);
        EXPECT_EQ(a.closedGop, b.closedGop);
        EXPECT_EQ(a.brokenLink, b.brokenLink);
        EXPECT_EQ(a.gopStart, b.gopStart);
        EXPECT_EQ(a.motionEntry, b.motionEntry);
        EXPECT_EQ(a.headerBits, b.headerBits);
        EXPECT_EQ(a.vectorBits, b.vectorBits);
        EXPECT_EQ(a.coefficientBits, b.coefficientBits);
        EXPECT_EQ(a.quantSum, b.quantSum);
        EXPECT_EQ(a.macroblocks, b.macroblocks);
        EXPECT_EQ(a.intraMacroblocks, b.intraMacroblocks);
        EXPECT_EQ(a.skippedMacroblocks, b.skippedMacroblocks);
        EXPECT_EQ(a.complexity, b.complexity);
        EXPECT_EQ(a.pictureQuant, b.pictureQuant);
        // The replayed step is the recorded one.
        const CodingStep step = replayStep(b);
        EXPECT_EQ(step.pictureType, a.type);
        EXPECT_EQ(step.displayIndex, a.displayIndex);
        EXPECT_EQ(step.opensGop, a.opensGop);
        EXPECT_EQ(step.closedGop, a.closedGop);
        EXPECT_EQ(step.brokenLink, a.brokenLink);
        EXPECT_EQ(step.gopStart, a.gopStart);
        EXPECT_EQ(step.motionEntry, a.motionEntry);
    }
}

TEST(PassRecordFile, RefusesDamagedRecords) {
    TempDir dir;
    std::string error;
    ASSERT_TRUE(writePassRecord(dir.file("r.passes"), sampleRecord(), &error));
    std::ifstream in(dir.file("r.passes"));
    std::vector<std::string> lines;
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    auto writeLines = [&](const std::vector<std::string>& ls) {
        std::ofstream out(dir.file("bad.passes"));
        for (const auto& l : ls) out << l << "\n";
    };
    PassRecord r;
    {
        auto ls = lines;
        ls.pop_back();  // a record cut short
        writeLines(ls);
        EXPECT_FALSE(readPassRecord(dir.file("bad.passes"), r, &error));
        EXPECT_NE(error.find("early"), std::string::npos) << error;
    }
    {
        auto ls = lines;
        ls[0] = "quillon pass record 9";
        writeLines(ls);
        EXPECT_FALSE(readPassRecord(dir.file("bad.passes"), r, &error));
    }
    {
        auto ls = lines;
        ls[4] = "1 3 X 3 0 0 0 0 0 1 2 3 4 5 6 7 8 9";  // no such picture type
        writeLines(ls);
        EXPECT_FALSE(readPassRecord(dir.file("bad.passes"), r, &error));
        EXPECT_NE(error.find("line 5"), std::string::npos) << error;
    }
    {
        auto ls = lines;
        ls[4] += " 10";  // a column too many
        writeLines(ls);
        EXPECT_FALSE(readPassRecord(dir.file("bad.passes"), r, &error));
    }
    {
        auto ls = lines;
        ls[4] = ls[4].substr(0, ls[4].rfind(' '));  // the last column missing
        writeLines(ls);
        EXPECT_FALSE(readPassRecord(dir.file("bad.passes"), r, &error));
    }
    {
        auto ls = lines;
        ls[5] = ls[6];  // coding indices out of order
        writeLines(ls);
        EXPECT_FALSE(readPassRecord(dir.file("bad.passes"), r, &error));
    }
    EXPECT_FALSE(readPassRecord(dir.file("missing.passes"), r, &error));
}

// A record of 10 seconds whose middle third is three times as complex.
PassRecord varyingRecord() {
    PassRecord r;
    r.frames = 250;
    r.frameRate = 25;
    r.gopSize = 12;
    r.refDistance = 3;
    r.mquantValue = 4;
    for (int i = 0; i < r.frames; ++i) {
        PassPicture p;
        p.codingIndex = i;
        p.displayIndex = i;
        p.type = i % 12 == 0 ? kPictureI : i % 3 == 0 ? kPictureP : kPictureB;
        const double hard = (i >= 80 && i < 160) ? 3.0 : 1.0;
        const double typeBits = p.type == kPictureI ? 120000 : p.type == kPictureP ? 50000 : 20000;
        p.headerBits = 400;
        p.vectorBits = 2000 * hard;
        p.coefficientBits = typeBits * hard;
        p.macroblocks = 396;
        p.quantSum = 396 * 8.0;
        p.complexity = (p.vectorBits + p.coefficientBits) * 8.0;
        r.pictures.push_back(p);
    }
    return r;
}

TEST(SecondPassPlan, MeetsTheAverageWithTheFirstPassQuantisersScaledAsOne) {
    PassRecord r = varyingRecord();
    // The first pass's quantisers carry its type ratios.
    for (PassPicture& p : r.pictures) p.pictureQuant = p.type == kPictureI ? 5.2 : p.type == kPictureB ? 11.2 : 8.0;
    BitPlanLimits l;
    l.averageBitrate = 800000;
    l.frameRate = 25;
    const std::vector<PlannedPicture> plan = planSecondPass(r, l);
    double total = 0;
    for (const PlannedPicture& p : plan) total += p.bits;
    EXPECT_NEAR(total, 800000.0 * 10, 800000.0 * 10 * 0.002);
    // Same type, easy against hard: one quantiser, the bits the pictures need.
    const PlannedPicture& easy = plan[24];  // I
    const PlannedPicture& hard = plan[84];  // I
    EXPECT_NEAR(hard.q, easy.q, 1e-9);
    EXPECT_GT(hard.bits, 2.5 * easy.bits);
    // The type ratios hold.
    EXPECT_NEAR(plan[24].q / plan[27].q, 0.65, 1e-9);
    EXPECT_NEAR(plan[25].q / plan[27].q, 1.4, 1e-9);
    // A different average moves every quantiser by one factor.
    l.averageBitrate = 400000;
    const std::vector<PlannedPicture> lower = planSecondPass(r, l);
    const double factor = lower[0].q / plan[0].q;
    EXPECT_GT(factor, 1.5);
    for (size_t i = 0; i < plan.size(); ++i) EXPECT_NEAR(lower[i].q / plan[i].q, factor, 1e-9) << i;
}

// Buffer check of planned or written sizes: fills at maxBitrate up to its
// size, one picture taken per frame time.
double lowestRoom(const std::vector<double>& bits, double maxBitrate, double bufferBits, double frameRate) {
    double fullness = bufferBits, lowest = bufferBits;
    for (double b : bits) {
        lowest = std::min(lowest, fullness - b);
        fullness = std::min(bufferBits, fullness - b + maxBitrate / frameRate);
    }
    return lowest;
}

TEST(SecondPassPlan, RaisesQuantisersWhereTheBufferWouldRunDry) {
    const PassRecord r = varyingRecord();
    BitPlanLimits l;
    l.averageBitrate = 1500000;
    l.frameRate = 25;
    std::vector<double> free;
    for (const PlannedPicture& p : planSecondPass(r, l)) free.push_back(p.bits);
    l.maxBitrate = 2000000;
    l.vbvBits = 8 * 16384;
    EXPECT_LT(lowestRoom(free, l.maxBitrate, l.vbvBits, 25), 0) << "the case must need the limit";
    std::vector<double> held;
    for (const PlannedPicture& p : planSecondPass(r, l)) held.push_back(p.bits);
    EXPECT_GE(lowestRoom(held, l.maxBitrate, l.vbvBits, 25), 0);
}

// The controller against a coder that spends 30 % more than the model
// says: the correction brings the total back under the goal, close to it.
TEST(SecondPassControl, CorrectsAModelThatUnderestimates) {
    const PassRecord r = varyingRecord();
    BitPlanLimits l;
    l.averageBitrate = 800000;
    l.frameRate = 25;
    SecondPass pass(r, l);
    double written = 0;
    for (int i = 0; i < r.frames; ++i) {
        const double q = pass.startPicture(i, written);
        const double bits = 1.3 * expectedBits(r.pictures[static_cast<size_t>(i)], q);
        pass.endPicture(i, bits);
        written += bits;
    }
    EXPECT_LE(written, pass.targetBits() * 1.005);
    EXPECT_GE(written, pass.targetBits() * 0.97);
}

// The real encoder, two passes on panning texture.
struct TwoPassRun {
    bool ok = false;
    double bitsPerSecond = 0;
    VideoStreamLayout layout;
    DecodedVideo video;
    StreamCheck check;
    std::vector<std::string> errors;
    std::vector<int> percents;
};

class PercentHost : public RecordingHost {};

TwoPassRun encodeTwoPass(const TempDir& dir, int frames, double average, const std::string& stats,
                         void (*adjust)(EncoderSettings&) = nullptr) {
    const std::string out = dir.file("out.m2v");
    VideoJob job(176, 144, frames, out, kKindDvd, 4);
    PanningFrames source(176, 144);
    job.engine.request.frameSource = &source;
    EncoderSettings& s = job.engine.work;
    applyQualityLevel(s, kQualityHigh);
    s.iFramesInGOP = 12;
    s.twoPass = 1;
    s.avgBitrate = average;
    if (!stats.empty()) {
        std::snprintf(s.statisticsFilename, sizeof s.statisticsFilename, "%s", stats.c_str());
        job.engine.job.statisticsFile = std::fopen(stats.c_str(), "w");
    }
    if (adjust) adjust(s);
    CapturingObserver observer;
    TwoPassRun r;
    r.ok = runVideoEncoder(job.engine, &observer);
    if (job.engine.job.statisticsFile) std::fclose(job.engine.job.statisticsFile);
    job.engine.job.statisticsFile = nullptr;
    r.errors = job.host.errors;
    r.layout = parseVideoStream(out);
    r.video = decodeVideo(out);
    r.check = compareWithEncoder(r.video, observer);
    r.bitsPerSecond = 8.0 * static_cast<double>(r.layout.size) / (frames / s.frameRate);
    EXPECT_EQ(s.avgBitrate, average) << "the job's average is the user's again";
    return r;
}

TEST(TwoPassEncode, SpendsTheAverageAndDecodes) {
    for (double average : {450000.0, 700000.0}) {
        TempDir dir;
        const TwoPassRun r = encodeTwoPass(dir, 125, average, dir.file("stats.txt"));
        ASSERT_TRUE(r.ok);
        EXPECT_TRUE(r.errors.empty());
        EXPECT_LE(r.bitsPerSecond, average * 1.01);
        EXPECT_GE(r.bitsPerSecond, average * 0.96);
        ASSERT_TRUE(r.video.opened);
        EXPECT_EQ(r.video.errors, 0);
        EXPECT_EQ(static_cast<int>(r.video.pictures.size()), 125);
        EXPECT_LE(r.check.maxReconDifference, 2);
        // The record stays beside the statistics file, whole.
        PassRecord record;
        std::string error;
        ASSERT_TRUE(readPassRecord(dir.file("stats.txt.passes"), record, &error)) << error;
        EXPECT_EQ(record.frames, 125);
    }
}

// intra_dc_precision of the I pictures, from their picture coding
// extensions.
std::vector<int> intraDcPrecisions(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    const std::vector<unsigned char> b((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<int> out;
    int type = 0;
    for (size_t i = 0; i + 7 < b.size(); ++i) {
        if (b[i] != 0 || b[i + 1] != 0 || b[i + 2] != 1) continue;
        if (b[i + 3] == 0x00) type = (b[i + 5] >> 3) & 7;
        if (b[i + 3] == 0xB5 && (b[i + 4] >> 4) == 8 && type == kPictureI) out.push_back((b[i + 6] >> 2) & 3);
    }
    return out;
}

// The DC precision follows the quantiser the second pass codes at, not the
// settings' one the first pass used: coarse pictures spend no bits on
// finer DC steps than their AC ones.
TEST(TwoPassEncode, IntraDcPrecisionFollowsTheSecondPassQuantiser) {
    for (double average : {120000.0, 3000000.0}) {
        TempDir dir;
        const TwoPassRun r = encodeTwoPass(dir, 48, average, "");
        ASSERT_TRUE(r.ok);
        EXPECT_EQ(r.video.errors, 0);
        const std::vector<int> precision = intraDcPrecisions(dir.file("out.m2v"));
        ASSERT_FALSE(precision.empty());
        for (int p : precision) {
            if (average < 1e6)
                EXPECT_LT(p, 2) << "a coarse second pass kept the fine first pass's DC precision";
            else
                EXPECT_EQ(p, 2);
        }
    }
}

void noGrainRatios(EncoderSettings& s) { s.grainRatios = 0; }

// The record keeps the quantisers the type ratios ask for, not the codable
// ones the first pass rounded them to: at its fine quantisers the rounding
// would bend the ratios the second pass scales.
TEST(TwoPassEncode, TheRecordKeepsTheTypeRatiosUnrounded) {
    TempDir dir;
    const TwoPassRun r = encodeTwoPass(dir, 48, 600000, dir.file("stats.txt"), noGrainRatios);
    ASSERT_TRUE(r.ok);
    PassRecord record;
    std::string error;
    ASSERT_TRUE(readPassRecord(dir.file("stats.txt.passes"), record, &error)) << error;
    EncoderSettings s;
    applyQualityLevel(s, kQualityHigh);
    double pQuant = 0;
    for (const PassPicture& p : record.pictures)
        if (p.type == kPictureP) pQuant = p.pictureQuant;
    ASSERT_GT(pQuant, 0);
    int seen = 0;
    for (const PassPicture& p : record.pictures) {
        const double want = pQuant * (p.type == kPictureI ? s.iQuantRatio : p.type == kPictureB ? s.bQuantRatio : 100) / 100.0;
        EXPECT_NEAR(p.pictureQuant, want, 1e-9) << p.codingIndex;
        ++seen;
    }
    EXPECT_EQ(seen, 48);
    ASSERT_NE(s.iQuantRatio, 100) << "the level must have type ratios for this case";
}

TEST(TwoPassEncode, KeepsNoTemporaryRecordWithoutAStatisticsFile) {
    TempDir dir;
    const TwoPassRun r = encodeTwoPass(dir, 24, 500000, "");
    ASSERT_TRUE(r.ok);
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir.path())) names.push_back(e.path().filename().string());
    EXPECT_EQ(names, std::vector<std::string>{"out.m2v"});
}

void tightBuffer(EncoderSettings& s) {
    s.maxBitrate = 1200000;
    s.vbvBufferSize = 10;  // 163,840 bits: a few I pictures of this size
}

TEST(TwoPassEncode, HoldsTheMaximumBitrateAndTheBuffer) {
    TempDir dir;
    const double average = 900000;
    const TwoPassRun r = encodeTwoPass(dir, 100, average, "", tightBuffer);
    ASSERT_TRUE(r.ok);
    ASSERT_TRUE(r.layout.ok) << r.layout.error;
    std::vector<double> bits;
    for (const StreamPicture& p : r.layout.pictures) bits.push_back(8.0 * static_cast<double>(p.unitEnd - p.unitStart));
    EXPECT_GE(lowestRoom(bits, 1200000, 10 * 16384, 25), 0);
    // One-second windows stay under the maximum.
    for (size_t start = 0; start + 25 <= bits.size(); start += 25) {
        double window = 0;
        for (size_t i = start; i < start + 25; ++i) window += bits[i];
        EXPECT_LE(window, 1200000);
    }
    EXPECT_LE(r.bitsPerSecond, average * 1.01);
    EXPECT_EQ(r.video.errors, 0);
}

// Stops the job when the source is asked for its n-th frame.
class StoppingFrames : public FrameSource {
public:
    StoppingFrames(Engine& engine, int stopAt) : engine_(engine), inner_(176, 144), stopAt_(stopAt) {}
    int getFrame(int frame, int32_t* rowBytes, const uint8_t** pixels) override {
        if (++calls == stopAt_) engine_.job.stopRequested = true;
        return inner_.getFrame(frame, rowBytes, pixels);
    }
    int calls = 0;

private:
    Engine& engine_;
    PanningFrames inner_;
    int stopAt_;
};

TEST(TwoPassEncode, AStopInEitherPassEndsTheJobAndLeavesNoRecord) {
    for (int stopAt : {10, 40 + 10}) {
        TempDir dir;
        const std::string out = dir.file("out.m2v");
        VideoJob job(176, 144, 40, out, kKindDvd, 4);
        StoppingFrames source(job.engine, stopAt);
        job.engine.request.frameSource = &source;
        EncoderSettings& s = job.engine.work;
        applyQualityLevel(s, kQualityHigh);
        s.twoPass = 1;
        s.avgBitrate = 600000;
        EXPECT_FALSE(runVideoEncoder(job.engine, nullptr)) << stopAt;
        EXPECT_TRUE(job.host.errors.empty());
        // No second pass after a stop in the first; the second one stops
        // where it was asked (the lookahead reads its window ahead).
        EXPECT_LT(source.calls, stopAt + s.lookahead + 5) << stopAt;
        EXPECT_LT(job.engine.job.framesEncoded, stopAt - (stopAt > 40 ? 40 : 0)) << stopAt;
        EXPECT_EQ(s.avgBitrate, 600000);
        for (const auto& e : fs::directory_iterator(dir.path()))
            EXPECT_EQ(e.path().filename().string(), "out.m2v");
    }
}

}  // namespace
}  // namespace quillon::testing

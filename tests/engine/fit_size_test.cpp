// Fit to size: reading the size, the bitrate it leaves, the sizes out of
// reach, and what the job driver does with them.
#include <gtest/gtest.h>

#include "engine/engine.h"
#include "engine/engine_entry.h"
#include "engine/fit_size.h"
#include "engine/presets.h"
#include "tests/engine/fake_host.h"
#include "tests/support/temp_dir.h"

namespace quillon {
namespace {

using testing::FakeHost;
using testing::TempDir;
using testing::TestPhases;

TEST(FitSizeText, NamesSuffixesAndBytes) {
    struct Case {
        const char* text;
        int64_t bytes;
    } cases[] = {
        {"dvd5", 4700372992LL},     {"DVD9", 8543666176LL}, {"cd74", 681984000LL},       {"Cd80", 737280000LL},
        {"123456789", 123456789LL}, {"650k", 650LL * 1024}, {"700M", 700LL * 1024 * 1024}, {"700MB", 700LL * 1048576},
        {"4.3G", 4617089843LL},     {"1g", 1073741824LL},   {"1.5m", 1572864LL},
    };
    for (const Case& c : cases) {
        int64_t bytes = 0;
        std::string error;
        EXPECT_TRUE(parseFitSize(c.text, &bytes, &error)) << c.text << ": " << error;
        EXPECT_EQ(bytes, c.bytes) << c.text;
    }
}

TEST(FitSizeText, BadInputSaysWhatIsWrongAndWhatIsAccepted) {
    struct Case {
        const char* text;
        const char* why;
    } cases[] = {
        {"", "empty"},          {"dvd10", "does not start with a number"}, {"700X", "unknown unit \"X\""},
        {"12.5", "fraction"},   {"M700", "does not start with a number"},   {"1.2.3G", "does not start"},
        {"0", "out of range"},  {"700 M", "unknown unit"},                   {"99999999999G", "out of range"},
        {"-5M", "does not start with a number"},
    };
    for (const Case& c : cases) {
        int64_t bytes = 77;
        std::string error;
        EXPECT_FALSE(parseFitSize(c.text, &bytes, &error)) << c.text;
        EXPECT_NE(error.find(c.why), std::string::npos) << c.text << ": " << error;
        EXPECT_NE(error.find("dvd5, dvd9, cd74, cd80"), std::string::npos) << error;
        EXPECT_EQ(bytes, 77) << c.text;
    }
}

EncoderSettings target(int kind) {
    EncoderSettings s;
    applyPreset(s, kind, 1, 1);
    return s;
}

TEST(FitSizePlan, LeavesRoomForSoundAndPackingAndStaysInTheTargetsRange) {
    const EncoderSettings dvd = target(kKindDvd);
    FitJob job;
    job.videoSeconds = job.audioSeconds = 7200;
    FitPlan plan;
    std::string problem;
    ASSERT_TRUE(planFitSize(dvd, job, kDvd5Bytes, &plan, &problem)) << problem;
    // Two hours on a DVD-5: 4.7 GB is 5.2 Mbit/s in all, less 224 kbit/s
    // of sound, less the packing.
    const double all = kDvd5Bytes * 8.0 / 7200;
    EXPECT_LT(plan.videoBitrate, all - 224000);
    EXPECT_GT(plan.videoBitrate, (all - 224000) * 0.95);
    EXPECT_LE(plan.videoBitrate, dvd.maxBitrate);
    // Sound takes its share: without it the video gets more.
    FitJob silent = job;
    silent.audioSeconds = 0;
    FitPlan more;
    ASSERT_TRUE(planFitSize(dvd, silent, kDvd5Bytes, &more, &problem));
    EXPECT_NEAR(more.videoBitrate - plan.videoBitrate, 224000, 224000 * 0.05);
    // The range brackets every size it accepts.
    EXPECT_LE(plan.smallest, kDvd5Bytes);
    EXPECT_GE(plan.largest, kDvd5Bytes);
    ASSERT_TRUE(planFitSize(dvd, job, plan.largest, &more, &problem)) << problem;
    EXPECT_LE(more.videoBitrate, dvd.maxBitrate);
    ASSERT_TRUE(planFitSize(dvd, job, plan.smallest, &more, &problem)) << problem;
}

// The packs every program stream has, however short, come off the video's
// share: a second less of a job leaves less than a second's worth less.
TEST(FitSizePlan, KeepsRoomForThePacksEveryStreamHas) {
    const EncoderSettings svcd = target(kKindSvcd);
    FitPlan three, six;
    std::string problem;
    FitJob job;
    job.videoSeconds = job.audioSeconds = 3;
    ASSERT_TRUE(planFitSize(svcd, job, 700 * 1024, &three, &problem)) << problem;
    job.videoSeconds = job.audioSeconds = 6;
    ASSERT_TRUE(planFitSize(svcd, job, 1400 * 1024, &six, &problem)) << problem;
    // Twice the time in twice the bytes: the fixed packs weigh half as much.
    EXPECT_GT(six.videoBitrate, three.videoBitrate * 1.005);
    // At least three sectors of 2324 bytes over three seconds.
    EXPECT_GT((six.videoBitrate - three.videoBitrate) * 3 / 8, 3 * 2324 / 2.0 * 1.0);
    // Without multiplexing there are none.
    job.multiplexed = false;
    job.audioSeconds = 0;
    FitPlan bare;
    ASSERT_TRUE(planFitSize(svcd, job, 1400 * 1024, &bare, &problem)) << problem;
    EXPECT_NEAR(bare.videoBitrate * 6 / 8, 1400 * 1024 * 0.995, 1400 * 1024 * 0.001);
}

TEST(FitSizePlan, RefusesWhatCannotBeReachedWithTheSmallestAndLargest) {
    const EncoderSettings svcd = target(kKindSvcd);
    FitJob job;
    job.videoSeconds = job.audioSeconds = 600;
    FitPlan plan;
    std::string problem;
    // Ten minutes of SVCD cannot fill a DVD-9 ...
    EXPECT_FALSE(planFitSize(svcd, job, kDvd9Bytes, &plan, &problem));
    EXPECT_NE(problem.find("cannot be reached"), std::string::npos) << problem;
    EXPECT_NE(problem.find("the smallest is " + sizeText(plan.smallest)), std::string::npos) << problem;
    EXPECT_NE(problem.find("the largest " + sizeText(plan.largest)), std::string::npos) << problem;
    // ... at the target's maximum it comes to about 2.6 Mbit/s in all.
    EXPECT_NEAR(static_cast<double>(plan.largest), 600 * (2376000 + 224000) / 8.0 * 1.02, 600 * 2600000 / 8.0 * 0.03);
    // Nor shrink to a megabyte.
    EXPECT_FALSE(planFitSize(svcd, job, 1 << 20, &plan, &problem));
    EXPECT_NE(problem.find("the smallest is"), std::string::npos);
    // A constant-bitrate target has no say over its size.
    EXPECT_FALSE(planFitSize(target(kKindVcd), job, kCd80Bytes, &plan, &problem));
    EXPECT_NE(problem.find("variable bitrate"), std::string::npos) << problem;
}

TEST(FitSizeText, SizesReadInBytesAndUnits) {
    EXPECT_EQ(sizeText(4700372992LL), "4.38 GB (4,700,372,992 bytes)");
    EXPECT_EQ(sizeText(1048576), "1.0 MB (1,048,576 bytes)");
    EXPECT_EQ(sizeText(999), "1 kB (999 bytes)");
}

struct FitJobRun {
    FakeHost host;
    Engine engine{host};
    TestPhases phases;
    TempDir dir;
    std::string output = dir.file("clip.mpg");
    ConversionRequest request;
    double avgSeen = -1;
    int twoPassSeen = -1;

    explicit FitJobRun(int64_t size) {
        initEngine(engine, 16 + kKindDvd);
        engine.setPhases(&phases);
        engine.fitSize = size;
        request.videoPresent = 1;
        request.width = 720;
        request.height = 576;
        request.lastFrame = 1499;  // 60 s
        request.audioPresent = 1;
        request.sampleRate = 48000;
        request.lastSample = 48000 * 60 - 1;
        request.outputName = output.c_str();
        phases.duringVideo = [this](Engine& e) {
            avgSeen = e.work.avgBitrate;
            twoPassSeen = e.work.twoPass;
        };
    }
    int convert() { return engineConvert(engine, request); }
};

TEST(FitSizeJob, RunsTwoPassesAtThePlannedRateAndLeavesTheSettingsAlone) {
    FitJobRun run(40LL << 20);  // 40 MB for a minute: about 5.2 Mbit/s of video
    const EncoderSettings before = run.engine.record;
    EXPECT_EQ(run.convert(), 31);
    EXPECT_EQ(run.phases.videoRuns, 1);
    EXPECT_EQ(run.twoPassSeen, 1);
    EXPECT_GT(run.avgSeen, 4800000);
    EXPECT_LT(run.avgSeen, 5500000);
    EXPECT_EQ(run.engine.record.twoPass, before.twoPass);
    EXPECT_EQ(run.engine.record.avgBitrate, before.avgBitrate);
    EXPECT_EQ(run.engine.work.avgBitrate, before.avgBitrate);
}

TEST(FitSizeJob, ASizeOutOfReachIsRefusedBeforeAnyCoding) {
    FitJobRun run(kDvd9Bytes);
    EXPECT_EQ(run.convert(), 30);
    EXPECT_EQ(run.phases.videoRuns, 0);
    ASSERT_EQ(run.host.boxes.size(), 1u);
    EXPECT_NE(run.host.boxes[0].text.find("the smallest is"), std::string::npos) << run.host.boxes[0].text;
    EXPECT_NE(run.host.boxes[0].text.find("the largest"), std::string::npos);

    // The classic level has no second pass to offer.
    FitJobRun classic(40LL << 20);
    classic.engine.qualityOverride = 0;
    initEngine(classic.engine, 16 + kKindDvd);
    EXPECT_EQ(classic.convert(), 30);
    EXPECT_EQ(classic.phases.videoRuns, 0);
    ASSERT_EQ(classic.host.boxes.size(), 1u);
    EXPECT_NE(classic.host.boxes[0].text.find("classic"), std::string::npos);
}

TEST(FitSizeJob, TwoPassWithoutAnAverageIsRefused) {
    FitJobRun run(0);
    run.engine.record.twoPass = 1;
    run.engine.record.avgBitrate = 0;
    applySettings(run.engine);
    EXPECT_EQ(run.convert(), 30);
    EXPECT_EQ(run.phases.videoRuns, 0);
    ASSERT_EQ(run.host.boxes.size(), 1u);
    EXPECT_NE(run.host.boxes[0].text.find("avgBitrate"), std::string::npos) << run.host.boxes[0].text;
}

}  // namespace
}  // namespace quillon

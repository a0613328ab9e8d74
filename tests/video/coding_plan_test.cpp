// The GOP plan object: the fixed formula through it, the checks a replayed
// plan must pass, and a replayed plan coding the same stream as the plan it
// was recorded from.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "engine/quality_level.h"
#include "tests/support/temp_dir.h"
#include "tests/video/video_test_util.h"
#include "video/encoder/coding_plan.h"
#include "video/video_encoder.h"

namespace quillon::testing {
namespace {

std::vector<uint8_t> fileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// Counting a plan's GOPs gives the formula's counts wherever N is a multiple
// of M (every preset), and every fixed plan passes the replay checks.
TEST(CodingPlan, FixedPlanCountsAndChecks) {
    for (int M = 1; M <= 4; ++M) {
        for (int N = M; N <= 18; N += M) {
            for (int nframes = 1; nframes <= 47; ++nframes) {
                CodingPlan plan = CodingPlan::fixed(N, M, nframes);
                const std::vector<CodingStep> steps = plan.decideAll();
                const std::string at = "N=" + std::to_string(N) + " M=" + std::to_string(M) +
                                       " frames=" + std::to_string(nframes);
                ASSERT_EQ(static_cast<int>(steps.size()), nframes) << at;
                EXPECT_EQ(validatePlan(steps, nframes, M), "") << at;
                CodingPlan counted = CodingPlan::replay(steps);
                for (int i = 0; i < nframes; ++i) {
                    EXPECT_EQ(steps[i], planCodingStep(i, N, M, nframes)) << at << " i=" << i;
                    if (!steps[i].opensGop) continue;
                    EXPECT_EQ(counted.gopCounts(i), gopCounts(i, steps[i].gopStart, N, M, nframes)) << at << " i=" << i;
                }
            }
        }
    }
}

TEST(CodingPlan, ReplayChecksRefuseBrokenPlans) {
    const std::vector<CodingStep> good = CodingPlan::fixed(6, 3, 10).decideAll();
    ASSERT_EQ(validatePlan(good, 10, 3), "");
    EXPECT_NE(validatePlan(good, 11, 3), "");  // another frame count
    EXPECT_NE(validatePlan(good, 10, 2), "");  // more B pictures than M allows

    auto broken = [&](auto change) {
        std::vector<CodingStep> steps = good;
        change(steps);
        return validatePlan(steps, 10, 3);
    };
    EXPECT_NE(broken([](auto& s) { s[0].opensGop = false; }), "");
    EXPECT_NE(broken([](auto& s) { s[0].pictureType = 2; }), "");
    EXPECT_NE(broken([](auto& s) { s[2].displayIndex = 0; }), "");        // coded twice
    EXPECT_NE(broken([](auto& s) { std::swap(s[1], s[2]); }), "");        // B before its backward reference
    EXPECT_NE(broken([](auto& s) { s[4].displayIndex = 12; }), "");       // beyond the encode
    EXPECT_NE(broken([](auto& s) { s[2].motionEntry = 2; }), "");         // B1 lies one picture after I0
    EXPECT_NE(broken([](auto& s) { s[4].gopStart = 1; }), "");            // a GOP start inside a GOP
    EXPECT_NE(broken([](auto& s) { s[4].pictureType = 9; }), "");
}

struct PlanEncode {
    bool ok = false;
    std::vector<uint8_t> bytes;
    std::vector<CodingStep> plan;
    std::vector<std::string> errors;
};

PlanEncode encodeWithPlan(TempDir& dir, int level, const std::vector<CodingStep>* replay, int frames = 20) {
    const std::string out = dir.file(replay ? "replay.m2v" : "decide.m2v");
    VideoJob job(128, 96, frames, out, 4, 6);
    job.engine.work.iFramesInGOP = 9;
    applyQualityLevel(job.engine.work, level);
    VideoRunOptions options;
    PlanEncode e;
    options.replayPlan = replay;
    options.recordPlan = &e.plan;
    e.ok = runVideoEncoder(job.engine, options);
    e.bytes = fileBytes(out);
    e.errors = job.host.errors;
    return e;
}

TEST(CodingPlan, ReplayedPlanCodesTheSameStream) {
    TempDir dir;
    for (int level : {kQualityClassic, kQualityHigh}) {
        const PlanEncode decided = encodeWithPlan(dir, level, nullptr);
        ASSERT_TRUE(decided.ok);
        ASSERT_EQ(decided.plan.size(), 20u);
        const PlanEncode replayed = encodeWithPlan(dir, level, &decided.plan);
        ASSERT_TRUE(replayed.ok);
        EXPECT_EQ(replayed.plan, decided.plan);
        EXPECT_EQ(replayed.bytes, decided.bytes) << "level " << level;
    }
}

TEST(CodingPlan, PlanOfAnotherLengthIsRefusedBeforeWriting) {
    TempDir dir;
    const std::vector<CodingStep> plan = CodingPlan::fixed(9, 3, 12).decideAll();
    const PlanEncode e = encodeWithPlan(dir, kQualityHigh, &plan);
    EXPECT_FALSE(e.ok);
    ASSERT_EQ(e.errors.size(), 1u);
    EXPECT_NE(e.errors[0].find("GOP plan"), std::string::npos) << e.errors[0];
    EXPECT_TRUE(e.bytes.empty());
}

}  // namespace
}  // namespace quillon::testing

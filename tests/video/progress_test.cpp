// What the conversion dialog shows of the video phase: an estimate in
// minutes and seconds from the first second, speed without the time the
// stop question waited, and the picture in colour.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "tests/support/temp_dir.h"
#include "tests/video/video_test_util.h"
#include "video/encoder/picture_loop.h"
#include "video/video_encoder.h"

namespace quillon::testing {
namespace {

// A dialog that keeps the status text and the last preview picture.
class WatchingView : public DialogView {
public:
    void setStartEnabled(bool) override {}
    void setStopEnabled(bool) override {}
    void setCancelEnabled(bool) override {}
    void setCancelLabel(const std::string&) override {}
    void setProgressValue(int) override {}
    void setStatusText(const std::string& text) override { status = text; }
    bool previewChecked() const override { return true; }
    void showPreview(const uint8_t* bgra, int w, int h, int rowBytes) override {
        width = w;
        height = h;
        picture.assign(bgra, bgra + static_cast<size_t>(rowBytes) * h);
    }
    void startTimer(int) override {}
    void postStart() override {}
    void postClose() override {}
    void processEvents() override {}
    void runModal(DialogController&) override {}
    std::string status;
    std::vector<uint8_t> picture;
    int width = 0, height = 0;
};

// The stop question, answered "no" after a while.
class SlowAnswerHost : public RecordingHost {
public:
    bool askYesNo(const std::string&, const std::string&) override {
        std::this_thread::sleep_for(std::chrono::milliseconds(700));
        return false;
    }
};

struct Shown {
    long hours = -1, minutes = -1, seconds = -1;
    double fps = -1;
};
Shown parse(const std::string& status) {
    Shown s;
    const size_t at = status.find("Estimate time: ");
    if (at != std::string::npos)
        std::sscanf(status.c_str() + at, "Estimate time: %ldhr %ldmin %ldsec", &s.hours, &s.minutes, &s.seconds);
    const size_t sp = status.find("Speed: ");
    if (sp != std::string::npos) std::sscanf(status.c_str() + sp, "Speed: %lffps", &s.fps);
    return s;
}

TEST(VideoProgress, EstimateInMinutesAndSecondsFromTheFirstSecond) {
    RecordingHost host;
    Engine engine(host);
    WatchingView view;
    engine.setActiveDialog(&view);
    VideoEncoder enc(engine);
    enc.nframes = 1000;
    ProgressClock clock;
    const auto before = std::chrono::steady_clock::now();
    startProgressClock(enc, clock);
    showProgress(enc, clock, 1);
    EXPECT_EQ(parse(view.status).seconds, 0);  // nothing to go by yet
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    showProgress(enc, clock, 30);
    // A loaded machine oversleeps: bound the estimate by the time that really passed.
    const double spent = std::chrono::duration<double>(std::chrono::steady_clock::now() - before).count();
    if (spent > 1.8) GTEST_SKIP() << "the machine is too busy to time anything";
    const Shown s = parse(view.status);
    // 30 pictures in about 0.6 s: some 20 seconds for the other 970.
    EXPECT_EQ(s.hours, 0) << view.status;
    EXPECT_EQ(s.minutes, 0) << view.status;
    EXPECT_GE(s.seconds, 8) << view.status;
    EXPECT_LE(s.seconds, static_cast<long>(spent * 970 / 30) + 1) << view.status;
    EXPECT_GT(s.fps, 30 / spent - 1);
    engine.setActiveDialog(nullptr);
}

TEST(VideoProgress, TheStopQuestionIsNoWorkingTime) {
    SlowAnswerHost host;
    Engine engine(host);
    WatchingView view;
    engine.setActiveDialog(&view);
    VideoEncoder enc(engine);
    enc.nframes = 100;
    ProgressClock clock;
    startProgressClock(enc, clock);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    engine.pressStop();
    const auto before = std::chrono::steady_clock::now();
    engine.pumpMessages();  // asks, waits 0.7 s for the "no"
    const double asked = std::chrono::duration<double>(std::chrono::steady_clock::now() - before).count();
    EXPECT_FALSE(engine.stopRequested());
    EXPECT_GE(engine.questionSeconds(), 0.69);
    EXPECT_LE(engine.questionSeconds(), asked + 1e-6);
    // About 0.3 s of work, not a second.
    const double worked = workedSeconds(enc, clock);
    EXPECT_GE(worked, 0.29);
    EXPECT_LT(worked, 0.6);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    showProgress(enc, clock, 50);
    // 50 pictures in about 0.6 s of work (1.3 s with the question).
    EXPECT_GT(parse(view.status).fps, 55) << view.status;
    engine.setActiveDialog(nullptr);
}

TEST(VideoProgress, ThePreviewIsInColour) {
    TempDir dir;
    VideoJob job(64, 48, 3, dir.file("red.m1v"), 0, 4);
    job.source->setUniform(30, 40, 220);  // B, G, R: a strong red
    WatchingView view;
    job.engine.setActiveDialog(&view);
    ASSERT_TRUE(runVideoEncoder(job.engine, nullptr));
    job.engine.setActiveDialog(nullptr);
    ASSERT_EQ(view.width, 64);
    ASSERT_EQ(view.picture.size(), 64u * 48 * 4);
    const uint8_t* px = &view.picture[(24 * 64 + 32) * 4];
    EXPECT_NEAR(px[2], 220, 12);
    EXPECT_NEAR(px[1], 40, 12);
    EXPECT_NEAR(px[0], 30, 12);
}

}  // namespace
}  // namespace quillon::testing

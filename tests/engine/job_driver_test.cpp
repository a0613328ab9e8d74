#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "engine/conversion_dialog.h"
#include "engine/engine.h"
#include "engine/engine_entry.h"
#include "engine/job_driver.h"
#include "engine/presets.h"
#include "tests/engine/fake_host.h"
#include "tests/support/temp_dir.h"

namespace quillon {
namespace {

namespace fs = std::filesystem;
using testing::FakeHost;
using testing::FakeView;
using testing::TempDir;
using testing::TestPhases;

struct Job {
    FakeHost host;
    Engine engine{host};
    TestPhases phases;
    TempDir dir;
    std::string output;
    ConversionRequest request;

    explicit Job(int kind = kKindVcd, int tv = 0) {
        applyPreset(engine.record, kind, tv, 1);
        engine.work = engine.record;
        engine.setPhases(&phases);
        output = dir.file("clip.mpg");
        request.videoPresent = 1;
        request.width = 352;
        request.height = tv ? 288 : 240;
        request.lastFrame = 199;
        request.audioPresent = 1;
        request.sampleRate = 44100;
        request.lastSample = 441000;
        request.outputName = output.c_str();
    }
    int convert() { return engineConvert(engine, request); }
    bool exists(const std::string& name) const { return fs::exists(dir.file(name)); }
    std::vector<std::string> texts() const {
        std::vector<std::string> t;
        for (const auto& b : host.boxes) t.push_back(b.text);
        return t;
    }
};

TEST(JobDriver, CompletedJobRunsThreePhasesAndDeletesTheIntermediates) {
    Job job;
    EXPECT_EQ(job.convert(), 31);
    EXPECT_EQ(job.phases.videoRuns, 1);
    EXPECT_EQ(job.phases.audioRuns, 1);
    EXPECT_EQ(job.phases.muxRuns, 1);
    EXPECT_TRUE(job.phases.muxVideo && job.phases.muxAudio);
    EXPECT_EQ(job.phases.audioLast, 441000);
    EXPECT_TRUE(job.exists("clip.mpg"));
    EXPECT_FALSE(job.exists("clip.m1v"));
    EXPECT_FALSE(job.exists("clip.mpa"));
    EXPECT_TRUE(job.host.boxes.empty());
    for (const char* line : {"Encoding Video:", "Encoding Audio:", "Multiplexing video and audio:"})
        EXPECT_TRUE(job.host.hasLog(line)) << line;
    EXPECT_FALSE(job.host.hasLog("ENCODING ABORTED."));
    EXPECT_EQ(job.engine.activeDialog(), nullptr);
    EXPECT_TRUE(job.engine.job.jobCompleted);
}

TEST(JobDriver, DialogStatesAndTheQuarterSecondStart) {
    Job job;
    job.host.shutdown = true;
    bool sawRunningState = false;
    job.phases.duringVideo = [&](Engine& e) {
        FakeView& v = *job.host.view;
        sawRunningState = !v.startEnabled && v.stopEnabled && !v.cancelEnabled &&
                          e.job.jobRunning && e.activeDialog() == &v;
        EXPECT_EQ(v.timerMs, 250);
        EXPECT_TRUE(v.shutdownChecked);
        EXPECT_TRUE(e.previewOn());
        EXPECT_EQ(v.stopHistory.front(), false);  // disabled at set-up
        EXPECT_EQ(v.startsPosted, 0);             // no batch mode
    };
    job.phases.duringAudio = [&](Engine&) { EXPECT_FALSE(job.host.view->stopEnabled); };
    EXPECT_EQ(job.convert(), 31);
    EXPECT_TRUE(sawRunningState);
    ASSERT_EQ(job.host.dialogsCreated, 1);
    EXPECT_EQ(job.host.finalCancelLabel, "&Ok");
    EXPECT_TRUE(job.host.finalCancelEnabled);
    EXPECT_FALSE(job.host.finalStopEnabled);
    EXPECT_FALSE(job.host.finalStartEnabled);
}

TEST(JobDriver, StopAfterPicture50Of200KeepsTheMatchingSound) {
    Job job;
    job.phases.stopAfterPicture = 50;
    EXPECT_EQ(job.convert(), 30);
    ASSERT_EQ(job.host.questions.size(), 1u);
    EXPECT_EQ(job.host.questions[0], "Quorvel Encoder|Are you sure to stop it?");
    EXPECT_EQ(job.engine.job.framesEncoded, 50);
    EXPECT_EQ(job.phases.audioFirst, 0);
    EXPECT_EQ(job.phases.audioLast, 110250);
    EXPECT_EQ(job.phases.audioCount, 110251);
    EXPECT_EQ(job.phases.muxRuns, 1);
    EXPECT_TRUE(job.host.hasLog("ENCODING ABORTED."));
    EXPECT_TRUE(job.engine.job.stopRequested);
    EXPECT_FALSE(job.engine.job.jobCompleted);
}

TEST(JobDriver, StopAnsweredNoGoesOn) {
    Job job;
    job.host.answer = false;
    job.phases.stopAfterPicture = 10;
    EXPECT_EQ(job.convert(), 31);
    EXPECT_EQ(job.host.questions.size(), 1u);
    EXPECT_EQ(job.engine.job.framesEncoded, 200);
}

TEST(JobDriver, CancelDuringTheRunStopsWithoutAQuestion) {
    Job job;
    job.phases.duringAudio = [&](Engine&) { job.host.view->controller->onCancel(); };
    EXPECT_EQ(job.convert(), 30);
    EXPECT_TRUE(job.host.questions.empty());
    EXPECT_EQ(job.phases.muxRuns, 0);  // a stop in the sound phase skips multiplexing
    EXPECT_TRUE(job.exists("clip.m1v"));  // what was encoded before the stop stays
    EXPECT_FALSE(job.host.hasLog("ENCODING ABORTED."));
}

TEST(JobDriver, DvdAndSaveFlagsKeepIntermediates) {
    Job dvd(kKindDvd, 1);
    dvd.request.width = 720;
    dvd.request.height = 576;
    dvd.request.sampleRate = 48000;
    EXPECT_EQ(dvd.convert(), 31);
    EXPECT_TRUE(dvd.exists("clip.m2v"));
    EXPECT_TRUE(dvd.exists("clip.mpa"));

    Job keep;
    keep.engine.record.saveTempAudio = 1;
    keep.engine.work = keep.engine.record;
    EXPECT_EQ(keep.convert(), 31);
    EXPECT_FALSE(keep.exists("clip.m1v"));
    EXPECT_TRUE(keep.exists("clip.mpa"));

    Job failed;
    failed.engine.record.saveTempVideo = failed.engine.record.saveTempAudio = 1;
    failed.engine.work = failed.engine.record;
    failed.phases.muxResult = false;
    EXPECT_EQ(failed.convert(), 30);
    EXPECT_TRUE(failed.exists("clip.m1v"));
    EXPECT_TRUE(failed.exists("clip.mpa"));
    EXPECT_FALSE(failed.exists("clip.mpg"));
}

TEST(JobDriver, RequestWithoutSoundWritesOnlyTheVideoStream) {
    Job job;
    job.request.audioPresent = 0;
    EXPECT_EQ(job.convert(), 31);
    EXPECT_EQ(job.engine.work.multiplexVideo, 0);
    EXPECT_EQ(job.engine.work.multiplexAudio, 0);
    EXPECT_EQ(job.phases.audioRuns, 0);
    EXPECT_EQ(job.phases.muxRuns, 0);
    EXPECT_TRUE(job.exists("clip.m1v"));
    EXPECT_FALSE(job.exists("clip.mpg"));
    EXPECT_TRUE(job.engine.job.audioStreamName.empty());
}

TEST(JobDriver, SoundOfAnUnusableRateIsDroppedFromTheJob) {
    Job job;
    job.request.sampleRate = 22050;
    EXPECT_EQ(job.convert(), 31);
    EXPECT_EQ(job.phases.audioRuns, 0);
    EXPECT_EQ(job.phases.muxRuns, 0);
    EXPECT_TRUE(job.exists("clip.m1v"));
    ASSERT_EQ(job.host.boxes.size(), 1u);
    EXPECT_FALSE(job.host.boxes[0].ownedByDialog);  // the dialog is not open yet
}

TEST(JobDriver, StreamNames) {
    Job twoDots(kKindMpeg2, 1);
    std::string name = twoDots.dir.file("clip.avi.mpg");
    twoDots.request.outputName = name.c_str();
    twoDots.request.width = 720;
    twoDots.request.height = 576;
    EXPECT_EQ(twoDots.convert(), 31);
    EXPECT_EQ(twoDots.engine.job.videoStreamName, twoDots.dir.file("clip.avi.m2v"));
    EXPECT_EQ(twoDots.engine.job.audioStreamName, twoDots.dir.file("clip.avi.mpa"));
    EXPECT_TRUE(twoDots.engine.job.audio2StreamName.empty());

    Job empty;
    empty.request.outputName = "";
    empty.host.failDialog = true;  // names only; nothing is written
    EXPECT_EQ(empty.convert(), 4);
    EXPECT_EQ(empty.engine.job.programStreamName, "temp.mpg");
    EXPECT_EQ(empty.engine.job.videoStreamName, "temp.m1v");
    EXPECT_EQ(empty.engine.job.audioStreamName, "temp.mpa");
    EXPECT_EQ(empty.texts(), std::vector<std::string>{"Unable to create main window."});
    EXPECT_EQ(empty.host.boxes[0].caption, "Quorvel Encoder - error");

    // Only a dot of the file name itself starts an extension.
    EXPECT_EQ(withoutExtension("./out.d/clip"), "./out.d/clip");
    EXPECT_EQ(withoutExtension("a.b.c"), "a.b");
}

TEST(JobDriver, Refusals) {
    // No video and no sound: both multiplex flags are set but no names exist.
    Job none;
    none.request.videoPresent = 0;
    none.request.audioPresent = 0;
    EXPECT_EQ(none.convert(), 30);
    EXPECT_EQ(none.texts(), std::vector<std::string>{
                                "A video stream filename must be specified, running settings ..."});
    EXPECT_TRUE(none.host.boxes[0].ownedByDialog);
    EXPECT_EQ(none.host.boxes[0].caption, "Quorvel Encoder");
    EXPECT_EQ(none.host.boxes[0].icon, MessageIcon::None);
    EXPECT_EQ(none.phases.videoRuns, 0);

    // The remaining refusals, straight on the driver with a dialog open.
    struct Case {
        std::function<void(Engine&)> set;
        const char* message;
    };
    const Case cases[] = {
        {[](Engine& e) { e.job.audioStreamName.clear(); },
         "An audio stream filename must be specified, running settings ..."},
        {[](Engine& e) { e.job.programStreamName.clear(); },
         "A program stream filename must be specified, running settings ..."},
        // The refusal says which value is wrong and what is allowed.
        {[](Engine& e) { e.work.iFramesInGOP = 14; },
         "Invalid settings, running settings ...\niFramesInGOP=14 is not a multiple of ipFrameDistance=3."},
        {[](Engine& e) { e.work.psychModel = 3; },
         "Invalid settings, running settings ...\npsychModel=3 is outside its range 1..2."},
        // Values no rule of the encoders looks at are bounded too.
        {[](Engine& e) { e.work.videoDelay = 2147483647; },
         "Invalid settings, running settings ...\nvideoDelay=2147483647 is outside its range 0..10000."},
        // A matrix file that is a device would be read without end.
        {[](Engine& e) { std::strcpy(e.work.intraQuantMatrix, "/dev/zero"); },
         "Invalid settings, running settings ...\nintraQuantMatrix: /dev/zero is not a regular file (a device or "
         "a pipe)."},
    };
    for (const Case& c : cases) {
        Job job;
        FakeView view(job.host);
        job.engine.setActiveDialog(&view);
        job.engine.ev.hasVideo = job.engine.ev.hasAudio = 1;
        deriveStreamNames(job.engine, job.output.c_str());
        c.set(job.engine);
        EXPECT_EQ(runConversion(job.engine), RunOutcome::Refused) << c.message;
        EXPECT_EQ(job.texts(), std::vector<std::string>{c.message});
        EXPECT_TRUE(view.startEnabled);
        EXPECT_FALSE(job.engine.job.jobRunning);
        EXPECT_EQ(job.phases.videoRuns, 0);
    }
}

TEST(JobDriver, UnwritableStatisticsFileRefusesTheRun) {
    Job job;
    std::string stats = job.dir.file("missing/dir/stats.txt");
    std::snprintf(job.engine.record.statisticsFilename, kTextFieldSize, "%s", stats.c_str());
    job.engine.work = job.engine.record;
    EXPECT_EQ(job.convert(), 30);
    ASSERT_EQ(job.host.boxes.size(), 1u);
    EXPECT_EQ(job.host.boxes[0].text, "Could not create statistics output file " + stats + ".");
    EXPECT_EQ(job.host.boxes[0].icon, MessageIcon::Error);
    EXPECT_EQ(job.host.boxes[0].caption, "Quorvel Encoder");
    EXPECT_EQ(job.phases.videoRuns, 0);
    EXPECT_FALSE(job.exists("clip.m1v"));

    // A writable one is open during the run and closed after it.
    Job ok;
    std::string good = ok.dir.file("stats.txt");
    std::snprintf(ok.engine.record.statisticsFilename, kTextFieldSize, "%s", good.c_str());
    ok.engine.work = ok.engine.record;
    bool open = false;
    ok.phases.duringVideo = [&](Engine& e) { open = e.job.statisticsOn && e.job.statisticsFile; };
    EXPECT_EQ(ok.convert(), 31);
    EXPECT_TRUE(open);
    EXPECT_EQ(ok.engine.job.statisticsFile, nullptr);
    EXPECT_TRUE(fs::exists(good));
}

TEST(JobDriver, RefusedRunCanBeStartedAgain) {
    Job job;
    job.engine.work.iFramesInGOP = 14;
    int presses = 0;
    job.host.onIdle = [&](FakeView& v) {
        if (presses++ == 0) {
            job.engine.work.iFramesInGOP = 15;
            v.controller->onStart();
        }
    };
    EXPECT_EQ(job.convert(), 31);
    EXPECT_EQ(job.phases.videoRuns, 1);
    EXPECT_EQ(job.host.boxes.size(), 1u);
}

TEST(JobDriver, BatchModeStartsOnceAndWorkingCopiesAreRestored) {
    Job job;
    job.engine.ev.batchMode = 1;
    int posted = 0;
    job.phases.duringVideo = [&](Engine& e) {
        e.work.level = 99;  // encoders may change their working copies
        posted = job.host.view->startsPosted;
        job.host.view->controller->onStart();  // a second Start is ignored
    };
    EXPECT_EQ(job.convert(), 31);
    EXPECT_EQ(posted, 1);
    EXPECT_EQ(job.phases.videoRuns, 1);
    EXPECT_EQ(job.engine.work.level, 8);
    EXPECT_EQ(job.engine.record.level, 8);
}

TEST(JobDriver, WarningsDuringARunAreDropped) {
    Job job;
    job.phases.duringVideo = [](Engine& e) { e.reportWarning("late"); };
    job.engine.reportWarning("early");
    EXPECT_EQ(job.convert(), 31);
    EXPECT_EQ(job.texts(), std::vector<std::string>{"early"});
    EXPECT_EQ(job.host.boxes[0].caption, "Quorvel Encoder - warning");
    EXPECT_EQ(job.host.dropped, std::vector<std::string>{"late"});
}

TEST(JobDriver, ExtremeRangesDoNotOverflowTheCounts) {
    Job job;
    job.host.failDialog = true;
    job.request.firstFrame = -2147483647 - 1;
    job.request.lastFrame = 2147483647;
    job.request.lastSample = 2147483647;
    EXPECT_EQ(job.convert(), 4);
    EXPECT_EQ(job.engine.job.frameCount, 2147483647);
    EXPECT_EQ(job.engine.job.sampleCount, 2147483647);
    job.request.firstFrame = 10;
    job.request.lastFrame = 0;
    EXPECT_EQ(job.convert(), 4);
    EXPECT_EQ(job.engine.job.frameCount, 0);
}

TEST(JobDriver, AutoBitrateFollowsThePicture) {
    Job job(kKindMpeg1, 1);
    job.engine.record.autoBitrate = 1;
    job.engine.work = job.engine.record;
    job.request.height = 288;
    EXPECT_EQ(job.convert(), 31);
    EXPECT_EQ(job.engine.record.constBitrate, 1875456);
    EXPECT_EQ(job.engine.work.vbvBufferSize, 23);
}

}  // namespace
}  // namespace quillon

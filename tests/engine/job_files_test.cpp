// What a job does with files: it writes under private names beside the
// output, and at its end puts in place only what it completed (or the part
// done after a stop), never touching a file it did not make.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

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
using testing::TempDir;
using testing::TestPhases;

std::string contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void put(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

struct FileJob {
    FakeHost host;
    Engine engine{host};
    TestPhases phases;
    TempDir dir;
    std::string output;
    ConversionRequest request;

    explicit FileJob(int kind = kKindVcd) {
        applyPreset(engine.record, kind, 0, 1);
        engine.work = engine.record;
        engine.setPhases(&phases);
        output = dir.file("clip.mpg");
        request.videoPresent = 1;
        request.width = kind == kKindDvd ? 720 : 352;
        request.height = kind == kKindDvd ? 480 : 240;
        request.lastFrame = 9;
        request.audioPresent = 1;
        request.sampleRate = kind == kKindDvd ? 48000 : 44100;
        request.lastSample = 14000;
        request.outputName = output.c_str();
    }
    int convert() { return engineConvert(engine, request); }
    std::set<std::string> left() const {
        std::set<std::string> names;
        for (const auto& e : fs::directory_iterator(dir.path())) names.insert(e.path().filename().string());
        return names;
    }
    std::vector<std::string> texts() const {
        std::vector<std::string> t;
        for (const auto& b : host.boxes) t.push_back(b.text);
        return t;
    }
};

TEST(JobFiles, StreamsAreWrittenUnderPrivateNamesAndAUsersFilesOfTheirNamesAreUntouched) {
    FileJob job;
    put(job.dir.file("clip.m1v"), "the user's own video");
    put(job.dir.file("clip.mpa"), "the user's own sound");
    std::string videoName, audioName, programName;
    job.phases.duringVideo = [&](Engine& e) { videoName = e.job.videoStreamName; };
    job.phases.duringAudio = [&](Engine& e) {
        audioName = e.job.audioStreamName;
        programName = e.job.programStreamName;
    };
    EXPECT_EQ(job.convert(), 31);
    // Beside the output, hidden, each its own file.
    for (const std::string* n : {&videoName, &audioName, &programName}) {
        EXPECT_EQ(fs::path(*n).parent_path(), job.dir.path()) << *n;
        EXPECT_EQ(fs::path(*n).filename().string()[0], '.') << *n;
    }
    EXPECT_NE(videoName, job.dir.file("clip.m1v"));
    EXPECT_NE(audioName, job.dir.file("clip.mpa"));
    EXPECT_NE(programName, job.output);
    EXPECT_EQ(contents(job.dir.file("clip.m1v")), "the user's own video");
    EXPECT_EQ(contents(job.dir.file("clip.mpa")), "the user's own sound");
    EXPECT_EQ(contents(job.output), "program");
    EXPECT_EQ(job.left(), (std::set<std::string>{"clip.m1v", "clip.mpa", "clip.mpg"}));
    // The job's names read as the user knows them again.
    EXPECT_EQ(job.engine.job.videoStreamName, job.dir.file("clip.m1v"));
    EXPECT_EQ(job.engine.job.programStreamName, job.output);
    EXPECT_EQ(job.engine.job.filesWritten, std::vector<std::string>{job.output});
}

TEST(JobFiles, MessagesNameTheUsersFilesNotThePrivateOnes) {
    FileJob job;
    job.phases.duringAudio = [&](Engine& e) {
        e.logLine("writing " + e.job.audioStreamName);
        e.reportError("Could not write to file " + e.job.audioStreamName);
    };
    job.phases.audioResult = false;
    EXPECT_EQ(job.convert(), 30);
    EXPECT_TRUE(job.host.hasLog("writing " + job.dir.file("clip.mpa")));
    EXPECT_EQ(job.texts(), std::vector<std::string>{"Could not write to file " + job.dir.file("clip.mpa")});
}

TEST(JobFiles, AnOutputNamedLikeItsOwnStreamIsRefusedBeforeAnyWork) {
    for (const char* name : {"x.m1v", "x.mpa"}) {
        FileJob job;
        const std::string output = job.dir.file(name);
        job.request.outputName = output.c_str();
        EXPECT_EQ(job.convert(), 30) << name;
        EXPECT_EQ(job.phases.videoRuns, 0) << name;
        ASSERT_EQ(job.host.boxes.size(), 1u) << name;
        EXPECT_NE(job.host.boxes[0].text.find("has the name of this job's"), std::string::npos);
        EXPECT_TRUE(job.left().empty()) << name;
    }
    // The statistics file as one of the job's files.
    FileJob stats;
    std::snprintf(stats.engine.record.statisticsFilename, kTextFieldSize, "%s", stats.output.c_str());
    stats.engine.work = stats.engine.record;
    EXPECT_EQ(stats.convert(), 30);
    EXPECT_EQ(stats.phases.videoRuns, 0);
    EXPECT_TRUE(stats.left().empty());
}

TEST(JobFiles, AFailureAfterTheVideoLeavesNothingButTheStreamsAskedFor) {
    FileJob failed;
    failed.phases.muxResult = false;
    EXPECT_EQ(failed.convert(), 30);
    EXPECT_TRUE(failed.left().empty());
    EXPECT_TRUE(failed.engine.job.filesWritten.empty());

    FileJob audioFailed;
    audioFailed.phases.audioResult = false;
    EXPECT_EQ(audioFailed.convert(), 30);
    EXPECT_TRUE(audioFailed.left().empty());

    FileJob kept;
    kept.engine.record.saveTempVideo = 1;
    kept.engine.work = kept.engine.record;
    kept.phases.muxResult = false;
    EXPECT_EQ(kept.convert(), 30);
    EXPECT_EQ(kept.left(), std::set<std::string>{"clip.m1v"});
    EXPECT_EQ(contents(kept.dir.file("clip.m1v")), "video");

    // A DVD keeps its streams when it completes, not when it fails.
    FileJob dvd(kKindDvd);
    dvd.phases.muxResult = false;
    EXPECT_EQ(dvd.convert(), 30);
    EXPECT_TRUE(dvd.left().empty());
}

TEST(JobFiles, ASettingALaterPhaseRejectsRefusesTheRunBeforeThePictures) {
    struct Rejecting : TestPhases {
        bool checkSettings(Engine& e) override {
            e.reportError("The sector size 100 is not supported.");
            return false;
        }
    };
    FileJob job;
    Rejecting phases;
    job.engine.setPhases(&phases);
    EXPECT_EQ(job.convert(), 30);
    EXPECT_EQ(phases.videoRuns, 0);
    EXPECT_EQ(job.texts(), std::vector<std::string>{"The sector size 100 is not supported."});
    EXPECT_TRUE(job.left().empty());
}

TEST(JobFiles, AFileThatAppearsDuringTheRunIsLeftWholeUnlessReplacingWasAgreed) {
    FileJob job;
    job.phases.duringVideo = [&](Engine&) { put(job.output, "another conversion's program"); };
    EXPECT_EQ(job.convert(), 30);
    EXPECT_EQ(contents(job.output), "another conversion's program");
    ASSERT_EQ(job.host.boxes.size(), 1u);
    EXPECT_NE(job.host.boxes[0].text.find(job.output + " appeared while this job ran"), std::string::npos)
        << job.host.boxes[0].text;
    EXPECT_EQ(job.left(), std::set<std::string>{"clip.mpg"});
    EXPECT_FALSE(job.engine.job.jobCompleted);

    FileJob agreed;
    agreed.engine.replaceExisting = true;
    put(agreed.output, "an older program");
    EXPECT_EQ(agreed.convert(), 31);
    EXPECT_EQ(contents(agreed.output), "program");
    EXPECT_EQ(agreed.left(), std::set<std::string>{"clip.mpg"});
}

TEST(JobFiles, AStopInTheVideoPutsThePartInPlaceAndLaterStopsKeepWhatWasWritten) {
    FileJob video;
    video.phases.stopAfterPicture = 5;
    EXPECT_EQ(video.convert(), 30);
    EXPECT_TRUE(video.engine.job.stopped);
    EXPECT_EQ(video.left(), std::set<std::string>{"clip.mpg"});
    EXPECT_EQ(video.engine.job.filesWritten, std::vector<std::string>{video.output});

    struct StoppedMultiplex : TestPhases {
        bool multiplex(Engine& e, bool v, bool a) override {
            TestPhases::multiplex(e, v, a);
            e.job.stopRequested = true;
            return false;
        }
    };
    FileJob mux;
    StoppedMultiplex phases;
    mux.engine.setPhases(&phases);
    EXPECT_EQ(mux.convert(), 30);
    EXPECT_TRUE(mux.engine.job.stopped);
    EXPECT_EQ(mux.left(), (std::set<std::string>{"clip.m1v", "clip.mpa", "clip.mpg"}));

    // A stop in the sound: no program was begun; the streams of the part
    // done take their names.
    FileJob audio;
    audio.phases.duringAudio = [&](Engine&) { audio.host.view->controller->onCancel(); };
    EXPECT_EQ(audio.convert(), 30);
    EXPECT_TRUE(audio.engine.job.stopped);
    EXPECT_EQ(audio.left(), (std::set<std::string>{"clip.m1v", "clip.mpa"}));
}

TEST(JobFiles, SplitPartsAreMovedToTheirNumberedNames) {
    struct SplitMultiplex : TestPhases {
        bool multiplex(Engine& e, bool, bool) override {
            ++muxRuns;
            const std::string& p = e.job.programStreamName;
            const size_t dot = p.rfind('.');
            for (const char* n : {"00", "01", "02"}) put(p.substr(0, dot) + n + p.substr(dot), n);
            return true;
        }
    };
    FileJob job;
    SplitMultiplex phases;
    job.engine.setPhases(&phases);
    job.request.maxFileSize = 1;
    put(job.dir.file("clip05.mpg"), "not this job's");
    EXPECT_EQ(job.convert(), 31);
    EXPECT_EQ(job.left(), (std::set<std::string>{"clip00.mpg", "clip01.mpg", "clip02.mpg", "clip05.mpg"}));
    EXPECT_EQ(contents(job.dir.file("clip01.mpg")), "01");
    EXPECT_EQ(contents(job.dir.file("clip05.mpg")), "not this job's");
    EXPECT_EQ(job.engine.job.filesWritten.size(), 3u);
}

TEST(JobFiles, PlannedFilesFollowTheSettings) {
    FileJob job;
    PlannedJobFiles f = plannedJobFiles(job.engine, job.request);
    EXPECT_EQ(f.program, job.output);
    EXPECT_TRUE(f.streams.empty());
    EXPECT_TRUE(f.reads.empty());

    job.engine.work.saveTempAudio = 1;
    job.request.maxFileSize = 10;
    f = plannedJobFiles(job.engine, job.request);
    EXPECT_TRUE(f.split);
    EXPECT_EQ(f.streams, std::vector<std::string>{job.dir.file("clip.mpa")});

    // One stream encoded: no program stream, the stream is the output.
    job.engine.work.userEncodeVideo = 0;
    f = plannedJobFiles(job.engine, job.request);
    EXPECT_TRUE(f.program.empty());
    EXPECT_EQ(f.streams, std::vector<std::string>{job.dir.file("clip.mpa")});

    // Neither: the streams on disk are read and multiplexed.
    job.engine.work.userEncodeAudio = 0;
    f = plannedJobFiles(job.engine, job.request);
    EXPECT_EQ(f.program, job.output);
    EXPECT_EQ(f.reads, (std::vector<std::string>{job.dir.file("clip.m1v"), job.dir.file("clip.mpa")}));

    FileJob dvd(kKindDvd);
    f = plannedJobFiles(dvd.engine, dvd.request);
    EXPECT_EQ(f.streams, (std::vector<std::string>{dvd.dir.file("clip.m2v"), dvd.dir.file("clip.mpa")}));
}

}  // namespace
}  // namespace quillon

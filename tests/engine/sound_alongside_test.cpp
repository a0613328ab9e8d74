// The sound coded alongside the pictures must leave a job exactly as the
// phases run one after the other leave it: the same messages in the same
// order, the same files with the same bytes, the same outcome.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <thread>

#include "engine/engine.h"
#include "engine/engine_entry.h"
#include "engine/presets.h"
#include "tests/engine/fake_host.h"
#include "tests/support/temp_dir.h"

namespace quillon {
namespace {

namespace fs = std::filesystem;
using testing::FakeHost;
using testing::TempDir;
using testing::TestPhases;

struct Job {
    FakeHost host;
    Engine engine{host};
    TestPhases phases;
    TempDir dir;
    std::string output;
    ConversionRequest request;

    explicit Job(bool alongside) {
        applyPreset(engine.record, kKindVcd, 0, 1);
        engine.work = engine.record;
        engine.setPhases(&phases);
        phases.alongside = alongside;
        output = dir.file("clip.mpg");
        request.videoPresent = 1;
        request.width = 352;
        request.height = 240;
        request.lastFrame = 199;
        request.audioPresent = 1;
        request.sampleRate = 44100;
        request.lastSample = 441000;
        request.outputName = output.c_str();
    }
    void keepStreams() {
        engine.record.saveTempVideo = engine.record.saveTempAudio = 1;
        engine.work = engine.record;
    }
};

// Everything a run leaves that a user could see, with the run's folder
// taken out of the texts.
struct Outcome {
    int code = 0;
    std::vector<std::string> boxes, log, dropped, questions;
    std::map<std::string, std::string> files;  // name -> bytes
    bool completed = false, stopped = false;
    int audioLast = -1, muxRuns = 0;
};

std::string withoutFolder(std::string text, const std::string& folder) {
    for (size_t at; (at = text.find(folder)) != std::string::npos;) text.replace(at, folder.size(), "<dir>");
    return text;
}

Outcome run(bool alongside, const std::function<void(Job&)>& setUp) {
    Job job(alongside);
    setUp(job);
    Outcome o;
    o.code = engineConvert(job.engine, job.request);
    const std::string folder = job.dir.file("");
    for (const auto& b : job.host.boxes)
        o.boxes.push_back(b.caption + "|" + withoutFolder(b.text, folder) + "|" +
                          std::to_string(static_cast<int>(b.icon)) + (b.ownedByDialog ? "|owned" : ""));
    for (const auto& l : job.host.log) o.log.push_back(withoutFolder(l, folder));
    for (const auto& d : job.host.dropped) o.dropped.push_back(withoutFolder(d, folder));
    o.questions = job.host.questions;
    for (const auto& entry : fs::directory_iterator(job.dir.file(""))) {
        std::ifstream in(entry.path(), std::ios::binary);
        std::stringstream bytes;
        bytes << in.rdbuf();
        o.files[entry.path().filename().string()] = bytes.str();
    }
    o.completed = job.engine.job.jobCompleted;
    o.stopped = job.engine.job.stopped;
    o.audioLast = job.phases.audioLast;
    o.muxRuns = job.phases.muxRuns;
    return o;
}

void expectSameOutcome(const std::function<void(Job&)>& setUp) {
    const Outcome one = run(false, setUp), both = run(true, setUp);
    EXPECT_EQ(both.code, one.code);
    EXPECT_EQ(both.boxes, one.boxes);
    EXPECT_EQ(both.log, one.log);
    EXPECT_EQ(both.dropped, one.dropped);
    EXPECT_EQ(both.questions, one.questions);
    EXPECT_EQ(both.files, one.files);
    EXPECT_EQ(both.completed, one.completed);
    EXPECT_EQ(both.stopped, one.stopped);
    EXPECT_EQ(both.muxRuns, one.muxRuns);
}

// The sound phase writes what it was asked for, so a kept stream shows
// which run of it made the stream.
void writeSoundRange(Engine& e) {
    std::ofstream(e.job.audioStreamName, std::ios::binary)
        << "audio " << e.job.firstSample << ".." << e.job.lastSample;
}

TEST(SoundAlongside, RunsOnItsOwnThreadWhileThePicturesAreCoded) {
    Job job(true);
    const std::thread::id engineThread = std::this_thread::get_id();
    std::atomic<bool> soundDone{false};
    std::thread::id soundThread;
    bool soundEndedDuringVideo = false;
    job.phases.duringAudio = [&](Engine& e) {
        soundThread = std::this_thread::get_id();
        e.logLine("sound line");
        soundDone = true;
    };
    // The pictures wait for the sound: run one after the other, this
    // would never end before the time-out.
    job.phases.duringVideo = [&](Engine&) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!soundDone && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        soundEndedDuringVideo = soundDone;
    };
    EXPECT_EQ(engineConvert(job.engine, job.request), 31);
    EXPECT_TRUE(soundEndedDuringVideo);
    EXPECT_NE(soundThread, engineThread);
    EXPECT_EQ(job.phases.audioRuns, 1);
    // Its line is told where the sound phase would have run.
    const auto& log = job.host.log;
    const auto audio = std::find(log.begin(), log.end(), "Encoding Audio:");
    const auto line = std::find(log.begin(), log.end(), "sound line");
    ASSERT_NE(audio, log.end());
    ASSERT_NE(line, log.end());
    EXPECT_LT(audio, line);
    EXPECT_TRUE(job.engine.job.jobCompleted);
}

TEST(SoundAlongside, LeavesTheJobAsThePhasesOneAfterTheOther) {
    // A clean run, with the sound's lines, a dropped warning and its range.
    expectSameOutcome([](Job& job) {
        job.keepStreams();
        job.phases.duringAudio = [](Engine& e) {
            writeSoundRange(e);
            e.logLine("   Avg slots/frame = 417.959");
            e.reportWarning("a warning about " + e.job.audioStreamName);
        };
    });
    // The sound fails with a message naming its stream.
    expectSameOutcome([](Job& job) {
        job.keepStreams();
        job.phases.audioResult = false;
        job.phases.duringAudio = [](Engine& e) {
            writeSoundRange(e);
            e.reportError("Could not write to file " + e.job.audioStreamName);
        };
    });
    // The pictures fail: the sound coded meanwhile must not be left behind
    // as a stream the user asked to keep.
    expectSameOutcome([](Job& job) {
        job.keepStreams();
        job.phases.videoResult = false;
        job.phases.duringAudio = writeSoundRange;
    });
    // The sound runs out of memory.
    expectSameOutcome([](Job& job) {
        job.phases.duringAudio = [](Engine&) { throw std::bad_alloc(); };
    });
    // The multiplexer fails after both.
    expectSameOutcome([](Job& job) {
        job.keepStreams();
        job.phases.muxResult = false;
        job.phases.duringAudio = writeSoundRange;
    });
}

TEST(SoundAlongside, AStopInThePicturesCodesTheSoundAgainCutToThem) {
    auto stopAt50 = [](Job& job) {
        job.keepStreams();
        job.phases.stopAfterPicture = 50;
        job.phases.duringAudio = [](Engine& e) {
            writeSoundRange(e);
            e.logLine("sound of " + std::to_string(e.job.lastSample));
        };
    };
    expectSameOutcome(stopAt50);
    const Outcome o = run(true, stopAt50);
    EXPECT_EQ(o.files.at("clip.mpa"), "audio 0..110250");
    EXPECT_EQ(std::count(o.log.begin(), o.log.end(), "sound of 441000"), 0);
    EXPECT_EQ(std::count(o.log.begin(), o.log.end(), "sound of 110250"), 1);
}

TEST(SoundAlongside, AStopWhileTheSoundIsAwaitedReachesIt) {
    // The sound goes on until it is stopped (or a time-out): only a stop
    // passed on from the engine's thread ends it in time.
    auto stopInSound = [](Job& job) {
        job.phases.duringAudio = [](Engine& e) {
            const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
            while (!e.stopRequested() && std::chrono::steady_clock::now() < until) {
                e.pumpMessages();
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            std::ofstream(e.job.audioStreamName) << (e.stopRequested() ? "stopped" : "timed out");
        };
        FakeHost& host = job.host;
        Engine& engine = job.engine;
        host.onPump = [&host, &engine](testing::FakeView&) {
            if (host.hasLog("Encoding Audio:") && host.questions.empty()) engine.pressStop();
        };
    };
    expectSameOutcome(stopInSound);
    const Outcome o = run(true, stopInSound);
    EXPECT_EQ(o.questions.size(), 1u);
    EXPECT_EQ(o.muxRuns, 0);
    EXPECT_EQ(o.files.at("clip.mpa"), "stopped");
    EXPECT_FALSE(o.completed);
}

TEST(SoundAlongside, OneThreadOrNoPicturesKeepTheSoundAfterThem) {
    Job job(false);
    std::thread::id soundThread;
    job.phases.duringAudio = [&](Engine&) { soundThread = std::this_thread::get_id(); };
    EXPECT_EQ(engineConvert(job.engine, job.request), 31);
    EXPECT_EQ(soundThread, std::this_thread::get_id());

    Job sound(true);
    sound.request.videoPresent = 0;
    sound.phases.duringAudio = [&](Engine&) { soundThread = std::this_thread::get_id(); };
    EXPECT_EQ(engineConvert(sound.engine, sound.request), 31);
    EXPECT_EQ(soundThread, std::this_thread::get_id());
}

}  // namespace
}  // namespace quillon

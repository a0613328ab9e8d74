// A Stop pressed in the conversion dialog (Yes to the question) during each
// phase of a real conversion, and what survives it: the files written so
// far stay (a stop in the video still multiplexes the pictures encoded; a
// stop in the sound leaves no program stream; a stop while multiplexing
// keeps the part written), the intermediate streams go only after a
// successful multiplex, and no temporary units file is left.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <set>

#include "engine/engine.h"
#include "engine/engine_entry.h"
#include "engine/standard_phases.h"
#include "input/conversion_start.h"
#include "input/input_table.h"
#include "tests/engine/fake_host.h"
#include "tests/input/test_media.h"
#include "tests/support/av_reader.h"
#include "tests/support/temp_dir.h"

namespace quillon {
namespace {

namespace fs = std::filesystem;

struct StopJob {
    testing::TempDir dir;
    testing::FakeHost host;
    Engine engine{host};
    InputTable table;
    int stops = 0;

    // Presses Stop on the after-th pump whose status text starts with the
    // phase's prefix.
    int run(int target, const std::string& phasePrefix, int after = 1) {
        testing::PatternClip c;
        c.width = 128;
        c.height = 96;
        c.frames = 20;
        c.audioChannels = 2;
        EXPECT_TRUE(table.open(testing::patternAvi("stop.avi", c), host));
        fs::create_directories(dir.path() / "tmp");
        ::setenv("TMP", (dir.path() / "tmp").c_str(), 1);
        host.onPump = [this, phasePrefix, after, seen = 0](testing::FakeView& view) mutable {
            if (stops == 0 && view.status.rfind(phasePrefix, 0) == 0 && ++seen == after) {
                ++stops;
                view.controller->onStop();
            }
        };
        ConversionChoice choice;
        choice.target = target;
        choice.pal = 1;
        choice.width = target == 3 ? 480 : 128;
        choice.height = target == 3 ? 576 : 96;
        choice.outputName = file("x.mpg");
        initEngine(engine, choice.pal * 16 + choice.target);
        engine.setPhases(&standardPhases());
        DeliveryHooks hooks;
        hooks.pump = [this] {
            engine.pumpMessages();
            return engine.stopRequested();
        };
        hooks.abortJob = [this] { engine.job.stopRequested = true; };
        auto plan = planConversions(table, choice, hooks);
        int done = runConversions(table, plan, [&](PlannedOutput& out) { return engineConvert(engine, out.request); });
        ::unsetenv("TMP");
        return done;
    }
    std::string file(const std::string& name) const { return dir.file(name); }
    std::set<std::string> left() const {
        std::set<std::string> names;
        for (const auto& e : fs::directory_iterator(dir.path())) names.insert(e.path().filename().string());
        return names;
    }
    std::string messages() const {
        std::string all;
        for (const auto& b : host.boxes) all += b.caption + ": " + b.text + "\n";
        for (const auto& l : host.log) all += l + "\n";
        return all;
    }
    bool noTemporaries() const { return fs::is_empty(dir.path() / "tmp"); }
};

TEST(StopInPhase, VideoMultiplexesThePicturesEncodedSoFar) {
    StopJob job;
    EXPECT_EQ(job.run(0, "Video Conversion progress: 50%"), 0);
    EXPECT_EQ(job.stops, 1) << job.messages();
    EXPECT_TRUE(job.host.hasLog("ENCODING ABORTED."));
    EXPECT_EQ(job.left(), (std::set<std::string>{"tmp", "x.mpg"})) << job.messages();
    testing::DecodedVideo v = testing::decodeVideo(job.file("x.mpg"));
    ASSERT_TRUE(v.opened);
    EXPECT_GE(v.pictures.size(), 1u);
    EXPECT_LT(v.pictures.size(), 20u);
    EXPECT_TRUE(job.noTemporaries());
}

// A stop while the first picture is coded: no picture, so no sound for it
// and nothing to multiplex; the stop is reported as one, not as the
// multiplexer's complaint about a stream without pictures.
TEST(StopInPhase, VideoBeforeTheFirstPictureKeepsOnlyTheVideoStream) {
    StopJob job;
    EXPECT_EQ(job.run(0, "Video Conversion progress: 0%"), 0);
    EXPECT_EQ(job.stops, 1) << job.messages();
    EXPECT_EQ(job.engine.job.framesEncoded, 0);
    EXPECT_TRUE(job.host.hasLog("ENCODING ABORTED."));
    EXPECT_FALSE(job.host.hasLog("Encoding Audio:")) << job.messages();
    EXPECT_TRUE(job.host.boxes.empty()) << job.messages();
    EXPECT_EQ(job.left(), (std::set<std::string>{"tmp", "x.m1v"})) << job.messages();
    EXPECT_TRUE(job.noTemporaries());
}

TEST(StopInPhase, AudioKeepsTheVideoStreamAndMakesNoProgram) {
    StopJob job;
    EXPECT_EQ(job.run(0, "Audio Conversion Progress"), 0);
    EXPECT_EQ(job.stops, 1) << job.messages();
    std::set<std::string> left = job.left();
    EXPECT_TRUE(left.count("x.m1v"));
    EXPECT_FALSE(left.count("x.mpg"));
    EXPECT_TRUE(job.noTemporaries());
}

TEST(StopInPhase, MultiplexKeepsThePartWrittenAndTheStreams) {
    StopJob job;
    EXPECT_EQ(job.run(0, "Multiplexing:"), 0);
    EXPECT_EQ(job.stops, 1) << job.messages();
    EXPECT_EQ(job.left(), (std::set<std::string>{"tmp", "x.m1v", "x.mpa", "x.mpg"}));
    EXPECT_TRUE(job.noTemporaries());
}

TEST(StopInPhase, ScanOffsetsKeepTheProgramAndTheStreams) {
    StopJob job;
    EXPECT_EQ(job.run(3, "SVCD Scan Offsets:"), 0);
    EXPECT_EQ(job.stops, 1) << job.messages();
    EXPECT_EQ(job.left(), (std::set<std::string>{"tmp", "x.m2v", "x.mpa", "x.mpg"}));
    EXPECT_TRUE(job.noTemporaries());
}

}  // namespace
}  // namespace quillon

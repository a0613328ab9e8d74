// Ctrl-C during `quillon convert`, as a user presses it: the real command
// as a child process at a terminal of its own (the key goes through the
// terminal, which sends SIGINT; the question is answered by typing), or
// without a terminal (a script's SIGINT, which stops without asking). Each
// run must end unsuccessfully and leave exactly what a stop keeps: the
// pictures encoded so far multiplexed with their part of the sound (a stop in
// the video), the streams and the part of the program written (a stop while
// multiplexing), never a temporary file.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>

#include "tests/input/test_media.h"
#include "tests/support/av_reader.h"
#include "tests/support/child_process.h"
#include "tests/support/program_stream_walk.h"
#include "tests/support/temp_dir.h"

namespace quillon {
namespace {

namespace fs = std::filesystem;
using testing::ChildProcess;

constexpr int kFrames = 250;  // ten seconds at 25 Hz
const std::string kQuestion = "Quorvel Encoder: Are you sure to stop it? (y/n) ";

std::string clip() {
    testing::PatternClip c;
    c.width = 64;
    c.height = 48;
    c.frames = kFrames;
    c.audioChannels = 2;
    c.audioRate = 44100;
    return testing::patternAvi("cli-stop.avi", c);
}

struct CommandRun {
    testing::TempDir dir;
    fs::path root = dir.path();
    ChildProcess child;

    // Runs in its folder with TMP in a folder of its own, so temporary files
    // left anywhere show. The child runs at a lower priority: the test reads
    // its progress and must press Ctrl-C before the phase it aims at ends.
    bool start(bool terminal, const std::string& args) {
        fs::create_directories(root / "tmp");
        std::vector<std::string> argv = {QUILLON_BINARY, "convert"};
        for (size_t pos = 0; pos < args.size();) {
            size_t end = args.find(' ', pos);
            if (end == std::string::npos) end = args.size();
            if (end > pos) argv.push_back(args.substr(pos, end - pos));
            pos = end + 1;
        }
        argv.push_back(clip());
        ChildProcess::Options o;
        o.terminal = terminal;
        o.directory = root.string();
        o.environment = {{"TMP", (root / "tmp").string()}};
        o.niceness = 10;
        return child.start(argv, o);
    }
    std::set<std::string> left() const {
        std::set<std::string> names;
        for (const auto& e : fs::directory_iterator(root)) names.insert(e.path().filename().string());
        return names;
    }
    bool noTemporaries() const { return fs::is_empty(root / "tmp"); }
    std::string out() const { return child.output(); }
};

int countOf(const std::string& text, const std::string& part) {
    int n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

// The program a stop in the video leaves: the pictures encoded, and sound
// as long as they are (the sound is cut to the pictures' share of it).
void expectPartOfTheClip(const std::string& program, int atLeast) {
    testing::DecodedVideo v = testing::decodeVideo(program);
    ASSERT_TRUE(v.opened);
    const int pictures = static_cast<int>(v.pictures.size());
    EXPECT_GE(pictures, atLeast);
    EXPECT_LT(pictures, kFrames);
    testing::DecodedAudio a = testing::decodeAudio(program);
    ASSERT_TRUE(a.opened);
    ASSERT_EQ(a.channels, 2);
    const double soundSeconds = static_cast<double>(a.samples.size()) / 2 / a.sampleRate;
    // A Layer II frame is 26 ms; the last pictures of a cut GOP may not be
    // decodable.
    EXPECT_NEAR(soundSeconds, pictures / 25.0, 0.2) << pictures << " pictures";
}

TEST(CtrlCAtATerminal, NoKeepsEncodingYesStopsAndTheEncodedPartIsMultiplexed) {
    CommandRun run;
    ASSERT_TRUE(run.start(true, "-t vcd --pal -o x.mpg"));
    ASSERT_TRUE(run.child.waitFor("% Video ")) << run.out();
    ASSERT_TRUE(run.child.interrupt());
    ASSERT_TRUE(run.child.waitFor(kQuestion)) << run.out();
    ASSERT_EQ(run.out().find("Encoding Audio:"), std::string::npos) << "the video ended before the press";
    ASSERT_TRUE(run.child.type("n\n"));
    // Encoding goes on after the No.
    ASSERT_TRUE(run.child.waitFor("Video 30%")) << run.out();
    ASSERT_TRUE(run.child.interrupt());
    ASSERT_TRUE(run.child.waitFor(kQuestion)) << run.out();
    ASSERT_TRUE(run.child.type("y\n"));
    EXPECT_EQ(run.child.finish(), 1) << run.out();

    const std::string out = run.out();
    EXPECT_EQ(countOf(out, kQuestion), 2) << out;
    EXPECT_NE(out.find("ENCODING ABORTED."), std::string::npos) << out;
    EXPECT_EQ(out.find("Wrote "), std::string::npos) << out;
    // The sound and the multiplex ran for the part; the intermediate streams
    // went after that successful multiplex.
    EXPECT_NE(out.find("Encoding Audio:"), std::string::npos) << out;
    EXPECT_NE(out.find("Finished multiplexing x.mpg"), std::string::npos) << out;
    EXPECT_EQ(run.left(), (std::set<std::string>{"tmp", "x.mpg"})) << run.out();
    EXPECT_TRUE(run.noTemporaries());
    expectPartOfTheClip(run.dir.file("x.mpg"), kFrames * 30 / 100);
}

TEST(CtrlCAtATerminal, ASecondCtrlCAtTheQuestionStopsWithoutAnAnswer) {
    CommandRun run;
    ASSERT_TRUE(run.start(true, "-t vcd --pal -o x.mpg"));
    // Past the first pictures, so there is a part to multiplex.
    ASSERT_TRUE(run.child.waitFor("Video 5%")) << run.out();
    ASSERT_TRUE(run.child.interrupt());
    ASSERT_TRUE(run.child.waitFor(kQuestion)) << run.out();
    ASSERT_EQ(run.out().find("Encoding Audio:"), std::string::npos) << "the video ended before the press";
    // The press must come while the answer is awaited, as a person's would.
    ASSERT_TRUE(run.child.waitUntilAsleep()) << run.out();
    ASSERT_TRUE(run.child.interrupt());
    EXPECT_EQ(run.child.finish(), 1) << run.out();
    EXPECT_NE(run.out().find("ENCODING ABORTED."), std::string::npos) << run.out();
    EXPECT_EQ(run.left(), (std::set<std::string>{"tmp", "x.mpg"})) << run.out();
    EXPECT_TRUE(run.noTemporaries());
    expectPartOfTheClip(run.dir.file("x.mpg"), 1);
}

// A script's SIGINT without a terminal to ask on: the stop is immediate. A
// DVD job keeps its elementary streams even after a successful multiplex.
TEST(CtrlCWithoutATerminal, StopsAtOnceAndADvdJobKeepsItsStreams) {
    CommandRun run;
    ASSERT_TRUE(run.start(false, "-t dvd --pal -o x.mpg"));
    ASSERT_TRUE(run.child.waitFor("Video 5%")) << run.out();
    ASSERT_TRUE(run.child.interrupt());
    EXPECT_EQ(run.child.finish(), 1) << run.out();
    const std::string out = run.out();
    EXPECT_EQ(out.find("(y/n)"), std::string::npos) << out;
    EXPECT_NE(out.find("ENCODING ABORTED."), std::string::npos) << out;
    EXPECT_EQ(out.find("Wrote "), std::string::npos) << out;
    EXPECT_EQ(run.left(), (std::set<std::string>{"tmp", "x.m2v", "x.mpa", "x.mpg"}));
    EXPECT_TRUE(run.noTemporaries());
    expectPartOfTheClip(run.dir.file("x.mpg"), 1);
    // The kept streams are the part encoded, not the whole clip.
    testing::DecodedVideo kept = testing::decodeVideo(run.dir.file("x.m2v"));
    ASSERT_TRUE(kept.opened);
    EXPECT_LT(static_cast<int>(kept.pictures.size()), kFrames);
}

// With both encoders off the job multiplexes the streams already on disk
// under its names; Ctrl-C once the program file is being written (the Stop
// button is off in this phase, so the question comes alone). The streams
// stay as they were, the part of the program written stays, in whole packs.
TEST(CtrlCAtATerminal, WhileMultiplexingKeepsTheStreamsAndThePartWritten) {
    CommandRun run;
    // Streams large enough that the multiplex outlasts the test's reaction:
    // 40 s of intra-only pictures, about 15 MB.
    const std::string ff = "cd '" + run.root.string() + "' && ffmpeg -nostdin -v error -y ";
    ASSERT_TRUE(testing::runCommand(ff + "-f lavfi -i testsrc=size=352x288:rate=25:duration=40 -c:v mpeg1video "
                                         "-q:v 2 -g 1 -threads 1 -f mpeg1video x.m1v"));
    ASSERT_TRUE(testing::runCommand(ff + "-f lavfi -i sine=sample_rate=44100:duration=40 -ac 2 -c:a mp2 -b:a 224k "
                                         "-f mp2 x.mpa"));
    const auto videoBytes = fs::file_size(run.root / "x.m1v");
    const auto audioBytes = fs::file_size(run.root / "x.mpa");
    ASSERT_TRUE(run.start(true, "-t mpeg1 --pal --set userEncodeVideo=0 --set userEncodeAudio=0 -o x.mpg"));
    // Some packs written, most still to come.
    ASSERT_TRUE(run.child.waitFor("Multiplexing 2%")) << run.out();
    ASSERT_TRUE(run.child.interrupt());
    ASSERT_TRUE(run.child.waitFor(kQuestion)) << run.out();
    ASSERT_EQ(run.out().find("Finished multiplexing"), std::string::npos) << "the multiplex ended before the stop";
    ASSERT_TRUE(run.child.type("y\n"));
    EXPECT_EQ(run.child.finish(), 1) << run.out();

    const std::string out = run.out();
    EXPECT_EQ(out.find("Finished multiplexing"), std::string::npos) << out;
    EXPECT_EQ(out.find("Wrote "), std::string::npos) << out;
    EXPECT_EQ(run.left(), (std::set<std::string>{"tmp", "x.m1v", "x.mpa", "x.mpg"}));
    EXPECT_EQ(fs::file_size(run.root / "x.m1v"), videoBytes);
    EXPECT_EQ(fs::file_size(run.root / "x.mpa"), audioBytes);
    EXPECT_TRUE(run.noTemporaries());

    const std::vector<uint8_t> program = testing::readFile(run.dir.file("x.mpg"));
    EXPECT_GT(program.size(), 0u);
    EXPECT_LT(program.size(), videoBytes + audioBytes);
    bool ok = false, endCode = false;
    const std::vector<testing::PackInfo> packs = testing::walkPacks(program, ok, endCode);
    EXPECT_TRUE(ok);
    ASSERT_FALSE(packs.empty());
    testing::DecodedVideo v = testing::decodeVideo(run.dir.file("x.mpg"));
    ASSERT_TRUE(v.opened);
    EXPECT_GE(v.pictures.size(), 1u);
    EXPECT_LT(v.pictures.size(), 1000u);
}

}  // namespace
}  // namespace quillon

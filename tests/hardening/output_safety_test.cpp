// The files a user has, through the quillon command: no output replaces a
// file without the user's word, no job writes over or removes a file it did
// not make, two outputs never meet in one file, and the exit status and the
// last lines say what was left.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "tests/input/test_media.h"
#include "tests/support/av_reader.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"

namespace quillon {
namespace {

namespace fs = std::filesystem;
using testing::ChildProcess;

struct CommandRun {
    int status = -1;
    std::string out;  // stdout and stderr together
    bool has(const std::string& text) const { return out.find(text) != std::string::npos; }
};

// Runs `quillon ARGS` in dir with $TMP in dir/tmp and no terminal; `shell`
// goes before the command (limits).
CommandRun quillon(const fs::path& dir, const std::string& args, const std::string& shell = "") {
    fs::create_directories(dir / "tmp");
    const std::string cmd = "cd '" + dir.string() + "' && " + shell + " TMP='" + (dir / "tmp").string() + "' " +
                            QUILLON_BINARY + " " + args + " 2>&1 </dev/null";
    CommandRun r;
    std::FILE* p = popen(cmd.c_str(), "r");
    if (!p) return r;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
    const int raw = pclose(p);
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return r;
}

std::string contents(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void put(const fs::path& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

// Every file under a folder, relative names; hidden private files show.
std::set<std::string> tree(const fs::path& dir) {
    std::set<std::string> names;
    for (const auto& e : fs::recursive_directory_iterator(dir))
        names.insert(e.path().lexically_relative(dir).string());  // a link by its own name
    return names;
}

std::string clip(const std::string& name, int frames, int width = 64, int height = 48) {
    testing::PatternClip c;
    c.width = width;
    c.height = height;
    c.frames = frames;
    c.audioChannels = 2;
    return testing::patternAvi(name, c);
}

int pictures(const fs::path& program) {
    testing::DecodedVideo v = testing::decodeVideo(program.string());
    return v.opened ? static_cast<int>(v.pictures.size()) : -1;
}

struct Folder {
    testing::TempDir dir;
    fs::path root = dir.path();
    // Nothing but these (and the empty tmp folder) is left.
    void expectOnly(const std::set<std::string>& names) const {
        std::set<std::string> want = names;
        want.insert("tmp");
        EXPECT_EQ(tree(root), want);
    }
};

// --- the same name twice in a batch ------------------------------------------

TEST(BatchNames, SameNamedInputsGetOutputsOfTheirOwnAndTheCommandSaysWhich) {
    Folder f;
    fs::create_directories(f.root / "cam1");
    fs::create_directories(f.root / "cam2");
    fs::copy_file(clip("batch-a.avi", 25), f.root / "cam1/MVI_0001.avi");
    fs::copy_file(clip("batch-b.avi", 50), f.root / "cam2/MVI_0001.avi");
    fs::create_directories(f.root / "out");
    CommandRun r = quillon(f.root, "convert --batch --output-dir out -t vcd --pal cam1/MVI_0001.avi cam2/MVI_0001.avi");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(r.has("cam2/MVI_0001.avi has the name of an earlier output; it goes to out/MVI_0001-2.mpg")) << r.out;
    EXPECT_TRUE(r.has("cam1/MVI_0001.avi -> out/MVI_0001.mpg")) << r.out;
    EXPECT_TRUE(r.has("Wrote out/MVI_0001.mpg")) << r.out;
    EXPECT_TRUE(r.has("Wrote out/MVI_0001-2.mpg")) << r.out;
    // Each holds all of its own input.
    EXPECT_EQ(pictures(f.root / "out/MVI_0001.mpg"), 25);
    EXPECT_EQ(pictures(f.root / "out/MVI_0001-2.mpg"), 50);
}

// --- existing outputs -----------------------------------------------------------

TEST(ExistingOutput, IsRefusedWithStatus1UnlessOverwriteIsGiven) {
    Folder f;
    const std::string input = clip("exists.avi", 12);
    put(f.root / "x.mpg", "the user's older file");
    CommandRun r = quillon(f.root, "convert -q -t mpeg1 --pal -o x.mpg '" + input + "'");
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_TRUE(r.has("x.mpg exists; it was left as it is (-y replaces it)")) << r.out;
    EXPECT_FALSE(r.has("Encoding Video:")) << r.out;
    EXPECT_EQ(contents(f.root / "x.mpg"), "the user's older file");
    f.expectOnly({"x.mpg"});

    // A statistics file is an output too.
    put(f.root / "stats.txt", "older statistics");
    r = quillon(f.root, "convert -q -t mpeg1 --pal -o y.mpg --stats stats.txt '" + input + "'");
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_EQ(contents(f.root / "stats.txt"), "older statistics");

    r = quillon(f.root, "convert -q -y -t mpeg1 --pal -o x.mpg '" + input + "'");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(pictures(f.root / "x.mpg"), 12);
}

TEST(ExistingOutput, OnATerminalTheCommandAsks) {
    Folder f;
    const std::string input = clip("exists.avi", 12);
    put(f.root / "x.mpg", "the user's older file");
    ChildProcess::Options o;
    o.terminal = true;
    o.directory = f.root.string();
    {
        ChildProcess no;
        ASSERT_TRUE(no.start({QUILLON_BINARY, "convert", "-q", "-t", "mpeg1", "--pal", "-o", "x.mpg", input}, o));
        ASSERT_TRUE(no.waitFor("x.mpg exists. Replace it? (y/n) ")) << no.output();
        ASSERT_TRUE(no.type("n\n"));
        EXPECT_EQ(no.finish(), 1) << no.output();
        EXPECT_EQ(contents(f.root / "x.mpg"), "the user's older file");
    }
    ChildProcess yes;
    ASSERT_TRUE(yes.start({QUILLON_BINARY, "convert", "-q", "-t", "mpeg1", "--pal", "-o", "x.mpg", input}, o));
    ASSERT_TRUE(yes.waitFor("x.mpg exists. Replace it? (y/n) ")) << yes.output();
    ASSERT_TRUE(yes.type("y\n"));
    EXPECT_EQ(yes.finish(), 0) << yes.output();
    EXPECT_EQ(pictures(f.root / "x.mpg"), 12);
}

// --- names that meet ------------------------------------------------------------

TEST(OwnFiles, StreamsBesideTheOutputAndAStreamInputAreNeverWrittenOrRemoved) {
    Folder f;
    const std::string input = clip("own.avi", 12);
    fs::copy_file(input, f.root / "movie.avi");
    put(f.root / "movie.m1v", "the user's own video stream");
    put(f.root / "movie.mpa", "the user's own sound");
    CommandRun r = quillon(f.root, "convert -q -t mpeg1 --pal movie.avi");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(contents(f.root / "movie.m1v"), "the user's own video stream");
    EXPECT_EQ(contents(f.root / "movie.mpa"), "the user's own sound");
    EXPECT_EQ(pictures(f.root / "movie.mpg"), 12);
    f.expectOnly({"movie.avi", "movie.m1v", "movie.mpa", "movie.mpg"});

    // An input whose name is the one its job gives its video stream (the
    // media libraries go by the contents, not the name).
    fs::copy_file(f.root / "movie.avi", f.root / "c.m1v");
    const std::string before = contents(f.root / "c.m1v");
    r = quillon(f.root, "convert -q -t mpeg1 --pal c.m1v");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(contents(f.root / "c.m1v"), before);
    EXPECT_EQ(pictures(f.root / "c.mpg"), 12);
}

TEST(OwnFiles, AnOutputNamedLikeItsStreamOrAnInputIsRefusedBeforeAnyWork) {
    Folder f;
    const std::string input = clip("own.avi", 12);
    fs::copy_file(input, f.root / "in.avi");
    fs::create_hard_link(f.root / "in.avi", f.root / "linked.mpg");
    fs::create_symlink(f.root / "in.avi", f.root / "soft.mpg");
    struct Case {
        std::string args, message;
    };
    const Case cases[] = {
        {"-o x.m1v in.avi", "The output x.m1v has the name of its own video or audio stream"},
        {"-o x.mpa in.avi", "The output x.mpa has the name of its own video or audio stream"},
        {"-o linked.mpg in.avi", "The output linked.mpg is also an input of this conversion."},
        {"-o soft.mpg in.avi", "The output soft.mpg is also an input of this conversion."},
        {"-o x.mpg --stats in.avi in.avi", "The output in.avi is also an input of this conversion."},
        {"-o x.mpg --stats x.mpg in.avi", "The conversion would write x.mpg twice."},
        {"-o x.mpg --stats ./linked.mpg in.avi", "is also an input of this conversion."},
    };
    for (const Case& c : cases) {
        CommandRun r = quillon(f.root, "convert -t mpeg1 --pal " + c.args);
        EXPECT_EQ(r.status, 2) << c.args << "\n" << r.out;
        EXPECT_TRUE(r.has(c.message)) << c.args << "\n" << r.out;
        EXPECT_FALSE(r.has("Encoding Video:")) << c.args;
        f.expectOnly({"in.avi", "linked.mpg", "soft.mpg"});
    }
    EXPECT_EQ(contents(f.root / "in.avi"), contents(input));
}

TEST(OwnFiles, MuxRefusesAnOutputThatIsOneOfItsStreams) {
    Folder f;
    const std::string ffmpeg = "cd '" + f.root.string() + "' && ffmpeg -nostdin -v error -y ";
    ASSERT_EQ(std::system((ffmpeg + "-f lavfi -i testsrc=size=64x48:rate=25:duration=1 -c:v mpeg1video "
                                     "-f mpeg1video v.m1v").c_str()),
              0);
    const std::string before = contents(f.root / "v.m1v");
    fs::create_hard_link(f.root / "v.m1v", f.root / "hard.mpg");
    for (const std::string out : {"v.m1v", "./v.m1v", "hard.mpg"}) {
        CommandRun r = quillon(f.root, "mux -t mpeg1 --video v.m1v -o " + out);
        EXPECT_EQ(r.status, 2) << out << "\n" << r.out;
        EXPECT_TRUE(r.has("is also an input stream")) << r.out;
        EXPECT_EQ(contents(f.root / "v.m1v"), before);
    }
    // An existing output: refused without -y, replaced with it.
    put(f.root / "x.mpg", "older");
    CommandRun r = quillon(f.root, "mux -t mpeg1 --video v.m1v -o x.mpg");
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_EQ(contents(f.root / "x.mpg"), "older");
    r = quillon(f.root, "mux -t mpeg1 --video v.m1v -y -o x.mpg");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(pictures(f.root / "x.mpg"), 25);
    f.expectOnly({"v.m1v", "hard.mpg", "x.mpg"});
}

// --- honest exits ------------------------------------------------------------------

TEST(HonestExit, OneStreamEncodedNamesTheFileItWroteAndNoOther) {
    Folder f;
    const std::string input = clip("one.avi", 12);
    CommandRun r = quillon(f.root, "convert -t mpeg1 --pal --set userEncodeVideo=0 -o o.mpg '" + input + "'");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_FALSE(r.has("Wrote o.mpg")) << r.out;
    EXPECT_TRUE(r.has("Wrote o.mpa")) << r.out;
    EXPECT_TRUE(r.has("no program stream was made")) << r.out;
    testing::DecodedAudio a = testing::decodeAudio((f.root / "o.mpa").string());
    EXPECT_TRUE(a.opened);
    EXPECT_GT(a.samples.size(), 0u);
    f.expectOnly({"o.mpa"});
}

// (Failed runs say so in the fault tests, stopped ones in the signal tests.)
TEST(HonestExit, AFinishedRunSaysSo) {
    Folder f;
    const std::string input = clip("end.avi", 12);
    CommandRun r = quillon(f.root, "convert -t mpeg1 --pal -o x.mpg '" + input + "'");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(r.has("Wrote x.mpg")) << r.out;
    EXPECT_TRUE(r.has("quillon convert: finished")) << r.out;
    EXPECT_EQ(pictures(f.root / "x.mpg"), 12);
}

TEST(HonestExit, SettingsALaterPhaseNeedsAreCheckedBeforeThePictures) {
    Folder f;
    const std::string input = clip("later.avi", 12);
    // A video buffer smaller than one packet; and a crop outside the picture.
    for (const std::string args : {"--set videoBufferSize=1", "--crop 40,0,40,40"}) {
        CommandRun r = quillon(f.root, "convert -t vcd --pal -o x.mpg " + args + " '" + input + "'");
        EXPECT_NE(r.status, 0) << args << "\n" << r.out;
        EXPECT_FALSE(r.has("Encoding Video:")) << args << "\n" << r.out;
        f.expectOnly({});
    }
}

// --- the folder and the inputs --------------------------------------------------------

TEST(Messages, AMissingOutputFolderIsNamedBeforeTheJobAndOpenFailuresSayWhy) {
    Folder f;
    const std::string input = clip("msg.avi", 12);
    CommandRun r = quillon(f.root, "convert -t mpeg2 --pal -o nowhere/x.mpg '" + input + "'");
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_TRUE(r.has("Unable to write nowhere/x.mpg: the folder nowhere does not exist.")) << r.out;
    EXPECT_FALSE(r.has("Encoding Video:")) << r.out;
    EXPECT_FALSE(r.has(".m2v")) << r.out;

    fs::create_directory(f.root / "folder.avi");
    put(f.root / "text.avi", "just some words, not a clip");
    const std::pair<std::string, std::string> cases[] = {
        {"missing.avi", "Can't open missing.avi. (not found)"},
        {"folder.avi", "Can't open folder.avi. (a folder, not a media file)"},
        {"text.avi", "Can't open text.avi. (not a media file"},
    };
    for (const auto& [name, message] : cases) {
        r = quillon(f.root, "convert -t vcd " + name);
        EXPECT_EQ(r.status, 1) << r.out;
        EXPECT_TRUE(r.has(message)) << r.out;
    }
}

TEST(Messages, PalAndNtscTogetherAreAUsageError) {
    Folder f;
    CommandRun r = quillon(f.root, "convert --pal --ntsc '" + clip("msg.avi", 12) + "'");
    EXPECT_EQ(r.status, 2) << r.out;
    EXPECT_TRUE(r.has("--pal and --ntsc cannot be given together")) << r.out;
    r = quillon(f.root, "convert --pal --pal -q -o x.mpg '" + clip("msg.avi", 12) + "'");
    EXPECT_EQ(r.status, 0) << r.out;
}

TEST(Messages, InfoOnAListWithAMissingPictureFails) {
    Folder f;
    const std::string still = testing::transcode("info.bmp", clip("msg.avi", 12), "-frames:v 1 -f image2");
    fs::copy_file(still, f.root / "a.bmp");
    put(f.root / "p.lst", "a.bmp\nb.bmp\n");
    CommandRun r = quillon(f.root, "info p.lst");
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_TRUE(r.has("b.bmp cannot be read (not found)")) << r.out;
    fs::copy_file(still, f.root / "b.bmp");
    r = quillon(f.root, "info p.lst");
    EXPECT_EQ(r.status, 0) << r.out;
}

// --- two at once, and signals -----------------------------------------------------------

TEST(Race, TwoConversionsToOneOutputLeaveOneWholeClip) {
    Folder f;
    const std::string a = clip("race-a.avi", 75, 64, 48);
    const std::string b = clip("race-b.avi", 75, 96, 64);
    ChildProcess::Options o;
    o.directory = f.root.string();
    fs::create_directories(f.root / "tmp");
    o.environment = {{"TMP", (f.root / "tmp").string()}};
    ChildProcess first, second;
    ASSERT_TRUE(first.start({QUILLON_BINARY, "convert", "-q", "-t", "mpeg1", "--pal", "-o", "race.mpg", a}, o));
    ASSERT_TRUE(second.start({QUILLON_BINARY, "convert", "-q", "-t", "mpeg1", "--pal", "-o", "race.mpg", b}, o));
    const int s1 = first.finish(), s2 = second.finish();
    // One wins; the other says why it did not and exits 1.
    EXPECT_EQ(s1 + s2, 1) << first.output() << "\n" << second.output();
    const std::string loser = s1 ? first.output() : second.output();
    EXPECT_NE(loser.find("race.mpg"), std::string::npos) << loser;
    testing::DecodedVideo v = testing::decodeVideo((f.root / "race.mpg").string());
    ASSERT_TRUE(v.opened);
    EXPECT_EQ(v.width, s1 == 0 ? 64 : 96);
    EXPECT_EQ(static_cast<int>(v.pictures.size()), 75);
    EXPECT_EQ(v.errors, 0);
    f.expectOnly({"race.mpg"});
}

struct SignalRun {
    Folder f;
    ChildProcess child;
    bool start(const std::string& target) {
        ChildProcess::Options o;
        o.directory = f.root.string();
        o.environment = {{"TMP", (f.root / "tmp").string()}};
        o.niceness = 10;
        fs::create_directories(f.root / "tmp");
        return child.start({QUILLON_BINARY, "convert", "-t", target, "--pal", "-o", "x.mpg", clip("signal.avi", 250)},
                           o);
    }
};

TEST(Signals, TermAndHupStopLikeCtrlCAndKeepThePartDone) {
    for (int sig : {SIGTERM, SIGHUP}) {
        SignalRun run;
        ASSERT_TRUE(run.start("vcd"));
        ASSERT_TRUE(run.child.waitFor("Video 5%")) << run.child.output();
        ASSERT_TRUE(run.child.sendSignal(sig));
        EXPECT_EQ(run.child.finish(), 1) << run.child.output();
        const std::string out = run.child.output();
        EXPECT_NE(out.find("ENCODING ABORTED."), std::string::npos) << out;
        EXPECT_NE(out.find("stopped; the part done before the stop is in x.mpg"), std::string::npos) << out;
        run.f.expectOnly({"x.mpg"});
        const int n = pictures(run.f.root / "x.mpg");
        EXPECT_GT(n, 0);
        EXPECT_LT(n, 250);
    }
}

TEST(Signals, ASecondCtrlCLeavesNothingTemporary) {
    SignalRun run;
    ASSERT_TRUE(run.start("dvd"));
    ASSERT_TRUE(run.child.waitFor("Video 5%")) << run.child.output();
    ASSERT_TRUE(run.child.interrupt());
    // The part is multiplexed; the second press comes during that.
    ASSERT_TRUE(run.child.waitFor("Multiplexing")) << run.child.output();
    ASSERT_TRUE(run.child.interrupt());
    // 1 when the press stopped the multiplex; a press that comes only after
    // the run has ended is Ctrl-C's plain end of the program.
    const int status = run.child.finish();
    EXPECT_TRUE(status == 1 || status == 128 + SIGINT) << status << "\n" << run.child.output();
    // Whatever is left has its final name; nothing private, nothing in TMP.
    for (const std::string& name : tree(run.f.root)) {
        EXPECT_NE(name.find_first_of('.'), 0u) << name;
        EXPECT_TRUE(name == "tmp" || name.rfind("x.", 0) == 0) << name;
    }
}

}  // namespace
}  // namespace quillon

// Faults on disk and in the input, through the quillon command: each must
// print its message, end with a failure status, and leave only the files a
// failed job keeps (the streams the user asked to keep; never a program
// stream of a failed multiplex, never a stream nobody asked for, never a
// temporary file).
//
// A full disk is a limit on the size of any file the command writes (ulimit
// -f, with SIGXFSZ ignored): a write past it fails with EFBIG as one on a
// full file system fails with ENOSPC, and it needs neither root nor a mount.
// An unwritable output folder is a path whose parent is a regular file,
// which stops root as well.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "tests/input/test_media.h"
#include "tests/support/av_reader.h"
#include "tests/support/temp_dir.h"

namespace quillon {
namespace {

namespace fs = std::filesystem;

struct CommandRun {
    int status = -1;
    std::string out;  // stdout and stderr together
};

// Runs in dir (temporary names without $TMP land there) with $TMP set to
// dir/tmp, so both places can be checked for leftovers.
CommandRun quillon(const fs::path& dir, const std::string& args, long fileSizeLimit = 0) {
    fs::create_directories(dir / "tmp");
    const std::string limit =
        fileSizeLimit > 0 ? "trap '' XFSZ; ulimit -f " + std::to_string(fileSizeLimit / 512) + "; " : "";
    const std::string cmd = "cd '" + dir.string() + "' && " + limit + "TMP='" + (dir / "tmp").string() + "' " +
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

std::set<std::string> entries(const fs::path& dir) {
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.insert(e.path().filename().string());
    return names;
}

std::string clip() {
    testing::PatternClip c;
    c.width = 64;
    c.height = 48;
    c.frames = 12;
    c.audioChannels = 2;
    return testing::patternAvi("fault.avi", c);
}

const std::string kConvert = "convert -q -t mpeg1 --pal -o x.mpg ";

struct FaultJob {
    testing::TempDir dir;
    fs::path root = dir.path();
    std::string input = clip();
    uintmax_t videoBytes = 0, audioBytes = 0, programBytes = 0;
    // The sizes a good run gives, to place a limit between them.
    void measure() {
        CommandRun r = quillon(root, "convert -q -t mpeg1 --pal --keep-temp -o m.mpg '" + input + "'");
        ASSERT_EQ(r.status, 0) << r.out;
        videoBytes = fs::file_size(root / "m.m1v");
        audioBytes = fs::file_size(root / "m.mpa");
        programBytes = fs::file_size(root / "m.mpg");
        for (const char* name : {"m.m1v", "m.mpa", "m.mpg"}) fs::remove(root / name);
    }
};

TEST(DiskFull, DuringVideoTheJobFailsAndLeavesNothing) {
    FaultJob job;
    job.measure();
    // Half the size of the video stream, which is written first.
    CommandRun r = quillon(job.root, kConvert + "'" + job.input + "'", static_cast<long>(job.videoBytes / 2));
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("Unable to write to output file."), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("failed; nothing of x.mpg was kept"), std::string::npos) << r.out;
    EXPECT_EQ(entries(job.root), (std::set<std::string>{"tmp"}));
    EXPECT_TRUE(fs::is_empty(job.root / "tmp"));
}

TEST(DiskFull, DuringAudioOfASoundOnlyJobItFailsAndLeavesNothing) {
    FaultJob job;
    CommandRun r = quillon(job.root, kConvert + "--set userEncodeVideo=0 '" + job.input + "'", 1024);
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("Could not write to file x.mpa"), std::string::npos) << r.out;
    EXPECT_EQ(entries(job.root), (std::set<std::string>{"tmp"}));
    EXPECT_TRUE(fs::is_empty(job.root / "tmp"));
}

TEST(DiskFull, DuringMultiplexNothingIsLeftUnlessTheStreamsWereAskedFor) {
    FaultJob job;
    job.measure();
    const uintmax_t biggest = std::max(job.videoBytes, job.audioBytes);
    ASSERT_GT(job.programBytes, biggest + 2048);
    const long limit = static_cast<long>((biggest + job.programBytes) / 2);
    CommandRun r = quillon(job.root, kConvert + "'" + job.input + "'", limit);
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("error"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("failed; nothing of x.mpg was kept"), std::string::npos) << r.out;
    EXPECT_EQ(entries(job.root), (std::set<std::string>{"tmp"}));
    EXPECT_TRUE(fs::is_empty(job.root / "tmp"));

    // Kept streams stay, whole, for another try with `quillon mux`.
    r = quillon(job.root, kConvert + "--keep-temp '" + job.input + "'", limit);
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("failed; left x.m1v, x.mpa (asked to be kept)"), std::string::npos) << r.out;
    EXPECT_EQ(entries(job.root), (std::set<std::string>{"tmp", "x.m1v", "x.mpa"}));
    EXPECT_EQ(fs::file_size(job.root / "x.m1v"), job.videoBytes);
    EXPECT_EQ(fs::file_size(job.root / "x.mpa"), job.audioBytes);
    EXPECT_TRUE(fs::is_empty(job.root / "tmp"));
}

TEST(Unwritable, OutputFolderUnderARegularFileFailsWithAMessage) {
    FaultJob job;
    std::ofstream(job.root / "plain") << "not a folder";
    CommandRun r = quillon(job.root, "convert -q -t vcd --pal -o plain/x.mpg '" + job.input + "'");
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("Unable to write plain/x.mpg: plain is a file, not a folder."), std::string::npos) << r.out;
    EXPECT_EQ(entries(job.root), (std::set<std::string>{"plain", "tmp"}));
    EXPECT_TRUE(fs::is_empty(job.root / "tmp"));
}

// A broken input ends the job as a stop in the video phase does: the
// pictures encoded so far are multiplexed, and the job still counts as
// unfinished.
void expectStoppedAtTheBreak(const fs::path& root, const CommandRun& r, const std::string& what, int pictures) {
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find(what), std::string::npos) << r.out;
    ASSERT_TRUE(fs::exists(root / "x.mpg")) << r.out;
    testing::DecodedVideo v = testing::decodeVideo((root / "x.mpg").string());
    ASSERT_TRUE(v.opened);
    EXPECT_GE(static_cast<int>(v.pictures.size()), 1);
    EXPECT_LT(static_cast<int>(v.pictures.size()), pictures);
    EXPECT_TRUE(fs::is_empty(root / "tmp"));
}

TEST(BrokenInput, APictureOfAListGoneBeforeItsTurnStopsTheVideo) {
    FaultJob job;
    // Pictures of a list are read when their turn comes: the first opens the
    // list, the fourth is gone by the time the encoder wants it.
    const std::string still = testing::transcode("fault.bmp", clip(), "-frames:v 1 -f image2");
    for (const char* name : {"a.bmp", "b.bmp", "c.bmp", "d.bmp"}) fs::copy_file(still, job.root / name);
    std::ofstream(job.root / "p.lst") << "a.bmp\nb.bmp\nc.bmp\nd.bmp\n";
    fs::remove(job.root / "d.bmp");
    CommandRun r = quillon(job.root, "convert -q -t mpeg1 --pal -o x.mpg p.lst");
    // Four seconds of pictures at 25 Hz; the break comes in the last second.
    expectStoppedAtTheBreak(job.root, r, "d.bmp", 100);
    EXPECT_FALSE(fs::exists(job.root / "x.m1v"));
}

TEST(BrokenInput, ATruncatedVideoFileStopsAtTheCut) {
    FaultJob job;
    // The index promises twelve pictures; the data stops after a few.
    const auto size = fs::file_size(job.input);
    fs::copy_file(job.input, job.root / "cut.avi");
    fs::resize_file(job.root / "cut.avi", size / 2);
    CommandRun r = quillon(job.root, kConvert + "cut.avi");
    expectStoppedAtTheBreak(job.root, r, "Can not get video frame", 12);
}

}  // namespace
}  // namespace quillon

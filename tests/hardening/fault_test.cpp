// Faults on disk and in the input, through the quillon command: each must
// print its message, end with a failure status, and leave only the files a
// failed job keeps (streams written so far; never a program stream of a
// failed multiplex, never a temporary units file).
//
// A full disk is a stream name that is a symbolic link to /dev/full: every
// write fails with ENOSPC, as on a full file system, and it needs neither
// root nor a mount. An unwritable output folder is a path whose parent is a
// regular file, which stops root as well.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

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
CommandRun quillon(const fs::path& dir, const std::string& args) {
    fs::create_directories(dir / "tmp");
    const std::string cmd = "cd '" + dir.string() + "' && TMP='" + (dir / "tmp").string() + "' " +
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
    void fullDiskFor(const std::string& name) { fs::create_symlink("/dev/full", root / name); }
    bool isFullDiskLink(const std::string& name) { return fs::is_symlink(root / name); }
};

TEST(DiskFull, DuringVideoTheJobFailsWithNothingElseWritten) {
    FaultJob job;
    job.fullDiskFor("x.m1v");
    CommandRun r = quillon(job.root, kConvert + "'" + job.input + "'");
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("Unable to write to output file."), std::string::npos) << r.out;
    EXPECT_EQ(entries(job.root), (std::set<std::string>{"tmp", "x.m1v"}));
    EXPECT_TRUE(job.isFullDiskLink("x.m1v"));
    EXPECT_TRUE(fs::is_empty(job.root / "tmp"));
}

TEST(DiskFull, DuringAudioTheVideoStaysAndNoProgramIsMade) {
    FaultJob job;
    job.fullDiskFor("x.mpa");
    CommandRun r = quillon(job.root, kConvert + "'" + job.input + "'");
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("Could not write to file x.mpa"), std::string::npos) << r.out;
    EXPECT_EQ(entries(job.root), (std::set<std::string>{"tmp", "x.m1v", "x.mpa"}));
    EXPECT_GT(fs::file_size(job.root / "x.m1v"), 1000u);
    EXPECT_TRUE(fs::is_empty(job.root / "tmp"));
}

TEST(DiskFull, DuringMultiplexTheStreamsStayForAnotherTry) {
    FaultJob job;
    job.fullDiskFor("x.mpg");
    CommandRun r = quillon(job.root, kConvert + "'" + job.input + "'");
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("error"), std::string::npos) << r.out;
    // Intermediates go only after a successful multiplex.
    EXPECT_EQ(entries(job.root), (std::set<std::string>{"tmp", "x.m1v", "x.mpa", "x.mpg"}));
    EXPECT_GT(fs::file_size(job.root / "x.m1v"), 1000u);
    EXPECT_GT(fs::file_size(job.root / "x.mpa"), 1000u);
    EXPECT_TRUE(fs::is_empty(job.root / "tmp"));
}

TEST(Unwritable, OutputFolderUnderARegularFileFailsWithAMessage) {
    FaultJob job;
    std::ofstream(job.root / "plain") << "not a folder";
    CommandRun r = quillon(job.root, "convert -q -t vcd --pal -o plain/x.mpg '" + job.input + "'");
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("error"), std::string::npos) << r.out;
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

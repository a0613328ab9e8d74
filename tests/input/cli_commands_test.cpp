// The `quillon info` and `quillon convert` commands as a user runs them:
// exit statuses, usage errors, and (with the encoders) a real conversion.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sys/wait.h>

#include "input/input_table.h"
#include "tests/input/test_media.h"
#include "tests/support/temp_dir.h"

namespace quillon {
namespace {

struct CommandRun {
    int status = -1;
    std::string out;
};

// Standard output only, or (all) standard error too.
CommandRun quillon(const std::string& args, bool all = false) {
    CommandRun r;
    const std::string cmd = std::string(QUILLON_BINARY) + " " + args + (all ? " 2>&1" : " 2>/dev/null") + " </dev/null";
    std::FILE* p = popen(cmd.c_str(), "r");
    if (!p) return r;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
    const int raw = pclose(p);
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return r;
}

std::string clip() {
    testing::PatternClip c;
    c.width = 64;
    c.height = 48;
    c.frames = 10;
    c.audioChannels = 2;
    return testing::patternAvi("cli.avi", c);
}

TEST(Commands, InfoPrintsThePanel) {
    const std::string path = clip();
    CommandRun r = quillon("info '" + path + "'");
    EXPECT_EQ(r.status, 0);
    testing::RecordingHost host;
    auto entry = openVideoFile(path, host);
    ASSERT_TRUE(entry);
    EXPECT_EQ(r.out, describeEntryText(*entry));
    EXPECT_EQ(quillon("info '" + path + "' /nonexistent.avi").status, 1);
    EXPECT_EQ(quillon("info").status, 2);
}

TEST(Commands, ConvertUsageErrors) {
    const std::string path = clip();
    EXPECT_EQ(quillon("convert").status, 2);
    EXPECT_EQ(quillon("convert --target laserdisc '" + path + "'").status, 2);
    EXPECT_EQ(quillon("convert --split 0 '" + path + "'").status, 2);
    EXPECT_EQ(quillon("convert --split 4097 '" + path + "'").status, 2);
    EXPECT_EQ(quillon("convert --size 20x20 '" + path + "'").status, 2);
    EXPECT_EQ(quillon("convert --size 352 '" + path + "'").status, 2);
    EXPECT_EQ(quillon("convert --size 353x240 '" + path + "'").status, 2);
    EXPECT_EQ(quillon("convert --crop 1,2,3 '" + path + "'").status, 2);
    EXPECT_EQ(quillon("convert --output-dir /tmp '" + path + "'").status, 2);
    EXPECT_EQ(quillon("convert --bogus '" + path + "'").status, 2);
    EXPECT_EQ(quillon("convert -o '" + path + "' '" + path + "'").status, 2);  // would replace its input
    EXPECT_EQ(quillon("convert /nonexistent.avi").status, 1);
}

#if QUILLON_HAVE_PIPELINE
TEST(Commands, ConvertJoinsAndBatches) {
    testing::TempDir dir;
    const std::string path = clip();
    const std::string out = dir.file("x.mpg");
    CommandRun r = quillon("convert -q -t mpeg1 --pal -o '" + out + "' '" + path + "' '" + path + "'");
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(std::filesystem::exists(out));
    r = quillon("convert --batch -t vcd --output-dir '" + dir.path().string() + "' '" + path + "'");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("Wrote " + dir.file("cli.mpg")), std::string::npos);
    // A list naming a missing picture fails the batch.
    std::ofstream(dir.file("bad.lst")) << "nothing-here.png\n";
    EXPECT_EQ(quillon("convert --batch '" + dir.file("bad.lst") + "'").status, 1);
}

// The pel aspect nibble of the first sequence header of a stream.
int pelAspectOf(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> b((std::istreambuf_iterator<char>(in)), {});
    for (size_t i = 0; i + 8 < b.size(); ++i)
        if (b[i] == 0 && b[i + 1] == 0 && b[i + 2] == 1 && b[i + 3] == 0xB3) return b[i + 7] >> 4;
    return -1;
}

// A full-range (MJPEG) input: nothing of the media libraries, nor of the
// multiplexer's inner workings, on the terminal unless asked for.
TEST(Commands, ConvertPrintsNothingOfTheMediaLibraries) {
    testing::TempDir dir;
    const std::string mjpeg = testing::transcode("cli_mjpeg.avi", clip(), "-c:v mjpeg -q:v 3 -c:a copy");
    ASSERT_FALSE(mjpeg.empty());
    const std::string out = dir.file("m.mpg");
    CommandRun r = quillon("convert -t mpeg1 --pal -o '" + out + "' '" + mjpeg + "'", true);
    EXPECT_EQ(r.status, 0) << r.out;
    for (const char* noise : {"deprecated pixel format", "make sure you did set range", "Filter Graph", " @ 0x",
                              "Scanning video stream", "Found 10 picture headers", "Multiplexing information"})
        EXPECT_EQ(r.out.find(noise), std::string::npos) << noise << "\n" << r.out;
    EXPECT_NE(r.out.find("Encoding Video:"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Wrote " + out), std::string::npos) << r.out;
    // -v shows the multiplexer's details.
    std::filesystem::remove(out);
    r = quillon("convert -v -t mpeg1 --pal -o '" + out + "' '" + mjpeg + "'", true);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("Found 10 picture headers"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("deprecated pixel format"), std::string::npos) << r.out;
}

// Generic MPEG-1 keeps square pixels square; VCD keeps its standard's code.
TEST(Commands, GenericMpeg1TakesThePelShapeOfItsInput) {
    testing::TempDir dir;
    const std::string path = clip();
    EXPECT_EQ(quillon("convert -q -t mpeg1 --pal -o '" + dir.file("a.mpg") + "' '" + path + "'").status, 0);
    EXPECT_EQ(pelAspectOf(dir.file("a.mpg")), 1);
    EXPECT_EQ(quillon("convert -q -t vcd --ntsc -o '" + dir.file("v.mpg") + "' '" + path + "'").status, 0);
    EXPECT_EQ(pelAspectOf(dir.file("v.mpg")), 12);
    // The user's own choice stands.
    EXPECT_EQ(quillon("convert -q -t mpeg1 --pal --set aspectRatio=8 -o '" + dir.file("s.mpg") + "' '" + path + "'")
                  .status,
              0);
    EXPECT_EQ(pelAspectOf(dir.file("s.mpg")), 8);
}
#endif

}  // namespace
}  // namespace quillon

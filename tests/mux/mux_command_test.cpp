// The `quillon mux` command end to end.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <filesystem>

#include "tests/mux/mux_fixture.h"
#include "tests/support/av_reader.h"

namespace quillon {
namespace {

struct CommandRun {
    int status = -1;
    std::string output;
};

CommandRun quillon(const testing::TempDir& dir, const std::string& args) {
    CommandRun r;
    std::string cmd = "cd '" + dir.path().string() + "' && QUILLON_CONFIG_DIR='" + dir.path().string() + "' TMP='" +
                      dir.path().string() + "' '" + QUILLON_BINARY + "' mux " + args + " </dev/null 2>&1";
    std::FILE* p = ::popen(cmd.c_str(), "r");
    if (!p) return r;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) r.output.append(buf, n);
    int st = ::pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
}

TEST(MuxCommand, MultiplexesExistingStreamsForATarget) {
    testing::TempDir dir;
    std::string video = testing::madeStreams().video(3, true);
    std::string audio = testing::madeStreams().mp2(true);
    std::string out = dir.file("disc.mpg");
    // The multiplexer's details only with -v.
    CommandRun r = quillon(dir, "-v --target svcd --pal --video " + video + " --audio " + audio + " -o " + out);
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("Multiplexing video and audio:"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("  Finished calculating SVCD scan offsets for file"), std::string::npos) << r.output;
    std::filesystem::remove(out);
    r = quillon(dir, "--target svcd --pal --video " + video + " --audio " + audio + " -o " + out);
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("Multiplexing video and audio:"), std::string::npos) << r.output;
    EXPECT_EQ(r.output.find("SVCD scan offsets"), std::string::npos) << r.output;
    EXPECT_EQ(std::filesystem::file_size(out) % 2324, 0u);
    testing::DecodedVideo v = testing::decodeVideo(out);
    EXPECT_GT(v.pictures.size(), 40u);
    EXPECT_GT(testing::decodeAudio(out).frames, 50);
    // Nothing is encoded, and the inputs stay.
    EXPECT_TRUE(std::filesystem::exists(video));
    EXPECT_TRUE(std::filesystem::exists(audio));
    for (const auto& e : std::filesystem::directory_iterator(dir.path()))
        EXPECT_NE(e.path().filename().string().rfind("tmp", 0), 0u) << e.path();
}

TEST(MuxCommand, SetsAndSplittingApply) {
    testing::TempDir dir;
    std::string video = testing::madeStreams().video(2, false);
    CommandRun r = quillon(dir, "--target mpeg2 --video " + video + " --set maxFileSize=1 --set userMuxRate=25200 -o " +
                             dir.file("part.mpg"));
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_TRUE(std::filesystem::exists(dir.file("part00.mpg")));
    EXPECT_TRUE(std::filesystem::exists(dir.file("part01.mpg")));
}

TEST(MuxCommand, FailuresAndUsage) {
    testing::TempDir dir;
    CommandRun missing = quillon(dir, "--target vcd --audio " + dir.file("none.mpa") + " -o " + dir.file("x.mpg"));
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.output.find("Input file " + dir.file("none.mpa") + " was not found."), std::string::npos)
        << missing.output;
    EXPECT_EQ(quillon(dir, "--video a.m1v -o x.mpg").status, 2);
    EXPECT_EQ(quillon(dir, "--target vcd -o x.mpg").status, 2);
    EXPECT_EQ(quillon(dir, "--target vcd --video a.m1v").status, 2);
    EXPECT_EQ(quillon(dir, "--target tape --video a.m1v -o x.mpg").status, 2);
    EXPECT_EQ(quillon(dir, "--target vcd --set noSuchKey=1 --video a.m1v -o x.mpg").status, 2);
    CommandRun help = quillon(dir, "--help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.output.find("Usage: quillon mux"), std::string::npos);
}

}  // namespace
}  // namespace quillon

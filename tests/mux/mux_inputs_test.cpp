// What `quillon mux` refuses before it writes anything: streams a target
// cannot carry or that no player can time, files it cannot read to an end,
// and settings outside their ranges.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>

#include "tests/mux/mux_fixture.h"

namespace quillon {
namespace {

struct CommandRun {
    int status = -1;
    std::string output;
    double seconds = 0;
};

CommandRun mux(const testing::TempDir& dir, const std::string& args) {
    CommandRun r;
    const std::string cmd = "cd '" + dir.path().string() + "' && QUILLON_CONFIG_DIR='" + dir.path().string() +
                            "' TMP='" + dir.path().string() + "' timeout 60 '" + QUILLON_BINARY + "' mux " + args +
                            " </dev/null 2>&1";
    const auto started = std::chrono::steady_clock::now();
    std::FILE* p = ::popen(cmd.c_str(), "r");
    if (!p) return r;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) r.output.append(buf, n);
    const int st = ::pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    return r;
}

bool has(const CommandRun& r, const std::string& text) { return r.output.find(text) != std::string::npos; }

// A copy of a stream with one byte changed by f.
std::string patched(const testing::TempDir& dir, const std::string& from, const std::string& name,
                    const std::function<void(std::vector<uint8_t>&)>& f) {
    std::vector<uint8_t> bytes = testing::readFile(from);
    f(bytes);
    const std::string to = dir.file(name);
    testing::writeFile(to, bytes);
    return to;
}

size_t firstPicture(const std::vector<uint8_t>& v) {
    for (size_t i = 0; i + 5 < v.size(); ++i)
        if (v[i] == 0 && v[i + 1] == 0 && v[i + 2] == 1 && v[i + 3] == 0) return i;
    return 0;
}

TEST(MuxInputs, StreamsNoPlayerCanTimeAreRefused) {
    testing::TempDir dir;
    const std::string video = testing::madeStreams().video(1, true);
    // frame_rate_code sits in the low half of the header's eighth byte.
    const std::string rate = patched(dir, video, "rate.m1v", [](std::vector<uint8_t>& v) { v[7] = (v[7] & 0xF0) | 0x0F; });
    CommandRun r = mux(dir, "--target vcd --pal --video " + rate + " -o " + dir.file("rate.mpg"));
    EXPECT_EQ(r.status, 1) << r.output;
    EXPECT_TRUE(has(r, "has the reserved frame rate code 15")) << r.output;
    EXPECT_FALSE(std::filesystem::exists(dir.file("rate.mpg")));

    const std::string type = patched(dir, video, "type.m1v", [](std::vector<uint8_t>& v) {
        const size_t p = firstPicture(v);
        v[p + 5] = static_cast<uint8_t>((v[p + 5] & 0xC7) | (7 << 3));
    });
    r = mux(dir, "--target vcd --pal --video " + type + " -o " + dir.file("type.mpg"));
    EXPECT_EQ(r.status, 1) << r.output;
    EXPECT_TRUE(has(r, "Picture 1 of the video stream " + type + " has the reserved picture coding type 7."))
        << r.output;
    EXPECT_FALSE(std::filesystem::exists(dir.file("type.mpg")));
}

TEST(MuxInputs, AVcdTakesMpeg1VideoAndMpegAudioOnly) {
    testing::TempDir dir;
    CommandRun r = mux(dir, "--target vcd --pal --video " + testing::madeStreams().video(2, true) + " -o " +
                                dir.file("a.mpg"));
    EXPECT_EQ(r.status, 1) << r.output;
    EXPECT_TRUE(has(r, "is MPEG-2 video; a VCD takes MPEG-1 video only.")) << r.output;

    r = mux(dir, "--target vcd --pal --audio " + testing::madeStreams().ac3() + " -o " + dir.file("b.mpg"));
    EXPECT_EQ(r.status, 1) << r.output;
    EXPECT_TRUE(has(r, "is AC-3; a VCD takes MPEG audio only.")) << r.output;

    // The layer bits of every frame header say Layer III.
    const std::string mp3 = patched(dir, testing::madeStreams().mp2(true), "c.mp3", [](std::vector<uint8_t>& v) {
        for (size_t i = 0; i + 1 < v.size(); ++i)
            if (v[i] == 0xFF && (v[i + 1] & 0xFE) == 0xFC) v[i + 1] = static_cast<uint8_t>((v[i + 1] & 0xF9) | 0x02);
    });
    r = mux(dir, "--target vcd --pal --audio " + mp3 + " -o " + dir.file("c.mpg"));
    EXPECT_EQ(r.status, 1) << r.output;
    EXPECT_TRUE(has(r, "is Layer III; a VCD takes Layer I or II audio only.")) << r.output;
    for (const char* out : {"a.mpg", "b.mpg", "c.mpg"}) EXPECT_FALSE(std::filesystem::exists(dir.file(out))) << out;

    // The same streams go into the program streams that carry them.
    r = mux(dir, "--target dvd --pal --audio " + testing::madeStreams().ac3() + " -o " + dir.file("d.mpg"));
    EXPECT_EQ(r.status, 0) << r.output;
}

TEST(MuxInputs, OnlyRegularFilesAreRead) {
    testing::TempDir dir;
    const std::string fifo = dir.file("pipe.mpa");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    CommandRun r = mux(dir, "--target mpeg1 --audio " + fifo + " -o " + dir.file("a.mpg"));
    EXPECT_EQ(r.status, 1) << r.output;
    EXPECT_TRUE(has(r, "Input file " + fifo + " is not a regular file (a device or a pipe).")) << r.output;
    r = mux(dir, "--target mpeg1 --audio /dev/zero -o " + dir.file("b.mpg"));
    EXPECT_EQ(r.status, 1) << r.output;
    EXPECT_TRUE(has(r, "Input file /dev/zero is not a regular file")) << r.output;
    EXPECT_LT(r.seconds, 30);

    // A settings file that is no file is a usage error, and nothing is read.
    const std::string video = testing::madeStreams().video(0, true);
    std::filesystem::create_directory(dir.file("folder.ini"));
    r = mux(dir, "--target mpeg1 --settings folder.ini --video " + video + " -o " + dir.file("c.mpg"));
    EXPECT_EQ(r.status, 2) << r.output;
    EXPECT_TRUE(has(r, "cannot read settings file \"folder.ini\": it is a folder, not a file")) << r.output;
    r = mux(dir, "--target mpeg1 --settings /dev/zero --video " + video + " -o " + dir.file("c.mpg"));
    EXPECT_EQ(r.status, 2) << r.output;
    EXPECT_TRUE(has(r, "is not a regular file")) << r.output;
    r = mux(dir, "--target mpeg1 --settings " + fifo + " --video " + video + " -o " + dir.file("c.mpg"));
    EXPECT_EQ(r.status, 2) << r.output;
    EXPECT_FALSE(std::filesystem::exists(dir.file("c.mpg")));

    // A settings file of its own is read.
    testing::writeFile(dir.file("mine.ini"), {'[', 'p', 'r', 'o', 'g', 'r', 'a', 'm', ']', '\n', 's', 'e', 'c', 't',
                                               'o', 'r', 'S', 'i', 'z', 'e', '=', '4', '0', '9', '6', '\n'});
    r = mux(dir, "--target mpeg1 --settings mine.ini --video " + video + " -o " + dir.file("d.mpg"));
    ASSERT_EQ(r.status, 0) << r.output;
    bool ok = false, end = false;
    std::vector<testing::PackInfo> packs = testing::walkPacks(testing::readFile(dir.file("d.mpg")), ok, end);
    ASSERT_TRUE(ok);
    EXPECT_EQ(packs.front().length, 4096u);
}

TEST(MuxInputs, SettingsOutsideTheirRangesAreRefusedBeforeAnyWork) {
    testing::TempDir dir;
    const std::string video = testing::madeStreams().video(0, true);
    struct Case {
        const char* set;
        const char* says;
    } cases[] = {
        {"userMuxRate=-1", "userMuxRate=-1 is outside its range 0..4194303"},
        {"userMuxRate=10", "userMuxRate=10 (500 bytes/s) is less than one 2048-byte pack per second"},
        {"videoDelay=2147483647", "videoDelay=2147483647 is outside its range 0..10000"},
        {"audioDelay=-2147483648", "audioDelay=-2147483648 is outside its range 0..10000"},
        {"sectorDelay=2147483647", "sectorDelay=2147483647 is outside its range 0..10000"},
        {"sectorSize=0", "sectorSize=0 is outside its range 512..4096"},
        {"videoBufferSize=0", "videoBufferSize=0 is outside its range 1..8191"},
        {"videoBufferSize=1", "videoBufferSize=1 KB cannot hold one 2018-byte video packet"},
        {"packetsPerPack=2147483647", "packetsPerPack=2147483647 is outside its range 1..16"},
        {"packetsPerPack=16", "packetsPerPack=16 leaves 109 payload bytes"},
        {"audioBitrate=0", "audioBitrate=0 is outside its range 1..14"},
        {"firstFrameFrame=2147483647", "firstFrameFrame=2147483647 is outside its range 0..59"},
        {"horzPelMovement=2147483647", "horzPelMovement=2147483647 is outside its range 0..127"},
        {"vertPelMovement=-2147483648", "vertPelMovement=-2147483648 is outside its range 0..127"},
        {"variableMaxMotion=2147483647", "variableMaxMotion=2147483647 is outside its range 0..2047"},
        {"minBitrate=2147483647", "minBitrate=2147483647 is above constBitrate=1800000"},
    };
    for (const Case& c : cases) {
        CommandRun r = mux(dir, std::string("--target mpeg1 --set ") + c.set + " --video " + video + " -o " +
                                    dir.file("x.mpg"));
        EXPECT_EQ(r.status, 2) << c.set << "\n" << r.output;
        EXPECT_TRUE(has(r, c.says)) << c.set << "\n" << r.output;
        EXPECT_FALSE(std::filesystem::exists(dir.file("x.mpg"))) << c.set;
    }
}

}  // namespace
}  // namespace quillon

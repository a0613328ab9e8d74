// Bounded values and safely read inputs, through the `quillon` command as a
// user runs it: settings outside their ranges, files that are no files,
// image lists, over-large pictures and inputs with absurd timing.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "tests/input/test_media.h"
#include "tests/support/av_reader.h"
#include "tests/support/program_stream_walk.h"
#include "tests/support/temp_dir.h"

namespace quillon {
namespace {

struct CommandRun {
    int status = -1;
    std::string out;  // standard output and error together
    double seconds = 0;
};

// Runs quillon in dir with its configuration there too.
CommandRun quillon(const testing::TempDir& dir, const std::string& args) {
    CommandRun r;
    const std::string cmd = "cd '" + dir.path().string() + "' && QUILLON_CONFIG_DIR='" + dir.file("config") +
                            "' TMP='" + dir.path().string() + "' timeout 120 '" + QUILLON_BINARY + "' " + args +
                            " </dev/null 2>&1";
    const auto started = std::chrono::steady_clock::now();
    std::FILE* p = ::popen(cmd.c_str(), "r");
    if (!p) return r;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
    const int raw = ::pclose(p);
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    return r;
}

bool has(const CommandRun& r, const std::string& text) { return r.out.find(text) != std::string::npos; }

void write(const std::string& path, const std::string& bytes) { std::ofstream(path, std::ios::binary) << bytes; }

std::string clip() {
    testing::PatternClip c;
    c.width = 64;
    c.height = 48;
    c.frames = 10;
    c.audioChannels = 2;
    return testing::patternAvi("values.avi", c);
}

// Control bytes other than line ends, or bytes that are not UTF-8, in what
// the command printed.
bool hasRawBytes(const std::string& text) {
    for (size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if ((c < 0x20 && c != '\n' && c != '\r' && c != '\t') || c == 0x7F) return true;
        if (c >= 0x80) {
            size_t len = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 ? 2 : 0;
            if (len == 0 || i + len > text.size()) return true;
            for (size_t k = 1; k < len; ++k)
                if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return true;
            i += len - 1;
        }
    }
    return false;
}

TEST(ValueLimits, SetValuesOutsideTheirRangesAreUsageErrors) {
    testing::TempDir dir;
    const std::string in = clip();
    for (const char* set : {"videoDelay=2147483647", "sectorSize=0", "userMuxRate=-1", "packetsPerPack=0",
                            "horzPelMovement=-2147483648", "minBitrate=2147483647"}) {
        CommandRun r = quillon(dir, std::string("convert -q -t mpeg1 --set ") + set + " -o out.mpg '" + in + "'");
        EXPECT_EQ(r.status, 2) << set << "\n" << r.out;
        const std::string key = std::string(set).substr(0, std::string(set).find('='));
        EXPECT_TRUE(has(r, key + "=")) << set << "\n" << r.out;
        EXPECT_FALSE(std::filesystem::exists(dir.file("out.mpg"))) << set;
    }
}

TEST(ValueLimits, ASettingsOptionMustNameASettingsFile) {
    testing::TempDir dir;
    const std::string in = clip();
    std::filesystem::create_directory(dir.file("folder"));
    ASSERT_EQ(::mkfifo(dir.file("pipe.ini").c_str(), 0600), 0);
    for (const std::string file : {std::string("folder"), std::string("/dev/zero"), std::string("pipe.ini"),
                                   std::string("missing.ini")}) {
        CommandRun r = quillon(dir, "convert -q -t mpeg1 --settings " + file + " -o out.mpg '" + in + "'");
        EXPECT_EQ(r.status, 2) << file << "\n" << r.out;
        EXPECT_TRUE(has(r, "cannot read settings file \"" + file + "\": it ")) << r.out;
        EXPECT_LT(r.seconds, 30) << file;
        r = quillon(dir, "settings --settings " + file);
        EXPECT_EQ(r.status, 2) << file << "\n" << r.out;
    }
}

TEST(ValueLimits, AProfileValueOutsideItsRangeIsAUsageError) {
    testing::TempDir dir;
    std::filesystem::create_directories(dir.file("config"));
    write(dir.file("config/profile.ini"), "[Quorvel Encoder]\nMMXMode=12\n");
    CommandRun r = quillon(dir, "convert -q -t mpeg1 -o out.mpg '" + clip() + "'");
    EXPECT_EQ(r.status, 2) << r.out;
    EXPECT_TRUE(has(r, "MMXMode=12")) << r.out;
    EXPECT_TRUE(has(r, "outside its range 0..4")) << r.out;
    EXPECT_TRUE(has(r, "quillon convert: nothing was done; mend the user profile first")) << r.out;
    EXPECT_FALSE(std::filesystem::exists(dir.file("out.mpg")));
}

#if QUILLON_HAVE_PIPELINE
TEST(ValueLimits, ARejectedDefaultIniGivesTheMpeg1PresetAndItsMessage) {
    testing::TempDir dir;
    std::filesystem::create_directories(dir.file("config"));
    write(dir.file("config/default.ini"), "[program]\nvideoDelay=99999\n");
    CommandRun r = quillon(dir, "convert -q -t vcd --pal -o out.mpg '" + clip() + "'");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(has(r, "Invalid video settings in file default.ini.")) << r.out;
    EXPECT_TRUE(has(r, "videoDelay=99999 is outside its range 0..10000")) << r.out;
    // Made with the MPEG-1 preset: 2048-byte packs, not the VCD's 2324.
    bool ok = false, end = false;
    const auto packs = testing::walkPacks(testing::readFile(dir.file("out.mpg")), ok, end);
    ASSERT_TRUE(ok);
    ASSERT_FALSE(packs.empty());
    EXPECT_EQ(packs.front().length, 2048u);
}

TEST(ValueLimits, ASizeTheTargetCannotTakeSaysWhatItAllows) {
    testing::TempDir dir;
    CommandRun r = quillon(dir, "convert -t vcd --pal --size 720x576 -o out.mpg '" + clip() + "'");
    EXPECT_EQ(r.status, 2) << r.out;
    EXPECT_TRUE(has(r, "Invalid settings, running settings ...")) << r.out;
    EXPECT_TRUE(has(r, "The 720 x 576 picture has 1620 macroblocks; a VCD allows at most 396")) << r.out;
    EXPECT_FALSE(std::filesystem::exists(dir.file("out.mpg")));
    EXPECT_FALSE(std::filesystem::exists(dir.file("out.m1v")));
}
#endif

TEST(ImageLists, AListIsKnownByItsExtensionAlone) {
    testing::TempDir dir;
    const std::string in = clip();
    std::filesystem::copy_file(in, dir.file("holiday.lst.avi"));
    std::filesystem::create_directory(dir.file("my.lstuff"));
    std::filesystem::copy_file(in, dir.file("my.lstuff/clip.avi"));
    for (const char* name : {"holiday.lst.avi", "my.lstuff/clip.avi"}) {
        CommandRun r = quillon(dir, std::string("info ") + name);
        EXPECT_EQ(r.status, 0) << name << "\n" << r.out;
        EXPECT_TRUE(has(r, "File Name: ")) << r.out;
        EXPECT_TRUE(has(r, "Total Frames: 10")) << r.out;
    }
    // A file that is no list prints no raw bytes of it.
    std::string junk = "RIFF\x1b[2J\x07";
    for (int i = 0; i < 256; ++i) junk += static_cast<char>(i);
    write(dir.file("junk.lst"), junk);
    CommandRun r = quillon(dir, "info junk.lst");
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_TRUE(has(r, "Error reading file junk.lst.")) << r.out;
    EXPECT_FALSE(hasRawBytes(r.out)) << r.out;
    // Nor do picture names that are not UTF-8, and a pipe is not waited on.
    write(dir.file("latin.lst"), "caf\xE9\x1b.jpg\n");
    r = quillon(dir, "info latin.lst");
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_FALSE(hasRawBytes(r.out)) << r.out;
    write(dir.file("latin.lst"), "caf\xE9.jpg\n");
    r = quillon(dir, "info latin.lst");
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_TRUE(has(r, "caf\\xE9.jpg")) << r.out;
    EXPECT_FALSE(hasRawBytes(r.out)) << r.out;
    ASSERT_EQ(::mkfifo(dir.file("pipe.lst").c_str(), 0600), 0);
    r = quillon(dir, "info pipe.lst");
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_TRUE(has(r, "is not a regular file")) << r.out;
    EXPECT_LT(r.seconds, 30);
}

TEST(ImageLists, ByteOrderMarkBlanksAndLongPathsAreRead) {
    testing::TempDir dir;
    ASSERT_TRUE(testing::runCommand("ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i "
                                    "color=red:size=32x24 -frames:v 1 '" + dir.file("red.jpg") + "'"));
    // A path far past the 259 characters of old: folders of 100 characters.
    std::filesystem::path deep = dir.path();
    for (int i = 0; i < 4; ++i) deep /= std::string(100, static_cast<char>('a' + i));
    std::filesystem::create_directories(deep);
    std::filesystem::copy_file(dir.file("red.jpg"), deep / "red.jpg");
    const std::string longPath = (deep / "red.jpg").string();
    ASSERT_GT(longPath.size(), 400u);
    write(dir.file("pics.lst"), "\xEF\xBB\xBF  red.jpg \t\r\n\r\n\t" + longPath + "  \r\n");
    CommandRun r = quillon(dir, "info pics.lst");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(has(r, "  Resolution: 32 x 24")) << r.out;
    EXPECT_TRUE(has(r, "  Total Frames: 2")) << r.out;
}

TEST(Pictures, OverLargeOnesAreRefusedByNameBeforeDecoding) {
    testing::TempDir dir;
    ASSERT_TRUE(testing::runCommand("ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i "
                                    "color=blue:size=16x16 -frames:v 1 '" + dir.file("small.jpg") + "'"));
    // The frame header says 65500 x 65500; the file stays a few hundred bytes.
    std::vector<uint8_t> jpeg = testing::readFile(dir.file("small.jpg"));
    bool patched = false;
    for (size_t i = 2; i + 9 < jpeg.size(); ++i)
        if (jpeg[i] == 0xFF && (jpeg[i + 1] == 0xC0 || jpeg[i + 1] == 0xC1 || jpeg[i + 1] == 0xC2)) {
            jpeg[i + 5] = jpeg[i + 7] = 0xFF;
            jpeg[i + 6] = jpeg[i + 8] = 0xDC;
            patched = true;
            break;
        }
    ASSERT_TRUE(patched);
    testing::writeFile(dir.file("huge.jpg"), jpeg);
    write(dir.file("huge.lst"), "huge.jpg\n");
    CommandRun r = quillon(dir, "info huge.lst");
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_TRUE(has(r, "huge.jpg is 65500 x 65500 pixels; pictures may be at most 16384 pixels a side and 64 "
                       "megapixels."))
        << r.out;
    EXPECT_LT(r.seconds, 30);
}

// A copy of the clip with fields of its video stream header and main header
// changed: (scale, rate) and the frame count.
std::string patchedAvi(const testing::TempDir& dir, const std::string& name, uint32_t scale, uint32_t rate,
                       uint32_t length) {
    std::vector<uint8_t> avi = testing::readFile(clip());
    auto find = [&](const char* tag) {
        for (size_t i = 0; i + 4 < avi.size(); ++i)
            if (std::memcmp(&avi[i], tag, 4) == 0) return i + 8;  // the chunk's data
        return size_t(0);
    };
    auto put = [&](size_t at, uint32_t v) {
        for (int b = 0; b < 4; ++b) avi[at + b] = static_cast<uint8_t>(v >> (8 * b));
    };
    const size_t strh = find("strh"), avih = find("avih");
    EXPECT_TRUE(strh && avih);
    put(strh + 20, scale);
    put(strh + 24, rate);
    put(strh + 32, length);
    put(avih, static_cast<uint32_t>(1000000.0 * scale / rate));
    put(avih + 16, length);
    testing::writeFile(dir.file(name), avi);
    return name;
}

TEST(InputTiming, AbsurdHeadersAreRefusedOrMendedWithAMessage) {
    testing::TempDir dir;
    // A picture count the file cannot hold: the pictures there are count.
    CommandRun r = quillon(dir, "info " + patchedAvi(dir, "long.avi", 1, 25, 0x80000000u));
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(has(r, "long.avi declares 2147483648 pictures but holds 10; the pictures found are used.")) << r.out;
    EXPECT_TRUE(has(r, "  Total Frames: 10\n")) << r.out;
    // A million pictures a second is no rate.
    r = quillon(dir, "info " + patchedAvi(dir, "fast.avi", 1, 1000000, 10));
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_TRUE(has(r, "Can't get time per frame: fast.avi gives 1e+06 pictures per second")) << r.out;
    r = quillon(dir, "info " + patchedAvi(dir, "none.avi", 1, 25, 0));
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_TRUE(has(r, "Can't get Duration")) << r.out;
#if QUILLON_HAVE_PIPELINE
    // The plan follows the pictures found, not the header.
    r = quillon(dir, "convert -q -t mpeg1 --pal -o long.mpg long.avi");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(testing::decodeVideo(dir.file("long.mpg")).pictures.size(), 10u);
#endif
}

}  // namespace
}  // namespace quillon

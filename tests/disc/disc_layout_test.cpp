// The pieces of a disc that need no tool: chapter marks and the dvdauthor
// control file, picture times read from program streams, the sorting of
// the tools' lines, image names and the tool runner.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <thread>
#include <filesystem>
#include <fstream>

#include "disc/disc_image.h"
#include "disc/dvd_layout.h"
#include "disc/stream_span.h"
#include "disc/tool_output.h"
#include "disc/tool_process.h"
#include "tests/disc/disc_test_support.h"
#include "tests/support/program_stream_walk.h"
#include "tests/support/temp_dir.h"

namespace quillon::disc {
namespace {

namespace fs = std::filesystem;
using Marks = std::vector<std::vector<double>>;

TEST(ChapterMarks, EveryFewMinutesAcrossTheTitleAndItsParts) {
    // One file of 12 minutes, a mark every 5: 0, 5 and 10 minutes.
    EXPECT_EQ(chapterMarks({720}, 300), (Marks{{0, 300, 600}}));
    // A mark less than a second before the end would be an empty chapter.
    EXPECT_EQ(chapterMarks({600.5}, 300), (Marks{{0, 300}}));
    EXPECT_EQ(chapterMarks({601}, 300), (Marks{{0, 300, 600}}));
    // Split parts of 400 s: the mark at 600 s lies 200 s into the second
    // part, the one at 900 s 100 s into the third.
    EXPECT_EQ(chapterMarks({400, 400, 400}, 300), (Marks{{0, 300}, {200}, {100}}));
    // A mark on the boundary belongs to the part that starts there.
    EXPECT_EQ(chapterMarks({300, 300}, 300), (Marks{{0}, {0}}));
    // A part whose length could not be read counts as none.
    EXPECT_EQ(chapterMarks({400, 0, 400}, 300), (Marks{{0, 300}, {}, {200}}));
    EXPECT_EQ(chapterMarks({}, 300), Marks{});
    // Marks of a fraction of a minute land on boundaries all the same.
    EXPECT_EQ(chapterMarks({6, 4}, 0.05 * 60), (Marks{{0, 3}, {0, 3}}));
    // No more than 99 chapters in a title.
    const Marks many = chapterMarks({3000, 3000}, 60);
    ASSERT_EQ(many.size(), 2u);
    EXPECT_EQ(many[0].size() + many[1].size(), 99u);
    ASSERT_FALSE(many[1].empty());
    EXPECT_EQ(many[1].back(), 98 * 60 - 3000);
}

TEST(ChapterMarks, TimesInTheFormTheToolReads) {
    EXPECT_EQ(chapterTime(0), "0");
    EXPECT_EQ(chapterTime(300), "0:05:00");
    EXPECT_EQ(chapterTime(3723.5), "1:02:03.500");
    EXPECT_EQ(chapterTime(59.9996), "0:01:00");
}

TEST(DvdauthorControl, TitlesChaptersFormatAndTitlesets) {
    DvdTitle a{{"title01-00.mpg", "title01-01.mpg"}, {400, 400}, 720, 576};
    DvdTitle b{{"title02-00.mpg"}, {100}, 720, 576};
    DvdTitle c{{"/media/stick/my \"clip\" & more.mpg"}, {10}, 352, 288};
    const std::string x = dvdauthorControl({a, b, c}, true, 300, "dvd");
    EXPECT_NE(x.find("<dvdauthor dest=\"dvd\" format=\"pal\">"), std::string::npos) << x;
    EXPECT_EQ(x.find("ntsc"), std::string::npos) << x;
    // The split title: both parts in one title, marks against each part.
    EXPECT_NE(x.find("<vob file=\"title01-00.mpg\" chapters=\"0,0:05:00\" />\n"
                     "        <vob file=\"title01-01.mpg\" chapters=\"0:03:20\" />"),
              std::string::npos)
        << x;
    // Titles of one size share a titleset and play on into the next; the
    // third (another size) starts a titleset of its own, where titles
    // count from 1 again.
    auto count = [&](const std::string& what) {
        int n = 0;
        for (size_t at = x.find(what); at != std::string::npos; at = x.find(what, at + 1)) ++n;
        return n;
    };
    EXPECT_EQ(count("<titleset>"), 2);
    EXPECT_EQ(count("<pgc>"), 3);
    EXPECT_EQ(count("<video format=\"pal\" />"), 2);
    EXPECT_EQ(count("<post>jump title 2;</post>"), 1);
    EXPECT_EQ(count("<post>"), 1);
    EXPECT_NE(x.find("file=\"/media/stick/my &quot;clip&quot; &amp; more.mpg\" chapters=\"0\""), std::string::npos)
        << x;

    const std::string n = dvdauthorControl({b, b, b}, false, 300, "dvd");
    EXPECT_NE(n.find("format=\"ntsc\""), std::string::npos);
    EXPECT_EQ(count("<titleset>"), 2);  // x unchanged
    EXPECT_NE(n.find("<post>jump title 3;</post>"), std::string::npos) << n;
}

std::vector<uint8_t> joined(const std::vector<std::vector<uint8_t>>& parts) {
    std::vector<uint8_t> out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

TEST(StreamSpan, PicturesOfMpeg1AndMpeg2PacksFromAnyStart) {
    using testing::mpeg2Pack;
    using testing::pictureStart;
    // A picture start cut in two by the packet boundary; a stamp belongs to
    // the first picture that starts in its packet.
    std::vector<uint8_t> split = pictureStart(3, false);
    const std::vector<uint8_t> front(split.begin(), split.begin() + 2), back(split.begin() + 2, split.end());
    std::vector<uint8_t> twoPictures = pictureStart(5, false);
    const std::vector<uint8_t> second = pictureStart(6, false);
    twoPictures.insert(twoPictures.end(), second.begin(), second.end());
    const std::vector<uint8_t> cut = mpeg2Pack(200000, pictureStart(9, true));
    const std::vector<uint8_t> bytes = joined({
        {0x12, 0x00, 0x00, 0x01},  // the tail of a cut pack
        mpeg2Pack(90000, pictureStart(2, true)),
        mpeg2Pack(-1, front),
        mpeg2Pack(97200, back),
        // Audio whose payload holds a pack start code.
        mpeg2Pack(-1, {}, {0, 0, 1, 0xBA, 0x44, 0, 0, 1, 0xE0, 0, 9}),
        mpeg2Pack(100800, twoPictures),
        // A pack cut off by the end of the window gives nothing.
        std::vector<uint8_t>(cut.begin(), cut.begin() + 40),
    });
    const std::vector<StreamPicture> found = videoPictures(bytes.data(), bytes.size());
    ASSERT_EQ(found.size(), 4u);
    EXPECT_TRUE(found[0].groupStart);
    EXPECT_EQ(found[0].temporalReference, 2);
    EXPECT_EQ(found[0].pts, 90000);
    // The stamp of the packet holding the rest of the cut start code is
    // not this picture's: its start code began in the packet before.
    EXPECT_EQ(found[1].temporalReference, 3);
    EXPECT_EQ(found[1].pts, -1);
    EXPECT_FALSE(found[1].groupStart);
    EXPECT_EQ(found[2].temporalReference, 5);
    EXPECT_EQ(found[2].pts, 100800);
    EXPECT_EQ(found[3].temporalReference, 6);
    EXPECT_EQ(found[3].pts, -1);

    const std::vector<uint8_t> mpeg1 = joined({testing::mpeg1Pack(45000, pictureStart(0, true)),
                                               testing::mpeg1Pack(48600, pictureStart(1, false), true)});
    const std::vector<StreamPicture> one = videoPictures(mpeg1.data(), mpeg1.size());
    ASSERT_EQ(one.size(), 2u);
    EXPECT_EQ(one[0].pts, 45000);
    EXPECT_EQ(one[1].pts, 48600);
    EXPECT_EQ(one[1].temporalReference, 1);
}

TEST(StreamSpan, DisplayTimesFromTheStampedPicturesOfEachGroup) {
    auto picture = [](bool group, int tr, int64_t pts = -1) { return StreamPicture{group, tr, pts}; };
    int64_t first = 0, end = 0;
    // Two groups of 3 (B B I in display order; only the I stamped), then a
    // group with no stamp, which follows on.
    const std::vector<StreamPicture> run = {picture(true, 2, 1000 + 2 * 10), picture(false, 0), picture(false, 1),
                                            picture(true, 2, 1030 + 2 * 10), picture(false, 0), picture(false, 1),
                                            picture(true, 1), picture(false, 0)};
    ASSERT_TRUE(displaySpan(run, 10, &first, &end));
    EXPECT_EQ(first, 1000);
    EXPECT_EQ(end, 1080);
    // A window that starts inside a group: its pictures before the first
    // stamped group are not placed.
    const std::vector<StreamPicture> tail = {picture(false, 7), picture(false, 9), picture(true, 0, 5000),
                                             picture(false, 1)};
    ASSERT_TRUE(displaySpan(tail, 10, &first, &end));
    EXPECT_EQ(first, 5000);
    EXPECT_EQ(end, 5020);
    EXPECT_FALSE(displaySpan({picture(true, 0), picture(false, 1)}, 10, &first, &end));
    EXPECT_FALSE(displaySpan({}, 10, &first, &end));
}

TEST(StreamSpan, PlayingTimeFromTheHeadAndTailOfAFile) {
    testing::TempDir dir;
    // Two groups of 25 pictures at 25 per second, the first shown 0.5 s
    // in: 2 s, although only the I pictures (third shown of each group)
    // are stamped.
    const std::string small = dir.file("small.mpg");
    testing::writeFile(small, testing::mpeg2Stream(45000, 2));
    EXPECT_NEAR(playingSeconds(small, 3600), 2.0, 1e-9);
    // Over 8 MB, with pictures only at the two ends: the middle is never
    // needed.
    const std::string big = dir.file("big.mpg");
    testing::writeFile(big, testing::mpeg2Stream(0, 10, 5000));
    EXPECT_NEAR(playingSeconds(big, 3600), 10.0, 1e-9);
    // No stamps, no file, an empty file.
    const std::string plain = dir.file("plain.mpg");
    testing::writeFile(plain, testing::mpeg2Pack(-1, testing::pictureStart(0, true)));
    EXPECT_LT(playingSeconds(plain, 3600), 0);
    EXPECT_LT(playingSeconds(dir.file("missing.mpg"), 3600), 0);
    testing::writeFile(dir.file("empty.mpg"), {});
    EXPECT_LT(playingSeconds(dir.file("empty.mpg"), 3600), 0);
}

TEST(ToolOutput, LinesSortedPerTool) {
    EXPECT_EQ(classifyLine("dvdauthor", "ERR:  no video format specified for VMGM"), LineKind::Error);
    EXPECT_EQ(classifyLine("dvdauthor", "WARN: Skipping sector, waiting for first VOBU..."), LineKind::Warning);
    EXPECT_EQ(classifyLine("dvdauthor", "STAT: VOBU 16 at 3MB, 1 PGCs"), LineKind::Progress);
    EXPECT_EQ(classifyLine("dvdauthor", "STAT: fixed 10 VOBUs                         "), LineKind::Progress);
    EXPECT_EQ(classifyLine("dvdauthor", "STAT: Processing title01-00.mpg..."), LineKind::Info);
    EXPECT_EQ(classifyLine("vcdimager", "++ WARN: mpeg stream will be padded on the fly -- hope that's ok for you!"),
              LineKind::Warning);
    EXPECT_EQ(classifyLine("vcdimager", "**ERROR: could not stat() file `x.mpg': No such file or directory"),
              LineKind::Error);
    EXPECT_EQ(classifyLine("vcdimager", "finished ok, image created with 847 sectors"), LineKind::Info);
    EXPECT_EQ(classifyLine("genisoimage", " 45.12% done, estimate finish Mon Dec  8 09:33:01 2025"),
              LineKind::Progress);
    EXPECT_EQ(classifyLine("genisoimage", "genisoimage: No such file or directory. Invalid node - 'dvd'."),
              LineKind::Error);
    EXPECT_EQ(classifyLine("genisoimage", "Warning: creating filesystem that does not conform to ISO-9660."),
              LineKind::Warning);
    EXPECT_EQ(classifyLine("genisoimage", "1166 extents written (2 MB)"), LineKind::Info);
}

TEST(ImageNames, KindsNamesAndLabels) {
    EXPECT_EQ(imageKindOf(DiscFormat::Dvd, "out.ISO"), ImageKind::Iso);
    EXPECT_EQ(imageKindOf(DiscFormat::Dvd, "out"), ImageKind::Folder);
    EXPECT_EQ(imageKindOf(DiscFormat::Svcd, "out.cue"), ImageKind::CueBin);
    EXPECT_EQ(binNameFor("/a/b.c/disc.CUE"), "/a/b.c/disc.bin");
    EXPECT_EQ(volumeLabel("/x/My holiday, 2024 (part 1).iso"), "MY_HOLIDAY_2024_PART_1");
    EXPECT_EQ(volumeLabel("/x/ééé.iso"), "DVD_VIDEO");
    EXPECT_EQ(volumeLabel("discs/abcdefghijklmnopqrstuvwxyz0123456789/").size(), 32u);
    DiscFormat f;
    EXPECT_FALSE(discFormatOfTarget(0, &f));
    EXPECT_FALSE(discFormatOfTarget(2, &f));
    ASSERT_TRUE(discFormatOfTarget(3, &f));
    EXPECT_EQ(f, DiscFormat::Svcd);
    EXPECT_NE(noDiscMessage("mpeg2").find("vcd, svcd and dvd"), std::string::npos);
    DiscRequest r;
    r.path = "x.iso";
    EXPECT_EQ(toolsFor(r), (std::vector<std::string>{"dvdauthor", "genisoimage"}));
    r.path = "x";
    EXPECT_EQ(toolsFor(r), (std::vector<std::string>{"dvdauthor"}));
    r.format = DiscFormat::Vcd;
    EXPECT_EQ(toolsFor(r), (std::vector<std::string>{"vcdimager"}));
    EXPECT_STREQ(packageOfTool("genisoimage"), "genisoimage");
}

TEST(ImageNames, WarnedWhenTheImageIsMoreThanTheDiscTakes) {
    EXPECT_EQ(capacityWarning(DiscFormat::Dvd, 2295104ull * 2048), "");
    EXPECT_EQ(capacityWarning(DiscFormat::Dvd, 2295104ull * 2048 + 1),
              "The disc image holds 4.70 GB, more than a single-layer DVD (4.70 GB) takes.");
    EXPECT_EQ(capacityWarning(DiscFormat::Vcd, 360000ull * 2352), "");
    EXPECT_EQ(capacityWarning(DiscFormat::Svcd, 370000ull * 2352),
              "The disc image holds 82.2 minutes of CD sectors, more than a CD of 80 minutes takes.");
}

TEST(ImagePath, NameFormFolderAndWhatIsInTheWay) {
    testing::TempDir dir;
    const std::string d = dir.path().string();
    auto ok = [](const std::string& s) { return s.empty(); };
    EXPECT_TRUE(ok(checkImagePath(DiscFormat::Vcd, d + "/v.cue", false)));
    EXPECT_FALSE(ok(checkImagePath(DiscFormat::Vcd, d + "/v.bin", false)));
    EXPECT_FALSE(ok(checkImagePath(DiscFormat::Svcd, d + "/.cue", false)));
    EXPECT_FALSE(ok(checkImagePath(DiscFormat::Dvd, d + "/v.cue", false)));
    EXPECT_FALSE(ok(checkImagePath(DiscFormat::Dvd, d + "/.iso", false)));
    EXPECT_FALSE(ok(checkImagePath(DiscFormat::Dvd, "", false)));
    EXPECT_NE(checkImagePath(DiscFormat::Dvd, d + "/nowhere/x.iso", false).find("does not exist"), std::string::npos);

    // A file in the way: refused unless replacing is allowed; the cue's bin
    // counts too.
    testing::writeFile(d + "/v.bin", {1});
    EXPECT_NE(checkImagePath(DiscFormat::Vcd, d + "/v.cue", false).find("v.bin already exists"), std::string::npos);
    EXPECT_TRUE(ok(checkImagePath(DiscFormat::Vcd, d + "/v.cue", true)));
    testing::writeFile(d + "/x.iso", {1});
    EXPECT_FALSE(ok(checkImagePath(DiscFormat::Dvd, d + "/x.iso", false)));
    EXPECT_TRUE(ok(checkImagePath(DiscFormat::Dvd, d + "/x.iso", true)));
    // A folder is never replaced by a file.
    fs::create_directory(d + "/f.iso");
    EXPECT_FALSE(ok(checkImagePath(DiscFormat::Dvd, d + "/f.iso", true)));

    // DVD folders: an empty one is used; one with a DVD structure only with
    // leave to replace; one with anything else never; a file never.
    fs::create_directory(d + "/empty");
    EXPECT_TRUE(ok(checkImagePath(DiscFormat::Dvd, d + "/empty", false)));
    EXPECT_TRUE(ok(checkImagePath(DiscFormat::Dvd, d + "/empty/", false)));
    fs::create_directories(d + "/old/VIDEO_TS");
    fs::create_directories(d + "/old/AUDIO_TS");
    testing::writeFile(d + "/old/VIDEO_TS/VIDEO_TS.IFO", {1});
    EXPECT_FALSE(ok(checkImagePath(DiscFormat::Dvd, d + "/old", false)));
    EXPECT_TRUE(ok(checkImagePath(DiscFormat::Dvd, d + "/old", true)));
    testing::writeFile(d + "/old/notes.txt", {1});
    EXPECT_NE(checkImagePath(DiscFormat::Dvd, d + "/old", true).find("other files"), std::string::npos);
    fs::create_directories(d + "/deep/VIDEO_TS/more");
    EXPECT_FALSE(ok(checkImagePath(DiscFormat::Dvd, d + "/deep", true)));
    EXPECT_FALSE(ok(checkImagePath(DiscFormat::Dvd, d + "/x.iso/", true)));
}

TEST(ImagePath, ClashesWithTheConversionsOwnFiles) {
    testing::TempDir dir;
    const std::string d = dir.path().string();
    const std::vector<std::string> files = {d + "/a.mpg", d + "/in/b.avi"};
    EXPECT_EQ(imageClash(DiscFormat::Dvd, d + "/c.iso", files), "");
    EXPECT_EQ(imageClash(DiscFormat::Dvd, d + "/./a.mpg", files), d + "/a.mpg");
    EXPECT_EQ(imageClash(DiscFormat::Dvd, d + "/in", files), d + "/in/b.avi");
    EXPECT_EQ(imageClash(DiscFormat::Dvd, d + "/i", files), "");
    EXPECT_EQ(imageClash(DiscFormat::Vcd, d + "/a.cue", {d + "/a.bin"}), d + "/a.bin");
}

TEST(ToolProcess, FindsProgramsOnThePath) {
    testing::TempDir dir;
    const std::string d = dir.path().string();
    fs::create_directories(d + "/one/tool");  // a folder, not a program
    fs::create_directories(d + "/two");
    testing::writeFile(d + "/two/tool", {'x'});  // not executable
    fs::create_directories(d + "/three");
    testing::writeTool(d + "/three", "tool", "exit 0");
    EXPECT_EQ(findOnPath("tool", d + "/one:" + d + "/two"), "");
    EXPECT_EQ(findOnPath("tool", d + "/one::" + d + "/two:" + d + "/three"), d + "/three/tool");
    EXPECT_EQ(findOnPath(d + "/three/tool", ""), d + "/three/tool");
    EXPECT_EQ(findOnPath("", "/bin"), "");
}

std::vector<std::string> runToEnd(ToolProcess& p, int* status) {
    std::vector<std::string> lines;
    while (p.readLines(1000, [&](const std::string& l) { lines.push_back(l); })) {
    }
    while (!p.exited()) {
    }
    *status = p.status();
    return lines;
}

TEST(ToolProcess, LinesStatusFolderAndEnvironment) {
    testing::TempDir dir;
    ToolCommand c;
    c.program = "/bin/sh";
    c.args = {"-c", "echo one; printf 'two\\rthree\\n' >&2; pwd; echo \"$QUILLON_X-$HOME\"; cat; printf last; exit 3"};
    c.directory = dir.path().string();
    c.environment = {"QUILLON_X=set", "HOME=/nowhere"};
    ToolProcess p;
    std::string error;
    ASSERT_TRUE(p.start(c, &error)) << error;
    int status = -1;
    // cat reads /dev/null, so the tool never waits for input.
    EXPECT_EQ(runToEnd(p, &status),
              (std::vector<std::string>{"one", "two", "three", fs::canonical(dir.path()).string(), "set-/nowhere", "last"}));
    EXPECT_EQ(status, 3);

    ToolProcess missing;
    c.program = dir.file("nothing");
    EXPECT_FALSE(missing.start(c, &error));
    EXPECT_FALSE(error.empty());
}

TEST(ToolProcess, TerminateEndsTheToolAndWhatItStarted) {
    testing::TempDir dir;
    ToolCommand c;
    c.program = "/bin/sh";
    // A child of the tool that would outlive it and keep the pipe open.
    c.args = {"-c", "sleep 30 & echo $!; wait"};
    ToolProcess p;
    std::string error;
    ASSERT_TRUE(p.start(c, &error)) << error;
    pid_t sleeper = 0;
    for (int i = 0; i < 50 && !sleeper; ++i)
        p.readLines(200, [&](const std::string& l) { sleeper = std::atoi(l.c_str()); });
    ASSERT_GT(sleeper, 0);
    const auto t0 = std::chrono::steady_clock::now();
    p.terminate();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
    EXPECT_EQ(p.status(), 128 + 15);
    EXPECT_TRUE(p.exited());
    EXPECT_FALSE(p.readLines(0, [](const std::string&) {}));
    // The tool's own child went too (gone, or a zombie waiting for init).
    bool gone = false;
    for (int i = 0; i < 200 && !gone; ++i) {
        const std::string stat = testing::readText("/proc/" + std::to_string(sleeper) + "/stat");
        const size_t paren = stat.rfind(')');
        gone = stat.empty() || (paren != std::string::npos && stat.compare(paren + 2, 1, "Z") == 0);
        if (!gone) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(gone);
}

}  // namespace
}  // namespace quillon::disc

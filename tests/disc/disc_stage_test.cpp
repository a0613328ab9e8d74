// The stage "Making disc image" with stand-in tools on the PATH: what the
// tools are given, what the user sees, and what is left after a success, a
// failure, a missing tool and a stop.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "disc/disc_image.h"
#include "engine/engine.h"
#include "tests/disc/disc_test_support.h"
#include "tests/engine/fake_host.h"
#include "tests/support/program_stream_walk.h"
#include "tests/support/temp_dir.h"

namespace quillon::disc {
namespace {

namespace fs = std::filesystem;
using testing::FakeHost;
using testing::FakeView;

// A scratch folder with two program streams, a folder of stand-in tools
// that is the whole PATH, and a folder where the tools note what they saw.
struct Stage {
    testing::TempDir dir;
    std::string root = dir.path().string();
    std::string tools = root + "/tools";
    std::string notes = root + "/notes";
    testing::ScopedEnv path{"PATH", tools};
    testing::ScopedEnv noteDir{"QUILLON_TOOL_NOTES", notes};
    FakeHost host;
    Engine engine{host};
    DiscRequest request;

    Stage(DiscFormat format, const std::string& image) {
        fs::create_directories(tools);
        fs::create_directories(notes);
        fs::create_directories(root + "/out");
        // 10 s and 4 s of pictures; the first in two split parts of 6 and 4.
        testing::writeFile(root + "/a00.mpg", testing::mpeg2Stream(0, 6));
        testing::writeFile(root + "/a01.mpg", testing::mpeg2Stream(0, 4));
        testing::writeFile(root + "/b.mpg", testing::mpeg2Stream(90000, 4));
        request.format = format;
        request.pal = true;
        request.path = root + "/out/" + image;
        request.chapterMinutes = 0.1;  // a mark every 6 s
        request.outputs = {{{root + "/a00.mpg", root + "/a01.mpg"}, 720, 576}, {{root + "/b.mpg"}, 720, 576}};
    }
    // A tool that notes its arguments, folder and format variable, runs
    // `body`, and leaves `status`.
    void tool(const std::string& name, const std::string& body) {
        testing::writeTool(tools, name,
                           "echo \"$@\" > \"$QUILLON_TOOL_NOTES/" + name + ".args\"\n"
                           "/bin/pwd > \"$QUILLON_TOOL_NOTES/" + name + ".dir\"\n"
                           "echo \"$VIDEO_FORMAT\" > \"$QUILLON_TOOL_NOTES/" + name + ".format\"\n" + body);
    }
    void goodDvdauthor(const std::string& extra = "") {
        tool("dvdauthor",
             "/bin/cp dvdauthor.xml \"$QUILLON_TOOL_NOTES/\"\n"
             "/bin/ls -l > \"$QUILLON_TOOL_NOTES/links\"\n"
             "/bin/mkdir -p dvd/VIDEO_TS dvd/AUDIO_TS\n"
             "echo ifo > dvd/VIDEO_TS/VIDEO_TS.IFO\n"
             "echo vob > dvd/VIDEO_TS/VTS_01_1.VOB\n"
             "echo 'STAT: VOBU 1 at 1MB, 1 PGCs'\n" + extra);
    }
    void goodGenisoimage() {
        tool("genisoimage", "for a; do last=$a; done\n"
                            "/bin/cat \"$last/VIDEO_TS/VIDEO_TS.IFO\" > image.iso\n"
                            "echo ' 50.00% done, estimate finish soon'\n"
                            "echo '1166 extents written (2 MB)'");
    }
    void goodVcdimager() {
        tool("vcdimager", "for a; do case $a in --cue-file=*) cue=${a#*=};; --bin-file=*) bin=${a#*=};; esac; done\n"
                          "/bin/ls -l > \"$QUILLON_TOOL_NOTES/links\"\n"
                          "echo \"FILE \\\"$bin\\\" BINARY\" > \"$cue\"\n"
                          "echo bin > \"$bin\"\n"
                          "echo '++ WARN: mpeg stream will be padded on the fly -- hope that is ok for you!'\n"
                          "echo 'finished ok, image created with 847 sectors'");
    }
    bool run() { return makeDisc(engine, request); }
    std::string note(const std::string& name) const { return testing::readText(notes + "/" + name); }
    // What is in the image's folder.
    std::set<std::string> left() const {
        std::set<std::string> names;
        for (const auto& e : fs::directory_iterator(root + "/out")) names.insert(e.path().filename().string());
        return names;
    }
    std::vector<std::string> errors() const {
        std::vector<std::string> out;
        for (const auto& b : host.boxes)
            if (b.caption == "Quorvel Encoder - error") out.push_back(b.text);
        return out;
    }
    bool inputsIntact() const {
        return fs::file_size(root + "/a00.mpg") == 150 * 2048u && fs::file_size(root + "/a01.mpg") == 100 * 2048u &&
               fs::file_size(root + "/b.mpg") == 100 * 2048u;
    }
};

TEST(DiscStage, DvdIsoFromSplitAndWholeOutputs) {
    Stage s(DiscFormat::Dvd, "My Disc.iso");
    s.goodDvdauthor("echo 'WARN: said twice'\necho 'WARN: said twice'");
    s.goodGenisoimage();
    ASSERT_TRUE(s.run()) << ::testing::PrintToString(s.errors());
    EXPECT_TRUE(s.errors().empty());
    EXPECT_EQ(s.left(), (std::set<std::string>{"My Disc.iso"}));
    EXPECT_EQ(testing::readText(s.request.path), "ifo\n");
    EXPECT_TRUE(s.inputsIntact());

    // dvdauthor ran in the work folder beside the image, on links to the
    // streams, with the format stated twice over.
    const std::string work = s.note("dvdauthor.dir");
    EXPECT_EQ(fs::path(work).parent_path(), fs::canonical(s.root + "/out"));
    EXPECT_EQ(s.note("dvdauthor.args"), "-x dvdauthor.xml\n");
    EXPECT_EQ(s.note("dvdauthor.format"), "PAL\n");
    const std::string links = s.note("links");
    EXPECT_NE(links.find("title01-00.mpg -> " + s.root + "/a00.mpg"), std::string::npos) << links;
    EXPECT_NE(links.find("title01-01.mpg -> " + s.root + "/a01.mpg"), std::string::npos) << links;
    EXPECT_NE(links.find("title02-00.mpg -> " + s.root + "/b.mpg"), std::string::npos) << links;
    // Two titles; the first's chapters every 6 s run on into its second
    // part (at 6 s: 6 s played in part one, so 0 s into part two).
    const std::string xml = s.note("dvdauthor.xml");
    EXPECT_NE(xml.find("format=\"pal\""), std::string::npos) << xml;
    EXPECT_NE(xml.find("<vob file=\"title01-00.mpg\" chapters=\"0\" />"), std::string::npos) << xml;
    EXPECT_NE(xml.find("<vob file=\"title01-01.mpg\" chapters=\"0\" />"), std::string::npos) << xml;
    EXPECT_NE(xml.find("<vob file=\"title02-00.mpg\" chapters=\"0\" />"), std::string::npos) << xml;
    EXPECT_NE(xml.find("<post>jump title 2;</post>"), std::string::npos) << xml;
    // genisoimage: the DVD-Video layout (with UDF), the name as the volume.
    const std::string iso = s.note("genisoimage.args");
    EXPECT_EQ(iso, "-dvd-video -input-charset utf-8 -V MY_DISC -o image.iso dvd\n");

    // The stage as the user saw it: its heading, progress to 100, each
    // warning once, the tools' lines in the log but not their progress.
    EXPECT_TRUE(s.host.hasLog("Making disc image:"));
    EXPECT_TRUE(s.host.hasLog("    dvdauthor: WARN: said twice"));
    EXPECT_FALSE(s.host.hasLog("    dvdauthor: STAT: VOBU 1 at 1MB, 1 PGCs"));
    EXPECT_TRUE(s.host.hasLog("    genisoimage: 1166 extents written (2 MB)"));
    EXPECT_EQ(s.host.dropped, (std::vector<std::string>{"dvdauthor: WARN: said twice"}));
    EXPECT_EQ(s.host.dialogsCreated, 1);
    EXPECT_EQ(s.host.finalCancelLabel, "&Ok");
}

TEST(DiscStage, DvdFolderIntoAnEmptyFolderAndChaptersAcrossParts) {
    Stage s(DiscFormat::Dvd, "disc");
    fs::create_directory(s.request.path);
    s.request.chapterMinutes = 0.05;  // every 3 s
    s.goodDvdauthor();
    ASSERT_TRUE(s.run()) << ::testing::PrintToString(s.errors());
    EXPECT_TRUE(fs::exists(s.request.path + "/VIDEO_TS/VIDEO_TS.IFO"));
    EXPECT_TRUE(fs::exists(s.request.path + "/AUDIO_TS"));
    EXPECT_EQ(s.left(), (std::set<std::string>{"disc"}));
    EXPECT_FALSE(fs::exists(s.root + "/tools/genisoimage.args"));
    const std::string xml = s.note("dvdauthor.xml");
    // Part one plays 6 s (marks 0 and 3), part two 4 s (the title's marks
    // at 6 and 9 s, 0 and 3 s into it; 9 s is a whole second before the
    // end). The second title plays 4 s: 0 and 3.
    EXPECT_NE(xml.find("title01-00.mpg\" chapters=\"0,0:00:03\""), std::string::npos) << xml;
    EXPECT_NE(xml.find("title01-01.mpg\" chapters=\"0,0:00:03\""), std::string::npos) << xml;
    EXPECT_NE(xml.find("title02-00.mpg\" chapters=\"0,0:00:03\""), std::string::npos) << xml;
}

TEST(DiscStage, VcdAndSvcdCueAndBin) {
    for (DiscFormat format : {DiscFormat::Vcd, DiscFormat::Svcd}) {
        Stage s(format, "v.cue");
        s.goodVcdimager();
        ASSERT_TRUE(s.run()) << ::testing::PrintToString(s.errors());
        EXPECT_EQ(s.left(), (std::set<std::string>{"v.bin", "v.cue"}));
        EXPECT_EQ(testing::readText(s.root + "/out/v.cue"), "FILE \"v.bin\" BINARY\n");
        // One track per file, in order.
        EXPECT_EQ(s.note("vcdimager.args"), std::string("-t ") + (format == DiscFormat::Vcd ? "vcd2" : "svcd") +
                                                " --cue-file=v.cue --bin-file=v.bin track01.mpg track02.mpg "
                                                "track03.mpg\n");
        const std::string links = s.note("links");
        EXPECT_NE(links.find("track02.mpg -> " + s.root + "/a01.mpg"), std::string::npos) << links;
        EXPECT_NE(links.find("track03.mpg -> " + s.root + "/b.mpg"), std::string::npos) << links;
        ASSERT_EQ(s.host.dropped.size(), 1u);
        EXPECT_NE(s.host.dropped[0].find("vcdimager: ++ WARN: mpeg stream will be padded"), std::string::npos);
    }
}

TEST(DiscStage, AFailingToolLeavesNothingButTheStreams) {
    {
        Stage s(DiscFormat::Dvd, "x.iso");
        s.goodDvdauthor();
        s.tool("genisoimage", "echo partial > image.iso\n"
                              "echo 'genisoimage: No space left on device. Cannot write image.'\nexit 2");
        EXPECT_FALSE(s.run());
        ASSERT_EQ(s.errors().size(), 1u);
        EXPECT_EQ(s.errors()[0], "genisoimage failed with exit status 2.\n"
                                 "genisoimage: No space left on device. Cannot write image.");
        EXPECT_TRUE(s.left().empty());  // no image, no work folder
        EXPECT_TRUE(s.inputsIntact());
    }
    {
        // An error said while the exit status claims success is a failure.
        Stage s(DiscFormat::Dvd, "disc");
        s.goodDvdauthor("echo 'ERR:  Cannot jump to title #3, only 2 exist'");
        EXPECT_FALSE(s.run());
        ASSERT_EQ(s.errors().size(), 1u);
        EXPECT_NE(s.errors()[0].find("exit status 0.\nERR:  Cannot jump"), std::string::npos) << s.errors()[0];
        EXPECT_TRUE(s.left().empty());
    }
    {
        // Success without the files it should have made.
        Stage s(DiscFormat::Svcd, "v.cue");
        s.tool("vcdimager", "echo 'finished ok'");
        EXPECT_FALSE(s.run());
        ASSERT_EQ(s.errors().size(), 1u);
        EXPECT_NE(s.errors()[0].find("without writing the cue and bin"), std::string::npos);
        EXPECT_TRUE(s.left().empty());
    }
    {
        // A stream gone before the stage: said, and nothing run.
        Stage s(DiscFormat::Vcd, "v.cue");
        s.goodVcdimager();
        fs::remove(s.root + "/b.mpg");
        EXPECT_FALSE(s.run());
        ASSERT_EQ(s.errors().size(), 1u);
        EXPECT_NE(s.errors()[0].find(s.root + "/b.mpg"), std::string::npos);
        EXPECT_FALSE(fs::exists(s.notes + "/vcdimager.args"));
        EXPECT_TRUE(s.left().empty());
    }
}

TEST(DiscStage, AMissingToolIsNamedWithItsPackageBeforeAnythingRuns) {
    Stage s(DiscFormat::Dvd, "x.iso");
    s.goodDvdauthor();  // genisoimage is missing
    EXPECT_FALSE(s.run());
    ASSERT_EQ(s.errors().size(), 1u);
    EXPECT_EQ(s.errors()[0], "genisoimage was not found on the PATH; it comes with the Debian package genisoimage "
                             "(apt-get install genisoimage). The program streams are kept.");
    EXPECT_FALSE(fs::exists(s.notes + "/dvdauthor.args"));
    EXPECT_TRUE(s.left().empty());
    EXPECT_TRUE(s.inputsIntact());
}

TEST(DiscStage, StopWhileAToolRuns) {
    // Stop, confirmed: the tool ends at once, nothing of the image stays,
    // no error is shown.
    for (bool cancel : {false, true}) {
        Stage s(DiscFormat::Dvd, "x.iso");
        s.tool("dvdauthor", "/bin/mkdir -p dvd/VIDEO_TS\necho started\nexec /bin/sleep 30");
        s.goodGenisoimage();
        bool pressed = false;
        s.host.onPump = [&](FakeView& v) {
            if (pressed || !s.host.hasLog("    dvdauthor: started")) return;
            pressed = true;
            // Stop asks first; Cancel (a second Ctrl-C) does not.
            if (cancel) v.controller->onCancel();
            else v.controller->onStop();
        };
        const auto t0 = std::chrono::steady_clock::now();
        EXPECT_FALSE(s.run());
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(10));
        EXPECT_TRUE(pressed);
        EXPECT_EQ(s.host.questions.size(), cancel ? 0u : 1u);
        EXPECT_TRUE(s.errors().empty()) << ::testing::PrintToString(s.errors());
        EXPECT_TRUE(s.host.hasLog("DISC IMAGE ABORTED."));
        EXPECT_TRUE(s.left().empty());
        EXPECT_FALSE(fs::exists(s.notes + "/genisoimage.args"));
        EXPECT_TRUE(s.inputsIntact());
    }
    // Stop, not confirmed: the tool runs to its end.
    Stage s(DiscFormat::Vcd, "v.cue");
    s.goodVcdimager();
    std::string body = "/bin/sleep 0.3\n";
    s.tool("vcdimager", body + "for a; do case $a in --cue-file=*) cue=${a#*=};; --bin-file=*) bin=${a#*=};; esac; done\n"
                               "echo cue > \"$cue\"; echo bin > \"$bin\"");
    s.host.answer = false;
    bool pressed = false;
    s.host.onPump = [&](FakeView& v) {
        if (!pressed) v.controller->onStop();
        pressed = true;
    };
    EXPECT_TRUE(s.run());
    EXPECT_EQ(s.host.questions, (std::vector<std::string>{"Quorvel Encoder|Are you sure to stop it?"}));
    EXPECT_EQ(s.left(), (std::set<std::string>{"v.bin", "v.cue"}));
}

TEST(DiscStage, NothingThatAppearedUnderTheNameIsReplaced) {
    {
        // The image's name taken while the tools ran: kept, the new image
        // dropped.
        Stage s(DiscFormat::Dvd, "x.iso");
        s.goodDvdauthor("echo mine > ../x.iso");
        s.goodGenisoimage();
        EXPECT_FALSE(s.run());
        ASSERT_EQ(s.errors().size(), 1u);
        EXPECT_NE(s.errors()[0].find("x.iso already exists"), std::string::npos) << s.errors()[0];
        EXPECT_EQ(testing::readText(s.request.path), "mine\n");
        EXPECT_EQ(s.left(), (std::set<std::string>{"x.iso"}));
    }
    {
        // With leave to replace: the old image and its old bin go.
        Stage s(DiscFormat::Vcd, "v.cue");
        s.request.overwrite = true;
        testing::writeFile(s.root + "/out/v.cue", {'o'});
        testing::writeFile(s.root + "/out/v.bin", {'o'});
        s.goodVcdimager();
        EXPECT_TRUE(s.run()) << ::testing::PrintToString(s.errors());
        EXPECT_EQ(testing::readText(s.root + "/out/v.bin"), "bin\n");
        EXPECT_EQ(s.left(), (std::set<std::string>{"v.bin", "v.cue"}));
    }
    {
        // A DVD folder with leave to replace, but holding other files: kept.
        Stage s(DiscFormat::Dvd, "disc");
        s.request.overwrite = true;
        fs::create_directories(s.request.path + "/VIDEO_TS");
        testing::writeFile(s.request.path + "/holiday.jpg", {'j'});
        s.goodDvdauthor();
        EXPECT_FALSE(s.run());
        EXPECT_TRUE(fs::exists(s.request.path + "/holiday.jpg"));
        EXPECT_EQ(s.left(), (std::set<std::string>{"disc"}));
    }
}

TEST(DiscStage, NoDialogNoWork) {
    Stage s(DiscFormat::Vcd, "v.cue");
    s.goodVcdimager();
    s.host.failDialog = true;
    EXPECT_FALSE(s.run());
    EXPECT_EQ(s.errors(), (std::vector<std::string>{"Unable to create main window."}));
    EXPECT_FALSE(fs::exists(s.notes + "/vcdimager.args"));
}

}  // namespace
}  // namespace quillon::disc

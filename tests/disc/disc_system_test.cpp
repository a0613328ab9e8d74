// `quillon convert --disc` as a user runs it, with the real authoring
// tools: the images are read back by isoinfo, dvdunauthor and vcd-info,
// and what they hold is decoded by ffprobe.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <regex>
#include <set>
#include <sstream>

#include "disc/stream_span.h"
#include "tests/disc/disc_test_support.h"
#include "tests/input/test_media.h"
#include "tests/support/child_process.h"
#include "tests/support/program_stream_walk.h"
#include "tests/support/temp_dir.h"

namespace quillon {
namespace {

namespace fs = std::filesystem;
using testing::ChildProcess;

std::string clip(int frames, bool pal) {
    testing::PatternClip c;
    c.width = 96;
    c.height = 64;
    c.rateNumerator = pal ? 25 : 30000;
    c.rateDenominator = pal ? 1 : 1001;
    c.frames = frames;
    c.audioChannels = 2;
    c.audioRate = 44100;
    return testing::patternAvi((pal ? "pal" : "ntsc") + std::to_string(frames) + ".avi", c);
}

std::string quote(const std::string& s) { return "'" + s + "'"; }

int count(const std::string& text, const std::string& part) {
    int n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

// One run of the command in a scratch folder, with TMP of its own.
struct CommandRun {
    testing::TempDir dir;
    std::string root = dir.path().string();
    int status = -1;
    std::string output;
    std::unique_ptr<ChildProcess> child;

    bool start(const std::vector<std::string>& args, const std::string& path = "", bool terminal = false) {
        child = std::make_unique<ChildProcess>();
        fs::create_directories(root + "/tmp");
        std::vector<std::string> argv = {QUILLON_BINARY, "convert"};
        argv.insert(argv.end(), args.begin(), args.end());
        ChildProcess::Options o;
        o.terminal = terminal;
        o.directory = root;
        o.environment = {{"TMP", root + "/tmp"}};
        if (!path.empty()) o.environment.push_back({"PATH", path});
        return child->start(argv, o);
    }
    void run(const std::vector<std::string>& args, const std::string& path = "") {
        ASSERT_TRUE(start(args, path));
        finish();
    }
    void finish() {
        status = child->finish(300);
        output = child->output();
    }
    std::set<std::string> files() const {
        std::set<std::string> names;
        for (const auto& e : fs::directory_iterator(root)) names.insert(e.path().filename().string());
        names.erase("tmp");
        return names;
    }
    std::string file(const std::string& name) const { return root + "/" + name; }
};

std::string shell(const std::string& command, bool* ok = nullptr) {
    std::string out;
    const bool done = testing::runCommand(command, &out);
    if (ok) *ok = done;
    return out;
}

// The picture count and size of a file's first video stream, and what
// ffprobe complained about.
struct Probe {
    std::string video, audio, errors;
};
// ffprobe's first line without the empty fields it may add.
std::string firstLine(std::string text) {
    text = text.substr(0, text.find('\n'));
    while (!text.empty() && (text.back() == ',' || text.back() == '\r')) text.pop_back();
    return text;
}

Probe probe(const std::string& path) {
    Probe p;
    p.video = shell("ffprobe -v quiet -count_frames -select_streams v:0 -show_entries "
                    "stream=codec_name,width,height,nb_read_frames -of csv=p=0 " + quote(path));
    p.video = firstLine(p.video);
    p.audio = shell("ffprobe -v quiet -select_streams a:0 -show_entries stream=codec_name,sample_rate -of csv=p=0 " +
                    quote(path));
    p.audio = firstLine(p.audio);
    p.errors = shell("ffmpeg -nostdin -v error -i " + quote(path) + " -f null - 2>&1");
    return p;
}

TEST(DiscImage, DvdPalBatchIsoWithTwoTitles) {
    CommandRun r;
    const std::string a = r.file("first.avi"), b = r.file("second.avi");
    fs::copy_file(clip(25, true), a);
    fs::copy_file(clip(25, true), b);
    r.run({"-t", "dvd", "--pal", "--batch", "--disc", "out.iso", a, b});
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("100% Making disc image: "), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("Wrote out.iso\n"), std::string::npos) << r.output;
    // The program streams stay beside the image; no work folder is left.
    const std::set<std::string> files = r.files();
    EXPECT_TRUE(files.count("first.mpg") && files.count("second.mpg") && files.count("out.iso"))
        << ::testing::PrintToString(files);
    for (const std::string& f : files) EXPECT_EQ(f.find(".quillon-disc"), std::string::npos) << f;

    // The listing: VIDEO_TS with the disc's and the titleset's IFO and VOBs.
    const std::string iso = quote(r.file("out.iso"));
    const std::string listing = shell("isoinfo -f -i " + iso);
    for (const char* name : {"/AUDIO_TS", "/VIDEO_TS", "/VIDEO_TS/VIDEO_TS.IFO;1", "/VIDEO_TS/VIDEO_TS.BUP;1",
                             "/VIDEO_TS/VTS_01_0.IFO;1", "/VIDEO_TS/VTS_01_0.BUP;1", "/VIDEO_TS/VTS_01_1.VOB;1"})
        EXPECT_NE(listing.find(std::string(name) + "\n"), std::string::npos) << name << "\n" << listing;
    // The UDF bridge players look for: its volume recognition sequence
    // follows the ISO 9660 descriptors.
    const std::vector<uint8_t> bytes = testing::readFile(r.file("out.iso"));
    const std::string head(bytes.begin(), bytes.begin() + std::min<size_t>(bytes.size(), 40 * 2048));
    EXPECT_NE(head.find("NSR02"), std::string::npos);
    EXPECT_NE(head.find("BEA01"), std::string::npos);

    // The structure read back: two titles, one chapter each (a second of
    // pictures is shorter than a chapter), PAL MPEG-2 pictures.
    bool ok = false;
    const std::string back = r.file("back");
    fs::create_directory(back);
    shell("cd " + quote(back) + " && dvdunauthor " + iso, &ok);
    ASSERT_TRUE(ok);
    const std::string xml = testing::readText(back + "/dvdauthor.xml");
    EXPECT_NE(xml.find("<!-- Title 1/2 -->"), std::string::npos) << xml;
    EXPECT_NE(xml.find("<!-- Title 2/2 -->"), std::string::npos) << xml;
    EXPECT_EQ(count(xml, "<pgc>"), 2) << xml;
    EXPECT_EQ(count(xml, "chapter=\"1\""), 2) << xml;
    EXPECT_NE(xml.find("jump title 2;"), std::string::npos) << xml;
    const std::string ifo = r.file("vts.ifo");
    shell("isoinfo -i " + iso + " -x '/VIDEO_TS/VTS_01_0.IFO;1' > " + quote(ifo));
    const std::vector<uint8_t> attributes = testing::readFile(ifo);
    ASSERT_GT(attributes.size(), 0x200u);
    EXPECT_EQ(attributes[0x200] >> 6, 1);        // MPEG-2
    EXPECT_EQ((attributes[0x200] >> 4) & 3, 1);  // PAL

    // The first VOB decodes cleanly: both titles' pictures at DVD size,
    // with MPEG audio at 48 kHz.
    const std::string vob = r.file("first.vob");
    shell("isoinfo -i " + iso + " -x '/VIDEO_TS/VTS_01_1.VOB;1' > " + quote(vob));
    const Probe p = probe(vob);
    EXPECT_EQ(p.video, "mpeg2video,720,576,50");
    EXPECT_EQ(p.audio, "mp2,48000");
    EXPECT_EQ(p.errors, "");
}

TEST(DiscImage, DvdFolderOfASplitOutputWithChaptersAcrossItsParts) {
    CommandRun r;
    // Split files of 1 MB: at the DVD rate every group of pictures starts
    // a file, so the title has several parts.
    r.run({"-t", "dvd", "--pal", "--split", "1", "-o", "film.mpg", "--disc", "disc", "--chapters", "0.01",
           clip(50, true)});
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_TRUE(fs::exists(r.file("film00.mpg")) && fs::exists(r.file("film01.mpg"))) << r.output;
    EXPECT_TRUE(fs::exists(r.file("disc/VIDEO_TS/VIDEO_TS.IFO")));
    EXPECT_TRUE(fs::exists(r.file("disc/VIDEO_TS/VTS_01_1.VOB")));
    EXPECT_TRUE(fs::is_directory(r.file("disc/AUDIO_TS")));
    const std::string back = r.file("back");
    fs::create_directory(back);
    bool ok = false;
    shell("cd " + quote(back) + " && dvdunauthor ../disc", &ok);
    ASSERT_TRUE(ok);
    const std::string xml = testing::readText(back + "/dvdauthor.xml");
    // One title of all the parts; a mark every 0.6 s of 2 s: at 0 and
    // 0.6 s (1.2 s is less than a second before the end).
    EXPECT_EQ(count(xml, "<pgc>"), 1) << xml;
    EXPECT_GE(count(xml, "<vob "), 2) << xml;
    EXPECT_EQ(count(xml, "chapter=\"1\""), 2) << xml;
    const Probe p = probe(r.file("disc/VIDEO_TS/VTS_01_1.VOB"));
    EXPECT_EQ(p.video, "mpeg2video,720,576,50");
    EXPECT_EQ(p.errors, "");
}

// The tracks of a cue/bin pair as vcd-info lists them: first sector of
// each, and the lead-out.
std::vector<long> trackSectors(const std::string& info) {
    std::vector<long> sectors;
    const std::regex row(R"(^\s*(\d+): \d\d:\d\d:\d\d\s+(\d+)\s+)");
    std::istringstream in(info);
    for (std::string line; std::getline(in, line);) {
        std::smatch m;
        if (std::regex_search(line, m, row)) sectors.push_back(std::stol(m[2]));
    }
    return sectors;
}

// The program stream data of a track: the 2324 data bytes of every raw
// sector from `first` to `end` that holds a pack.
std::vector<uint8_t> trackData(const std::string& bin, long first, long end, int* packs) {
    const std::vector<uint8_t> raw = testing::readFile(bin);
    std::vector<uint8_t> data;
    *packs = 0;
    for (long s = first; s < end && static_cast<size_t>(s + 1) * 2352 <= raw.size(); ++s) {
        const uint8_t* d = raw.data() + s * 2352 + 24;
        if (!(d[0] == 0 && d[1] == 0 && d[2] == 1 && d[3] == 0xBA)) continue;
        ++*packs;
        data.insert(data.end(), d, d + 2324);
    }
    return data;
}

void checkCueBin(bool svcd, bool pal) {
    CommandRun r;
    const int frames = pal ? 50 : 60;
    r.run({"-t", svcd ? "svcd" : "vcd", pal ? "--pal" : "--ntsc", "-o", "clip.mpg", "--disc", "clip.cue",
           clip(frames, pal)});
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.files(), (std::set<std::string>{"clip.bin", "clip.cue", "clip.mpg"}));
    EXPECT_NE(r.output.find("Wrote clip.cue\nWrote clip.bin\n"), std::string::npos) << r.output;
    EXPECT_EQ(testing::readText(r.file("clip.cue")).rfind("FILE \"clip.bin\" BINARY", 0), 0u);

    bool ok = false;
    const std::string info = shell("cd " + quote(r.root) + " && vcd-info -B -f -T -E -c clip.cue", &ok);
    ASSERT_TRUE(ok) << info;
    EXPECT_NE(info.find(svcd ? "SVCD detected" : "VCD 2.0 detected"), std::string::npos) << info;
    EXPECT_NE(info.find("entries: 1\n"), std::string::npos) << info;
    // The data track and one MPEG track, then the lead-out.
    const std::vector<long> sectors = trackSectors(info);
    ASSERT_EQ(sectors.size(), 3u) << info;

    // The track holds every pack of the program stream, and what it holds
    // plays as long as the stream.
    bool endCode = false;
    const std::vector<uint8_t> stream = testing::readFile(r.file("clip.mpg"));
    const size_t packs = testing::walkPacks(stream, ok, endCode).size();
    int found = 0;
    const std::vector<uint8_t> data = trackData(r.file("clip.bin"), sectors[1], sectors[2], &found);
    EXPECT_EQ(static_cast<size_t>(found), packs);
    testing::writeFile(r.file("track.mpg"), data);
    const Probe fromTrack = probe(r.file("track.mpg")), fromStream = probe(r.file("clip.mpg"));
    EXPECT_EQ(fromTrack.video, fromStream.video);
    const std::string size = svcd ? (pal ? "480,576," : "480,480,") : (pal ? "352,288," : "352,240,");
    EXPECT_EQ(fromStream.video.rfind(std::string(svcd ? "mpeg2video," : "mpeg1video,") + size, 0), 0u)
        << fromStream.video;
    EXPECT_EQ(fromTrack.errors, "");
    const std::string duration = "ffprobe -v quiet -show_entries format=duration -of csv=p=0 ";
    const double trackSeconds = std::atof(shell(duration + quote(r.file("track.mpg"))).c_str());
    EXPECT_NEAR(trackSeconds, frames / (pal ? 25.0 : 29.97), 0.1);
}

TEST(DiscImage, VcdPalCueAndBin) { checkCueBin(false, true); }
TEST(DiscImage, SvcdNtscCueAndBin) { checkCueBin(true, false); }

// Streams of another multiplexer (the ffmpeg tool's, stamping every
// picture) play as long as ours say.
TEST(DiscImage, PlayingTimeOfAnotherMultiplexersStreams) {
    testing::TempDir dir;
    for (const char* format : {"vcd", "vob", "svcd"}) {
        const std::string out = dir.file(std::string("clip.") + format);
        bool ok = false;
        const std::string codec = std::string(format) == "vcd" ? "mpeg1video" : "mpeg2video";
        shell("ffmpeg -nostdin -v error -y -f lavfi -i testsrc=size=64x48:rate=25:duration=1.2 -c:v " + codec +
                  " -g 6 -bf 2 -f " + format + " " + quote(out),
              &ok);
        ASSERT_TRUE(ok) << format;
        EXPECT_NEAR(disc::playingSeconds(out, 3600), 1.2, 1e-9) << format;
    }
}

TEST(DiscImage, AMissingToolKeepsTheProgramStream) {
    CommandRun r;
    const std::string empty = r.root + "/no-tools";
    fs::create_directory(empty);
    r.run({"-t", "vcd", "--pal", "-o", "clip.mpg", "--disc", "clip.cue", clip(25, true)}, empty);
    EXPECT_EQ(r.status, 1) << r.output;
    EXPECT_NE(r.output.find("vcdimager was not found on the PATH; it comes with the Debian package vcdimager"),
              std::string::npos)
        << r.output;
    EXPECT_EQ(r.files(), (std::set<std::string>{"clip.mpg", "no-tools"}));
    EXPECT_GT(fs::file_size(r.file("clip.mpg")), 20u * 2324);
}

TEST(DiscImage, RefusedBeforeAnyWork) {
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string message;
    };
    CommandRun taken;
    testing::writeFile(taken.file("old.iso"), {1, 2, 3});
    const std::vector<Case> cases = {
        {{"-t", "mpeg2", "--disc", "x.iso"}, 2, "disc images are made for the targets vcd, svcd and dvd"},
        {{"-t", "mpeg1", "--disc", "x.cue"}, 2, "The target mpeg1 makes no disc"},
        {{"-t", "vcd", "--disc", "x.iso"}, 1, "named by its cue file"},
        {{"-t", "dvd", "--disc", "old.iso"}, 1, "old.iso exists; it was left as it is (-y replaces it)"},
        {{"-t", "dvd", "--disc", "nowhere/x.iso"}, 1, "does not exist"},
        {{"-t", "vcd", "--disc", "x.cue", "--chapters", "5"}, 2, "--chapters is for dvd discs"},
        {{"-t", "dvd", "--chapters", "5"}, 2, "--chapters is for --disc"},
        {{"-t", "dvd", "--disc", "x.iso", "--chapters", "0"}, 2, "--chapters needs minutes"},
        {{"-t", "dvd", "--disc", "sub", "-o", "sub/film.mpg"}, 2, "would replace sub/film.mpg"},
        {{"-t", "dvd", "--disc", "old.mpg"}, 2, "would replace old.mpg"},
        {{"-t", "dvd", "--disc", "old.avi"}, 1, "old.avi is a file"},
    };
    fs::copy_file(clip(25, true), taken.file("old.avi"));
    fs::create_directory(taken.file("sub"));
    for (const Case& c : cases) {
        std::vector<std::string> args = c.args;
        args.push_back("old.avi");
        taken.run(args);
        EXPECT_EQ(taken.status, c.status) << taken.output;
        EXPECT_NE(taken.output.find(c.message), std::string::npos) << taken.output;
        // Nothing encoded, nothing written.
        EXPECT_EQ(taken.files(), (std::set<std::string>{"old.avi", "old.iso", "sub"})) << taken.output;
        EXPECT_TRUE(fs::is_empty(taken.file("sub")));
    }
}

TEST(DiscImage, AnExistingImageIsReplacedWithOverwrite) {
    CommandRun r;
    testing::writeFile(r.file("clip.cue"), {'o', 'l', 'd'});
    testing::writeFile(r.file("clip.bin"), {'o', 'l', 'd'});
    // At a terminal the user is asked first; a no leaves it all as it was.
    ASSERT_TRUE(r.start({"-t", "vcd", "--pal", "-o", "clip.mpg", "--disc", "clip.cue", clip(25, true)}, "", true));
    ASSERT_TRUE(r.child->waitFor("the disc image clip.cue exists. Replace it?", 60)) << r.child->output();
    ASSERT_TRUE(r.child->type("n\n"));
    r.finish();
    EXPECT_EQ(r.status, 1) << r.output;
    EXPECT_EQ(r.files(), (std::set<std::string>{"clip.bin", "clip.cue"}));
    EXPECT_EQ(testing::readText(r.file("clip.bin")), "old");

    r.run({"-t", "vcd", "--pal", "-y", "-o", "clip.mpg", "--disc", "clip.cue", clip(25, true)});
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.files(), (std::set<std::string>{"clip.bin", "clip.cue", "clip.mpg"}));
    EXPECT_GT(fs::file_size(r.file("clip.bin")), 20u * 2352);
    EXPECT_EQ(testing::readText(r.file("clip.cue")).rfind("FILE \"clip.bin\" BINARY", 0), 0u);
}

TEST(DiscImage, StopWhileTheToolRunsLeavesTheProgramStreamOnly) {
    CommandRun r;
    const std::string tools = r.root + "/tools";
    fs::create_directory(tools);
    testing::writeTool(tools, "vcdimager", "echo started\nexec /bin/sleep 60");
    ASSERT_TRUE(r.start({"-t", "vcd", "--pal", "-o", "clip.mpg", "--disc", "clip.cue", clip(25, true)}, tools));
    ASSERT_TRUE(r.child->waitFor("vcdimager: started", 300)) << r.child->output();
    // A script's Ctrl-C (no terminal): a stop without a question.
    ASSERT_TRUE(r.child->interrupt());
    r.finish();
    EXPECT_EQ(r.status, 1) << r.output;
    EXPECT_NE(r.output.find("DISC IMAGE ABORTED."), std::string::npos) << r.output;
    EXPECT_EQ(r.files(), (std::set<std::string>{"clip.mpg", "tools"}));
}

}  // namespace
}  // namespace quillon

namespace quillon {
namespace {

TEST(DiscImage, CtrlCAtATerminalAsksAndTheToolGoesOn) {
    CommandRun r;
    const std::string tools = r.root + "/tools";
    fs::create_directory(tools);
    // The terminal's Ctrl-C goes to its whole foreground group; the tool
    // must not be in it, or it would die before the question is answered.
    testing::writeTool(tools, "vcdimager",
                       "echo started\n/bin/sleep 2\n"
                       "for a; do case $a in --cue-file=*) cue=${a#*=};; --bin-file=*) bin=${a#*=};; esac; done\n"
                       "echo cue > \"$cue\"; echo bin > \"$bin\"; echo finished ok");
    ASSERT_TRUE(r.start({"-t", "vcd", "--pal", "-o", "clip.mpg", "--disc", "clip.cue", clip(25, true)}, tools, true));
    ASSERT_TRUE(r.child->waitFor("vcdimager: started", 300)) << r.child->output();
    ASSERT_TRUE(r.child->interrupt());
    ASSERT_TRUE(r.child->waitFor("Are you sure to stop it? (y/n) ", 60)) << r.child->output();
    ASSERT_TRUE(r.child->type("n\n"));
    r.finish();
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("vcdimager: finished ok"), std::string::npos) << r.output;
    EXPECT_EQ(r.files(), (std::set<std::string>{"clip.bin", "clip.cue", "clip.mpg", "tools"}));
}

}  // namespace
}  // namespace quillon

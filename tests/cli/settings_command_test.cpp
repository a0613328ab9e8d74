#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>

#include "engine/engine.h"
#include "engine/engine_entry.h"
#include "engine/settings_file.h"
#include "tests/support/temp_dir.h"

namespace quillon {
namespace {

using testing::TempDir;

struct Result {
    int status;
    std::string out;
};

// Runs the built command with a private configuration directory; standard
// error goes to a file of that directory.
class QuillonRun {
public:
    Result run(const std::string& args) {
        const std::string cmd = "QUILLON_CONFIG_DIR='" + dir.path().string() + "' '" +
                                QUILLON_BINARY + "' " + args + " 2>'" + dir.file("stderr") + "'";
        Result r{-1, {}};
        std::FILE* p = popen(cmd.c_str(), "r");
        if (!p) return r;
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
        int st = pclose(p);
        r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
        return r;
    }
    std::string err() const {
        std::ifstream in(dir.file("stderr"));
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    void write(const std::string& name, const std::string& text) {
        std::ofstream(dir.file(name)) << text;
    }
    TempDir dir;
};

std::map<std::string, std::string> values(const std::string& text) {
    std::map<std::string, std::string> m;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        size_t eq = line.find('=');
        if (eq != std::string::npos) m[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return m;
}

TEST(SettingsCommand, SvcdPal) {
    QuillonRun q;
    Result r = q.run("settings --target svcd --pal");
    ASSERT_EQ(r.status, 0) << q.err();
    auto v = values(r.out);
    EXPECT_EQ(v["description"], "MPEG-2 SuperVCD PAL video and MPEG audio");
    EXPECT_EQ(v["displayVerticalSize"], "576");
    EXPECT_EQ(v["frameRateCode"], "3");
    EXPECT_EQ(v["sectorSize"], "2324");
    EXPECT_EQ(v["muxSVCDScanOffsets"], "1");
    EXPECT_EQ(r.out.find("[loadsave]\ndescription="), 0u);
    EXPECT_NE(r.out.find("\n[advVideo]\n"), std::string::npos);
    EXPECT_NE(r.out.find("backVertSearchB15=0\n\n[quality]\n"), std::string::npos);

    // Default: VCD NTSC.
    Result d = q.run("settings");
    EXPECT_EQ(values(d.out)["description"], "MPEG-1 VideoCD NTSC video and MPEG audio");
}

TEST(SettingsCommand, PrintedFileLoadsBackToTheSameRecord) {
    QuillonRun q;
    Result first = q.run("settings --target dvd --pal --set statisticsFilename=s.txt --set "
                         "maxBitrate=9000000 --set ipFrameDistance=2");
    ASSERT_EQ(first.status, 0) << q.err();
    EXPECT_EQ(values(first.out)["forwHorzSearchP"], "6");  // the table follows M
    q.write("saved.ini", first.out);
    Result again = q.run("settings --target dvd --pal --settings '" + q.dir.file("saved.ini") + "'");
    ASSERT_EQ(again.status, 0) << q.err();
    EXPECT_EQ(again.out, first.out);

    // The same file read by the engine gives the record the printout shows.
    struct Silent : Host {
        void messageBox(const std::string&, const std::string&, MessageIcon, bool) override {}
        bool askYesNo(const std::string&, const std::string&) override { return false; }
        std::unique_ptr<DialogView> createDialog() override { return nullptr; }
    } host;
    Engine engine(host);
    engine.settingsFile = q.dir.file("saved.ini");
    initEngine(engine, 0x14);
    EXPECT_FALSE(engine.settingsFileRejected);
    EXPECT_EQ(formatSettingsFile(engine.record), first.out);
    EXPECT_EQ(engine.record.maxBitrate, 9000000.0);
}

TEST(SettingsCommand, DefaultIniAndRejections) {
    QuillonRun q;
    q.write("default.ini", "[video]\nmquantValue=6\n");
    EXPECT_EQ(values(q.run("settings --target mpeg2").out)["mquantValue"], "6");

    q.write("bad.ini", "[video]\nipFrameDistance=4\n");
    Result bad = q.run("settings --settings '" + q.dir.file("bad.ini") + "'");
    EXPECT_EQ(bad.status, 2);
    EXPECT_EQ(bad.out, "");
    EXPECT_NE(q.err().find("Invalid video settings in file " + q.dir.file("bad.ini") + "."),
              std::string::npos);

    Result set = q.run("settings --set iFramesInGOP=14");
    EXPECT_EQ(set.status, 2);
    EXPECT_NE(q.err().find("iFramesInGOP=14"), std::string::npos) << q.err();

    Result audio = q.run("settings --set audioBitrate=15 --set verbose=1");
    EXPECT_EQ(audio.status, 2);
    EXPECT_NE(q.err().find("audioBitrate=15"), std::string::npos) << q.err();
    EXPECT_EQ(q.err().find("verbose"), std::string::npos) << q.err();

    EXPECT_EQ(q.run("settings --set mquantValue=ten").status, 2);
    EXPECT_NE(q.err().find("mquantValue"), std::string::npos);
    EXPECT_EQ(q.run("settings --set nosuchkey=1").status, 2);
    EXPECT_EQ(q.run("settings --target vhs").status, 2);
    EXPECT_EQ(q.run("settings --settings '" + q.dir.file("absent.ini") + "'").status, 2);
    EXPECT_EQ(q.run("settings --settings '" + q.dir.path().string() + "'").status, 2);
    EXPECT_EQ(q.run("settings --bogus").status, 2);
    // Together two changes may be valid where each alone is not.
    Result pair = q.run("settings --set ipFrameDistance=4 --set iFramesInGOP=12");
    EXPECT_EQ(pair.status, 0) << q.err();
}

TEST(QuillonCommand, HelpVersionAndUsage) {
    QuillonRun q;
    Result v = q.run("--version");
    EXPECT_EQ(v.status, 0);
    EXPECT_EQ(v.out, "Quillon Converter v3.62\n");
    Result h = q.run("--help");
    EXPECT_EQ(h.status, 0);
    EXPECT_NE(h.out.find("settings"), std::string::npos);
    EXPECT_EQ(q.run("settings --help").status, 0);
    EXPECT_EQ(q.run("").status, 2);
    EXPECT_EQ(q.run("frobnicate").status, 2);
}

TEST(SettingsCommand, QualityLevelGivesTheToolKeys) {
    QuillonRun q;
    auto classic = values(q.run("settings --target dvd --quality classic").out);
    auto high = values(q.run("settings --target dvd").out);
    auto best = values(q.run("settings --target dvd --quality=BEST").out);
    EXPECT_EQ(classic["trellis"], "0");
    EXPECT_EQ(classic["bQuantRatio"], "100");
    EXPECT_NE(high["trellis"], "0");
    EXPECT_EQ(high, values(q.run("settings --target dvd --quality high").out));
    EXPECT_NE(best, classic);

    // The profile's level, and --set over it.
    q.write("profile.ini", "[Quorvel Encoder]\nQuality=0\n");
    EXPECT_EQ(values(q.run("settings --target dvd").out), classic);
    auto one = values(q.run("settings --target dvd --set trellis=1").out);
    EXPECT_EQ(one["trellis"], "1");
    EXPECT_EQ(one["bQuantRatio"], "100");

    Result unknown = q.run("settings --quality fast");
    EXPECT_EQ(unknown.status, 2);
    EXPECT_NE(q.err().find("unknown quality \"fast\""), std::string::npos) << q.err();
    Result range = q.run("settings --set bQuantRatio=500");
    EXPECT_EQ(range.status, 2);
    EXPECT_NE(q.err().find("bQuantRatio=500 is outside its range 25..400"), std::string::npos) << q.err();
}

}  // namespace
}  // namespace quillon

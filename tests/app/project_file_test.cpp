// Project file bytes, the log's size limit and the field rules, without a
// window.
#include <QtTest/QtTest>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

#include "app/log_text.h"
#include "app/project_file.h"
#include "app/skin_layout.h"
#include "app/window_rules.h"
#include "tests/support/temp_dir.h"

using namespace quillon::app;
using quillon::testing::TempDir;

namespace {

int32_t at32(const std::vector<uint8_t>& b, size_t o) {
    return int32_t(uint32_t(b[o]) | uint32_t(b[o + 1]) << 8 | uint32_t(b[o + 2]) << 16 |
                   uint32_t(b[o + 3]) << 24);
}

std::vector<uint8_t> readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// Records what a load does.
struct ListTarget : ProjectTarget {
    std::vector<std::pair<std::string, std::string>> messages;
    std::vector<std::string> existing{"a"};
    std::vector<ProjectEntry> opened;
    std::string refuse;  // a path that fails to open
    int cleared = 0;
    ProjectHeader header;
    int finishedWith = -1;
    bool restoreOutput = false;

    void projectMessage(const std::string& c, const std::string& t) override { messages.push_back({c, t}); }
    void clearEntries() override {
        ++cleared;
        existing.clear();
    }
    bool openEntry(const ProjectEntry& e) override {
        if (e.path == refuse) return false;
        opened.push_back(ProjectEntry{});
        opened.back().path = e.path;
        return true;
    }
    void restoreEntry(int i, const ProjectEntry& e) override {
        std::string path = opened[size_t(i)].path;
        opened[size_t(i)] = e;
        QCOMPARE(opened[size_t(i)].path, path);
    }
    void finishLoad(const ProjectHeader& h, int n, bool restore) override {
        header = h;
        finishedWith = n;
        restoreOutput = restore;
    }
};

ProjectEntry sampleEntry(const std::string& path, int seed) {
    ProjectEntry e;
    e.path = path;
    e.outputName = path + ".mpg";
    e.hasAudio = 1;
    e.isVideoFile = 1;
    e.invert = 1;
    e.colourFix = 0;
    e.optionFlag = 7;
    e.fillIn = 1;
    e.cropX = 2 + seed;
    e.cropY = 4;
    e.cropWidth = 100;
    e.cropHeight = 80;
    e.selection980 = 11;
    e.selection984 = 12;
    e.previewFirst = 13;
    e.previewLast = 14;
    e.selection996 = 15;
    e.firstSelectedSample = 16;
    e.currentFrame = 5;
    e.totalFrames = 30;
    e.selectedFrames = 20 + seed;
    e.totalSamples = 44100;
    e.selectedSamples = 22050;
    e.outputWidth = 352;
    e.outputHeight = 288;
    e.outputFrames = 19;
    e.frameRate = 25.0;
    e.durationTicks = 12000000;
    e.decodeRoute = 3;
    return e;
}

}  // namespace

class ProjectFileTest : public QObject {
    Q_OBJECT
private slots:
    void bytesSitAtTheirOffsets() {
        TempDir dir;
        ProjectHeader h;
        h.perEntrySettings = 1;
        h.selected = 1;
        h.currentFrame = 9;
        h.outputName = "/videos/out.mpg";
        h.outputWidth = 480;
        h.outputHeight = 576;
        h.displayFlag = 1;
        std::vector<ProjectEntry> entries{sampleEntry("/videos/a.avi", 0), sampleEntry("/videos/b.avi", 1)};
        entries[1].isVideoFile = 0;
        entries[1].hasAudio = 0;
        entries[1].listDirectory = "/videos/";
        ListTarget sink;
        std::string path = dir.file("p.qlp");
        QVERIFY(saveProject(path, h, entries, sink));
        QVERIFY(sink.messages.empty());

        std::vector<uint8_t> b = readAll(path);
        QCOMPARE(b.size(), size_t(285 + 2 * 1112));
        QCOMPARE(at32(b, 0), 1);
        QCOMPARE(at32(b, 4), 2);
        QCOMPARE(at32(b, 8), 1);
        QCOMPARE(at32(b, 12), 9);
        QCOMPARE(std::string(reinterpret_cast<const char*>(&b[16])), std::string("/videos/out.mpg"));
        QCOMPARE(at32(b, 276), 480);
        QCOMPARE(at32(b, 280), 576);
        QCOMPARE(int(b[284]), 1);
        for (int r = 0; r < 2; ++r) {
            size_t o = 285 + size_t(r) * 1112;
            const ProjectEntry& e = entries[size_t(r)];
            QCOMPARE(std::string(reinterpret_cast<const char*>(&b[o])), e.path);
            QCOMPARE(std::string(reinterpret_cast<const char*>(&b[o + 260])), e.outputName);
            QCOMPARE(std::string(reinterpret_cast<const char*>(&b[o + 520])), e.listDirectory);
            QCOMPARE(int(b[o + 956]), int(e.hasAudio));
            QCOMPARE(int(b[o + 957]), int(e.isVideoFile));
            QCOMPARE(int(b[o + 958]), 1);
            QCOMPARE(int(b[o + 959]), 0);
            QCOMPARE(int(b[o + 960]), 7);
            QCOMPARE(int(b[o + 961]), 1);
            QCOMPARE(at32(b, o + 964), 2 + r);
            QCOMPARE(at32(b, o + 968), 4);
            QCOMPARE(at32(b, o + 972), 100);
            QCOMPARE(at32(b, o + 976), 80);
            QCOMPARE(at32(b, o + 980), 11);
            QCOMPARE(at32(b, o + 984), 12);
            QCOMPARE(at32(b, o + 988), 13);
            QCOMPARE(at32(b, o + 992), 14);
            QCOMPARE(at32(b, o + 996), 15);
            QCOMPARE(at32(b, o + 1000), 16);
            QCOMPARE(at32(b, o + 1004), 5);
            QCOMPARE(at32(b, o + 1008), 30);
            QCOMPARE(at32(b, o + 1012), 20 + r);
            QCOMPARE(at32(b, o + 1020), 44100);
            QCOMPARE(at32(b, o + 1028), 22050);
            QCOMPARE(at32(b, o + 1040), 352);
            QCOMPARE(at32(b, o + 1044), 288);
            QCOMPARE(at32(b, o + 1048), 19);
            double rate;
            std::memcpy(&rate, &b[o + 1056], 8);
            QCOMPARE(rate, 25.0);
            int64_t ticks;
            std::memcpy(&ticks, &b[o + 1080], 8);
            QCOMPARE(ticks, int64_t(12000000));
            QCOMPARE(at32(b, o + 1108), 3);
        }

        // And back, with every restored field.
        ListTarget target;
        QVERIFY(openProject(path, target));
        QCOMPARE(target.cleared, 1);
        QCOMPARE(target.finishedWith, 2);
        QVERIFY(!target.restoreOutput);  // entries keep their own settings
        QCOMPARE(target.header.selected, 1);
        QCOMPARE(target.header.currentFrame, 9);
        QCOMPARE(target.header.outputName, h.outputName);
        for (int r = 0; r < 2; ++r) {
            QCOMPARE(encodeRecord(target.opened[size_t(r)]), encodeRecord(entries[size_t(r)]));
        }
    }

    void loadStopsAtTheFirstEntryThatFails() {
        TempDir dir;
        std::vector<ProjectEntry> entries{sampleEntry("one", 0), sampleEntry("two", 1), sampleEntry("three", 2)};
        ProjectHeader h;
        h.perEntrySettings = 0;
        h.selected = 2;
        ListTarget sink;
        std::string path = dir.file("p.qlp");
        QVERIFY(saveProject(path, h, entries, sink));

        ListTarget target;
        target.refuse = "two";
        QVERIFY(!openProject(path, target));
        QCOMPARE(target.opened.size(), size_t(1));
        QCOMPARE(target.opened[0].path, std::string("one"));
        QCOMPARE(target.finishedWith, 1);
        QVERIFY(target.restoreOutput);

        // A file cut inside the second record keeps the first and says so.
        std::vector<uint8_t> b = readAll(path);
        std::string cut = dir.file("cut.qlp");
        {
            std::ofstream out(cut, std::ios::binary);
            out.write(reinterpret_cast<const char*>(b.data()), 285 + 1112 + 500);
        }
        ListTarget partial;
        QVERIFY(!openProject(cut, partial));
        QCOMPARE(partial.opened.size(), size_t(1));
        QCOMPARE(partial.messages.size(), size_t(1));
        QCOMPARE(partial.messages[0].first, std::string("Project open error"));
        QCOMPARE(partial.messages[0].second, "Can not read from file " + cut + ".");
    }

    void brokenFilesKeepTheList() {
        TempDir dir;
        ListTarget missing;
        QVERIFY(!openProject(dir.file("none.qlp"), missing));
        QCOMPARE(missing.messages.at(0).second, "Can not open file " + dir.file("none.qlp") + ".");
        QCOMPARE(missing.cleared, 0);

        std::string shortFile = dir.file("short.qlp");
        { std::ofstream(shortFile, std::ios::binary) << "abc"; }
        ListTarget shortTarget;
        QVERIFY(!openProject(shortFile, shortTarget));
        QCOMPARE(shortTarget.messages.at(0).second, "Can not read from file " + shortFile + ".");
        QCOMPARE(shortTarget.cleared, 0);

        // A count no list can hold is not a project: nothing is cleared.
        ProjectHeader h;
        std::vector<uint8_t> head = encodeHeader(h);
        head[4] = 0x01;
        head[5] = 0x01;  // 257
        std::string big = dir.file("big.qlp");
        {
            std::ofstream out(big, std::ios::binary);
            out.write(reinterpret_cast<const char*>(head.data()), std::streamsize(head.size()));
        }
        ListTarget bigTarget;
        QVERIFY(!openProject(big, bigTarget));
        QCOMPARE(bigTarget.cleared, 0);
        QCOMPARE(bigTarget.existing.size(), size_t(1));

        // An empty project clears the list.
        std::string empty = dir.file("empty.qlp");
        ListTarget sink;
        QVERIFY(saveProject(empty, h, {}, sink));
        ListTarget emptyTarget;
        QVERIFY(openProject(empty, emptyTarget));
        QCOMPARE(emptyTarget.cleared, 1);
        QCOMPARE(emptyTarget.finishedWith, 0);

        // Names without a terminator are cut, never read past.
        std::vector<uint8_t> rec = encodeRecord(sampleEntry("x", 0));
        std::memset(rec.data(), 'z', 260);
        ProjectEntry back = decodeRecord(rec.data());
        QCOMPARE(back.path.size(), size_t(259));

        ListTarget unwritable;
        QVERIFY(!saveProject(dir.file("no/such/dir/p.qlp"), h, {}, unwritable));
        QCOMPARE(unwritable.messages.at(0).first, std::string("Project save error"));
        QCOMPARE(unwritable.messages.at(0).second,
                 "Can not save file " + dir.file("no/such/dir/p.qlp") + ".");

        // A path the record cannot hold is refused rather than cut.
        ListTarget tooLong;
        QVERIFY(!saveProject(dir.file("long.qlp"), h, {sampleEntry(std::string(300, 'p'), 0)}, tooLong));
        QCOMPARE(tooLong.messages.size(), size_t(1));
        QVERIFY(!QFileInfo::exists(QString::fromStdString(dir.file("long.qlp"))));
    }

    void logKeepsLinesWithinItsLimit() {
        LogText log;
        std::string line(998, 'x');  // 1000 bytes with CR LF
        for (int i = 0; i < 24; ++i) QVERIFY(log.append(line));
        QCOMPARE(log.text().size(), size_t(24000));
        QVERIFY(!log.append(std::string(574, 'y')));  // would make 24,576
        QCOMPARE(log.text().size(), size_t(24000));
        QVERIFY(log.append(std::string(573, 'z')));  // exactly 24,575
        QCOMPARE(log.text().size(), size_t(24575));
        QVERIFY(!log.append(""));
        QCOMPARE(log.text().substr(24000, 3), std::string("zzz"));
        QCOMPARE(log.text().substr(log.text().size() - 2), std::string("\r\n"));

        // checklog: the asterisk line, the file replaced, the file opened.
        TempDir dir;
        LogText small;
        small.append("first");
        std::string path = dir.file("state/quillon/avi_log.txt");
        { std::ofstream(dir.file("old"), std::ios::binary) << "old"; }
        std::string opened;
        QCOMPARE(writeAndOpenLog(small, path, [&](const std::string& p) { opened = p; return true; }),
                 std::string());
        QCOMPARE(opened, path);
        std::vector<uint8_t> b = readAll(path);
        QCOMPARE(std::string(b.begin(), b.end()), "first\r\n" + std::string(40, '*') + "\r\n");
        QCOMPARE(writeAndOpenLog(small, path, {}), std::string());
        b = readAll(path);
        QCOMPARE(b.size(), size_t(7 + 42 + 42));

        qputenv("XDG_STATE_HOME", "/tmp/state-for-test");
        QCOMPARE(logFilePath(), std::string("/tmp/state-for-test/quillon/avi_log.txt"));
    }

    void layoutFindsWholeNamesOnly() {
        SkinLayout l;
        l.setText("SVCDRadio=1,2,3,4;\nVCDRadio=5,6,7,8;\nconvert:10, 20,30,40;\nexit=");
        auto svcd = l.find("SVCDRadio");
        auto vcd = l.find("VCDRadio");
        QVERIFY(svcd && vcd);
        QCOMPARE(vcd->left, 5);
        QCOMPARE(svcd->bottom, 4);
        auto conv = l.find("convert");
        QVERIFY(conv);
        QCOMPARE(conv->width(), 20);
        QVERIFY(!l.find("exit"));  // a name with nothing after it
        QVERIFY(!l.find("help"));

        // The shipped layout names every control.
        SkinLayout shipped;
        QVERIFY(shipped.load(QUILLON_TEST_LAYOUT_FILE));
        for (const std::string& name : layoutNames()) QVERIFY2(shipped.find(name), name.c_str());
    }

    void fieldRules() {
        QCOMPARE(widthFromField("500", 352, kMpeg2, true), 496);
        QCOMPARE(heightFromField("500", 240, kMpeg2, true), 500);
        QCOMPARE(heightFromField("500", 240, kMpeg1, true), 496);
        QCOMPARE(widthFromField("500", 352, kMpeg2, false), 500);
        QCOMPARE(widthFromField("31", 352, kVcd, true), 352);
        QCOMPARE(widthFromField("1921", 352, kVcd, true), 352);
        QCOMPARE(heightFromField("1153", 240, kVcd, true), 240);
        QCOMPARE(widthFromField("12a", 352, kVcd, true), 352);
        int mb = 600;
        QVERIFY(!splitFromField("0", mb));
        QVERIFY(!splitFromField("5000", mb));
        QVERIFY(!splitFromField("", mb));
        QCOMPARE(mb, 600);
        QVERIFY(splitFromField(" 4096 ", mb));
        QCOMPARE(mb, 4096);
        QCOMPARE(engineErrorForTarget(kDvd), std::string("Can not initialize convert engine, error 5c."));
        QCOMPARE(engineErrorForStandard(1), std::string("Can not initialize convert engine, error 5h."));
        Size input{640, 480};
        QCOMPARE(targetSize(kMpeg2, 0, &input).width, 640);
        QCOMPARE(targetSize(kSvcd, 1, &input).height, 576);
    }
};

QTEST_GUILESS_MAIN(ProjectFileTest)
#include "project_file_test.moc"

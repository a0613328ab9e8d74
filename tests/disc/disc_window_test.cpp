// "Make disc image" in the desktop window, offscreen, with stand-in tools
// on the PATH and phases that write a stand-in program stream.
#include <QtTest/QtTest>

#include <filesystem>
#include <fstream>

#include "app/conversion_dialog.h"
#include "app/quillon_app.h"
#include "engine/engine.h"
#include "tests/app/app_test_support.h"
#include "tests/disc/disc_test_support.h"
#include "tests/support/temp_dir.h"

using namespace quillon;
using namespace quillon::app;
using quillon::testing::MemoryPreferences;
using quillon::testing::RecordingPresenter;
using quillon::testing::TempDir;

namespace {

class StreamPhases : public ConversionPhases {
public:
    int runs = 0;
    bool encodeVideo(Engine&) override { return true; }
    bool encodeAudio(Engine&) override { return true; }
    bool multiplex(Engine& e, bool, bool) override {
        ++runs;
        std::ofstream(e.job.programStreamName, std::ios::binary) << "pack";
        return true;
    }
};

struct Window {
    TempDir dir;
    std::string tools = dir.file("tools");
    testing::ScopedEnv path{"PATH", tools};
    testing::ScopedEnv notes{"QUILLON_TOOL_NOTES", dir.file("notes")};
    RecordingPresenter presenter;
    MemoryPreferences prefs;
    StreamPhases phases;
    int powerOffs = 0;
    std::unique_ptr<TQuillonApp> app;
    std::vector<std::string> statuses;

    Window() {
        std::filesystem::create_directories(tools);
        std::filesystem::create_directories(dir.file("notes"));
        testing::writeTool(tools, "dvdauthor",
                           "/bin/cp dvdauthor.xml \"$QUILLON_TOOL_NOTES/\"\n"
                           "/bin/mkdir -p dvd/VIDEO_TS dvd/AUDIO_TS\necho ifo > dvd/VIDEO_TS/VIDEO_TS.IFO");
        testing::writeTool(tools, "genisoimage", "echo image > image.iso");
        testing::writeTool(tools, "vcdimager",
                           "for a; do case $a in --cue-file=*) cue=${a#*=};; --bin-file=*) bin=${a#*=};; esac; done\n"
                           "echo cue > \"$cue\"; echo bin > \"$bin\"");
        AppOptions o;
        o.skinDir = QUILLON_TEST_SKIN_DIR;
        o.presenter = &presenter;
        o.preferences = &prefs;
        o.powerOff = [this] { ++powerOffs; return true; };
        o.openFile = [](const std::string&) { return true; };
        o.phases = &phases;
        app = std::make_unique<TQuillonApp>(o);
        app->host().setDialogHook([this](TMPEGDialog& d) {
            QObject::connect(&d, &QDialog::finished, [this, dp = &d] {
                for (const std::string& t : dp->statusHistory()) statuses.push_back(t);
            });
        });
    }
    TMainWindow& w() { return app->window(); }
    bool open(const std::vector<std::string>& names) {
        QStringList paths;
        for (const std::string& n : names) {
            if (!testing::writeTestAvi(dir.file(n), 3)) return false;
            paths << QString::fromStdString(dir.file(n));
        }
        w().openFiles(paths);
        return app->inputs().count() == static_cast<int>(names.size());
    }
    void chooseDisc(const std::string& name) {
        QTest::mouseClick(w().discOption().check(), Qt::LeftButton, {}, QPoint(4, 4));
        if (!name.empty()) w().discOption().nameField()->setText(QString::fromStdString(name));
    }
    bool sawStatus(const std::string& start) const {
        for (const std::string& s : statuses)
            if (s.rfind(start, 0) == 0) return true;
        return false;
    }
};

}  // namespace

class DiscWindowTest : public QObject {
    Q_OBJECT
private slots:
    void optionBesideTheOutputNameWithADefaultName() {
        Window win;
        QVERIFY(win.app->start());
        QVERIFY(win.open({"holiday.avi"}));
        DiscOption& d = win.w().discOption();
        SkinLayout layout;
        QVERIFY(layout.load(std::string(QUILLON_TEST_SKIN_DIR) + "/position_pro.txt"));
        auto check = layout.find("DiscCheck"), field = layout.find("DiscNameField");
        auto output = layout.find("OutputFileNameField");
        QVERIFY(check && field && output);
        QCOMPARE(d.check()->geometry(), QRect(check->left, check->top, check->width(), check->height()));
        QCOMPARE(d.nameField()->geometry(), QRect(field->left, field->top, field->width(), field->height()));
        QVERIFY(d.check()->isVisible());
        QCOMPARE(d.check()->text(), QString("Make disc image"));
        // Right under the output name.
        QVERIFY(check->top >= output->bottom && check->top - output->bottom < 16);

        QVERIFY(!d.on());
        QVERIFY(!d.nameField()->isEnabled());
        win.chooseDisc("");
        QVERIFY(d.on());
        QVERIFY(d.nameField()->isEnabled());
        win.w().setTarget(4);
        QCOMPARE(d.nameField()->placeholderText().toStdString(), win.dir.file("holiday.iso"));
        win.w().setTarget(3);
        QCOMPARE(d.imagePath(), win.dir.file("holiday.cue"));
        win.w().setOutputName(win.dir.file("trip.mpg"));
        QCOMPARE(d.imagePath(), win.dir.file("trip.cue"));
        win.w().setTarget(2);
        QVERIFY(d.nameField()->placeholderText().contains("VCD, SVCD and DVD"));
    }

    void dvdImageAfterABatch() {
        Window win;
        QVERIFY(win.app->start());
        QVERIFY(win.open({"a.avi", "b.avi"}));
        win.w().setTarget(4);
        win.w().setJoiner(false);
        win.w().setShutdown(true);
        win.chooseDisc(win.dir.file("both.iso"));
        win.w().convert();
        QVERIFY2(win.presenter.shown.empty(), win.presenter.all().c_str());
        QCOMPARE(win.phases.runs, 2);
        QCOMPARE(testing::readText(win.dir.file("both.iso")), std::string("image\n"));
        // A title per output, in the list's order.
        const std::string xml = testing::readText(win.dir.file("notes/dvdauthor.xml"));
        QVERIFY2(xml.find("title01-00.mpg") < xml.find("title02-00.mpg") &&
                     xml.find("title02-00.mpg") != std::string::npos,
                 xml.c_str());
        QVERIFY(win.sawStatus("Making disc image: 100%"));
        QCOMPARE(win.powerOffs, 1);
        QVERIFY(win.w().discOption().check()->isEnabled());
    }

    void refusedForAGenericTargetBeforeAnyWork() {
        Window win;
        QVERIFY(win.app->start());
        QVERIFY(win.open({"a.avi"}));
        win.w().setTarget(0);
        win.chooseDisc(win.dir.file("x.iso"));
        win.w().convert();
        QCOMPARE(win.phases.runs, 0);
        QCOMPARE(int(win.presenter.shown.size()), 1);
        QVERIFY(win.presenter.shown[0].text.find("disc images are made for VCD, SVCD and DVD") != std::string::npos);
        QVERIFY(win.w().isEnabled());
    }

    void anExistingImageIsReplacedOnlyWhenTheUserSaysSo() {
        Window win;
        QVERIFY(win.app->start());
        QVERIFY(win.open({"a.avi"}));
        win.w().setTarget(1);
        win.w().setOutputName(win.dir.file("a.mpg"));
        std::ofstream(win.dir.file("old.bin")) << "old";
        win.chooseDisc(win.dir.file("old.cue"));
        win.presenter.answer = false;
        win.w().convert();
        QCOMPARE(win.phases.runs, 0);
        QCOMPARE(int(win.presenter.asked.size()), 1);
        QVERIFY(win.presenter.asked[0].text.find("old.bin already exists. Replace it?") != std::string::npos);
        QCOMPARE(testing::readText(win.dir.file("old.bin")), std::string("old"));
        win.presenter.answer = true;
        win.w().convert();
        QCOMPARE(int(win.presenter.shown.size()), 1);
        // The end message names the image with the outputs.
        QVERIFY2(win.presenter.shown[0].text.find("Conversion finished.") == 0 &&
                     win.presenter.shown[0].text.find(win.dir.file("old.cue")) != std::string::npos &&
                     win.presenter.shown[0].text.find(win.dir.file("old.bin")) != std::string::npos,
                 win.presenter.all().c_str());
        QCOMPARE(win.phases.runs, 1);
        QCOMPARE(testing::readText(win.dir.file("old.bin")), std::string("bin\n"));
        QCOMPARE(testing::readText(win.dir.file("old.cue")), std::string("cue\n"));
    }

    void aFailedDiscIsNotADoneConversion() {
        Window win;
        testing::writeTool(win.tools, "vcdimager", "echo '**ERROR: no space'\nexit 1");
        QVERIFY(win.app->start());
        QVERIFY(win.open({"a.avi"}));
        win.w().setTarget(3);
        win.w().setOutputName(win.dir.file("a.mpg"));
        win.w().setShutdown(true);
        win.chooseDisc("");
        win.w().convert();
        QCOMPARE(win.phases.runs, 1);
        QVERIFY(std::filesystem::exists(win.dir.file("a.mpg")));
        QVERIFY(!std::filesystem::exists(win.dir.file("a.cue")));
        QCOMPARE(int(win.presenter.shown.size()), 2);
        QCOMPARE(win.presenter.shown[0].text, std::string("vcdimager failed with exit status 1.\n**ERROR: no space"));
        // The end message does not call the conversion failed: its outputs stay.
        QVERIFY2(win.presenter.shown[1].text.find("the disc image was not made") != std::string::npos &&
                     win.presenter.shown[1].text.find(win.dir.file("a.mpg")) != std::string::npos,
                 win.presenter.all().c_str());
        QCOMPARE(win.powerOffs, 0);
        // The tool's words are in the log.
        QVERIFY(win.app->log().text().find("vcdimager: **ERROR: no space") != std::string::npos);
    }
};

QTEST_MAIN(DiscWindowTest)
#include "disc_window_test.moc"

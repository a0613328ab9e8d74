// The main window and the conversion dialog, driven as a user would,
// offscreen.
#include <QtCore/QPointer>
#include <QtGui/QAction>
#include <QtTest/QtTest>

#include <QtWidgets/QApplication>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "app/conversion_dialog.h"
#include "app/filter_dialog.h"
#include "app/quillon_app.h"
#include "engine/engine.h"
#include "engine/format.h"
#include "platform/profile.h"
#include "tests/app/app_test_support.h"
#include "tests/support/av_reader.h"
#include "tests/support/temp_dir.h"
#ifdef QUILLON_TEST_PIPELINE
#include "engine/standard_phases.h"
#endif

using namespace quillon;
using namespace quillon::app;
using quillon::testing::MemoryPreferences;
using quillon::testing::RecordingPresenter;
using quillon::testing::TempDir;
using quillon::testing::writeTestAvi;

namespace {

std::string shotPath(const char* name) {
    std::filesystem::create_directories(QUILLON_TEST_SHOT_DIR);
    return std::string(QUILLON_TEST_SHOT_DIR) + "/" + name;
}

// Phases that do what the real ones do to the dialog and the callbacks:
// pull every picture and sound block, show pictures, set progress, pump,
// and write a program stream file. Used where the real encoders are not
// the point.
class PullingPhases : public ConversionPhases {
public:
    int picturesPulled = 0;
    int soundBlocks = 0;
    std::function<void(Engine&, int)> onPicture;

    bool encodeVideo(Engine& e) override {
        for (int f = e.job.firstFrame; f < e.job.firstFrame + e.job.frameCount; ++f) {
            int32_t rowBytes = 0;
            const uint8_t* pixels = nullptr;
            if (e.request.frameSource->getFrame(f, &rowBytes, &pixels) != kSourceOk) return false;
            ++picturesPulled;
            if (e.previewOn()) e.showPreview(pixels, e.request.width, e.request.height, rowBytes);
            e.setProgress(formatText("Encoding picture %d of %d", f + 1, e.job.frameCount),
                          100 * (f + 1) / e.job.frameCount);
            if (onPicture) onPicture(e, f);
            e.pumpMessages();
            if (e.job.stopRequested) return false;
            ++e.job.framesEncoded;
        }
        return true;
    }
    bool encodeAudio(Engine& e) override {
        int next = e.job.firstSample;
        while (next <= e.job.lastSample) {
            int32_t consumed = 0, bytes = 0;
            const uint8_t* pcm = nullptr;
            if (e.request.sampleSource->getSamples(next, &consumed, &bytes, &pcm) != kSourceOk) return false;
            if (consumed <= 0) break;
            next += consumed;
            ++soundBlocks;
            e.pumpMessages();
            if (e.job.stopRequested) return false;
        }
        return true;
    }
    bool multiplex(Engine& e, bool, bool) override {
        std::ofstream out(e.job.programStreamName, std::ios::binary);
        out << "pack";
        return bool(out);
    }
};

struct Harness {
    RecordingPresenter presenter;
    MemoryPreferences prefs;
    int powerOffs = 0;
    std::vector<std::string> openedFiles;
    std::unique_ptr<TQuillonApp> app;

    explicit Harness(ConversionPhases* phases, const std::string& logPath = {},
                     const std::string& skinDir = QUILLON_TEST_SKIN_DIR) {
        AppOptions o;
        o.skinDir = skinDir;
        o.presenter = &presenter;
        o.preferences = &prefs;
        o.powerOff = [this] { ++powerOffs; return true; };
        o.openFile = [this](const std::string& p) { openedFiles.push_back(p); return true; };
        o.phases = phases;
        o.logPath = logPath;
        app = std::make_unique<TQuillonApp>(o);
    }
    TMainWindow& w() { return app->window(); }
};

void typeInto(QLineEdit* field, const QString& text) {
    field->setFocus();
    field->selectAll();
    QTest::keyClicks(field, text);
    QTest::keyClick(field, Qt::Key_Return);
}

}  // namespace

class WindowTest : public QObject {
    Q_OBJECT
private slots:
    void controlsSitAtTheirRectangles() {
        Harness h(nullptr);
        QVERIFY(h.app->start());
        QVERIFY2(h.presenter.shown.empty(), h.presenter.all().c_str());
        SkinLayout layout;
        QVERIFY(layout.load(std::string(QUILLON_TEST_SKIN_DIR) + "/position_pro.txt"));
        auto main = layout.find("MainSize");
        QCOMPARE(h.w().size(), QSize(main->width(), main->height()));
        for (const std::string& name : layoutNames()) {
            if (name == "MainSize") continue;
            QWidget* c = h.w().control(name);
            QVERIFY2(c, name.c_str());
            auto r = layout.find(name);
            QCOMPARE(c->geometry(), QRect(r->left, r->top, r->width(), r->height()));
        }
        // Every glyph picture holds at least four states the button's width.
        for (const char* b : {"convert", "openfile", "inputplay", "exit", "home"}) {
            TGlyphButton* button = h.w().button(b);
            QVERIFY2(button->glyph(), b);
            QVERIFY(button->glyph()->image().width() >= 4 * button->width());
            QCOMPARE(button->glyph()->image().height(), button->height());
        }
        QCOMPARE(h.app->frame().windowTitle(), QString("Quillon Converter v3.62"));
        // A button shows the cell of its state.
        TGlyphButton* exit = h.w().button("exit");
        QCOMPARE(exit->grab().toImage().convertToFormat(QImage::Format_RGB32),
                 exit->glyph()->cell(TGlyphButton::kNormal, exit->width()));
        exit->setEnabled(false);
        QCOMPARE(exit->currentState(), TGlyphButton::kDisabled);
        QCOMPARE(exit->grab().toImage().convertToFormat(QImage::Format_RGB32),
                 exit->glyph()->cell(TGlyphButton::kDisabled, exit->width()));
        QVERIFY(exit->glyph()->cell(TGlyphButton::kDisabled, exit->width()) !=
                exit->glyph()->cell(TGlyphButton::kNormal, exit->width()));
        QCOMPARE(h.w().button("joiner")->currentState(), TGlyphButton::kActive);
        QCOMPARE(h.w().button("batch")->currentState(), TGlyphButton::kNormal);
        // The log starts with the system lines.
        QVERIFY(h.app->log().text().find("OS Info = ") == 0);
        QVERIFY(h.app->log().text().find("CPU Info = ") != std::string::npos);
        QVERIFY(h.app->log().text().find(std::string("Qt Info = ") + qVersion()) != std::string::npos);
    }

    void missingSkinKeepsTheDefaultLayout() {
        TempDir dir;
        Harness h(nullptr, {}, dir.path().string());
        QVERIFY(h.app->start());
        QVERIFY(!h.presenter.shown.empty());
        QCOMPARE(h.presenter.shown[0].caption, std::string("Initial UI error!"));
        QCOMPARE(h.presenter.shown[0].text, std::string("Can not open file position_pro.txt."));
        QCOMPARE(h.w().size(), QSize(880, 600));
        QVERIFY(h.w().control("convert")->geometry().width() > 0);

        // A layout with a name but no rectangle closes the window.
        { std::ofstream(dir.file("position_pro.txt")) << "MainSize=0,0,800,600;\nVCDRadio="; }
        Harness broken(nullptr, {}, dir.path().string());
        QVERIFY(!broken.app->start());
        QVERIFY(broken.w().closeRequested());
    }

    void targetAndStandardSetTheSize() {
        Harness h(nullptr);
        QVERIFY(h.app->start());
        QCOMPARE(h.w().widthField()->text(), QString("352"));
        QCOMPARE(h.w().heightField()->text(), QString("240"));
        QTest::mouseClick(h.w().standardRadio(1), Qt::LeftButton);
        QCOMPARE(h.w().heightField()->text(), QString("288"));
        QTest::mouseClick(h.w().targetRadio(kDvd), Qt::LeftButton);
        QCOMPARE(h.w().state().target, int(kDvd));
        QCOMPARE(h.w().widthField()->text(), QString("720"));
        QCOMPARE(h.w().heightField()->text(), QString("576"));
        QCOMPARE(h.app->engine().engine().record.videoType, int(kKindDvd));
        QTest::mouseClick(h.w().standardRadio(0), Qt::LeftButton);
        QCOMPARE(h.w().heightField()->text(), QString("480"));
        QTest::mouseClick(h.w().targetRadio(kSvcd), Qt::LeftButton);
        QCOMPARE(h.w().widthField()->text(), QString("480"));
        QVERIFY(h.presenter.shown.empty());
    }

    void sizeFieldsFollowTheirRules() {
        TempDir dir;
        QVERIFY(writeTestAvi(dir.file("a.avi"), 5, 320, 240));
        Harness h(nullptr);
        QVERIFY(h.app->start());
        h.w().openFiles({QString::fromStdString(dir.file("a.avi"))});
        QCOMPARE(h.app->inputs().count(), 1);
        QTest::mouseClick(h.w().targetRadio(kMpeg2), Qt::LeftButton);
        QCOMPARE(h.w().widthField()->text(), QString("320"));  // the input's size
        typeInto(h.w().widthField(), "500");
        QCOMPARE(h.w().widthField()->text(), QString("496"));
        QCOMPARE(h.app->inputs().table().entry(0).outputWidth, 496);
        typeInto(h.w().heightField(), "500");
        QCOMPARE(h.w().heightField()->text(), QString("500"));
        QCOMPARE(h.app->inputs().table().entry(0).outputHeight, 500);
        // Bad text puts the entry's stored size back.
        typeInto(h.w().widthField(), "20");
        QCOMPARE(h.w().widthField()->text(), QString("496"));
        typeInto(h.w().heightField(), "tall");
        QCOMPARE(h.w().heightField()->text(), QString("500"));
        QCOMPARE(h.w().state().outputWidth, 496);

        // A target change sizes every entry, not just the selected one.
        QVERIFY(writeTestAvi(dir.file("b.avi"), 3, 176, 144));
        h.w().openFiles({QString::fromStdString(dir.file("b.avi"))});
        InputTable& t = h.app->inputs().table();
        QTest::mouseClick(h.w().targetRadio(kDvd), Qt::LeftButton);
        QCOMPARE(h.w().state().pal, 1);  // the 25 fps inputs chose PAL
        for (int i = 0; i < 2; ++i) {
            QCOMPARE(t.entry(i).outputWidth, 720);
            QCOMPARE(t.entry(i).outputHeight, 576);
        }
        QTest::mouseClick(h.w().targetRadio(kMpeg1), Qt::LeftButton);
        QCOMPARE(t.entry(0).outputWidth, 320);
        QCOMPARE(t.entry(1).outputHeight, 144);
        QCOMPARE(h.w().widthField()->text(), QString("176"));  // b.avi is selected
        h.w().selectEntry(0);
        QCOMPARE(h.w().widthField()->text(), QString("320"));
    }

    void maxLenKeepsTheMaximumOnBadInput() {
        Harness h(nullptr);
        QVERIFY(h.app->start());
        QTest::mouseClick(h.w().control("SplitCheck"), Qt::LeftButton);
        QVERIFY(h.w().state().splitEnabled);
        typeInto(h.w().maxLenField(), "700");
        QCOMPARE(h.w().state().maxFileSizeMB, 700);
        for (const char* bad : {"0", "5000"}) {
            h.presenter.shown.clear();
            typeInto(h.w().maxLenField(), bad);
            QCOMPARE(h.presenter.shown.size(), size_t(1));
            QCOMPARE(h.presenter.shown[0].caption, std::string("invalid entry"));
            QCOMPARE(h.presenter.shown[0].text, std::string("Max File size range is (1M .. 4096M)."));
            QCOMPARE(h.w().state().maxFileSizeMB, 700);
            QCOMPARE(h.w().maxLenField()->text(), QString("700"));
        }
    }

    void checklogWritesAndOpensTheLog() {
        TempDir dir;
        std::string logPath = dir.file("state/quillon/avi_log.txt");
        Harness h(nullptr, logPath);
        QVERIFY(h.app->start());
        QVERIFY(writeTestAvi(dir.file("a.avi"), 3));
        h.w().openFiles({QString::fromStdString(dir.file("a.avi"))});
        QTest::mouseClick(h.w().button("checklog"), Qt::LeftButton);
        QCOMPARE(h.openedFiles.size(), size_t(1));
        QCOMPARE(h.openedFiles[0], logPath);
        std::ifstream in(logPath, std::ios::binary);
        std::string text{std::istreambuf_iterator<char>(in), {}};
        QVERIFY(text.find("File Name: " + dir.file("a.avi")) != std::string::npos);
        QVERIFY(text.size() >= 42);
        QCOMPARE(text.substr(text.size() - 42), std::string(40, '*') + "\r\n");
    }

    void projectRoundTrip() {
        TempDir dir;
        QVERIFY(writeTestAvi(dir.file("a.avi"), 6, 160, 120, 25));
        QVERIFY(writeTestAvi(dir.file("b.avi"), 8, 176, 144, 25, false));
        Harness h(nullptr);
        QVERIFY(h.app->start());
        h.w().openFiles({QString::fromStdString(dir.file("a.avi")), QString::fromStdString(dir.file("b.avi"))});
        QCOMPARE(h.app->inputs().count(), 2);
        // b.avi has no sound: one warning, nothing else.
        QCOMPARE(h.presenter.shown.size(), size_t(1));
        QCOMPARE(h.presenter.shown[0].caption, std::string("open avi file warning"));
        h.presenter.shown.clear();
        InputTable& t = h.app->inputs().table();
        t.entry(0).cropX = 8;
        t.entry(0).cropY = 4;
        t.entry(0).cropWidth = 120;
        t.entry(0).cropHeight = 100;
        t.entry(0).selectedFrames = 4;
        t.entry(0).outputName = dir.file("first.mpg");
        t.entry(1).invert = true;
        t.entry(1).fillIn = true;
        t.entry(1).colourFix = true;
        t.entry(1).currentFrame = 3;
        h.w().selectEntry(1);

        QTest::qWait(20);
        QWidget& shotWindow = h.app->frame();
        shotWindow.show();
        QVERIFY(h.w().grab().save(QString::fromStdString(shotPath("main_window_two_inputs.png"))));

        std::string project = dir.file("p.qlp");
        QVERIFY(h.w().saveProjectTo(project));
        QVERIFY(h.presenter.shown.empty());

        h.w().openFiles({QString::fromStdString(dir.file("a.avi"))});
        QCOMPARE(h.app->inputs().count(), 3);
        QVERIFY(h.w().openProjectFrom(project));
        QCOMPARE(h.presenter.shown.size(), size_t(1));  // b.avi's warning again
        h.presenter.shown.clear();
        QCOMPARE(t.count(), 2);
        QCOMPARE(t.entry(0).path, dir.file("a.avi"));
        QCOMPARE(t.entry(1).path, dir.file("b.avi"));
        QCOMPARE(t.entry(0).cropX, 8);
        QCOMPARE(t.entry(0).cropY, 4);
        QCOMPARE(t.entry(0).cropWidth, 120);
        QCOMPARE(t.entry(0).cropHeight, 100);
        QCOMPARE(t.entry(0).selectedFrames, 4u);
        QCOMPARE(t.entry(0).outputName, dir.file("first.mpg"));
        QVERIFY(!t.entry(0).invert);
        QVERIFY(t.entry(1).invert);
        QVERIFY(t.entry(1).fillIn);
        QVERIFY(t.entry(1).colourFix);
        QCOMPARE(t.selected(), 1);
        QCOMPARE(t.entry(1).currentFrame, 3);
        QCOMPARE(h.w().inputList()->currentRow(), 1);
        QVERIFY(h.w().infoPanel()->toPlainText().contains("b.avi"));

        // The saved bytes carry what the list held.
        std::ifstream in(project, std::ios::binary);
        std::vector<uint8_t> b{std::istreambuf_iterator<char>(in), {}};
        // The header, two records, and the target and standard after them.
        QCOMPARE(b.size(), size_t(285 + 2 * 1112 + 12));
        QCOMPARE(std::string(b.begin() + 285 + 2 * 1112, b.begin() + 285 + 2 * 1112 + 4), std::string("QLTS"));
        QCOMPARE(int(b[285 + 2 * 1112 + 4]), h.w().state().target);
        QCOMPARE(int(b[285 + 2 * 1112 + 8]), h.w().state().pal);
        QCOMPARE(int(b[4]), 2);
        QCOMPARE(int(b[8]), 1);
        QCOMPARE(int(b[285 + 964]), 8);
        QCOMPARE(int(b[285 + 1112 + 958]), 1);
        QCOMPARE(int(b[285 + 1112 + 957]), 1);
        QCOMPARE(int(b[285 + 956]), 1);
        QCOMPARE(int(b[285 + 1112 + 956]), 0);

        // A project naming a file that is gone stops there.
        std::filesystem::remove(dir.file("b.avi"));
        QVERIFY(writeTestAvi(dir.file("c.avi"), 3));
        h.w().openFiles({QString::fromStdString(dir.file("c.avi"))});
        QVERIFY(!h.w().openProjectFrom(project));
        QCOMPARE(t.count(), 1);
        QCOMPARE(t.entry(0).path, dir.file("a.avi"));
        QCOMPARE(t.entry(0).cropX, 8);
        QVERIFY(!h.presenter.shown.empty());
    }

    void batchRunsEveryEntryAndPowersOff() {
        TempDir dir;
        QVERIFY(writeTestAvi(dir.file("a.avi"), 4));
        QVERIFY(writeTestAvi(dir.file("b.avi"), 3, 160, 120, 25, false));
        PullingPhases phases;
        Harness h(&phases);
        QVERIFY(h.app->start());
        h.w().openFiles({QString::fromStdString(dir.file("a.avi")), QString::fromStdString(dir.file("b.avi"))});
        QTest::mouseClick(h.w().button("batch"), Qt::LeftButton);
        QVERIFY(!h.w().state().joiner);
        h.w().setShutdown(true);
        std::vector<std::string> cancelLabels;
        std::vector<bool> startEnabled;
        std::vector<bool> shutdownShown;
        h.app->host().setDialogHook([&](TMPEGDialog& d) {
            QObject::connect(&d, &QDialog::finished, [&, dp = &d] {
                shutdownShown.push_back(dp->shutdownCheck()->isChecked());  // mirrors the window
                cancelLabels.push_back(dp->cancelButton()->text().toStdString());
                startEnabled.push_back(dp->startButton()->isEnabled());
            });
        });
        h.presenter.shown.clear();  // b.avi's missing sound
        QTest::mouseClick(h.w().button("convert"), Qt::LeftButton);
        QVERIFY2(h.presenter.shown.empty(), h.presenter.all().c_str());
        QCOMPARE(shutdownShown, (std::vector<bool>{true, true}));
        QCOMPARE(cancelLabels, (std::vector<std::string>{"&Ok", "&Ok"}));
        QCOMPARE(startEnabled, (std::vector<bool>{false, false}));
        // PAL from the 25 fps inputs: 4 and 3 frames give 4 and 3 pictures.
        QCOMPARE(h.w().state().pal, 1);
        QCOMPARE(phases.picturesPulled, 4 + 3);
        QVERIFY(std::filesystem::exists(dir.file("a.mpg")));
        QVERIFY(std::filesystem::exists(dir.file("b.mpg")));
        QCOMPARE(h.powerOffs, 1);
        QCOMPARE(h.app->inputs().selected(), 0);
        QVERIFY(h.w().button("convert")->isEnabled());
    }

    void stopAsksFirstAndEndsTheBatch() {
        TempDir dir;
        QVERIFY(writeTestAvi(dir.file("a.avi"), 12));
        QVERIFY(writeTestAvi(dir.file("b.avi"), 4));
        PullingPhases phases;
        Harness h(&phases);
        QVERIFY(h.app->start());
        h.w().openFiles({QString::fromStdString(dir.file("a.avi")), QString::fromStdString(dir.file("b.avi"))});
        h.w().setJoiner(false);
        h.w().setShutdown(true);
        TMPEGDialog* dialog = nullptr;
        bool stopWasEnabled = false, cancelWasEnabled = true;
        h.app->host().setDialogHook([&](TMPEGDialog& d) { dialog = &d; });
        phases.onPicture = [&](Engine&, int f) {
            if (f == 2 && dialog) {
                stopWasEnabled = dialog->stopButton()->isEnabled();
                cancelWasEnabled = dialog->cancelButton()->isEnabled();
                QTest::mouseClick(dialog->stopButton(), Qt::LeftButton);
            }
            if (f == 5 && dialog) {
                QVERIFY(dialog->previewPane()->isVisible());
                dialog->grab().save(QString::fromStdString(shotPath("conversion_dialog_running.png")));
            }
        };
        h.presenter.answer = false;  // first a No: the run goes on
        int asked = 0;
        phases.onPicture = [&, first = phases.onPicture](Engine& e, int f) {
            first(e, f);
            if (f == 7 && dialog) {
                h.presenter.answer = true;
                QTest::mouseClick(dialog->stopButton(), Qt::LeftButton);
            }
            asked = int(h.presenter.asked.size());
        };
        h.w().convert();
        QVERIFY(stopWasEnabled);
        QVERIFY(!cancelWasEnabled);
        QCOMPARE(h.presenter.asked.size(), size_t(2));
        QCOMPARE(h.presenter.asked[0].caption, std::string("Quorvel Encoder"));
        QCOMPARE(h.presenter.asked[0].text, std::string("Are you sure to stop it?"));
        QVERIFY(asked >= 1);
        // Stopped at picture 8 of the first entry; the second never ran.
        QCOMPARE(phases.picturesPulled, 8);
        QVERIFY(!std::filesystem::exists(dir.file("b.mpg")));
        QCOMPARE(h.powerOffs, 0);
    }

    void listCommandsMoveAndRemove() {
        TempDir dir;
        QVERIFY(writeTestAvi(dir.file("a.avi"), 3));
        QVERIFY(writeTestAvi(dir.file("b.avi"), 3));
        QVERIFY(writeTestAvi(dir.file("c.avi"), 3));
        Harness h(nullptr);
        QVERIFY(h.app->start());
        h.w().openFiles({QString::fromStdString(dir.file("a.avi")), QString::fromStdString(dir.file("b.avi")),
                         QString::fromStdString(dir.file("c.avi"))});
        QListWidget* list = h.w().inputList();
        auto names = [&] {
            QStringList n;
            for (int i = 0; i < list->count(); ++i) n << list->item(i)->text();
            return n.join(",");
        };
        QCOMPARE(names(), QString("a.avi,b.avi,c.avi"));
        QCOMPARE(list->currentRow(), 2);  // the last one opened
        list->setCurrentRow(1);
        QCOMPARE(h.app->inputs().selected(), 1);
        QTest::mouseClick(h.w().button("upfile"), Qt::LeftButton);
        QCOMPARE(names(), QString("b.avi,a.avi,c.avi"));
        QCOMPARE(list->currentRow(), 0);
        QTest::mouseClick(h.w().button("upfile"), Qt::LeftButton);  // already first
        QCOMPARE(names(), QString("b.avi,a.avi,c.avi"));
        QTest::mouseClick(h.w().button("downfile"), Qt::LeftButton);
        QTest::mouseClick(h.w().button("downfile"), Qt::LeftButton);
        QCOMPARE(names(), QString("a.avi,c.avi,b.avi"));
        QTest::mouseClick(h.w().button("removefile"), Qt::LeftButton);
        QCOMPARE(names(), QString("a.avi,c.avi"));
        QCOMPARE(h.app->inputs().count(), 2);
        QVERIFY(h.w().infoPanel()->toPlainText().contains(list->currentItem()->text()));
    }

    void batchModeStartsOnceAndCloses() {
        TempDir dir;
        QVERIFY(writeTestAvi(dir.file("a.avi"), 3));
        QVERIFY(writeProfileString("Quorvel Encoder", "Batch", "1"));
        PullingPhases phases;
        Harness h(&phases);
        QVERIFY(h.app->start());
        h.w().openFiles({QString::fromStdString(dir.file("a.avi"))});
        h.w().setOutputName(dir.file("a.mpg"));
        h.w().convert();
        QVERIFY(writeProfileString("Quorvel Encoder", "Batch", "0"));
        QCOMPARE(h.app->engine().batchMode(), 1);
        QCOMPARE(phases.picturesPulled, 3);  // the posted Start and the timer ran it once
        QVERIFY(std::filesystem::exists(dir.file("a.mpg")));
    }

    void profileKeysAndPosition() {
        Harness h(nullptr);
        h.prefs.values["Quillon Converter/left"] = 900;  // off the allowed range
        h.prefs.values["Quillon Converter/top"] = 120;
        h.prefs.values["Quillon Converter/editFilters"] = 1;
        h.app = nullptr;  // rebuild with the profile in place
        AppOptions o;
        o.skinDir = QUILLON_TEST_SKIN_DIR;
        o.presenter = &h.presenter;
        o.preferences = &h.prefs;
        o.powerOff = [] { return true; };
        TQuillonApp app(o);
        QVERIFY(app.start());
        QCOMPARE(app.frame().pos(), QPoint(0, 120));
        QCOMPARE(app.window().state().editFilters, 1);
        // With editFilters an open shows the decoders it goes through.
        TempDir dir;
        QVERIFY(writeTestAvi(dir.file("a.avi"), 2));
        QStringList shownFilters;
        app.window().setFilterHook([&](TFilterDialog& d) {
            for (int i = 0; i < d.list()->count(); ++i) shownFilters << d.list()->item(i)->text();
            d.showProperties();
        });
        app.window().openFiles({QString::fromStdString(dir.file("a.avi"))});
        QVERIFY(!shownFilters.isEmpty());
        QVERIFY(shownFilters[0].startsWith("Video decoder: "));
        QVERIFY(h.presenter.sawText("Unable to find filter properties"));
        app.engine().engine().ev.batchMode = 1;
        app.frame().move(40, 60);
        app.frame().close();
        QCOMPARE(h.prefs.values["Quillon Converter/left"], 40);
        QCOMPARE(h.prefs.values["Quillon Converter/top"], 60);
        QCOMPARE(h.prefs.values["Quillon Converter/editFilters"], 1);
        QCOMPARE(h.prefs.values["Quorvel Encoder/Batch"], 1);
    }

    void qualityMenuKeepsTheLevelInTheProfile() {
        Harness h(nullptr);
        h.prefs.values["Quorvel Encoder/Quality"] = 0;
        h.app = nullptr;  // rebuild with the profile in place
        AppOptions o;
        o.skinDir = QUILLON_TEST_SKIN_DIR;
        o.presenter = &h.presenter;
        o.preferences = &h.prefs;
        o.powerOff = [] { return true; };
        TQuillonApp app(o);
        QVERIFY(app.start());
        auto* classic = app.frame().findChild<QAction*>("quality-classic");
        auto* best = app.frame().findChild<QAction*>("quality-best");
        auto* high = app.frame().findChild<QAction*>("quality-high");
        QVERIFY(classic && best && high);
        QVERIFY(classic->isChecked());
        QVERIFY(!high->isChecked());
        best->trigger();
        QCOMPARE(h.prefs.values["Quorvel Encoder/Quality"], 2);
        QVERIFY(best->isChecked());
        QVERIFY(!classic->isChecked());
    }

    void imageListInAProject() {
        TempDir dir;
        std::ofstream list(dir.file("pictures.lst"));
        for (int i = 0; i < 3; ++i) {
            QImage img(96, 64, QImage::Format_RGB32);
            img.fill(QColor(40 * i, 120, 200 - 40 * i));
            std::string name = dir.file("p" + std::to_string(i) + ".jpg");
            QVERIFY(img.save(QString::fromStdString(name), "JPG"));
            list << name << "\n";
        }
        list.close();
        Harness h(nullptr);
        QVERIFY(h.app->start());
        h.w().openFiles({QString::fromStdString(dir.file("pictures.lst"))});
        QVERIFY2(h.presenter.shown.empty(), h.presenter.all().c_str());
        InputTable& t = h.app->inputs().table();
        QCOMPARE(t.count(), 1);
        QCOMPARE(t.entry(0).totalFrames, 3u);
        QVERIFY(h.w().infoPanel()->toPlainText().startsWith("File List Name: "));
        h.w().setInvert(true);
        t.entry(0).cropX = 8;
        t.entry(0).cropWidth = 64;
        t.entry(0).cropHeight = 48;
        std::string project = dir.file("list.qlp");
        QVERIFY(h.w().saveProjectTo(project));
        std::ifstream in(project, std::ios::binary);
        std::vector<uint8_t> b{std::istreambuf_iterator<char>(in), {}};
        QCOMPARE(int(b[285 + 957]), 0);  // not a video file
        std::string listDir(reinterpret_cast<const char*>(&b[285 + 520]));
        QCOMPARE(listDir, dir.path().string() + "/");
        t.clear();
        QVERIFY(h.w().openProjectFrom(project));
        QCOMPARE(t.count(), 1);
        QVERIFY(!t.entry(0).isVideoFile);
        QVERIFY(t.entry(0).invert);
        QCOMPARE(t.entry(0).cropX, 8);
        QCOMPARE(t.entry(0).cropWidth, 64);
    }

    void inputPreviewPlaysAndStops() {
        TempDir dir;
        QVERIFY(writeTestAvi(dir.file("a.avi"), 6));
        Harness h(nullptr);
        QVERIFY(h.app->start());
        h.w().openFiles({QString::fromStdString(dir.file("a.avi"))});
        QVERIFY(h.w().inputPreview()->hasFrame());
        QVERIFY(h.w().outputPreview()->hasFrame());
        QCOMPARE(h.w().outputPreview()->frame().size(), QSize(352, 288));
        QElapsedTimer clock;
        clock.start();
        QTest::mouseClick(h.w().button("inputplay"), Qt::LeftButton);
        QVERIFY(clock.elapsed() >= 5 * 40);  // six frames at 25 per second
        QCOMPARE(h.w().button("inputplay")->text(), QString("Play"));
        QCOMPARE(h.app->inputs().currentFrame(0), 0);  // back to the start
        if (h.app->inputs().facts(0).decodeRoute == 0) {
            // A second press stops; route 0 keeps the position.
            QTimer::singleShot(90, [&] {
                QCOMPARE(h.w().button("inputplay")->text(), QString("Stop"));
                h.w().playInput();
            });
            h.w().playInput();
            int at = h.app->inputs().currentFrame(0);
            QVERIFY(at > 0 && at < 5);
        }
    }

    void closingTheDialogStopsTheRunAtOnce() {
        TempDir dir;
        QVERIFY(writeTestAvi(dir.file("a.avi"), 10));
        PullingPhases phases;
        Harness h(&phases);
        QVERIFY(h.app->start());
        h.w().openFiles({QString::fromStdString(dir.file("a.avi"))});
        h.w().setOutputName(dir.file("out.mpg"));
        TMPEGDialog* dialog = nullptr;
        h.app->host().setDialogHook([&](TMPEGDialog& d) { dialog = &d; });
        phases.onPicture = [&](Engine&, int f) {
            if (f == 3) dialog->close();
        };
        h.w().convert();
        QVERIFY(h.presenter.asked.empty());  // no question for the close box
        QCOMPARE(phases.picturesPulled, 4);
        QVERIFY(h.w().isEnabled());
        QVERIFY(h.w().button("convert")->isEnabled());
    }

    // One file per input with the same input twice: each output its own
    // name, and the end message says which.
    void sameNamedBatchOutputsGetNamesOfTheirOwn() {
        TempDir dir;
        QVERIFY(writeTestAvi(dir.file("a.avi"), 4));
        PullingPhases phases;
        Harness h(&phases);
        QVERIFY(h.app->start());
        h.w().openFiles({QString::fromStdString(dir.file("a.avi")), QString::fromStdString(dir.file("a.avi"))});
        h.w().setJoiner(false);
        h.presenter.shown.clear();
        h.w().convert();
        QCOMPARE(phases.picturesPulled, 4 + 4);
        QVERIFY(std::filesystem::exists(dir.file("a.mpg")));
        QVERIFY(std::filesystem::exists(dir.file("a-2.mpg")));
        QCOMPARE(h.presenter.shown.size(), size_t(1));
        const std::string& text = h.presenter.shown[0].text;
        QVERIFY2(text.find("Conversion finished.") == 0, text.c_str());
        QVERIFY2(text.find(dir.file("a.avi") + " -> " + dir.file("a-2.mpg")) != std::string::npos, text.c_str());
    }

    // An output that exists is replaced only after a Yes; a No leaves it
    // and starts nothing.
    void anExistingOutputIsReplacedOnlyAfterAsking() {
        TempDir dir;
        QVERIFY(writeTestAvi(dir.file("a.avi"), 4));
        std::ofstream(dir.file("out.mpg")) << "older";
        PullingPhases phases;
        Harness h(&phases);
        QVERIFY(h.app->start());
        h.w().openFiles({QString::fromStdString(dir.file("a.avi"))});
        h.w().setOutputName(dir.file("out.mpg"));
        h.presenter.shown.clear();
        h.presenter.answer = false;
        h.w().convert();
        QCOMPARE(h.presenter.asked.size(), size_t(1));
        QCOMPARE(h.presenter.asked[0].text,
                 "This file exists and would be replaced:\n\n" + dir.file("out.mpg") + "\n\nReplace?");
        QCOMPARE(phases.picturesPulled, 0);
        std::ifstream older(dir.file("out.mpg"));
        QCOMPARE(std::string(std::istreambuf_iterator<char>(older), {}), std::string("older"));
        QVERIFY(h.presenter.shown.empty());

        h.presenter.answer = true;
        h.w().convert();
        QCOMPARE(phases.picturesPulled, 4);
        std::ifstream replaced(dir.file("out.mpg"));
        QCOMPARE(std::string(std::istreambuf_iterator<char>(replaced), {}), std::string("pack"));

        // An output that is its own input is refused before any work.
        h.w().setOutputName(dir.file("a.avi"));
        h.presenter.shown.clear();
        h.w().convert();
        QCOMPARE(phases.picturesPulled, 4);
        QCOMPARE(h.presenter.shown.size(), size_t(1));
        QCOMPARE(h.presenter.shown[0].text,
                 "The output " + dir.file("a.avi") + " is also an input of this conversion.");
        QCOMPARE(h.presenter.shown[0].icon, MessageIcon::Error);
    }

    void theEndOfAStoppedOrFailedRunIsSaid() {
        TempDir dir;
        QVERIFY(writeTestAvi(dir.file("a.avi"), 12));
        PullingPhases phases;
        Harness h(&phases);
        QVERIFY(h.app->start());
        h.w().openFiles({QString::fromStdString(dir.file("a.avi"))});
        h.w().setOutputName(dir.file("out.mpg"));
        TMPEGDialog* dialog = nullptr;
        h.app->host().setDialogHook([&](TMPEGDialog& d) { dialog = &d; });
        phases.onPicture = [&](Engine&, int f) {
            if (f == 3 && dialog) QTest::mouseClick(dialog->stopButton(), Qt::LeftButton);
        };
        h.presenter.shown.clear();
        h.w().convert();
        QCOMPARE(h.presenter.shown.size(), size_t(1));
        QCOMPARE(h.presenter.shown[0].text,
                 "Conversion stopped. The part converted before the stop is in:\n" + dir.file("out.mpg"));
        QCOMPARE(h.presenter.shown[0].icon, MessageIcon::Warning);

        // A multiplex that fails fails the run; nothing is left.
        std::filesystem::remove(dir.file("out.mpg"));
        phases.onPicture = nullptr;
        struct FailingPhases : PullingPhases {
            bool multiplex(Engine&, bool, bool) override { return false; }
        } failing;
        Harness h2(&failing);
        QVERIFY(h2.app->start());
        h2.w().openFiles({QString::fromStdString(dir.file("a.avi"))});
        h2.w().setOutputName(dir.file("out.mpg"));
        h2.presenter.shown.clear();
        h2.w().convert();
        QCOMPARE(h2.presenter.shown.size(), size_t(1));
        QCOMPARE(h2.presenter.shown[0].text, std::string("Conversion failed; nothing of the failed output was kept."));
        QCOMPARE(h2.presenter.shown[0].icon, MessageIcon::Error);
        QVERIFY(!std::filesystem::exists(dir.file("out.mpg")));
        QVERIFY(!std::filesystem::exists(dir.file("out.m1v")));
    }

    void aSizeTheTargetCannotTakeIsRefusedAtConvert() {
        TempDir dir;
        QVERIFY(writeTestAvi(dir.file("a.avi"), 4));
        PullingPhases phases;
        Harness h(&phases);
        QVERIFY(h.app->start());
        h.w().openFiles({QString::fromStdString(dir.file("a.avi"))});
        QTest::mouseClick(h.w().targetRadio(kVcd), Qt::LeftButton);
        typeInto(h.w().widthField(), "720");
        typeInto(h.w().heightField(), "576");
        h.w().setOutputName(dir.file("a.mpg"));
        h.presenter.shown.clear();
        QTest::mouseClick(h.w().button("convert"), Qt::LeftButton);
        QCOMPARE(h.presenter.shown.size(), size_t(1));
        const std::string text = h.presenter.shown[0].text;
        QVERIFY2(text.rfind("The output size 720 x 576 does not suit this target.\nThe 720 x 576 picture has 1620 "
                            "macroblocks; a VCD allows at most 396",
                            0) == 0,
                 text.c_str());
        QCOMPARE(phases.picturesPulled, 0);
        QVERIFY(!std::filesystem::exists(dir.file("a.mpg")));
        QVERIFY(h.w().button("convert")->isEnabled());

        // The target's own size goes through.
        typeInto(h.w().widthField(), "352");
        typeInto(h.w().heightField(), "288");
        h.presenter.shown.clear();
        QTest::mouseClick(h.w().button("convert"), Qt::LeftButton);
        QCOMPARE(h.presenter.shown.size(), size_t(1));
        QVERIFY2(h.presenter.shown[0].text.rfind("Conversion finished.", 0) == 0, h.presenter.all().c_str());
        QCOMPARE(phases.picturesPulled, 4);
    }

    // "Fit to" hands the engine the bytes to fit (a typed size or a disc
    // from the list); the engine turns them into two passes at an average
    // bitrate or refuses a size out of reach, and an unreadable size stops
    // the conversion before any input is read.
    void fitToHandsTheEngineTheSize() {
        TempDir dir;
        QVERIFY(writeTestAvi(dir.file("a.avi"), 25));
        PullingPhases phases;
        int twoPass = -1;
        double average = 0;
        phases.onPicture = [&](Engine& e, int) {
            twoPass = e.work.twoPass;
            average = e.work.avgBitrate;
        };
        Harness h(&phases);
        QVERIFY(h.app->start());
        FitOption& fit = h.w().fitOption();
        SkinLayout layout;
        QVERIFY(layout.load(std::string(QUILLON_TEST_SKIN_DIR) + "/position_pro.txt"));
        for (const char* name : {"FitCheck", "FitSizeField"}) {
            auto r = layout.find(name);
            QVERIFY2(r, name);
            QCOMPARE(h.w().control(name)->geometry(), QRect(r->left, r->top, r->width(), r->height()));
        }
        QVERIFY(!fit.on());
        QVERIFY(!fit.sizeField()->isEnabled());
        h.w().openFiles({QString::fromStdString(dir.file("a.avi"))});
        QTest::mouseClick(h.w().targetRadio(kDvd), Qt::LeftButton);
        h.w().setOutputName(dir.file("a.mpg"));

        // Off: the settings' own bitrate, one pass.
        h.presenter.shown.clear();
        h.w().convert();
        QVERIFY2(h.presenter.shown.size() == 1 && h.presenter.shown[0].text.rfind("Conversion finished.", 0) == 0,
                 h.presenter.all().c_str());
        QCOMPARE(twoPass, 0);
        const int pulled = phases.picturesPulled;

        // An unreadable size: said, nothing read.
        QTest::mouseClick(fit.check(), Qt::LeftButton);
        QVERIFY(fit.on());
        QVERIFY(fit.sizeField()->isEnabled());
        QVERIFY(h.w().grab().save(QString::fromStdString(shotPath("fit_to.png"))));
        fit.sizeField()->setEditText("lots");
        h.presenter.shown.clear();
        QTest::mouseClick(h.w().button("convert"), Qt::LeftButton);
        QCOMPARE(h.presenter.shown.size(), size_t(1));
        QVERIFY2(h.presenter.shown[0].text.rfind("Fit to: cannot read the size \"lots\"", 0) == 0,
                 h.presenter.all().c_str());
        QCOMPARE(phases.picturesPulled, pulled);
        QVERIFY(h.w().button("convert")->isEnabled());

        // A typed size: two passes at the average that fits it.
        fit.sizeField()->setEditText("600k");
        h.presenter.shown.clear();
        twoPass = -1;
        h.w().convert();
        QVERIFY2(h.presenter.sawText("Conversion finished.\n\nWritten:\n" + dir.file("a.mpg")), h.presenter.all().c_str());
        QCOMPARE(twoPass, 1);
        // A second of DVD in 614,400 bytes with its sound: some 4 Mbit/s.
        QVERIFY2(average > 3.0e6 && average < 4.9e6, std::to_string(average).c_str());

        // A disc from the list is far out of reach for one second: refused
        // with the range, nothing read.
        fit.sizeField()->setCurrentIndex(0);
        QVERIFY(fit.sizeField()->currentText().startsWith("dvd5"));
        h.presenter.shown.clear();
        const int before = phases.picturesPulled;
        // The refusal is said in the conversion dialog, which waits for Ok.
        QPointer<TMPEGDialog> dialog;
        h.app->host().setDialogHook([&](TMPEGDialog& d) { dialog = &d; });
        h.presenter.onShow = [&] {
            if (dialog)
                QMetaObject::invokeMethod(
                    dialog, [d = dialog] { if (d) d->cancelButton()->click(); }, Qt::QueuedConnection);
        };
        h.w().convert();
        h.presenter.onShow = nullptr;
        QVERIFY2(h.presenter.all().find("cannot be reached with these settings: the smallest is") != std::string::npos,
                 h.presenter.all().c_str());
        QCOMPARE(phases.picturesPulled, before);

        // Off again: the field is not asked.
        QTest::mouseClick(fit.check(), Qt::LeftButton);
        QVERIFY(!fit.sizeField()->isEnabled());
        h.presenter.shown.clear();
        h.w().convert();
        QCOMPARE(twoPass, 0);
    }

    // The real encoders in two passes from the window: the program stream
    // lands just under the size.
    void fitToWithTheRealEncodersLandsUnderTheSize() {
#ifndef QUILLON_TEST_PIPELINE
        QSKIP("the encoders and the multiplexer are not part of this build");
#else
        TempDir dir;
        QVERIFY(writeTestAvi(dir.file("clip.avi"), 75, 176, 144, 25));
        Harness h(&standardPhases());
        QVERIFY(h.app->start());
        h.w().openFiles({QString::fromStdString(dir.file("clip.avi"))});
        QTest::mouseClick(h.w().targetRadio(kSvcd), Qt::LeftButton);
        QTest::mouseClick(h.w().standardRadio(1), Qt::LeftButton);
        h.w().setOutputName(dir.file("clip.mpg"));
        QTest::mouseClick(h.w().fitOption().check(), Qt::LeftButton);
        h.w().fitOption().sizeField()->setEditText("700k");
        h.w().convert();
        QVERIFY2(h.presenter.sawText("Conversion finished.\n\nWritten:\n" + dir.file("clip.mpg")), h.presenter.all().c_str());
        const double bytes = static_cast<double>(std::filesystem::file_size(dir.file("clip.mpg")));
        QVERIFY2(bytes <= 700.0 * 1024 && bytes >= 0.95 * 700 * 1024, std::to_string(bytes).c_str());
        testing::DecodedVideo v = testing::decodeVideo(dir.file("clip.mpg"));
        QCOMPARE(int(v.pictures.size()), 75);
#endif
    }

    // The slot always exists so the test list does not depend on how moc
    // saw the build; without the real encoders it is skipped.
    void convertsASmallAviIntoAProgramStream() {
#ifndef QUILLON_TEST_PIPELINE
        QSKIP("the encoders and the multiplexer are not part of this build");
#else
        TempDir dir;
        QVERIFY(writeTestAvi(dir.file("clip.avi"), 10, 176, 144, 25));
        Harness h(&standardPhases());
        QVERIFY(h.app->start());
        h.w().openFiles({QString::fromStdString(dir.file("clip.avi"))});
        QCOMPARE(h.w().state().pal, 1);
        h.w().setOutputName(dir.file("clip.mpg"));
        std::vector<std::string> texts;
        std::string finalCancel;
        bool shot = false;
        h.app->host().setDialogHook([&](TMPEGDialog& d) {
            d.setPumpHook([&](TMPEGDialog& dd) {
                if (!shot && dd.progressBar()->value() > 0 && !dd.statusLabel()->text().isEmpty()) {
                    shot = dd.grab().save(QString::fromStdString(shotPath("conversion_dialog_mid_run.png")));
                }
            });
            QObject::connect(&d, &QDialog::finished, [&, dp = &d] {
                texts = dp->statusHistory();
                finalCancel = dp->cancelButton()->text().toStdString();
            });
        });
        h.w().convert();
        // The end is said, with the file written.
        QCOMPARE(h.presenter.shown.size(), size_t(1));
        QCOMPARE(h.presenter.shown[0].text, "Conversion finished.\n\nWritten:\n" + dir.file("clip.mpg"));
        QCOMPARE(finalCancel, std::string("&Ok"));
        QVERIFY(!texts.empty());
        QVERIFY(shot);
        testing::DemuxedFile f = testing::demux(dir.file("clip.mpg"));
        QVERIFY(f.opened);
        QCOMPARE(f.formatName, std::string("mpeg"));
        testing::DecodedVideo v = testing::decodeVideo(dir.file("clip.mpg"));
        QCOMPARE(v.width, 352);
        QCOMPARE(v.height, 288);
        QCOMPARE(int(v.pictures.size()), 10);
        testing::DecodedAudio a = testing::decodeAudio(dir.file("clip.mpg"));
        QVERIFY(a.opened);
        QCOMPARE(a.sampleRate, 44100);
        QVERIFY(!std::filesystem::exists(dir.file("clip.m1v")));
#endif
    }

    // With the real encoders a failed picture would otherwise read as the end
    // of the input and the run as complete.
    void aTruncatedInputEndsTheRunUnfinished() {
#ifndef QUILLON_TEST_PIPELINE
        QSKIP("the encoders and the multiplexer are not part of this build");
#else
        TempDir dir;
        const std::string avi = dir.file("cut.avi");
        QVERIFY(writeTestAvi(avi, 20, 176, 144, 25));
        std::filesystem::resize_file(avi, std::filesystem::file_size(avi) / 2);
        Harness h(&standardPhases());
        QVERIFY(h.app->start());
        h.w().openFiles({QString::fromStdString(avi)});
        if (h.app->inputs().count() == 0) return;  // refused at open: nothing to convert
        h.w().setOutputName(dir.file("cut.mpg"));
        h.w().setShutdown(true);
        h.w().convert();
        QVERIFY2(!h.presenter.shown.empty(), "a broken picture is reported");
        QCOMPARE(h.powerOffs, 0);
#endif
    }
};

QTEST_MAIN(WindowTest)
#include "window_test.moc"

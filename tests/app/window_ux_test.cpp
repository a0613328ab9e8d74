// What a new user meets in the window: project files that keep the target
// and standard, the Add dialog's filter, the log and help without a desktop
// file opener, the Delete key, dropped files, and the generic MPEG-1 pel
// shape. Offscreen.
#include <QtTest/QtTest>

#include <QtCore/QMimeData>
#include <QtCore/QRegularExpression>
#include <QtCore/QUrl>
#include <QtGui/QDropEvent>
#include <QtWidgets/QApplication>
#include <QtWidgets/QTextBrowser>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "app/quillon_app.h"
#include "app/text_window.h"
#include "tests/app/app_test_support.h"
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

struct Harness {
    RecordingPresenter presenter;
    MemoryPreferences prefs;
    bool openerWorks = true;
    std::vector<std::string> openedFiles;
    std::unique_ptr<TQuillonApp> app;

    explicit Harness(ConversionPhases* phases, const std::string& logPath = {}) {
        AppOptions o;
        o.skinDir = QUILLON_TEST_SKIN_DIR;
        o.presenter = &presenter;
        o.preferences = &prefs;
        o.powerOff = [] { return true; };
        o.openFile = [this](const std::string& p) {
            openedFiles.push_back(p);
            return openerWorks;
        };
        o.phases = phases;
        o.logPath = logPath;
        app = std::make_unique<TQuillonApp>(o);
    }
    TMainWindow& w() { return app->window(); }
};

// The text windows open now.
std::vector<TTextWindow*> textWindows() {
    std::vector<TTextWindow*> out;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* t = dynamic_cast<TTextWindow*>(w); t && t->isVisible()) out.push_back(t);
    return out;
}

void closeTextWindows() {
    for (TTextWindow* t : textWindows()) t->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

// The patterns a file dialog reads from one name filter: "Text (*.a *.b)",
// the patterns inside the parentheses at its end.
QStringList patternsOf(const QString& filter) {
    static const QRegularExpression form("^(.*)\\(([^()]*)\\)$");
    const QRegularExpressionMatch m = form.match(filter);
    if (!m.hasMatch()) return {};
    return m.captured(2).split(' ', Qt::SkipEmptyParts);
}

// The pel aspect nibble of the first sequence header of a stream.
int pelAspectOf(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> b((std::istreambuf_iterator<char>(in)), {});
    for (size_t i = 0; i + 8 < b.size(); ++i)
        if (b[i] == 0 && b[i + 1] == 0 && b[i + 2] == 1 && b[i + 3] == 0xB3) return b[i + 7] >> 4;
    return -1;
}

}  // namespace

class WindowUxTest : public QObject {
    Q_OBJECT
private slots:
    void projectsKeepTargetAndStandardAndGetTheirExtension() {
        TempDir dir;
        QVERIFY(writeTestAvi(dir.file("a.avi"), 4));
        Harness h(nullptr);
        QVERIFY(h.app->start());
        h.w().openFiles({QString::fromStdString(dir.file("a.avi"))});
        h.w().setTarget(kDvd);
        h.w().setStandard(0);
        QVERIFY(h.w().saveProjectTo(dir.file("trip")));
        QVERIFY(std::filesystem::exists(dir.file("trip.qlp")));
        QVERIFY(!std::filesystem::exists(dir.file("trip")));
        // A name with an extension is kept as chosen.
        QVERIFY(h.w().saveProjectTo(dir.file("other.project")));
        QVERIFY(std::filesystem::exists(dir.file("other.project")));

        h.w().setTarget(kMpeg1);
        h.w().setStandard(1);
        QVERIFY(h.w().openProjectFrom(dir.file("trip.qlp")));
        QCOMPARE(h.w().state().target, int(kDvd));
        QCOMPARE(h.w().state().pal, 0);
        QVERIFY(h.w().targetRadio(kDvd)->isChecked());
        QVERIFY(h.w().standardRadio(0)->isChecked());
        QCOMPARE(h.app->inputs().count(), 1);
        QVERIFY2(h.presenter.shown.empty(), h.presenter.all().c_str());

        // A file written before projects kept the choice loads as it did and
        // leaves the window's choice alone.
        ProjectHeader old;
        std::vector<ProjectEntry> entries{h.app->inputs().record(0)};
        struct Quiet : ProjectTarget {
            void projectMessage(const std::string&, const std::string&) override {}
            void clearEntries() override {}
            bool openEntry(const ProjectEntry&) override { return true; }
            void restoreEntry(int, const ProjectEntry&) override {}
            void finishLoad(const ProjectHeader&, int, bool) override {}
        } quiet;
        QVERIFY(saveProject(dir.file("old.qlp"), old, entries, quiet));
        QCOMPARE(std::filesystem::file_size(dir.file("old.qlp")),
                 std::uintmax_t(kProjectHeaderSize + kProjectRecordSize));
        h.w().setTarget(kSvcd);
        h.w().setStandard(1);
        QVERIFY(h.w().openProjectFrom(dir.file("old.qlp")));
        QCOMPARE(h.w().state().target, int(kSvcd));
        QCOMPARE(h.w().state().pal, 1);
        QCOMPARE(h.app->inputs().count(), 1);
        // The project's open dialog shows project files in either case.
        const QStringList patterns = patternsOf(qtFilter(kProjectFilter).split(";;").first());
        QVERIFY2(QDir::match(patterns, "trip.qlp"), qPrintable(patterns.join('|')));
        QVERIFY(QDir::match(patterns, "TRIP.QLP"));
        QVERIFY(!QDir::match(patterns, "trip.avi"));
    }

    void theAddDialogCoversWhatMediaInputOpens() {
        const QStringList filters = qtFilter(kInputFilter).split(";;");
        QVERIFY(filters.first().startsWith("All Supported Types ("));
        const QStringList patterns = patternsOf(filters.first());
        for (const char* ext : {"avi", "mp4", "mkv", "mov", "mpg", "m2ts", "ts", "vob", "webm", "wmv", "flv", "dv",
                                "lst", "jpg", "jpeg", "png", "bmp", "gif", "tga"}) {
            QVERIFY2(QDir::match(patterns, QString("clip.") + ext), ext);
            QVERIFY2(QDir::match(patterns, QString("CLIP.") + QString(ext).toUpper()), ext);
        }
        QVERIFY(!QDir::match(patterns, "notes.txt"));
        // Every other filter names its patterns once, in Qt's form.
        for (const QString& f : filters) QCOMPARE(f.count('('), 1);
    }

    void logAndHelpShowInTheProgramWithoutAFileOpener() {
        TempDir dir;
        const std::string logPath = dir.file("state/avi_log.txt");
        Harness h(nullptr, logPath);
        h.openerWorks = false;
        QVERIFY(h.app->start());
        h.app->log().append("a line of the log");
        closeTextWindows();
        h.w().checkLog();
        QVERIFY2(h.presenter.shown.empty(), h.presenter.all().c_str());
        QVERIFY(std::filesystem::exists(logPath));  // still written
        std::vector<TTextWindow*> shown = textWindows();
        QCOMPARE(shown.size(), size_t(1));
        QVERIFY(shown[0]->view()->toPlainText().contains("a line of the log"));
        closeTextWindows();

        h.w().showHelp();
        shown = textWindows();
        QCOMPARE(shown.size(), size_t(1));
        QVERIFY(shown[0]->view()->toPlainText().contains("Convert"));
        closeTextWindows();

        // With an opener that works, no window of our own.
        h.openerWorks = true;
        h.w().checkLog();
        QVERIFY(textWindows().empty());
        QCOMPARE(h.openedFiles.back(), logPath);
    }

    void deleteRemovesAndDroppedFilesAreAdded() {
        TempDir dir;
        QVERIFY(writeTestAvi(dir.file("a.avi"), 3));
        QVERIFY(writeTestAvi(dir.file("b.avi"), 3));
        QVERIFY(writeTestAvi(dir.file("c.avi"), 3));
        Harness h(nullptr);
        QVERIFY(h.app->start());
        QListWidget* list = h.w().inputList();

        QMimeData data;
        data.setUrls({QUrl::fromLocalFile(QString::fromStdString(dir.file("a.avi"))),
                      QUrl::fromLocalFile(QString::fromStdString(dir.file("b.avi")))});
        const QPoint at = list->viewport()->rect().center();
        QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(list->viewport(), &enter);
        QVERIFY(enter.isAccepted());
        QDropEvent drop(QPointF(at), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(list->viewport(), &drop);
        QCOMPARE(h.app->inputs().count(), 2);
        QCOMPARE(list->count(), 2);

        h.w().openFiles({QString::fromStdString(dir.file("c.avi"))});
        h.w().selectEntry(1);
        list->setFocus();
        QTest::keyClick(list, Qt::Key_Delete);
        QCOMPARE(h.app->inputs().count(), 2);
        QCOMPARE(list->count(), 2);
        QVERIFY(list->item(0)->text().contains("a.avi"));
        QVERIFY(list->item(1)->text().contains("c.avi"));
    }

    void genericMpeg1KeepsTheShapeOfSquarePixels() {
#ifndef QUILLON_TEST_PIPELINE
        QSKIP("the encoders and the multiplexer are not part of this build");
#else
        TempDir dir;
        QVERIFY(writeTestAvi(dir.file("clip.avi"), 3, 160, 120, 25));
        Harness h(&standardPhases());
        QVERIFY(h.app->start());
        h.w().openFiles({QString::fromStdString(dir.file("clip.avi"))});
        h.w().setJoiner(true);
        h.w().setTarget(kMpeg1);
        h.w().setOutputName(dir.file("square.mpg"));
        h.w().convert();
        QCOMPARE(pelAspectOf(dir.file("square.mpg")), 1);
        // VCD keeps its standard's code.
        h.w().setTarget(kVcd);
        h.w().setOutputName(dir.file("vcd.mpg"));
        h.w().convert();
        QCOMPARE(pelAspectOf(dir.file("vcd.mpg")), h.w().state().pal ? 8 : 12);
#endif
    }
};

QTEST_MAIN(WindowUxTest)
#include "window_ux_test.moc"

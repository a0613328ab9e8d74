#include "app/quillon_app.h"

#include <QtCore/QCoreApplication>
#include <QtCore/QDir>
#include <QtCore/QFileInfo>
#include <QtCore/QUrl>
#include <QtGui/QDesktopServices>

#include "app/system_info.h"
#ifdef QUILLON_HAVE_PIPELINE
#include "engine/standard_phases.h"
#endif

namespace quillon::app {

namespace {

ConversionPhases* defaultPhases() {
#ifdef QUILLON_HAVE_PIPELINE
    return &standardPhases();
#else
    return nullptr;
#endif
}

bool openWithDesktop(const std::string& path) {
    return QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdString(path)));
}

}  // namespace

std::string TQuillonApp::findSkinDir() {
    QString programDir = QCoreApplication::applicationDirPath();
    for (QString dir : {programDir + "/UI", programDir + "/../share/quillon/UI", QDir::currentPath() + "/UI"}) {
        if (QFileInfo::exists(dir + "/position_pro.txt")) return QDir(dir).absolutePath().toStdString();
    }
    return (programDir + "/UI").toStdString();
}

TQuillonApp::TQuillonApp(const AppOptions& options)
    : options_(options),
      host_(options.presenter ? *options.presenter : realPresenter_, log_),
      inputs_(host_),
      engine_(host_, options.phases ? options.phases : defaultPhases()) {
    inputs_.setPump([this] { return engine_.pump(); });
    inputs_.setAbort([this] { engine_.engine().job.stopRequested = true; });
    // Generic MPEG-1 takes the pel shape of its input unless the settings
    // file chose one; the engine starts afresh with every Convert.
    inputs_.setBeforeOutput([this](const PlannedOutput& o) {
        Engine& e = engine_.engine();
        const int initial = engine_.initialAspectCode();
        applyPelAspectCode(e.record, o.pelAspectCode, initial);
        applyPelAspectCode(e.work, o.pelAspectCode, initial);
    });
    WindowServices s;
    s.host = &host_;
    s.log = &log_;
    s.inputs = &inputs_;
    s.engine = &engine_;
    s.preferences = options.preferences ? options.preferences : &profile_;
    s.powerOff = options.powerOff ? options.powerOff : PowerOffFunction(systemPowerOff);
    s.openFile = options.openFile ? options.openFile : OpenFileFunction(openWithDesktop);
    s.makeDisc = [this](const disc::DiscRequest& r) { return disc::makeDisc(engine_.engine(), r); };
    s.skinDir = options.skinDir.empty() ? findSkinDir() : options.skinDir;
    s.logPath = options.logPath;
    frame_ = std::make_unique<TMyFrameWindow>(s);
    TMainWindow* main = frame_->mainWindow();
    host_.setShutdownAccess([main] { return main->state().shutdownWhenDone; },
                            [main](bool on) { main->setShutdown(on); });
}

TQuillonApp::~TQuillonApp() {
    inputs_.clear();
    frame_.reset();
}

bool TQuillonApp::start() {
    for (const std::string& line : systemInfoLines()) log_.append(line);
    bool ok = frame_->initialise();
    if (ok && !window().closeRequested()) frame_->show();
    return ok && !window().closeRequested();
}

}  // namespace quillon::app

// The application object: the log, the host, the input list, the engine
// and the frame window, put together once.
#pragma once

#include <memory>
#include <string>

#include "app/engine_link.h"
#include "app/main_window.h"
#include "app/qt_host.h"
#include "app/table_catalog.h"

namespace quillon::app {

struct AppOptions {
    std::string skinDir;          // empty: found beside the program
    MessagePresenter* presenter = nullptr;  // null: real message boxes
    Preferences* preferences = nullptr;     // null: the user profile
    PowerOffFunction powerOff;    // empty: the session manager
    OpenFileFunction openFile;    // empty: the desktop's default program
    ConversionPhases* phases = nullptr;     // null: the standard phases
    std::string logPath;          // empty: $XDG_STATE_HOME/quillon/avi_log.txt
};

class TQuillonApp {
public:
    explicit TQuillonApp(const AppOptions& options);
    ~TQuillonApp();

    // Builds and shows the window; false when start-up failed and the
    // window closed.
    bool start();
    TMyFrameWindow& frame() { return *frame_; }
    TMainWindow& window() { return *frame_->mainWindow(); }
    QtHost& host() { return host_; }
    LogText& log() { return log_; }
    TableCatalog& inputs() { return inputs_; }
    EngineLink& engine() { return engine_; }

    // The skin folder: UI beside the program, the installed share folder,
    // or UI below the current folder.
    static std::string findSkinDir();

private:
    AppOptions options_;
    LogText log_;
    QtMessagePresenter realPresenter_;
    ProfilePreferences profile_;
    QtHost host_;
    TableCatalog inputs_;
    EngineLink engine_;
    std::unique_ptr<TMyFrameWindow> frame_;
};

}  // namespace quillon::app

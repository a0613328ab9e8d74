// The desktop's side of the engine's Host: message boxes through a
// presenter the tests replace, log lines into the window's log, and the Qt
// conversion dialog.
#pragma once

#include <QtWidgets/QWidget>

#include <functional>
#include <memory>
#include <string>

#include "app/log_text.h"
#include "engine/host.h"

namespace quillon::app {

// Shows message boxes. The default one opens real Qt boxes; tests put in
// one that records and answers at once.
class MessagePresenter {
public:
    virtual ~MessagePresenter() = default;
    virtual void show(QWidget* owner, const std::string& caption, const std::string& text,
                      MessageIcon icon) = 0;
    virtual bool ask(QWidget* owner, const std::string& caption, const std::string& text) = 0;
};

class QtMessagePresenter : public MessagePresenter {
public:
    void show(QWidget* owner, const std::string& caption, const std::string& text,
              MessageIcon icon) override;
    bool ask(QWidget* owner, const std::string& caption, const std::string& text) override;
};

class TMPEGDialog;

class QtHost : public Host {
public:
    QtHost(MessagePresenter& presenter, LogText& log) : presenter_(&presenter), log_(&log) {}

    void setPresenter(MessagePresenter& presenter) { presenter_ = &presenter; }
    MessagePresenter& presenter() { return *presenter_; }
    // The window that owns boxes shown without a dialog.
    void setMainWindow(QWidget* window) { mainWindow_ = window; }
    // The window's "Shut down PC when done", read and written by the dialog.
    void setShutdownAccess(std::function<bool()> get, std::function<void(bool)> set) {
        getShutdown_ = std::move(get);
        setShutdown_ = std::move(set);
    }
    // Called with every dialog just created, before it runs (screenshots,
    // test hooks).
    void setDialogHook(std::function<void(TMPEGDialog&)> hook) { dialogHook_ = std::move(hook); }

    void messageBox(const std::string& caption, const std::string& text, MessageIcon icon,
                    bool ownedByDialog) override;
    bool askYesNo(const std::string& caption, const std::string& text) override;
    void logLine(const std::string& text) override;
    std::unique_ptr<DialogView> createDialog() override;
    bool shutdownChoice() const override { return getShutdown_ && getShutdown_(); }

    // Boxes of the window itself (not the engine's).
    void show(const std::string& caption, const std::string& text,
              MessageIcon icon = MessageIcon::None);

    // The dialog while it runs (owner of the engine's boxes).
    TMPEGDialog* openDialog() const { return dialog_; }
    void dialogClosed(TMPEGDialog* d) {
        if (dialog_ == d) dialog_ = nullptr;
    }

private:
    MessagePresenter* presenter_;
    LogText* log_;
    QWidget* mainWindow_ = nullptr;
    TMPEGDialog* dialog_ = nullptr;
    std::function<bool()> getShutdown_;
    std::function<void(bool)> setShutdown_;
    std::function<void(TMPEGDialog&)> dialogHook_;
};

}  // namespace quillon::app

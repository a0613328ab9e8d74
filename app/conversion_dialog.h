// The conversion dialog: progress, status text, Start, Stop and Cancel,
// the picture being coded and the shutdown choice. It only shows and
// forwards; the states and the run belong to the engine's controller.
#pragma once

#include <QtCore/QTimer>
#include <QtWidgets/QCheckBox>
#include <QtWidgets/QDialog>
#include <QtWidgets/QLabel>
#include <QtWidgets/QProgressBar>
#include <QtWidgets/QPushButton>

#include <functional>

#include "app/dib.h"
#include "engine/host.h"

namespace quillon::app {

class QtHost;

class TMPEGDialog : public QDialog, public DialogView {
public:
    explicit TMPEGDialog(QtHost& host, QWidget* parent = nullptr);
    ~TMPEGDialog() override;

    void setShutdownHandler(std::function<void(bool)> handler) { onShutdown_ = std::move(handler); }

    // DialogView
    void setStartEnabled(bool on) override { start_->setEnabled(on); }
    void setStopEnabled(bool on) override { stop_->setEnabled(on); }
    void setCancelEnabled(bool on) override { cancel_->setEnabled(on); }
    void setCancelLabel(const std::string& label) override;
    void setProgressValue(int percent) override;
    void setStatusText(const std::string& text) override;
    void setShutdownChecked(bool on) override;
    bool previewChecked() const override { return previewCheck_->isChecked(); }
    void setPreviewChecked(bool on) override { previewCheck_->setChecked(on); }
    void showPreview(const uint8_t* bgra, int width, int height, int rowBytes) override;
    void startTimer(int milliseconds) override;
    void postStart() override;
    void postClose() override;
    void processEvents() override;
    void runModal(DialogController& controller) override;

    // For tests and screenshots.
    QPushButton* startButton() const { return start_; }
    QPushButton* stopButton() const { return stop_; }
    QPushButton* cancelButton() const { return cancel_; }
    QProgressBar* progressBar() const { return progress_; }
    QLabel* statusLabel() const { return status_; }
    QCheckBox* previewCheck() const { return previewCheck_; }
    QCheckBox* shutdownCheck() const { return shutdownCheck_; }
    TPreviewDib* previewPane() const { return preview_; }
    // Every status text shown, in order.
    const std::vector<std::string>& statusHistory() const { return history_; }
    // Called from inside processEvents, once per pump (screenshots mid-run).
    void setPumpHook(std::function<void(TMPEGDialog&)> hook) { pumpHook_ = std::move(hook); }

protected:
    void reject() override;  // Escape and the close box
    void closeEvent(QCloseEvent* e) override;
    void mousePressEvent(QMouseEvent* e) override;
    void mouseMoveEvent(QMouseEvent* e) override;

private:
    void closeNow();

    QtHost& host_;
    DialogController* controller_ = nullptr;
    QProgressBar* progress_;
    QLabel* status_;
    QPushButton* start_;
    QPushButton* stop_;
    QPushButton* cancel_;
    QCheckBox* previewCheck_;
    QCheckBox* shutdownCheck_;
    TPreviewDib* preview_;
    QTimer startTimer_;
    bool closing_ = false;
    bool inPumpHook_ = false;
    QPoint dragOffset_;
    std::vector<std::string> history_;
    std::function<void(bool)> onShutdown_;
    std::function<void(TMPEGDialog&)> pumpHook_;
};

}  // namespace quillon::app

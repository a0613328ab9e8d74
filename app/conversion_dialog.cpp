#include "app/conversion_dialog.h"

#include <QtCore/QCoreApplication>
#include <QtGui/QCloseEvent>
#include <QtGui/QMouseEvent>
#include <QtWidgets/QGroupBox>
#include <QtWidgets/QHBoxLayout>
#include <QtWidgets/QVBoxLayout>

#include "app/qt_host.h"

namespace quillon::app {

TMPEGDialog::TMPEGDialog(QtHost& host, QWidget* parent) : QDialog(parent), host_(host) {
    setWindowTitle("Conversion Engine");
    setModal(true);
    setObjectName("conversionDialog");
    setStyleSheet(
        "#conversionDialog { background: #f4f6fa; }"
        "QGroupBox { background: white; border: 1px solid #d5dbe5; border-radius: 8px;"
        "  margin-top: 18px; padding: 8px; font-weight: bold; color: #6b7280; }"
        "QGroupBox::title { subcontrol-origin: margin; left: 10px; padding: 0 4px; }"
        "QProgressBar { border: 1px solid #d5dbe5; border-radius: 5px; background: white;"
        "  height: 14px; text-align: center; color: #1f2937; }"
        "QProgressBar::chunk { background: #2f6feb; border-radius: 4px; }"
        "QPushButton { background: white; border: 1px solid #c5cdda; border-radius: 6px;"
        "  padding: 5px 16px; color: #1f2937; }"
        "QPushButton:hover { background: #e8f0fe; }"
        "QPushButton:disabled { color: #a8aeb8; background: #f3f4f6; border-color: #e0e3e8; }"
        "QLabel#status { color: #1f2937; font-weight: normal; }");

    auto* top = new QHBoxLayout(this);
    auto* left = new QVBoxLayout;
    top->addLayout(left, 1);

    left->addWidget(new QLabel("Progress:", this));
    progress_ = new QProgressBar(this);
    progress_->setRange(0, 100);
    progress_->setValue(0);
    left->addWidget(progress_);

    auto* group = new QGroupBox("Conversion Status", this);
    auto* groupLayout = new QVBoxLayout(group);
    status_ = new QLabel(group);
    status_->setObjectName("status");
    status_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    status_->setWordWrap(true);
    status_->setMinimumHeight(104);
    status_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    groupLayout->addWidget(status_);
    left->addWidget(group, 1);

    auto* checks = new QHBoxLayout;
    previewCheck_ = new QCheckBox("Preview", this);
    previewCheck_->setChecked(true);
    shutdownCheck_ = new QCheckBox("Shut down PC when done", this);
    checks->addWidget(previewCheck_);
    checks->addWidget(shutdownCheck_);
    checks->addStretch(1);
    left->addLayout(checks);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    start_ = new QPushButton("S&tart", this);
    stop_ = new QPushButton("St&op", this);
    cancel_ = new QPushButton("&Cancel", this);
    for (QPushButton* b : {start_, stop_, cancel_}) {
        b->setAutoDefault(false);
        buttons->addWidget(b);
    }
    stop_->setEnabled(false);
    left->addLayout(buttons);

    preview_ = new TPreviewDib(this);
    preview_->setFixedSize(240, 180);
    preview_->hide();
    top->addWidget(preview_, 0, Qt::AlignTop);

    startTimer_.setSingleShot(true);
    connect(&startTimer_, &QTimer::timeout, this, [this] {
        startTimer_.stop();
        if (controller_) controller_->onStartTimer();
    });
    connect(start_, &QPushButton::clicked, this, [this] {
        if (controller_) controller_->onStart();
    });
    connect(stop_, &QPushButton::clicked, this, [this] {
        if (controller_) controller_->onStop();
    });
    connect(cancel_, &QPushButton::clicked, this, [this] {
        if (controller_) controller_->onCancel();
    });
    connect(shutdownCheck_, &QCheckBox::toggled, this, [this](bool on) {
        if (onShutdown_) onShutdown_(on);
    });
    setMinimumWidth(600);
}

TMPEGDialog::~TMPEGDialog() { host_.dialogClosed(this); }

void TMPEGDialog::setCancelLabel(const std::string& label) {
    cancel_->setText(QString::fromStdString(label));
}

void TMPEGDialog::setProgressValue(int percent) { progress_->setValue(std::clamp(percent, 0, 100)); }

void TMPEGDialog::setStatusText(const std::string& text) {
    // The engine's texts may carry CR LF line ends.
    QString t = QString::fromStdString(text);
    t.remove('\r');
    status_->setText(t);
    if (!text.empty()) history_.push_back(text);
}

void TMPEGDialog::setShutdownChecked(bool on) {
    QSignalBlocker block(shutdownCheck_);
    shutdownCheck_->setChecked(on);
}

void TMPEGDialog::showPreview(const uint8_t* bgra, int width, int height, int rowBytes) {
    if (!previewCheck_->isChecked()) return;
    if (preview_->isHidden()) {
        // The pane keeps the picture's shape within its width.
        int w = 240, h = width > 0 ? std::clamp(w * height / width, 60, 240) : 180;
        preview_->setFixedSize(w, h);
        preview_->show();
    }
    preview_->showFrame(bgra, width, height, rowBytes);
}

void TMPEGDialog::startTimer(int milliseconds) { startTimer_.start(milliseconds); }

void TMPEGDialog::postStart() {
    QMetaObject::invokeMethod(this, [this] {
        if (controller_) controller_->onStart();
    }, Qt::QueuedConnection);
}

void TMPEGDialog::postClose() {
    QMetaObject::invokeMethod(this, [this] { closeNow(); }, Qt::QueuedConnection);
}

void TMPEGDialog::processEvents() {
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    if (pumpHook_ && !inPumpHook_) {
        inPumpHook_ = true;
        pumpHook_(*this);
        inPumpHook_ = false;
    }
}

void TMPEGDialog::runModal(DialogController& controller) {
    controller_ = &controller;
    controller.onShown();
    adjustSize();
    if (!closing_) exec();
    controller_ = nullptr;
}

void TMPEGDialog::closeNow() {
    closing_ = true;
    if (isVisible()) done(QDialog::Accepted);
}

void TMPEGDialog::reject() {
    if (closing_) {
        QDialog::reject();
        return;
    }
    if (controller_) controller_->onCancel();
}

void TMPEGDialog::closeEvent(QCloseEvent* e) {
    if (closing_) {
        QDialog::closeEvent(e);
        return;
    }
    e->ignore();
    if (controller_) controller_->onCancel();
}

void TMPEGDialog::mousePressEvent(QMouseEvent* e) {
    if (e->button() == Qt::LeftButton) dragOffset_ = e->globalPosition().toPoint() - frameGeometry().topLeft();
    QDialog::mousePressEvent(e);
}

void TMPEGDialog::mouseMoveEvent(QMouseEvent* e) {
    if (e->buttons() & Qt::LeftButton) move(e->globalPosition().toPoint() - dragOffset_);
    QDialog::mouseMoveEvent(e);
}

}  // namespace quillon::app

#include "app/qt_host.h"

#include <QtWidgets/QMessageBox>

#include "app/conversion_dialog.h"

namespace quillon::app {

void QtMessagePresenter::show(QWidget* owner, const std::string& caption, const std::string& text,
                              MessageIcon icon) {
    QMessageBox::Icon qicon = QMessageBox::NoIcon;
    switch (icon) {
    case MessageIcon::Error: qicon = QMessageBox::Critical; break;
    case MessageIcon::Warning: qicon = QMessageBox::Warning; break;
    case MessageIcon::Question: qicon = QMessageBox::Question; break;
    case MessageIcon::None: break;
    }
    QMessageBox box(qicon, QString::fromStdString(caption), QString::fromStdString(text),
                    QMessageBox::Ok, owner);
    box.exec();
}

bool QtMessagePresenter::ask(QWidget* owner, const std::string& caption, const std::string& text) {
    return QMessageBox::question(owner, QString::fromStdString(caption),
                                 QString::fromStdString(text),
                                 QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
}

void QtHost::messageBox(const std::string& caption, const std::string& text, MessageIcon icon,
                        bool ownedByDialog) {
    QWidget* owner = ownedByDialog && dialog_ ? static_cast<QWidget*>(dialog_) : mainWindow_;
    presenter_->show(owner, caption, text, icon);
}

bool QtHost::askYesNo(const std::string& caption, const std::string& text) {
    QWidget* owner = dialog_ ? static_cast<QWidget*>(dialog_) : mainWindow_;
    return presenter_->ask(owner, caption, text);
}

void QtHost::logLine(const std::string& text) { log_->append(text); }

std::unique_ptr<DialogView> QtHost::createDialog() {
    auto dialog = std::make_unique<TMPEGDialog>(*this, mainWindow_);
    dialog->setShutdownHandler(setShutdown_);
    dialog_ = dialog.get();
    if (dialogHook_) dialogHook_(*dialog);
    return dialog;
}

void QtHost::show(const std::string& caption, const std::string& text, MessageIcon icon) {
    presenter_->show(dialog_ ? static_cast<QWidget*>(dialog_) : mainWindow_, caption, text, icon);
}

}  // namespace quillon::app

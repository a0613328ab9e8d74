#include "app/wait_dialog.h"

#include <QtCore/QCoreApplication>
#include <QtGui/QGuiApplication>
#include <QtWidgets/QVBoxLayout>

#include "engine/format.h"

namespace quillon::app {

TCancelDialog::TCancelDialog(const std::string& title, QWidget* parent) : QDialog(parent) {
    setWindowTitle(QString::fromStdString(title));
    setModal(false);
    auto* layout = new QVBoxLayout(this);
    text_ = new QLabel(this);
    text_->setMinimumWidth(320);
    text_->setWordWrap(true);
    layout->addWidget(text_);
}

void TCancelDialog::setText(const std::string& text) { text_->setText(QString::fromStdString(text)); }

OpeningFileNotice::OpeningFileNotice(const std::string& path, QWidget* parent)
    : dialog_("quillon - Opening file", parent) {
    dialog_.setText(formatText("Opening file %s", path.c_str()));
    dialog_.show();
    QGuiApplication::setOverrideCursor(Qt::WaitCursor);
    // Paint it before the open takes the thread.
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

OpeningFileNotice::~OpeningFileNotice() {
    QGuiApplication::restoreOverrideCursor();
    dialog_.hide();
}

}  // namespace quillon::app

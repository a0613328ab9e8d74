#include "app/text_window.h"

#include <QtWidgets/QDialogButtonBox>
#include <QtWidgets/QTextBrowser>
#include <QtWidgets/QVBoxLayout>

namespace quillon::app {

TTextWindow::TTextWindow(const QString& title, const QString& text, bool html, QWidget* parent)
    : QDialog(parent) {
    setObjectName("textWindow");
    setWindowTitle(title);
    auto* layout = new QVBoxLayout(this);
    view_ = new QTextBrowser(this);
    view_->setOpenExternalLinks(false);
    if (html) {
        view_->setHtml(text);
    } else {
        // The log keeps the CR LF line ends of its lines.
        QString plain = text;
        plain.remove('\r');
        view_->setPlainText(plain);
        view_->setLineWrapMode(QTextEdit::NoWrap);
        view_->setFont(QFont("monospace"));
    }
    layout->addWidget(view_);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::close);
    layout->addWidget(buttons);
    resize(720, 520);
}

TTextWindow* showTextWindow(QWidget* parent, const QString& title, const QString& text, bool html) {
    auto* w = new TTextWindow(title, text, html, parent);
    w->setAttribute(Qt::WA_DeleteOnClose);
    w->show();
    return w;
}

}  // namespace quillon::app

// A window of the program that shows a text (the log, the help) where the
// desktop has no program to open it with.
#pragma once

#include <QtCore/QString>
#include <QtWidgets/QDialog>

class QTextBrowser;

namespace quillon::app {

class TTextWindow : public QDialog {
public:
    // html: the text is a page (the help), else plain text (the log).
    TTextWindow(const QString& title, const QString& text, bool html, QWidget* parent = nullptr);
    QTextBrowser* view() const { return view_; }

private:
    QTextBrowser* view_;
};

// Shows the window, not modal, deleted when closed; returns it.
TTextWindow* showTextWindow(QWidget* parent, const QString& title, const QString& text, bool html);

}  // namespace quillon::app

// The small window shown while a file opens, so a slow open is visibly
// busy rather than a frozen window.
#pragma once

#include <QtWidgets/QDialog>
#include <QtWidgets/QLabel>

#include <string>

namespace quillon::app {

class TCancelDialog : public QDialog {
public:
    TCancelDialog(const std::string& title, QWidget* parent);
    void setText(const std::string& text);

private:
    QLabel* text_;
};

// Shows "quillon - Opening file" for as long as it lives.
class OpeningFileNotice {
public:
    OpeningFileNotice(const std::string& path, QWidget* parent);
    ~OpeningFileNotice();
    OpeningFileNotice(const OpeningFileNotice&) = delete;
    OpeningFileNotice& operator=(const OpeningFileNotice&) = delete;

private:
    TCancelDialog dialog_;
};

}  // namespace quillon::app

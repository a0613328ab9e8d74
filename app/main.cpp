#include <QtWidgets/QApplication>

#include "app/quillon_app.h"
#include "input/media_log.h"

int main(int argc, char** argv) {
    QApplication qt(argc, argv);
    QApplication::setApplicationName("Quillon Converter");
    QApplication::setApplicationVersion("3.62");
    QApplication::setDesktopFileName("quillon-gui");
    // The media libraries' messages belong in the log, not on a terminal.
    quillon::captureMediaMessages();
    quillon::app::TQuillonApp app({});
    if (!app.start()) return 1;
    return QApplication::exec();
}

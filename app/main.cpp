#include <QtWidgets/QApplication>

#include "app/quillon_app.h"

int main(int argc, char** argv) {
    QApplication qt(argc, argv);
    QApplication::setApplicationName("Quillon Converter");
    QApplication::setApplicationVersion("3.62");
    QApplication::setDesktopFileName("quillon-gui");
    quillon::app::TQuillonApp app({});
    if (!app.start()) return 1;
    return QApplication::exec();
}

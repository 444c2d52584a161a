// SPDX-License-Identifier: GPL-3.0-or-later
// sonbar: the windows of the batch recoder.
#include <QApplication>

#include "FMain.h"

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    // The window manager class and the desktop entry's name.
    QApplication::setApplicationName("sonbar");
    QGuiApplication::setDesktopFileName("org.sonbar.Sonbar");
    // TFormMain creates the preferences dialog, the about box and the status pop-up, in
    // that order, and installs the idle hook that chains the files of a batch.
    TFormMain main;
    main.show();
    return QApplication::exec();
}

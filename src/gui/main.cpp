// SPDX-License-Identifier: GPL-3.0-or-later
// sonbar: the windows of the batch recoder.
#include <getopt.h>
#include <unistd.h>

#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "FMain.h"
#include "sonbar_version.h"

namespace {

constexpr const char* kHelp =
    "usage: sonbar [OPTION...] [PATH...]\n\n"
    "Opens Sonbar's window, the batch audio recoder. The options of Qt (such as\n"
    "-platform NAME and -style NAME) are taken as well.\n\n"
    "  -h, --help     show this text\n"
    "      --version  show the version\n\n"
    "Without a display, sonbar-cli runs the same batch (sonbar-cli batch --help).\n";

// --help and --version, found before Qt is asked for a display; every other word is left
// to Qt and the window. Returns the exit code when the program is done.
int EarlyOptions(int argc, char* argv[]) {
    static const option options[] = {
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'V'},
        {},
    };
    // A copy: getopt may reorder what it is given, and Qt reads argv afterwards.
    std::vector<char*> words(argv, argv + argc);
    words.push_back(nullptr);
    opterr = 0;
    // "-": words in order, options of Qt's passed over rather than refused.
    for (int code; (code = ::getopt_long(argc, words.data(), "-h", options, nullptr)) != -1;) {
        if (code == 'h') {
            std::fputs(kHelp, stdout);
            return 0;
        }
        if (code == 'V') {
            std::printf("sonbar (Sonbar %s)\n", SONBAR_VERSION);
            return 0;
        }
    }
    optind = 0;
    return -1;
}

// Qt ends the program with abort() when it cannot open a display; say so and exit 1 instead.
void StartupMessages(QtMsgType Type, const QMessageLogContext&, const QString& Message) {
    if (Type != QtFatalMsg) {
        std::fprintf(stderr, "%s\n", Message.toLocal8Bit().constData());
        return;
    }
    std::fprintf(stderr, "sonbar: cannot open a window: %s\n", Message.toLocal8Bit().constData());
    std::fputs("sonbar: without a display, sonbar-cli runs the batch (sonbar-cli batch --help)\n",
               stderr);
    std::_Exit(1);
}

// Whether Qt has a display to open: an X or Wayland display, or a platform chosen.
bool HasDisplay(int argc, char* argv[]) {
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        if (const char* value = std::getenv(name); value && *value) return true;
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "-platform") == 0 || std::strcmp(argv[i], "--platform") == 0)
            return true;
    return false;
}

}  // namespace

int main(int argc, char* argv[]) {
    if (const int code = EarlyOptions(argc, argv); code >= 0) return code;
    if (!HasDisplay(argc, argv)) {
        std::fputs(
            "sonbar: no display (neither DISPLAY nor WAYLAND_DISPLAY is set); sonbar-cli "
            "runs the batch without one (sonbar-cli batch --help)\n",
            stderr);
        return 1;
    }
    const auto previous = qInstallMessageHandler(StartupMessages);
    QApplication app(argc, argv);
    qInstallMessageHandler(previous);
    // The window manager class and the desktop entry's name; message boxes are titled with
    // the display name.
    QApplication::setApplicationName("sonbar");
    QApplication::setApplicationDisplayName("Sonbar");
    QApplication::setApplicationVersion(SONBAR_VERSION);
    QGuiApplication::setDesktopFileName("org.sonbar.Sonbar");
    // TFormMain creates the preferences dialog, the about box and the status pop-up, in
    // that order, and installs the idle hook that chains the files of a batch.
    TFormMain main;
    main.show();
    return QApplication::exec();
}

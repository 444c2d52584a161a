// SPDX-License-Identifier: GPL-3.0-or-later
// Runs one batch over a prepared settings folder and prints its wall time in seconds:
//   bench_gui_batch gui SETTINGS_DIR     the main window, offscreen, started by Go, chained by
//                                        the idle hook as in the program
//   bench_gui_batch engine SETTINGS_DIR  the same job control without any window
#include <QApplication>
#include <QEventLoop>
#include <QPushButton>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "FMain.h"

namespace {

class TQuietMessages : public IMessages {
  public:
    int Boxes = 0;
    void ShowError(const std::string& Text) override {
        ++Boxes;
        std::fprintf(stderr, "error: %s\n", Text.c_str());
    }
    void ShowInformation(const std::string& Text) override { ShowError(Text); }
    TAnswer Ask(const std::string& Text, bool) override {
        ShowError(Text);
        return TAnswer::No;
    }
};

double RunGui(const std::string& Folder, TQuietMessages& Messages) {
    TFormMainSetup setup;
    setup.SettingsFolder = Folder;
    setup.Messages = &Messages;
    TFormMain form(setup);
    form.show();
    const auto start = std::chrono::steady_clock::now();
    form.ButtonGo->click();
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (form.Job().JobState() == jsStopped && !form.Job().GoWhenIdle) loop.quit();
    });
    poll.start(10);
    loop.exec();
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    std::fprintf(stderr, "files: %d\n", form.Job().FilesProcessed());
    return took.count();
}

double RunEngine(const std::string& Folder, TQuietMessages& Messages) {
    TIniStore ini(Folder + TSettings::IniName);
    TSettings settings;
    settings.LoadSettings(ini, Folder + TSettings::FormatFileName);
    settings.LoadMainSettings(ini, false);
    IProgress progress;
    TSystemClock clock;
    ISound sound;
    TJobControl job(settings, Messages, progress, clock, sound);
    const auto start = std::chrono::steady_clock::now();
    job.ButtonGoClick();
    while (job.JobState() == jsRecoding) {
        job.RecodingThread()->WaitFor();
        job.RecodingThreadDone();
        if (job.GoWhenIdle) job.ButtonGoClick();
    }
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    std::fprintf(stderr, "files: %d\n", job.FilesProcessed());
    return took.count();
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc != 3 || (std::strcmp(argv[1], "gui") != 0 && std::strcmp(argv[1], "engine") != 0)) {
        std::fprintf(stderr, "usage: bench_gui_batch gui|engine SETTINGS_DIR\n");
        return 2;
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    TQuietMessages messages;
    const std::string folder = std::string(argv[2]) + "/";
    const double seconds =
        std::strcmp(argv[1], "gui") == 0 ? RunGui(folder, messages) : RunEngine(folder, messages);
    std::printf("%.3f\n", seconds);
    return messages.Boxes == 0 ? 0 : 1;
}

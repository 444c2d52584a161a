// sonbar-cli batch: the batch that Go runs in the windows, with the same engine and texts.
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <iostream>
#include <string>

#include "commands.h"
#include "fileops.h"
#include "jobcontrol.h"

namespace {

constexpr const char* kUsage =
    "usage: sonbar-cli batch [--settings DIR] [--watch] [--yes | --no] [--keep-going]\n";

constexpr const char* kHelp =
    "\nRecodes every source file the settings find, one after another, as Go does in the\n"
    "windows: checks the settings, then finds the next source, chooses its target, recodes\n"
    "it and deletes or moves the source, until no source file is left.\n\n"
    "  --settings DIR  the folder of Sonbar.ini and Sonbar.tf\n"
    "  --watch         when no source is left, wait WaitSeconds and search again, for ever\n"
    "  --yes, --no     the answer to \"Prompt what to do\" without a terminal: overwrite the\n"
    "                  target, or treat the source as already processed (neither: cancel)\n"
    "  --keep-going    a file whose job fails stays in place and is passed over\n\n"
    "Exit status: 0 when no source file is left, 1 when a failure or a check ended the\n"
    "batch, 2 for a usage error, 130 when interrupted during a job (its .part file is\n"
    "removed and its source stays).\n";

std::atomic<int> stopSignal{0};

void OnSignal(int Signal) {
    stopSignal = Signal;
}

// Texts of the program use a carriage return as their line break.
std::string Lines(std::string Text) {
    for (char& c : Text)
        if (c == '\r') c = '\n';
    return Text;
}

class TCliFrontEnd : public IMessages, public IProgress, public ISound {
  public:
    bool Yes = false, No = false;
    bool Terminal = ::isatty(STDERR_FILENO) != 0;
    bool AskOnTerminal = ::isatty(STDIN_FILENO) != 0 && ::isatty(STDERR_FILENO) != 0;

    void ShowError(const std::string& Text) override {
        ClearLine();
        std::fprintf(stderr, "sonbar-cli: %s\n", Lines(Text).c_str());
    }
    void ShowJobError(const std::string& Source, const std::string& Text) override {
        ClearLine();
        std::fprintf(stderr, "sonbar-cli: %s: %s\n", Source.c_str(), Lines(Text).c_str());
    }
    void ShowInformation(const std::string& Text) override { ShowError(Text); }
    TAnswer Ask(const std::string& Text, bool WithCancel) override {
        if (!AskOnTerminal) return Yes ? TAnswer::Yes : No ? TAnswer::No : TAnswer::Cancel;
        ClearLine();
        for (;;) {
            std::fprintf(stderr, "%s\n%s ", Lines(Text).c_str(),
                         WithCancel ? "[y]es, [n]o or [c]ancel?" : "[y]es or [n]o?");
            std::string answer;
            if (!std::getline(std::cin, answer)) return WithCancel ? TAnswer::Cancel : TAnswer::No;
            if (answer == "y" || answer == "yes") return TAnswer::Yes;
            if (answer == "n" || answer == "no") return TAnswer::No;
            if (WithCancel && (answer == "c" || answer == "cancel")) return TAnswer::Cancel;
        }
    }

    void UpdateProgress(const TProgressFigures& F) override {
        if (!Terminal || !F.HasPercent) return;
        std::fprintf(stderr, "\r%4s  %s elapsed  %s remaining  %s bytes/s   ",
                     F.PercentText.c_str(), F.Time.c_str(),
                     F.HasRates ? F.RemainingTime.c_str() : "--:--:--",
                     F.HasRates ? F.BytesPerSec.c_str() : "0");
        std::fflush(stderr);
        lineShown_ = true;
    }
    void FileDone(const std::string& Source, const std::string& Target, bool Skipped, int64_t Bytes,
                  int32_t ElapsedMs) override {
        ClearLine();
        if (Skipped) {
            std::printf("skipped %s (target %s exists)\n", Source.c_str(), Target.c_str());
        } else {
            const double seconds = ElapsedMs / 1000.0;
            const double speed = seconds > 0 ? audioSeconds / seconds : 0;
            std::printf("recoded %s -> %s (%s bytes, %.2f s, %.1fx real time)\n", Source.c_str(),
                        Target.c_str(), FormatThousands(Bytes).c_str(), seconds, speed);
        }
        std::fflush(stdout);
    }
    void PassedOver(const std::string& Source, const std::string& Reason) override {
        ClearLine();
        std::fprintf(stderr, "sonbar-cli: %s: passed over: %s\n", Source.c_str(), Reason.c_str());
    }

    double audioSeconds = 0;

  private:
    void ClearLine() {
        if (!lineShown_) return;
        std::fprintf(stderr, "\r%*s\r", 70, "");
        lineShown_ = false;
    }
    bool lineShown_ = false;
};

// Sleeps up to Ms milliseconds; false when a signal asked to stop.
bool Sleep(int Ms) {
    for (int waited = 0; waited < Ms; waited += 50) {
        if (stopSignal) return false;
        ::poll(nullptr, 0, std::min(50, Ms - waited));
    }
    return !stopSignal;
}

}  // namespace

int RunBatch(std::span<const std::string> args) {
    std::string folder;
    bool watch = false, keepGoing = false;
    TCliFrontEnd ui;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            std::fputs(kHelp, stdout);
            return kExitSuccess;
        } else if (a == "--settings") {
            if (i + 1 >= args.size())
                return UsageError("batch", "--settings needs a value", kUsage);
            folder = args[++i];
        } else if (a == "--watch") {
            watch = true;
        } else if (a == "--yes") {
            ui.Yes = true;
        } else if (a == "--no") {
            ui.No = true;
        } else if (a == "--keep-going") {
            keepGoing = true;
        } else {
            return UsageError("batch", "unknown argument '" + a + "'", kUsage);
        }
    }
    if (ui.Yes && ui.No) return UsageError("batch", "--yes and --no exclude each other", kUsage);

    const std::string dir = SettingsFolder(folder, ProgramDirectory());
    TIniStore ini(dir + TSettings::IniName);
    TSettings settings;
    settings.LoadSettings(ini, dir + TSettings::FormatFileName);
    settings.LoadMainSettings(ini, false);
    // The hot folder is --watch's alone, whatever "Try again after" says.
    settings.SetOption(CheckBoxTryAgain, watch);

    struct sigaction action {};
    action.sa_handler = OnSignal;
    ::sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);

    TSystemClock clock;
    TJobControl control(settings, ui, ui, clock, ui);
    // The main thread applies the priority too: the search and the after-actions run there.
    SetCurrentThreadPriority(settings.Priority);

    bool failed = false;
    control.ButtonGoClick();
    for (;;) {
        switch (control.JobState()) {
            case jsRecoding:
            case jsSuspended: {
                TRecodingThread* thread = control.RecodingThread();
                while (!thread->WaitFor(100)) {
                    if (stopSignal) {
                        const std::string part = thread->PartFileName();
                        control.SetJobState(jsStopped);
                        fileops::RemoveFile(part);
                        std::fprintf(stderr, "\nsonbar-cli: stopped; %s stays in place\n",
                                     control.SourceFile.c_str());
                        return 130;
                    }
                    control.UpdateProgress();
                }
                ui.audioSeconds = thread->AudioSeconds();
                const std::string source = control.SourceFile;
                if (!control.RecodingThreadDone()) {
                    failed = true;
                    if (!keepGoing) return kExitFailure;
                    control.SkipSources.insert(source);
                    control.ButtonGoClick();
                } else if (control.GoWhenIdle) {
                    control.ButtonGoClick();
                } else {
                    return failed ? kExitFailure : kExitSuccess;
                }
                break;
            }
            case jsWaiting:
                if (!Sleep(1000)) {
                    control.SetJobState(jsStopped);
                    return failed ? kExitFailure : kExitSuccess;
                }
                control.TimerWaitForFileTimer();
                break;
            case jsStopped:
                switch (control.LastGoResult) {
                    case TGoResult::NoMoreFiles:
                        // Files copied in just before the run: wait until they are stable.
                        if (control.SawYoungFiles && Sleep(250)) {
                            control.ButtonGoClick();
                            break;
                        }
                        return failed || stopSignal ? kExitFailure : kExitSuccess;
                    case TGoResult::Failed:
                        failed = true;
                        // A failure that belongs to one source passes it over under
                        // --keep-going; the others end the batch.
                        if (keepGoing && !control.SourceFile.empty() &&
                            control.LastGoMessage != "Processing was stopped !" &&
                            control.LastGoMessage != EAllDirFullException().what()) {
                            control.SkipSources.insert(control.SourceFile);
                            control.ButtonGoClick();
                            break;
                        }
                        return kExitFailure;
                    default:
                        return kExitFailure;
                }
                break;
        }
    }
}

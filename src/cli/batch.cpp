// sonbar-cli batch: the batch that Go runs in the windows, with the same engine and texts.
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <thread>

#include "batchrecord.h"
#include "batchrunner.h"
#include "commands.h"
#include "fileops.h"
#include "jobcontrol.h"

namespace {

constexpr const char* kUsage =
    "usage: sonbar-cli batch [--settings DIR] [--jobs N] [--watch] [--yes | --no] [--keep-going]\n"
    "                        [--log FILE] [--json] [-q | -v]\n";

constexpr const char* kHelp =
    "\nRecodes every source file the settings find, one after another, as Go does in the\n"
    "windows: checks the settings, then finds the next source, chooses its target, recodes\n"
    "it and deletes or moves the source, until no source file is left.\n\n"
    "  --settings DIR  the folder of Sonbar.ini and Sonbar.tf\n"
    "  --jobs N        recode up to N files at once (default: \"jobs\" of the settings, else\n"
    "                  one per processor); --jobs 1 recodes one file at a time\n"
    "  --watch         when no source is left, wait WaitSeconds and search again, for ever;\n"
    "                  a file whose job fails is passed over until it changes\n"
    "  --yes, --no     the answer to \"Prompt what to do\" without a terminal: overwrite the\n"
    "                  target, or treat the source as already processed (neither: cancel)\n"
    "  --keep-going    a file whose job fails stays in place and is passed over; without\n"
    "                  it the first failure starts no new job and lets running ones finish\n"
    "                  (also \"keep-going\" of the settings)\n"
    "  --log FILE      append the batch record to FILE: one JSON line per file with the\n"
    "                  time, paths, formats, bytes, seconds and outcome (default:\n"
    "                  \"log-file\" of the settings)\n"
    "  --json          the record's lines on stdout instead of the prose lines\n"
    "  -q, --quiet     no line per file and no progress line; errors only\n"
    "  -v, --verbose   the formats and audio length of each recoded file too\n\n"
    "Several batches, on one machine or on several sharing the folders, may work on the\n"
    "same source folders: each claims the file it recodes with a lock file .NAME.sonbar-claim\n"
    "beside it, and the others pass over it. A claim whose owner is gone is taken over.\n\n"
    "Exit status: 0 when no source file is left, 1 when a failure or a check ended the\n"
    "batch, 2 for a usage error, 130 when interrupted during a job (the .part files of the\n"
    "running jobs are removed and their sources stay).\n";

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
    bool Quiet = false, Verbose = false, Json = false;
    bool Terminal = ::isatty(STDERR_FILENO) != 0;
    bool AskOnTerminal = ::isatty(STDIN_FILENO) != 0 && ::isatty(STDERR_FILENO) != 0;
    TBatchRecord Record;  // --log or the settings' log file
    std::string RecordFile;
    TBatchRecord Stdout;  // --json

    void ShowError(const std::string& Text) override {
        if (!failureShown_.empty() && Text == failureShown_) return;  // with its file already
        ClearLine();
        std::fprintf(stderr, "sonbar-cli: %s\n", Lines(Text).c_str());
    }
    // Shown with the file and the system's reason when the file's end was reported.
    void ShowJobError(const std::string& /*Source*/, const std::string& /*Text*/) override {}
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
        if (!Terminal || Quiet || !F.HasPercent) return;
        std::fprintf(stderr, "\r%4s  %s elapsed  %s remaining  %s bytes/s   ",
                     F.PercentText.c_str(), F.Time.c_str(),
                     F.HasRates ? F.RemainingTime.c_str() : "--:--:--",
                     F.HasRates ? F.BytesPerSec.c_str() : "0");
        std::fflush(stderr);
        lineShown_ = true;
    }
    void FileEnded(const TFileOutcome& O) override {
        ClearLine();
        Log(O);
        failureShown_.clear();
        if (O.Kind == TFileOutcome::TKind::Failed && !O.Message.empty()) {
            failureShown_ = O.Message;
            std::fprintf(stderr, "sonbar-cli: %s: %s%s\n", O.Source.c_str(),
                         Lines(O.Message).c_str(),
                         O.Reason.empty() ? "" : (": " + O.Reason).c_str());
        }
        if (Json || Quiet) return;
        if (O.Kind == TFileOutcome::TKind::Skipped) {
            std::printf("skipped %s (target %s exists)\n", O.Source.c_str(), O.Target.c_str());
        } else if (O.Kind == TFileOutcome::TKind::Recoded) {
            const double speed = O.Seconds > 0 ? O.AudioSeconds / O.Seconds : 0;
            std::printf("recoded %s -> %s (%s -> %s bytes, %.2f s, %.1fx real time)\n",
                        O.Source.c_str(), O.Target.c_str(), FormatThousands(O.BytesIn).c_str(),
                        FormatThousands(O.BytesOut).c_str(), O.Seconds, speed);
            if (Verbose)
                std::printf("  %s %s -> %s %s, %.2f s of audio\n", O.SourceTag.c_str(),
                            O.SourceFormat.c_str(), O.TargetTag.c_str(), O.TargetFormat.c_str(),
                            O.AudioSeconds);
        }
        std::fflush(stdout);
    }
    void PassedOver(const std::string& Source, const std::string& Reason) override {
        ClearLine();
        TFileOutcome outcome;
        outcome.Kind = TFileOutcome::TKind::PassedOver;
        outcome.Source = Source;
        outcome.Message = Reason;
        Log(outcome);
        if (!Quiet)
            std::fprintf(stderr, "sonbar-cli: %s: passed over: %s\n", Source.c_str(),
                         Reason.c_str());
    }
    void SourceChanged(const std::string& Source, const std::string& Text) override {
        ClearLine();
        std::fprintf(stderr, "sonbar-cli: %s: %s\n", Source.c_str(), Text.c_str());
    }

  private:
    void Log(const TFileOutcome& O) {
        if (Record.IsOpen() && !Record.Write(O) && !recordFailed_) {
            recordFailed_ = true;
            std::fprintf(stderr, "sonbar-cli: %s: the batch record could not be written: %s\n",
                         RecordFile.c_str(), std::strerror(errno));
        }
        if (Stdout.IsOpen()) Stdout.Write(O);
    }
    void ClearLine() {
        if (!lineShown_) return;
        std::fprintf(stderr, "\r%*s\r", 70, "");
        lineShown_ = false;
    }
    bool lineShown_ = false;
    bool recordFailed_ = false;
    std::string failureShown_;  // the last failure's message, shown with its file
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
    enum { kSettings = 256, kJobs, kWatch, kYes, kNo, kKeepGoing, kLog, kJson };
    static constexpr option longOptions[] = {
        {"settings", required_argument, nullptr, kSettings},
        {"jobs", required_argument, nullptr, kJobs},
        {"watch", no_argument, nullptr, kWatch},
        {"yes", no_argument, nullptr, kYes},
        {"no", no_argument, nullptr, kNo},
        {"keep-going", no_argument, nullptr, kKeepGoing},
        {"log", required_argument, nullptr, kLog},
        {"json", no_argument, nullptr, kJson},
        {"quiet", no_argument, nullptr, 'q'},
        {"verbose", no_argument, nullptr, 'v'},
        {},
    };
    static const TOptions options{kUsage, kHelp, "qv", longOptions};
    std::string folder;
    std::optional<std::string> log;
    bool watch = false, keepGoing = false;
    int32_t jobs = 0;
    TCliFrontEnd ui;
    std::vector<std::string> operands;
    const auto take = [&](int Code, const char* Value) -> std::string {
        switch (Code) {
            case kSettings:
                folder = Value;
                break;
            case kJobs: {
                const auto n = ParseInteger(Value);
                if (!n || *n < 1 || *n > 256) return "--jobs takes a number from 1 to 256";
                jobs = *n;
                break;
            }
            case kLog:
                log = Value;
                break;
            default:
                (Code == kWatch       ? watch
                 : Code == kYes       ? ui.Yes
                 : Code == kNo        ? ui.No
                 : Code == kKeepGoing ? keepGoing
                 : Code == kJson      ? ui.Json
                 : Code == 'q'        ? ui.Quiet
                                      : ui.Verbose) = true;
        }
        return {};
    };
    if (auto done = ParseOptions(args, options, take, operands)) return *done;
    if (!operands.empty())
        return UsageError("batch", "unknown argument '" + operands[0] + "'", kUsage);
    if (ui.Quiet && ui.Verbose)
        return UsageError("batch", "--quiet and --verbose exclude each other", kUsage);
    if (ui.Yes && ui.No) return UsageError("batch", "--yes and --no exclude each other", kUsage);

    const std::string dir = SettingsFolder(folder, ProgramDirectory());
    TIniStore ini(dir + TSettings::IniName);
    TSettings settings;
    settings.LoadSettings(ini, dir + TSettings::FormatFileName);
    settings.LoadMainSettings(ini, false);
    // The hot folder is --watch's alone, whatever "Try again after" says.
    settings.SetOption(CheckBoxTryAgain, watch);
    if (jobs == 0) jobs = JobsSetting(ini);
    if (!log) log = settings.LogFile;
    if (!log->empty()) {
        ui.RecordFile = *log;
        if (std::string failure = ui.Record.Open(*log); !failure.empty()) {
            std::fprintf(stderr, "sonbar-cli: %s\n", failure.c_str());
            return kExitFailure;
        }
    }
    if (ui.Json) ui.Stdout.UseDescriptor(STDOUT_FILENO);
    if (jobs == 0) jobs = static_cast<int32_t>(std::max(1u, std::thread::hardware_concurrency()));

    struct sigaction action {};
    action.sa_handler = OnSignal;
    ::sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);

    TSystemClock clock;
    TClaims claims;
    TBatchRunner runner(settings, ui, ui, clock, ui, jobs);
    runner.KeepGoing = keepGoing || settings.KeepGoing;
    runner.Watching = watch;
    runner.Claims = &claims;
    // The main thread applies the priority too: the search and the after-actions run there.
    SetCurrentThreadPriority(settings.Priority);

    if (!runner.Check()) return kExitFailure;
    for (;;) {
        const TBatchRunner::TFill found =
            runner.Stopping() ? TBatchRunner::TFill::Failed : runner.Fill();
        if (runner.Running() > 0) {
            while (!runner.Reap(100)) {
                if (stopSignal) {
                    const std::vector<std::string> sources = runner.RunningSources();
                    runner.StopAll();
                    std::fputc('\n', stderr);
                    for (const std::string& source : sources)
                        std::fprintf(stderr, "sonbar-cli: stopped; %s stays in place\n",
                                     source.c_str());
                    return 130;
                }
                runner.UpdateProgress();
            }
            continue;
        }
        if (found != TBatchRunner::TFill::NoMoreFiles || runner.Stopping()) return kExitFailure;
        // Files copied in just before the run, or waiting for a target another process
        // writes: search again shortly.
        if (runner.SawYoungFiles() && Sleep(250)) continue;
        if (!watch || stopSignal) {
            runner.ReportLeftOver();
            return runner.Failed() || stopSignal ? kExitFailure : kExitSuccess;
        }
        // The hot folder: wait, then search again (at least a second, as the windows' timer
        // ticks, so a waiting time of 0 does not spin).
        // A stop while waiting ends a hot folder as asked: the files that failed on the way
        // were reported, passed over and stay in place.
        if (!Sleep(1000 * std::max(1, settings.WaitSecondsValue()))) return kExitSuccess;
    }
}

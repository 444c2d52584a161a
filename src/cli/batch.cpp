// SPDX-License-Identifier: GPL-3.0-or-later
// sonbar-cli batch: the batch that Go runs in the windows, with the same engine and texts.
// Over 400 lines: its options, its help, its terminal and record output and its loop are the
// whole of what the command adds to the engine's batch loop.
#include "batch.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "batchrecord.h"
#include "commands.h"
#include "fileops.h"
#include "jobcontrol.h"
#include "notify.h"
#include "sourcelist.h"
#include "watch.h"

namespace {

constexpr const char* kUsage =
    "usage: sonbar-cli batch [--settings DIR] [--jobs N] [--threads N] [--watch] [--yes | --no] "
    "[--keep-going]\n"
    "                        [--log FILE] [--json] [-q | -v]\n"
    "                        [--files-from FILE [-0] | --shard K/N]\n";

constexpr const char* kHelp =
    "\nRecodes every source file the settings find, one after another, as Go does in the\n"
    "windows: checks the settings, then finds the next source, chooses its target, recodes\n"
    "it and deletes or moves the source, until no source file is left.\n\n"
    "  --settings DIR  the folder of Sonbar.ini and Sonbar.tf\n"
    "  --jobs N        recode up to N files at once (default: \"jobs\" of the settings, else\n"
    "                  one per processor); --jobs 1 recodes one file at a time\n"
    "  --threads N     encode stretches of one long file on N threads at once where its\n"
    "                  format allows (default: \"threads\" of the settings, else the\n"
    "                  processors the other jobs leave free)\n"
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
    "  -v, --verbose   the formats and audio length of each recoded file too\n"
    "  --files-from FILE  take exactly the sources FILE lists (- for stdin), one a line, in\n"
    "                  order; each must lie in a source folder, others are named and passed\n"
    "                  over; the status is 1 when a listed file was not recoded\n"
    "  -0, --null      the list's names end in NUL characters instead (find -print0)\n"
    "  --shard K/N     take only the sources whose path below their source folder hashes to\n"
    "                  K of N (0 <= K < N): N batches share a folder without a list\n\n"
    "Several batches, on one machine or on several sharing the folders, may work on the\n"
    "same source folders: each claims the file it recodes with a lock file .NAME.sonbar-claim\n"
    "beside it, and the others pass over it. A claim whose owner is gone is taken over.\n\n"
    "Exit status: 0 when no source file is left, 1 when a failure or a check ended the\n"
    "batch, 2 for a usage error, 130 when interrupted during a job (the .part files of the\n"
    "running jobs are removed and their sources stay).\n";

std::atomic<int> stopSignal{0};
// Written by the signal handler, so that a wait for new files ends at once.
int stopPipe[2] = {-1, -1};

void OnSignal(int Signal) {
    stopSignal = Signal;
    const char byte = 1;
    if (stopPipe[1] >= 0 && ::write(stopPipe[1], &byte, 1) < 0) {
        // Nothing to do: the flag alone still stops the batch.
    }
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
        if (O.Kind == TFileOutcome::TKind::Recoded) ++recoded;
        if (O.Kind == TFileOutcome::TKind::Skipped) ++skipped;
        if (O.Kind == TFileOutcome::TKind::Failed) ++failed;
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

    int recoded = 0, skipped = 0, failed = 0;
    // The service's status line.
    std::string StatusText(const std::string& State) const {
        return std::to_string(recoded) + " recoded, " + std::to_string(skipped) + " skipped, " +
               std::to_string(failed) + " failed; " + State;
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

// The whole of a list of sources: a file, or stdin for "-".
bool ReadList(const std::string& Name, std::string& Text) {
    std::FILE* file = Name == "-" ? stdin : std::fopen(Name.c_str(), "rb");
    if (!file) return false;
    char buffer[65536];
    std::size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) Text.append(buffer, got);
    const bool ok = !std::ferror(file);
    if (file != stdin) std::fclose(file);
    return ok;
}

// Waits up to Ms milliseconds for new files, keeping the watchdog fed; false when a signal
// asked to stop.
bool WaitForFiles(TWatch& Hot, int Ms, TServiceNotifier& Notifier) {
    const int64_t deadline = fileops::MonotonicMs() + Ms;
    for (;;) {
        Notifier.KeepAlive();
        const int64_t left = deadline - fileops::MonotonicMs();
        if (stopSignal) return false;
        if (left <= 0) return true;
        int slice = static_cast<int>(left);
        if (Notifier.MaxWaitMs() > 0) slice = std::min(slice, Notifier.MaxWaitMs());
        switch (Hot.Wait(slice, stopPipe[0])) {
            case TWatch::TWake::Arrived:
                return true;
            case TWatch::TWake::Stopped:
                return false;
            case TWatch::TWake::TimedOut:
                break;
        }
    }
}

}  // namespace

int RunBatch(std::span<const std::string> args) {
    enum {
        kSettings = 256,
        kJobs,
        kThreads,
        kWatch,
        kYes,
        kNo,
        kKeepGoing,
        kLog,
        kJson,
        kFilesFrom,
        kShard
    };
    static constexpr option longOptions[] = {
        {"settings", required_argument, nullptr, kSettings},
        {"jobs", required_argument, nullptr, kJobs},
        {"threads", required_argument, nullptr, kThreads},
        {"watch", no_argument, nullptr, kWatch},
        {"yes", no_argument, nullptr, kYes},
        {"no", no_argument, nullptr, kNo},
        {"keep-going", no_argument, nullptr, kKeepGoing},
        {"log", required_argument, nullptr, kLog},
        {"json", no_argument, nullptr, kJson},
        {"quiet", no_argument, nullptr, 'q'},
        {"verbose", no_argument, nullptr, 'v'},
        {"files-from", required_argument, nullptr, kFilesFrom},
        {"null", no_argument, nullptr, '0'},
        {"shard", required_argument, nullptr, kShard},
        {},
    };
    static const TOptions options{kUsage, kHelp, "qv0", longOptions};
    std::string folder;
    std::optional<std::string> log;
    std::optional<std::string> listFile;
    std::optional<TShard> shard;
    bool nulSeparated = false;
    bool watch = false, keepGoing = false;
    int32_t jobs = 0;
    std::optional<int32_t> threads;
    TCliFrontEnd ui;
    std::vector<std::string> operands;
    const auto take = [&](int Code, const char* Value) -> std::string {
        switch (Code) {
            case kSettings:
                folder = Value;
                break;
            case kJobs:
            case kThreads: {
                const auto n = ParseInteger(Value);
                const char* name = Code == kJobs ? "--jobs" : "--threads";
                if (!n || *n < 1 || *n > 256)
                    return std::string(name) + " takes a number from 1 to 256";
                (Code == kJobs ? jobs : threads.emplace()) = *n;
                break;
            }
            case kLog:
                log = Value;
                break;
            case kFilesFrom:
                listFile = Value;
                break;
            case kShard:
                shard = TShard::Parse(Value);
                if (!shard) return "--shard takes K/N with 0 <= K < N";
                break;
            case '0':
                nulSeparated = true;
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
    if (listFile && (watch || shard))
        return UsageError("batch", "--files-from excludes --watch and --shard", kUsage);
    std::unique_ptr<TSourceList> list;
    if (listFile) {
        std::string text;
        if (!ReadList(*listFile, text)) {
            std::fprintf(stderr, "sonbar-cli: %s: cannot be read (%s)\n", listFile->c_str(),
                         std::strerror(errno));
            return kExitFailure;
        }
        list = std::make_unique<TSourceList>(SplitPathList(text, nulSeparated), ui);
    }

    const std::string dir = SettingsFolder(folder, ProgramDirectory());
    TIniStore ini(dir + TSettings::IniName);
    TSettings settings;
    settings.LoadSettings(ini, dir + TSettings::FormatFileName);
    settings.LoadMainSettings(ini, false);
    // The hot folder is --watch's alone, whatever "Try again after" says.
    settings.SetOption(CheckBoxTryAgain, watch);
    if (jobs == 0) jobs = JobsSetting(ini);
    if (threads) settings.Threads = *threads;
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

    if (stopPipe[0] < 0 && ::pipe2(stopPipe, O_CLOEXEC | O_NONBLOCK) != 0) stopPipe[0] = -1;
    struct sigaction action {};
    action.sa_handler = OnSignal;
    ::sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);

    TSystemClock clock;
    TClaims claims;
    TBatch::TOptions batchOptions;
    batchOptions.Jobs = jobs;
    batchOptions.Watch = watch;
    batchOptions.KeepGoing = keepGoing || settings.KeepGoing;
    batchOptions.Claims = &claims;
    batchOptions.List = list.get();
    if (shard) batchOptions.Shard = &*shard;
    TBatch batch(settings, ui, ui, clock, ui, std::move(batchOptions));
    // The main thread applies the priority too: the search and the after-actions run there.
    SetCurrentThreadPriority(settings.Priority);

    if (!batch.Start()) return kExitFailure;
    const int waitMs = batch.WaitMs();
    TServiceNotifier service;
    service.Ready(ui.StatusText("starting"));
    for (;;) {
        service.KeepAlive();
        service.Status(ui.StatusText(batch.Running() > 0 ? "recoding" : "searching"));
        switch (batch.Turn()) {
            case TBatch::TNext::WaitForJobs:
                while (!batch.WaitForJob(100)) {
                    if (stopSignal) {
                        const std::vector<std::string> sources = batch.Cancel();
                        std::fputc('\n', stderr);
                        for (const std::string& source : sources)
                            std::fprintf(stderr, "sonbar-cli: stopped; %s stays in place\n",
                                         source.c_str());
                        return 130;
                    }
                    batch.UpdateProgress();
                    service.KeepAlive();
                }
                break;
            case TBatch::TNext::SearchSoon:
                if (Sleep(TBatch::RetryMs)) break;
                batch.Runner().ReportLeftOver();
                return kExitFailure;
            case TBatch::TNext::Finished:
                for (const std::string& path : batch.ListedLeft())
                    std::fprintf(stderr, "sonbar-cli: %s: listed, not recoded\n", path.c_str());
                return batch.Failed() || stopSignal ? kExitFailure : kExitSuccess;
            case TBatch::TNext::WaitForFiles: {
                if (stopSignal) {
                    batch.Runner().ReportLeftOver();
                    return kExitFailure;
                }
                // The hot folder: wait for a file to arrive, or search again after the
                // waiting time.
                TWatch& hot = *batch.HotFolder();
                service.Status(ui.StatusText(hot.Watching() ? "waiting for files"
                                                            : "searching every " +
                                                                  std::to_string(waitMs / 1000) +
                                                                  " s: " + hot.FallbackReason()));
                // A stop while waiting ends a hot folder as asked: the files that failed on
                // the way were reported, passed over and stay in place.
                if (!WaitForFiles(hot, waitMs, service)) {
                    service.Stopping();
                    return kExitSuccess;
                }
                break;
            }
        }
    }
}

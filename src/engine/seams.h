// SPDX-License-Identifier: GPL-3.0-or-later
// How the engine reaches the user: messages and questions, progress, the clock and sound.
// The windows, sonbar-cli and the tests each implement these.
#pragma once

#include <cstdint>
#include <string>

enum class TAnswer { Yes, No, Cancel };

// Modal boxes. Texts are the program's own, exactly.
class IMessages {
  public:
    virtual ~IMessages() = default;
    virtual void ShowError(const std::string& Text) = 0;
    virtual void ShowInformation(const std::string& Text) = 0;
    // Yes and No, plus Cancel when WithCancel; closing the box answers Cancel (or No).
    virtual TAnswer Ask(const std::string& Text, bool WithCancel) = 0;
    // A question or an error about one file; a front end names the file with the text.
    virtual TAnswer AskAbout(const std::string& /*File*/, const std::string& Text,
                             bool WithCancel) {
        return Ask(Text, WithCancel);
    }
    virtual void ShowErrorAbout(const std::string& /*File*/, const std::string& Text) {
        ShowError(Text);
    }
    // A recoding job's own failure message, for the source it was recoding.
    virtual void ShowJobError(const std::string& /*Source*/, const std::string& Text) {
        ShowError(Text);
    }
    // The status pop-up around slow work on the caller's thread.
    virtual void ShowInfo(const std::string& /*Text*/) {}
    virtual void CloseInfo() {}
};

// What the job display shows while a file is recoded.
struct TProgressFigures {
    int64_t BytesRead = 0;
    int64_t SourceSize = 0;
    bool HasPercent = false;  // SourceSize > 0
    int Percent = 0;
    std::string PercentText;  // "42%"
    std::string Source;       // the job's source; "" for the sum of several jobs
    int Jobs = 1;             // the jobs these figures sum
    std::string Time;         // elapsed, "00:01:05"
    bool HasRates = false;    // more than 100 ms elapsed: the three below are valid
    std::string RemainingTime;
    std::string TotalTime;
    std::string BytesPerSec;  // with thousands separators
    int32_t ElapsedMs = 0;
};

// What became of one file of a batch: a line of the batch record.
struct TFileOutcome {
    enum class TKind { Recoded, Skipped, Failed, PassedOver };
    TKind Kind = TKind::Recoded;
    std::string Source, Target;
    // The codec's tag name and description of each format; empty where unknown.
    std::string SourceTag, SourceFormat, TargetTag, TargetFormat;
    int64_t BytesIn = 0, BytesOut = 0;
    double AudioSeconds = 0;  // of the source
    double Seconds = 0;       // the job took
    std::string Message;      // as the user was shown it
    std::string Reason;       // the system's, where it gave one
};

class IProgress {
  public:
    virtual ~IProgress() = default;
    virtual void SetProgressMax(int64_t /*SourceSize*/) {}
    virtual void UpdateProgress(const TProgressFigures& /*Figures*/) {}
    // The job state or its display changed (caption, labels, buttons).
    virtual void JobDisplayChanged() {}
    // A file was recoded or skipped (Skipped: its target existed and it counts as done).
    virtual void FileDone(const std::string& /*Source*/, const std::string& /*Target*/,
                          bool /*Skipped*/, int64_t /*Bytes*/, int32_t /*ElapsedMs*/) {}
    // A source that the search passed over, with the reason (once per file and run).
    virtual void PassedOver(const std::string& /*Source*/, const std::string& /*Reason*/) {}
    // A source that changed while it was recoded: its target was discarded and the source
    // stays, to be recoded again once it is stable.
    virtual void SourceChanged(const std::string& /*Source*/, const std::string& /*Text*/) {}
    // A file was recoded, skipped or failed: after FileDone, and before a failure's messages.
    virtual void FileEnded(const TFileOutcome& /*Outcome*/) {}
};

class IClock {
  public:
    virtual ~IClock() = default;
    // Milliseconds since local midnight.
    virtual int32_t MsSinceMidnight() = 0;
};

class ISound {
  public:
    virtual ~ISound() = default;
    virtual void Beep() {}
    virtual void PlayWav(const std::string& /*File*/) {}
};

// The local clock.
class TSystemClock : public IClock {
  public:
    int32_t MsSinceMidnight() override;
};

// SPDX-License-Identifier: GPL-3.0-or-later
// The batch record: one JSON line (JSON Lines) per file a batch touched, appended to a file
// that several jobs and processes may share.
#pragma once

#include <ctime>
#include <string>

#include "seams.h"

class TKoWaveFormat;
class TRecodingThread;

// An outcome of Kind for Source and Target, with the codec's names of the source's format
// (read from its header, when it can be) and of TargetFormat (may be null).
TFileOutcome MakeOutcome(TFileOutcome::TKind Kind, const std::string& Source,
                         const std::string& Target, const TKoWaveFormat* TargetFormat);
// Adds what a finished job measured: bytes in and out, audio and elapsed seconds, and on
// failure its message and the system's reason.
void AddJobFacts(TFileOutcome& Outcome, const TRecodingThread& Job, int32_t ElapsedMs);

// "recoded", "skipped", "failed", "passed-over".
const char* OutcomeName(TFileOutcome::TKind Kind);
// Text as a JSON string, quotes included. Bytes that are not UTF-8 (file names may hold
// any) become \udcXX, as Python's surrogateescape reads them back.
std::string JsonString(const std::string& Text);
// The outcome's line, ending in "\n"; Time is when it was written (local time).
std::string RecordLine(const TFileOutcome& Outcome, std::time_t Time);

class TBatchRecord {
  public:
    TBatchRecord() = default;
    ~TBatchRecord();
    TBatchRecord(const TBatchRecord&) = delete;
    TBatchRecord& operator=(const TBatchRecord&) = delete;

    // Opens File for appending (created when missing); "" or the failure's message.
    std::string Open(const std::string& File);
    // Writes to a descriptor the caller keeps open (stdout).
    void UseDescriptor(int Fd) { fd_ = Fd, owned_ = false; }
    bool IsOpen() const { return fd_ >= 0; }
    // Appends the outcome's line in one write, so lines of several writers never mix.
    // False when it could not be written whole.
    bool Write(const TFileOutcome& Outcome);

  private:
    int fd_ = -1;
    bool owned_ = false;
};

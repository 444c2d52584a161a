// SPDX-License-Identifier: GPL-3.0-or-later
// "-" as IN or OUT of convert and copy. The WAVE reader and writer seek, so a temporary file
// stands in for stdin (filled before the job) and for stdout (sent after it): the header
// that reaches stdout always carries the real sizes, even through a pipe.
#pragma once

#include <string>

class TStdioFiles {
  public:
    TStdioFiles() = default;
    ~TStdioFiles();
    TStdioFiles(const TStdioFiles&) = delete;
    TStdioFiles& operator=(const TStdioFiles&) = delete;

    // Replaces In and Out that are "-" by temporary files, reading stdin into In's. False
    // when that failed (the reason was reported).
    bool Prepare(std::string& In, std::string& Out);
    // Sends the output's temporary to stdout, if Out was "-"; false when that failed.
    bool Finish();
    // What to call In and Out in messages.
    const std::string& InName(const std::string& In) const;
    const std::string& OutName(const std::string& Out) const;

  private:
    std::string in_, out_;  // the temporaries, empty when not used
};

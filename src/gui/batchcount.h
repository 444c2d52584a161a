// SPDX-License-Identifier: GPL-3.0-or-later
// How far the batch under way has come: "File n of m", where m is what the batch knows of its
// files (those found at Go, and more as a hot folder gets them), and the time the whole batch
// still needs at the rate it has gone so far.
#pragma once

#include <cstdint>
#include <string>

#include "sourcesearch.h"

class TBatchCount {
  public:
    // A new batch, started at NowMs (milliseconds since midnight).
    void Start(int32_t NowMs);
    // A count of the sources still there, the running ones included: the batch has as many
    // files as have ended and as are counted, and never fewer than it had.
    void Found(const TSourceCount& Count);
    // A file ended (recoded, skipped or failed) after reading Bytes of its source.
    void Ended(int64_t Bytes);
    // Whether the batch knows how many files it has.
    bool Known() const { return files_ > 0; }
    // "File n of m" while Running files are under way: n is the last of them.
    std::string FileText(int Running) const;
    // The whole batch's remaining time, "hh:mm:ss", with BytesRead of the running files read
    // so far; "" while there is too little to go by.
    std::string RemainingText(int64_t BytesRead, int32_t NowMs) const;

  private:
    int32_t startMs_ = 0;
    int64_t ended_ = 0;
    int64_t endedBytes_ = 0;
    int64_t files_ = 0;
    int64_t bytes_ = 0;  // of all the batch's files
};

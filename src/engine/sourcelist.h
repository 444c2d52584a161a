// SPDX-License-Identifier: GPL-3.0-or-later
// Two ways to give a batch less than everything its search would find: a list of sources
// taken exactly and in order (sonbar-cli batch --files-from), and one shard of N of what the
// search finds (--shard K/N), so that schedulers outside Sonbar can split the work while
// every source still goes through the batch's own rules.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "jobsettings.h"
#include "seams.h"
#include "sourcesearch.h"

class TSourceSearch;

// Whether a file of this name may be a source of the settings: a source extension, not a
// claim, hidden only when hidden files are searched.
bool IsSourceName(const TJobSettings& Settings, const std::string& Name);

// The paths of a list: one a line (empty lines are passed over), or NUL-separated.
std::vector<std::string> SplitPathList(std::string_view Text, bool NulSeparated);

// Where a listed file lies among the source directories, as the search would have met it.
struct TSourcePlace {
    int32_t DirIndex = -1;
    std::string RelativeDir;  // "" or "a/b", as the search names it
    std::string Path;         // source directory + RelativeDir + name, as the search builds it
};
// The place of Path, or the reason the search would never take it (in Reason).
std::optional<TSourcePlace> LocateSource(const TJobSettings& Settings, const std::string& Path,
                                         const std::vector<std::string>& ExcludedDirs,
                                         std::string& Reason);

class TSourceList {
  public:
    // Progress hears of every listed path passed over for good, once.
    TSourceList(std::vector<std::string> Paths, IProgress& Progress);

    // The search of a listed batch: the first listed source the search would take now
    // (stable, not claimed, not running), or nothing.
    std::optional<TFoundSource> Next(TSourceSearch& Search, const TJobSettings& Settings,
                                     const std::vector<std::string>& ExcludedDirs);
    // Listed paths that are neither done nor gone: after a batch, what it did not recode.
    std::vector<std::string> Left() const;

  private:
    enum class TState { Open, Done, Refused };
    struct TEntry {
        std::string Listed;
        std::optional<TSourcePlace> Place;
        TState State = TState::Open;
        bool Handed = false;  // given to a job at least once
    };
    void Refuse(TEntry& Entry, const std::string& Reason);

    std::vector<TEntry> entries_;
    std::size_t firstOpen_ = 0;
    IProgress& progress_;
};

// Shard K of N: the sources whose path below their source directory hashes to K. The hash
// is the same on every machine and in every run, so a Slurm array or an indexed Job splits
// one folder without a list.
class TShard {
  public:
    TShard(uint32_t Index, uint32_t Count) : index_(Index), count_(Count) {}
    // "K/N" with 0 <= K < N; nullopt otherwise.
    static std::optional<TShard> Parse(std::string_view Text);
    bool Contains(const TJobSettings& Settings, const std::string& Path) const;
    static uint64_t Hash(std::string_view Text);

  private:
    uint32_t index_, count_;
};

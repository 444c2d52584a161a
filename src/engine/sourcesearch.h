// SPDX-License-Identifier: GPL-3.0-or-later
// The search for the next source: the source directories in their order, each file name by
// the order of the source extensions, then (where the settings say so) the subdirectories,
// never through a link, never into the target or move directories. Listings are reused
// across searches (see TListingCache); a file is taken only once it is readable, not being
// written and has stayed unchanged for StableSeconds.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "jobsettings.h"
#include "listing.h"
#include "seams.h"

class TShard;
class TSourceList;

// A source the search found, and where: what the target choice needs to know of it.
struct TFoundSource {
    std::string Path;
    int32_t DirIndex = -1;    // in the source directories
    std::string RelativeDir;  // "" or "a/b" below it
    int64_t Size = 0;
};

// What a count of the sources still there found: how many, and their bytes.
struct TSourceCount {
    int64_t Files = 0;
    int64_t Bytes = 0;
};

// Asked before the search takes a source that is ready: another job or another process may
// be recoding it.
class ISourceGate {
  public:
    virtual ~ISourceGate() = default;
    // False passes the source over silently for this search.
    virtual bool MayTake(const std::string& Source) = 0;
    // The source is this process's already (being recoded, or its target waiting): passed
    // over silently before anything looks at the file.
    virtual bool Ours(const std::string& /*Source*/) { return false; }
};

class TSourceSearch {
  public:
    // Progress hears of every file passed over for a reason the user should know, once.
    explicit TSourceSearch(IProgress& Progress);

    // Sources passed over for the rest of the run.
    std::set<std::string> Skip;
    // Sources taken from a list instead of searched for; null searches the directories.
    TSourceList* List = nullptr;
    // Only the sources of this shard are taken; null takes all.
    const TShard* Shard = nullptr;

    // The next source, or nothing. Gate (may be null) is asked of every ready source.
    std::optional<TFoundSource> Next(const TJobSettings& Job, ISourceGate* Gate);
    // The sources the search may still take, counted without taking any: every file of a
    // source name below the source directories (or left on the list), less those passed over
    // for the rest of the run. Files that are still young count, as they are taken later. The
    // listings are read afresh and the search's own are left as they are.
    TSourceCount Count(const TJobSettings& Job) const;
    // The last search passed over files only because they were still young.
    bool SawYoungFiles() const { return sawYoung_; }
    // The size of Path if the search may take it now, else -1 (the reason noted).
    int64_t CandidateSize(const TJobSettings& Job, const std::string& Path);
    TListingCache& Listings() { return listings_; }

  private:
    std::optional<TFoundSource> Search(const TJobSettings& Job, std::size_t DirIndex,
                                       const std::string& Relative);
    bool IsExcluded(const TJobSettings& Job, const std::string& Dir) const;
    void NotePassedOver(const std::string& Path, const std::string& Reason);

    IProgress& progress_;
    TListingCache listings_;
    ISourceGate* gate_ = nullptr;
    std::set<std::string> reported_;
    bool sawYoung_ = false;
    bool takenElsewhere_ = false;  // the last candidate was refused by the gate
};

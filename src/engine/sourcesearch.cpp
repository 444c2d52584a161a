// SPDX-License-Identifier: GPL-3.0-or-later
#include "sourcesearch.h"

#include <strings.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "claims.h"
#include "fileops.h"
#include "sourcelist.h"

namespace {

// "*.EXT" as the file system matches it: without regard to letter case.
bool MatchesExtension(const std::string& Name, const std::string& Ext) {
    if (Name.size() < Ext.size() + 1) return false;
    const std::size_t dot = Name.size() - Ext.size() - 1;
    return Name[dot] == '.' && ::strcasecmp(Name.c_str() + dot + 1, Ext.c_str()) == 0;
}

}  // namespace

TSourceSearch::TSourceSearch(IProgress& Progress) : progress_(Progress) {}

void TSourceSearch::NotePassedOver(const std::string& Path, const std::string& Reason) {
    if (reported_.insert(Path).second) progress_.PassedOver(Path, Reason);
}

int64_t TSourceSearch::CandidateSize(const TJobSettings& Job, const std::string& Path) {
    takenElsewhere_ = false;
    if (Skip.count(Path) || (Shard && !Shard->Contains(Job, Path))) return -1;
    if (gate_ && gate_->Ours(Path)) {
        takenElsewhere_ = true;
        return -1;
    }
    const int64_t size = fileops::ReadableSize(Path);
    if (size < 0) {
        // A file gone since the directory was read (another process took it) is no news.
        if (errno != ENOENT)
            NotePassedOver(
                Path, std::string("cannot be opened for reading (") + std::strerror(errno) + ")");
        return -1;
    }
    if (size == 0) return 0;
    switch (fileops::Stability(Path, int64_t{Job.StableSeconds} * 1000)) {
        case fileops::TStability::Stable:
            takenElsewhere_ = gate_ && !gate_->MayTake(Path);
            return takenElsewhere_ ? -1 : size;
        case fileops::TStability::Young:
            sawYoung_ = true;
            return -1;
        case fileops::TStability::Busy:
            NotePassedOver(Path, "is still being written by another program");
            return -1;
        case fileops::TStability::Gone:
            return -1;
    }
    return -1;
}

bool TSourceSearch::IsExcluded(const TJobSettings& Job, const std::string& Dir) const {
    const std::string dir = fileops::Normalise(Dir);
    for (const std::string& excluded : Job.ExcludedDirs)
        if (dir == excluded) return true;
    return false;
}

std::optional<TFoundSource> TSourceSearch::Next(const TJobSettings& Job, ISourceGate* Gate) {
    sawYoung_ = false;
    gate_ = Gate;
    // Target and move directories are never searched, even when they lie inside a source
    // directory: their files would be found again and recoded or moved a second time.
    if (List) return List->Next(*this, Job, Job.ExcludedDirs);
    // A search that found nothing in what it reused looks once more afresh.
    for (int pass = 0; pass < 2; ++pass) {
        if (pass == 1 && !listings_.ReusedAnything()) break;
        listings_.BeginSearch(pass == 1);
        for (std::size_t i = 0; i < Job.SourceDirs.size(); ++i)
            if (auto found = Search(Job, i, "")) return found;
    }
    return std::nullopt;
}

TSourceCount TSourceSearch::Count(const TJobSettings& Job) const {
    TSourceCount count;
    const auto add = [&](const std::string& Path) {
        if (Skip.count(Path) || reported_.count(Path) || (Shard && !Shard->Contains(Job, Path)))
            return;
        struct stat st {};
        if (::stat(Path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size == 0) return;
        ++count.Files;
        count.Bytes += st.st_size;
    };
    if (List) {
        for (const std::string& path : List->Left()) add(path);
        return count;
    }
    TListingCache listings;  // of its own: the search's marks and reads stay untouched
    listings.BeginSearch(true);
    // Directories to visit: the source directory's index and the path below it.
    std::vector<std::pair<std::size_t, std::string>> todo;
    for (std::size_t i = Job.SourceDirs.size(); i-- > 0;) todo.emplace_back(i, "");
    while (!todo.empty()) {
        const auto [index, relative] = todo.back();
        todo.pop_back();
        const std::string here =
            fileops::AddSlash(fileops::AddSlash(Job.SourceDirs[index]) + relative);
        if (!relative.empty() && IsExcluded(Job, here)) continue;
        const TListingCache::TListing& listing = listings.Get(here);
        for (const std::string& name : listing.Files)
            if (IsSourceName(Job, name)) add(here + name);
        if (!Job.Recurse) continue;
        for (const std::string& name : listing.Dirs)
            if (name[0] != '.')
                todo.emplace_back(index, relative.empty() ? name : relative + "/" + name);
    }
    return count;
}

// One directory below a source directory, then its subdirectories. Files passed over for a
// reason that holds for now are marked and skipped until the listing is read again.
std::optional<TFoundSource> TSourceSearch::Search(const TJobSettings& Job, std::size_t DirIndex,
                                                  const std::string& Relative) {
    const std::string here =
        fileops::AddSlash(fileops::AddSlash(Job.SourceDirs[DirIndex]) + Relative);
    if (!Relative.empty() && IsExcluded(Job, here)) return std::nullopt;
    TListingCache::TListing& listing = listings_.Get(here);
    const auto& exts = Job.SourceExtensions;
    for (const std::string& ext : exts) {
        for (std::size_t i = listing.FirstOpen; i < listing.Files.size(); ++i) {
            if (listing.Marked[i]) continue;
            const std::string& name = listing.Files[i];
            if (!MatchesExtension(name, ext)) {
                bool any = false;
                for (const std::string& other : exts) any = any || MatchesExtension(name, other);
                if (!any) listing.Mark(i);
                continue;
            }
            if ((!Job.HiddenFiles && name[0] == '.') || TClaims::IsClaimName(name)) {
                listing.Mark(i);
                continue;
            }
            const int64_t size = CandidateSize(Job, here + name);
            if (size > 0)
                return TFoundSource{here + name, static_cast<int32_t>(DirIndex), Relative, size};
            if (!takenElsewhere_) listing.Mark(i);
        }
    }
    if (!Job.Recurse) return std::nullopt;
    const std::vector<std::string> dirs = listing.Dirs;
    for (const std::string& name : dirs) {
        if (name[0] == '.') continue;
        if (auto found = Search(Job, DirIndex, Relative.empty() ? name : Relative + "/" + name))
            return found;
    }
    return std::nullopt;
}

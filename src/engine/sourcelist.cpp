// SPDX-License-Identifier: GPL-3.0-or-later
#include "sourcelist.h"

#include <strings.h>
#include <sys/stat.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <set>

#include "claims.h"
#include "fileops.h"
#include "sourcesearch.h"

std::vector<std::string> SplitPathList(std::string_view Text, bool NulSeparated) {
    const char separator = NulSeparated ? '\0' : '\n';
    std::vector<std::string> paths;
    while (!Text.empty()) {
        const std::size_t end = Text.find(separator);
        const std::string_view path = Text.substr(0, end);
        if (!path.empty()) paths.emplace_back(path);
        if (end == std::string_view::npos) break;
        Text.remove_prefix(end + 1);
    }
    return paths;
}

namespace {

bool HasSourceExtension(const TJobSettings& Settings, const std::string& Name) {
    for (const std::string& ext : Settings.SourceExtensions) {
        if (Name.size() < ext.size() + 1) continue;
        const std::size_t dot = Name.size() - ext.size() - 1;
        if (Name[dot] == '.' && ::strcasecmp(Name.c_str() + dot + 1, ext.c_str()) == 0) return true;
    }
    return false;
}

std::string Patterns(const TJobSettings& Settings) {
    std::string text;
    for (const std::string& ext : Settings.SourceExtensions)
        text += (text.empty() ? "*." : ";*.") + ext;
    return text;
}

// Why the search would not take Path found Below a source directory ("" when it would).
std::string RefusalBelow(const TJobSettings& Settings, const std::string& Dir,
                         const std::vector<std::string>& Parts,
                         const std::vector<std::string>& ExcludedDirs) {
    if (Parts.size() > 1 && !Settings.Recurse)
        return "lies in a subfolder, and subfolders are not searched";
    std::string here = Dir == "/" ? "" : Dir;
    for (std::size_t i = 0; i + 1 < Parts.size(); ++i) {
        if (Parts[i][0] == '.') return "lies in a hidden folder, which the search passes over";
        here += "/" + Parts[i];
        for (const std::string& excluded : ExcludedDirs)
            if (here == excluded)
                return "lies in a target or move folder, which the search passes over";
        // Without a "/" at the end, lstat sees the link itself.
        struct stat st {};
        if (::lstat(here.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
            return "lies below a symbolic link, which the search does not follow";
    }
    const std::string& name = Parts.back();
    if (name[0] == '.' && !Settings.HiddenFiles) return "is a hidden file";
    if (TClaims::IsClaimName(name)) return "is a claim file";
    if (!HasSourceExtension(Settings, name))
        return "is not a source file of the settings (" + Patterns(Settings) + ")";
    return {};
}

}  // namespace

bool IsSourceName(const TJobSettings& Settings, const std::string& Name) {
    return !Name.empty() && (Name[0] != '.' || Settings.HiddenFiles) &&
           !TClaims::IsClaimName(Name) && HasSourceExtension(Settings, Name);
}

std::optional<TSourcePlace> LocateSource(const TJobSettings& Settings, const std::string& Path,
                                         const std::vector<std::string>& ExcludedDirs,
                                         std::string& Reason) {
    const std::string path = fileops::Normalise(Path);
    Reason.clear();
    for (std::size_t i = 0; i < Settings.SourceDirs.size(); ++i) {
        const std::string dir = fileops::Normalise(Settings.SourceDirs[i]);
        if (path == dir || !fileops::IsWithin(path, dir)) continue;
        std::vector<std::string> parts;
        for (std::string_view rest(path.c_str() + dir.size() + (dir == "/" ? 0 : 1));;) {
            const std::size_t slash = rest.find('/');
            parts.emplace_back(rest.substr(0, slash));
            if (slash == std::string_view::npos) break;
            rest.remove_prefix(slash + 1);
        }
        const std::string refusal = RefusalBelow(Settings, dir, parts, ExcludedDirs);
        if (!refusal.empty()) {
            // A later source directory may still hold it (nested source directories).
            if (Reason.empty()) Reason = refusal;
            continue;
        }
        TSourcePlace place;
        place.DirIndex = static_cast<int32_t>(i);
        for (std::size_t p = 0; p + 1 < parts.size(); ++p)
            place.RelativeDir += (p ? "/" : "") + parts[p];
        place.Path =
            fileops::AddSlash(fileops::AddSlash(Settings.SourceDirs[i]) + place.RelativeDir) +
            parts.back();
        return place;
    }
    if (Reason.empty()) Reason = "lies in none of the source folders";
    return std::nullopt;
}

TSourceList::TSourceList(std::vector<std::string> Paths, IProgress& Progress)
    : progress_(Progress) {
    // A path listed twice is one source: its second entry would only find it gone.
    std::set<std::string> seen;
    entries_.reserve(Paths.size());
    for (std::string& path : Paths)
        if (seen.insert(fileops::Normalise(path)).second)
            entries_.push_back({std::move(path), {}, TState::Open, false});
}

void TSourceList::Refuse(TEntry& Entry, const std::string& Reason) {
    Entry.State = TState::Refused;
    progress_.PassedOver(Entry.Listed, Reason);
}

std::optional<TFoundSource> TSourceList::Next(TSourceSearch& Search, const TJobSettings& Settings,
                                              const std::vector<std::string>& ExcludedDirs) {
    while (firstOpen_ < entries_.size() && entries_[firstOpen_].State != TState::Open) ++firstOpen_;
    for (std::size_t i = firstOpen_; i < entries_.size(); ++i) {
        TEntry& entry = entries_[i];
        if (entry.State != TState::Open) continue;
        if (!entry.Place) {
            std::string reason;
            entry.Place = LocateSource(Settings, entry.Listed, ExcludedDirs, reason);
            if (!entry.Place) {
                Refuse(entry, reason);
                continue;
            }
        }
        const std::string& path = entry.Place->Path;
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0) {
            // Gone after a job of this batch (or another process) recoded it: done. Never
            // there at all: the list named something that does not exist.
            if (errno == ENOENT && entry.Handed)
                entry.State = TState::Done;
            else
                Refuse(entry, std::string("cannot be found (") + std::strerror(errno) + ")");
            continue;
        }
        if (!S_ISREG(st.st_mode)) {
            Refuse(entry, "is not a regular file");
            continue;
        }
        const int64_t size = Search.CandidateSize(Settings, path);
        if (size <= 0) continue;
        entry.Handed = true;
        return TFoundSource{path, entry.Place->DirIndex, entry.Place->RelativeDir, size};
    }
    return std::nullopt;
}

std::vector<std::string> TSourceList::Left() const {
    std::vector<std::string> left;
    for (const TEntry& entry : entries_) {
        if (entry.State == TState::Done) continue;
        // A handed source that is gone now was done by the last job.
        struct stat st {};
        if (entry.State == TState::Open && entry.Handed && entry.Place &&
            ::lstat(entry.Place->Path.c_str(), &st) != 0 && errno == ENOENT)
            continue;
        left.push_back(entry.Listed);
    }
    return left;
}

std::optional<TShard> TShard::Parse(std::string_view Text) {
    const std::size_t slash = Text.find('/');
    if (slash == std::string_view::npos) return std::nullopt;
    uint32_t k = 0, n = 0;
    const char* end = Text.data() + Text.size();
    const auto a = std::from_chars(Text.data(), Text.data() + slash, k);
    const auto b = std::from_chars(Text.data() + slash + 1, end, n);
    if (a.ec != std::errc() || a.ptr != Text.data() + slash || slash == 0 || b.ec != std::errc() ||
        b.ptr != end || b.ptr == Text.data() + slash + 1 || n == 0 || k >= n)
        return std::nullopt;
    return TShard(k, n);
}

// FNV-1a, 64 bits: small, and the same everywhere.
uint64_t TShard::Hash(std::string_view Text) {
    uint64_t hash = 14695981039346656037ull;
    for (const char c : Text) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 1099511628211ull;
    }
    return hash;
}

bool TShard::Contains(const TJobSettings& Settings, const std::string& Path) const {
    std::string key = fileops::Normalise(Path);
    for (const std::string& dir : Settings.SourceDirs) {
        const std::string d = fileops::Normalise(dir);
        if (key != d && fileops::IsWithin(key, d)) {
            key = key.substr(d.size() + (d == "/" ? 0 : 1));
            break;
        }
    }
    return Hash(key) % count_ == index_;
}

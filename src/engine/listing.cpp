// SPDX-License-Identifier: GPL-3.0-or-later
#include "listing.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>

#include "fileops.h"

namespace {

bool Same(const struct timespec& A, const struct timespec& B) {
    return A.tv_sec == B.tv_sec && A.tv_nsec == B.tv_nsec;
}

}  // namespace

void TListingCache::TListing::Mark(std::size_t Index) {
    Marked[Index] = 1;
    while (FirstOpen < Marked.size() && Marked[FirstOpen]) ++FirstOpen;
}

void TListingCache::BeginSearch(bool Fresh) {
    fresh_ = Fresh;
    reused_ = false;
}

TListingCache::TListing& TListingCache::Get(const std::string& Dir) {
    TListing& listing = listings_[Dir];
    struct stat st {};
    const bool exists = ::stat(Dir.c_str(), &st) == 0;
    const int64_t now = fileops::MonotonicMs();
    const bool unchanged = exists && listing.readAtMs > 0 && st.st_dev == listing.device &&
                           st.st_ino == listing.inode && Same(st.st_mtim, listing.mtime);
    const bool young = now - listing.readAtMs < RefreshMs;
    if (listing.readAtMs > 0 && (unchanged || (young && !fresh_))) {
        if (!unchanged) reused_ = true;
        if (fresh_ || now - listing.markedAtMs >= RefreshMs) {
            std::fill(listing.Marked.begin(), listing.Marked.end(), 0);
            listing.FirstOpen = 0;
            listing.markedAtMs = now;
        } else if (listing.FirstOpen > 0 || std::find(listing.Marked.begin(), listing.Marked.end(),
                                                      1) != listing.Marked.end()) {
            reused_ = true;
        }
        return listing;
    }
    ++Reads;
    listing = TListing{};
    listing.device = exists ? st.st_dev : 0;
    listing.inode = exists ? st.st_ino : 0;
    listing.mtime = exists ? st.st_mtim : timespec{};
    listing.readAtMs = listing.markedAtMs = now;
    if (DIR* dir = ::opendir(Dir.c_str())) {
        while (const dirent* entry = ::readdir(dir)) {
            unsigned char type = entry->d_type;
            if (type == DT_UNKNOWN) {
                struct stat es {};
                if (::lstat((Dir + entry->d_name).c_str(), &es) == 0)
                    type = S_ISREG(es.st_mode) ? DT_REG : S_ISDIR(es.st_mode) ? DT_DIR : DT_UNKNOWN;
            }
            if (type == DT_REG) listing.Files.emplace_back(entry->d_name);
            if (type == DT_DIR) listing.Dirs.emplace_back(entry->d_name);
        }
        ::closedir(dir);
    }
    listing.Marked.assign(listing.Files.size(), 0);
    return listing;
}

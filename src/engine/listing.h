// SPDX-License-Identifier: GPL-3.0-or-later
// Directory listings that the batch's search reuses instead of reading a directory again for
// every file: with thousands of files in one folder, and many of them passed over, a fresh
// read per file makes the batch's cost grow with the square of the folder's size.
//
// A listing is read again when the directory's modification time shows that entries came or
// went, but no more often than every RefreshMs while the search still finds files in the old
// one (its own after-actions change the directory with every file). Files the search passed
// over are marked and not looked at again until the listing is read again or RefreshMs have
// passed. A search that finds nothing in what it reused searches once more with every changed
// listing read again and every mark cleared, so a file is never missed, only taken later.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <map>
#include <string>
#include <vector>

class TListingCache {
  public:
    struct TListing {
        std::vector<std::string> Files;  // regular files, in the order the file system gives
        std::vector<std::string> Dirs;   // directories (symbolic links are neither)
        std::vector<uint8_t> Marked;     // per file: passed over for now
        std::size_t FirstOpen = 0;       // every file before it is marked
        void Mark(std::size_t Index);

      private:
        friend class TListingCache;
        dev_t device = 0;
        ino_t inode = 0;
        struct timespec mtime {};
        int64_t readAtMs = 0;
        int64_t markedAtMs = 0;
    };

    // Starts a search. Fresh: read every changed directory and clear every mark.
    void BeginSearch(bool Fresh);
    // Whether the search under way reused a changed listing or passed a mark.
    bool ReusedAnything() const { return reused_; }
    // The listing of Dir (ending in "/") for the search under way.
    TListing& Get(const std::string& Dir);
    void NoteReused() { reused_ = true; }

    int64_t RefreshMs = 2000;
    // Directory reads so far (for tests and benchmarks).
    int64_t Reads = 0;

  private:
    std::map<std::string, TListing> listings_;
    bool fresh_ = false;
    bool reused_ = false;
};

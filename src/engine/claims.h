// SPDX-License-Identifier: GPL-3.0-or-later
// Claims that keep several processes, on one machine or on several sharing a folder over a
// network file system, from recoding the same file at once. A claim is a small file
// ".NAME.sonbar-claim" beside the file, linked into place whole (which fails where one
// exists, on network file systems too) and holding its owner's host, process id and a random
// nonce. The owner holds a lock on it for as long as it works: a claim is alive only while
// that lock is held, so a claim planted by somebody else, or left by a killed process, is
// taken over at once. Where the file system keeps no locks, a claim of this host lives while
// its process does, and one of another host until it has not been touched for the timeout
// (or is dated in the future).
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>

class TClaims {
  public:
    // TimeoutMs: how long a claim of a silent owner on another host stays valid where the
    // file system keeps no locks.
    explicit TClaims(int64_t TimeoutMs = 120000);
    // Releases every claim still held, and sweeps the folders claimed in.
    ~TClaims();
    TClaims(const TClaims&) = delete;
    TClaims& operator=(const TClaims&) = delete;

    static constexpr const char* Suffix = ".sonbar-claim";
    // Whether a directory entry is a claim (or a claim being made or taken over): never a
    // source.
    static bool IsClaimName(const std::string& Name);
    // ".NAME.sonbar-claim" beside Path, or a short stand-in for a name too long to carry it.
    static std::string ClaimPathOf(const std::string& Path);

    enum class TResult {
        Claimed,     // this process holds the claim now
        Taken,       // another live owner holds it
        Unclaimable  // no claim can be made there (a read-only folder): go on without one
    };
    TResult Claim(const std::string& Path);
    // Removes the claim on Path if it is still this process's own.
    void Release(const std::string& Path);
    bool Holds(const std::string& Path) const { return held_.count(Path) != 0; }
    // Touches every claim held, at most every quarter of the timeout; call it regularly.
    void Refresh();
    // Removes from the folder Dir the claims no live owner holds and the temporaries of
    // owners that are gone. Returns how many it removed.
    int Sweep(const std::string& Dir);

    const int64_t TimeoutMs;

  private:
    struct THeld {
        std::string content;
        int fd = -1;  // holds the lock
    };
    // Makes the claim file ClaimPath; 0 or an errno.
    int Make(const std::string& ClaimPath, THeld& Made);
    bool IsStale(const std::string& ClaimPath, const std::string& Content) const;
    bool TakeOver(const std::string& ClaimPath, const std::string& Content);

    std::string host_;
    std::map<std::string, THeld> held_;  // path -> its claim
    std::set<std::string> dirs_;         // folders claimed in, swept at the end
    std::string lastMade_;               // the path claimed last
    int64_t lastRefreshMs_ = 0;
};

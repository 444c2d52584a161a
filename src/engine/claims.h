// SPDX-License-Identifier: GPL-3.0-or-later
// Claims that keep several processes, on one machine or on several sharing a folder over a
// network file system, from recoding the same file at once. A claim is a small file
// ".NAME.sonbar-claim" beside the file, created exclusively (O_EXCL, which network file
// systems honour too) and holding its owner's host, process id and a random nonce. The
// owner touches its claims while it works; a claim whose owner is gone (its process no
// longer exists on this host, or the claim was not touched for the timeout) is taken over.
#pragma once

#include <cstdint>
#include <map>
#include <string>

class TClaims {
  public:
    // TimeoutMs: how long a claim of a silent owner on another host stays valid.
    explicit TClaims(int64_t TimeoutMs = 120000);
    // Releases every claim still held.
    ~TClaims();
    TClaims(const TClaims&) = delete;
    TClaims& operator=(const TClaims&) = delete;

    static constexpr const char* Suffix = ".sonbar-claim";
    // Whether a directory entry is a claim (or a claim being taken over): never a source.
    static bool IsClaimName(const std::string& Name);
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

    const int64_t TimeoutMs;

  private:
    bool IsStale(const std::string& ClaimPath, const std::string& Content) const;
    bool TakeOver(const std::string& ClaimPath, const std::string& Content);

    std::string host_;
    std::map<std::string, std::string> held_;  // path -> the content of its claim
    int64_t lastRefreshMs_ = 0;
};

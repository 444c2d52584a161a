// SPDX-License-Identifier: GPL-3.0-or-later
// The hot folder's wait: inotify on the source directories (and, recursively, on their
// subdirectories, new ones included) wakes the batch as soon as a file is closed after
// writing or moved in. Where inotify cannot see everything (a network file system, an
// overflowed event queue, the watch limit reached) the watch says why once and the batch
// goes on searching every WaitSeconds, as it always does besides.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

class TWatch {
  public:
    // Names a file that may become a source (by its name alone).
    using TNameFilter = std::function<bool(const std::string& Name)>;
    // Hears the one message when the watch falls back to polling.
    using TReport = std::function<void(const std::string& Text)>;

    TWatch(const std::vector<std::string>& Dirs, bool Recursive, TNameFilter IsCandidate,
           TReport Report);
    ~TWatch();
    TWatch(const TWatch&) = delete;
    TWatch& operator=(const TWatch&) = delete;

    enum class TWake { Arrived, TimedOut, Stopped };
    // Waits up to Ms milliseconds for a candidate to arrive, or for StopFd (-1: none) to
    // become readable.
    TWake Wait(int Ms, int StopFd = -1);
    // Whether inotify watches everything; false once the watch fell back to polling.
    bool Watching() const { return fd_ >= 0 && !polling_; }
    // Why it fell back ("" while it watches).
    const std::string& FallbackReason() const { return reason_; }
    // Readable when events are queued (-1 while polling): a front end's event loop watches
    // it and calls Wait(0) when it fires.
    int Descriptor() const { return Watching() ? fd_ : -1; }
    // How many directories are watched.
    std::size_t Watched() const { return dirs_.size(); }

    // The name of the network file system holding Dir ("nfs", "smb", ...), or "".
    static std::string NetworkFileSystem(const std::string& Dir);

  private:
    void AddTree(const std::string& Dir, bool IsRoot);
    void FallBack(const std::string& Reason);
    // Reads the queued events; whether one brings a candidate.
    bool Drain();

    int fd_ = -1;
    bool recursive_;
    bool polling_ = false;
    std::string reason_;
    std::map<int, std::string> dirs_;  // watch descriptor -> directory ("/" at the end)
    TNameFilter isCandidate_;
    TReport report_;
};

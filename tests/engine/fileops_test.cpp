// SPDX-License-Identifier: GPL-3.0-or-later
// The file services on their own: moves across file systems, renames that never replace
// (through a hard link where the file system lacks the flag), destructive acts that refuse a
// file which is no longer the one decided on, and walks that never follow a link.
#include "fileops.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "engine_util.h"

// Link seam: while set, renameat2 answers as on a file system that does not know
// RENAME_NOREPLACE (NFS), so the callers fall back to a hard link.
static std::atomic<bool> noReplaceUnknown{false};
static std::atomic<int> noReplaceRefused{0};

extern "C" int renameat2(int OldDir, const char* Old, int NewDir, const char* New,
                         unsigned int Flags) noexcept {
    if (noReplaceUnknown && (Flags & RENAME_NOREPLACE)) {
        ++noReplaceRefused;
        errno = EINVAL;
        return -1;
    }
    return static_cast<int>(::syscall(SYS_renameat2, OldDir, Old, NewDir, New, Flags));
}

namespace {

void Put(const std::string& Path, const std::string& Text) {
    std::ofstream(Path, std::ios::binary | std::ios::trunc) << Text;
}

// A scratch folder in each of a few places, kept when it lies on a file system none of the
// earlier ones is on: the build tree's, /dev/shm, the temporary folder.
class TFileSystems {
  public:
    TFileSystems() {
        for (std::string base : {fs::current_path().string(), std::string("/dev/shm"),
                                 fs::temp_directory_path().string(), std::string("/var/tmp")}) {
            std::string pattern = base + "/sonbar-fs-XXXXXX";
            if (!::mkdtemp(pattern.data())) continue;
            struct stat st {};
            bool seen = ::stat(pattern.c_str(), &st) != 0;
            for (const dev_t d : devices_) seen = seen || d == st.st_dev;
            if (seen) {
                fs::remove(pattern);
                continue;
            }
            devices_.push_back(st.st_dev);
            dirs_.push_back(pattern + "/");
        }
    }
    ~TFileSystems() {
        for (const std::string& d : dirs_) fs::remove_all(d);
    }
    std::size_t Count() const { return dirs_.size(); }
    const std::string& operator[](std::size_t I) const { return dirs_[I]; }

  private:
    std::vector<dev_t> devices_;
    std::vector<std::string> dirs_;
};

// Moves From to Dir/Name the way an after-action does.
bool MoveInto(const std::string& From, const fileops::TFileIdentity& Id, const std::string& Dir,
              const std::string& Name) {
    const int dirFd = fileops::OpenDirectoryBelow(Dir, "", false);
    if (dirFd < 0) return false;
    const bool moved = fileops::MoveFileInto(From, Id, dirFd, Name);
    const int error = errno;
    ::close(dirFd);
    errno = error;
    return moved;
}

std::vector<std::string> Names(const std::string& Dir) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(Dir)) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace

TEST(FileOpsUnit, AMoveAcrossFileSystemsKeepsModeOwnerGroupAndTimes) {
    TFileSystems places;
    if (places.Count() < 2) GTEST_SKIP() << "only one writable file system here";
    const bool root = ::geteuid() == 0;
    struct Row {
        const char* name;
        mode_t mode;
        uid_t uid;  // as root; otherwise the file stays ours
        gid_t gid;
    } rows[] = {
        {"private", 0600, 1234, 5678},
        {"readable by all", 0644, 4321, 8765},
        // The mode goes on after the owner: a change of owner clears the set-id bits.
        {"set-group-id", 02750, 1111, 2222},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        const std::string from = places[0] + "a.wav";
        Put(from, std::string("audio of ") + r.name);
        ASSERT_EQ(::chmod(from.c_str(), r.mode), 0);
        if (root) {
            ASSERT_EQ(::chown(from.c_str(), r.uid, r.gid), 0);
        }
        ASSERT_EQ(::chmod(from.c_str(), r.mode), 0);
        // Times with nanoseconds that no clock would give by chance.
        const struct timespec times[2] = {{1000000000, 123456789}, {1100000000, 987654321}};
        ASSERT_EQ(::utimensat(AT_FDCWD, from.c_str(), times, 0), 0);
        struct stat before {};
        ASSERT_EQ(::stat(from.c_str(), &before), 0);

        ASSERT_TRUE(MoveInto(from, fileops::IdentityAt(from), places[1], "b.wav"))
            << std::strerror(errno);
        struct stat after {};
        ASSERT_EQ(::stat((places[1] + "b.wav").c_str(), &after), 0);
        EXPECT_NE(after.st_dev, before.st_dev);
        EXPECT_EQ(after.st_mode & 07777, r.mode);
        EXPECT_EQ(after.st_uid, before.st_uid);
        EXPECT_EQ(after.st_gid, before.st_gid);
        EXPECT_EQ(after.st_mtim.tv_sec, times[1].tv_sec);
        EXPECT_EQ(after.st_mtim.tv_nsec, times[1].tv_nsec);
        EXPECT_EQ(after.st_atim.tv_sec, times[0].tv_sec);
        EXPECT_EQ(after.st_atim.tv_nsec, times[0].tv_nsec);
        EXPECT_EQ(Slurp(places[1] + "b.wav"), std::string("audio of ") + r.name);
        EXPECT_FALSE(fs::exists(from));
        // No temporary of the copy is left beside it.
        EXPECT_EQ(Names(places[1]), std::vector<std::string>{"b.wav"});
        fs::remove(places[1] + "b.wav");
    }
}

TEST(FileOpsUnit, DestructiveActsRefuseAFileThatIsNoLongerTheOneDecidedOn) {
    TFileSystems places;
    TTempDir dir;
    const std::string path = dir / "a.wav";
    struct Change {
        const char* name;
        std::function<void()> apply;
        bool refused;
    } changes[] = {
        {"unchanged", [] {}, false},
        {"another file moved over its name",
         [&] {
             Put(dir / "other", "audio!");  // the same size
             fs::rename(dir / "other", path);
         },
         true},
        {"grown", [&] { std::ofstream(path, std::ios::app) << "more"; }, true},
        {"its times set anew", [&] { ::utimensat(AT_FDCWD, path.c_str(), nullptr, 0); }, true},
        {"removed", [&] { fs::remove(path); }, true},
    };
    struct Act {
        std::string name;
        std::function<bool(const fileops::TFileIdentity&)> apply;
        std::string destination;  // where a move puts it, empty for a delete
    };
    std::vector<Act> acts = {
        {"DeleteIfSame", [&](const auto& Id) { return fileops::DeleteIfSame(path, Id); }, ""},
        {"MoveFileInto, same file system",
         [&](const auto& Id) { return MoveInto(path, Id, dir / "", "moved.wav"); },
         dir / "moved.wav"},
    };
    // Where there are two file systems, one of these lies on another than the temporary folder.
    for (std::size_t i = 0; i < places.Count(); ++i) {
        acts.push_back({"MoveFileInto, to " + places[i],
                        [&, i](const auto& Id) { return MoveInto(path, Id, places[i], "m.wav"); },
                        places[i] + "m.wav"});
    }
    for (const Change& c : changes) {
        for (const Act& a : acts) {
            SCOPED_TRACE(std::string(c.name) + " / " + a.name);
            Put(path, "audio.");
            Age(path);
            const fileops::TFileIdentity id = fileops::IdentityAt(path);
            EXPECT_TRUE(fileops::StillSame(path, id));
            c.apply();
            const bool exists = fs::exists(path);
            const std::string content = exists ? Slurp(path) : "";
            EXPECT_EQ(fileops::StillSame(path, id), !c.refused);
            errno = 0;
            EXPECT_EQ(a.apply(id), !c.refused);
            if (c.refused) {
                EXPECT_EQ(errno, ESTALE);
                EXPECT_EQ(fs::exists(path), exists);
                if (exists) {
                    EXPECT_EQ(Slurp(path), content);
                }
                if (!a.destination.empty()) {
                    EXPECT_FALSE(fs::exists(a.destination));
                }
            } else {
                EXPECT_FALSE(fs::exists(path));
                if (!a.destination.empty()) {
                    EXPECT_EQ(Slurp(a.destination), content);
                }
            }
            fs::remove(path);
            if (!a.destination.empty()) fs::remove(a.destination);
        }
    }
}

TEST(FileOpsUnit, RenamesThatMustNotReplaceFallBackToALinkWhereTheFlagIsUnknown) {
    TTempDir dir;
    const int dirFd = fileops::OpenDirectoryBelow(dir.Path(), "", false);
    ASSERT_GE(dirFd, 0);
    struct Row {
        const char* name;
        std::function<bool()> rename;
        bool targetExists;
    } rows[] = {
        {"RenameAt to a free name",
         [&] { return fileops::RenameAt(dirFd, "from", dirFd, "to", false); }, false},
        {"RenameAt onto an existing name",
         [&] { return fileops::RenameAt(dirFd, "from", dirFd, "to", false); }, true},
        {"Rename to a free name", [&] { return fileops::Rename(dir / "from", dir / "to", false); },
         false},
        {"Rename onto an existing name",
         [&] { return fileops::Rename(dir / "from", dir / "to", false); }, true},
        {"MoveFileInto within one file system",
         [&] {
             return fileops::MoveFileInto(dir / "from", fileops::IdentityAt(dir / "from"), dirFd,
                                          "to");
         },
         false},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        Put(dir / "from", "new");
        if (r.targetExists) Put(dir / "to", "old");
        noReplaceRefused = 0;
        noReplaceUnknown = true;
        errno = 0;
        const bool renamed = r.rename();
        const int error = errno;
        noReplaceUnknown = false;
        EXPECT_GT(noReplaceRefused, 0) << "the flag was tried first";
        EXPECT_EQ(renamed, !r.targetExists);
        if (r.targetExists) {
            EXPECT_EQ(error, EEXIST);
            EXPECT_EQ(Slurp(dir / "from"), "new");
            EXPECT_EQ(Slurp(dir / "to"), "old");
        } else {
            // The link took the name, and the old name went: one file, one link.
            EXPECT_FALSE(fs::exists(dir / "from"));
            EXPECT_EQ(Slurp(dir / "to"), "new");
            EXPECT_EQ(fs::hard_link_count(dir / "to"), 1u);
        }
        fs::remove(dir / "from");
        fs::remove(dir / "to");
    }
    ::close(dirFd);
}

TEST(FileOpsUnit, OpenDirectoryBelowNeverFollowsALinkBelowItsRoot) {
    TTempDir dir;
    const std::string root = dir / "root";
    fs::create_directories(root + "/a/b");
    fs::create_directory_symlink(root + "/a", root + "/link");
    fs::create_directory_symlink(root + "/a/b", root + "/a/inner");
    fs::create_directory_symlink(root, dir / "rootlink");
    Put(root + "/file", "");
    constexpr int kLink = -1;  // ELOOP or ENOTDIR, as the kernel reports an O_NOFOLLOW link
    struct Row {
        const char* name;
        std::string root, relative;
        bool create;
        int error;             // 0: opened
        std::string expected;  // the folder opened, or one that must not have been made
    } rows[] = {
        {"plain folders", root, "a/b", false, 0, root + "/a/b"},
        {"dots and double slashes", root, "./a//b/", false, 0, root + "/a/b"},
        {"the root itself may be a link", dir / "rootlink", "a/b", false, 0, root + "/a/b"},
        {"a link as the last component", root, "link", false, kLink, ""},
        {"a link in the middle", root, "link/b", false, kLink, ""},
        {"a link deeper down", root, "a/inner", false, kLink, ""},
        {"a link in the middle, creating", root, "link/new", true, kLink, root + "/a/new"},
        {"a file where a folder belongs", root, "file/x", true, ENOTDIR, ""},
        {"a parent reference", root, "a/../a", false, EINVAL, ""},
        {"missing folders, created", root, "x/y", true, 0, root + "/x/y"},
        {"a missing folder, not created", root, "z", false, ENOENT, root + "/z"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        errno = 0;
        const int fd = fileops::OpenDirectoryBelow(r.root, r.relative, r.create);
        const int error = errno;
        if (r.error == 0) {
            ASSERT_GE(fd, 0) << std::strerror(error);
            struct stat opened {
            }, expected{};
            ASSERT_EQ(::fstat(fd, &opened), 0);
            ASSERT_EQ(::stat(r.expected.c_str(), &expected), 0);
            EXPECT_EQ(opened.st_ino, expected.st_ino);
            ::close(fd);
            continue;
        }
        EXPECT_LT(fd, 0);
        if (fd >= 0) ::close(fd);
        if (r.error == kLink) {
            EXPECT_TRUE(error == ELOOP || error == ENOTDIR) << std::strerror(error);
        } else {
            EXPECT_EQ(error, r.error);
        }
        if (!r.expected.empty()) {
            EXPECT_FALSE(fs::exists(r.expected));
        }
    }
}

// A file held open for writing is passed over as busy; one deleted by another process since
// the folder was read is gone, which is no news (it was reported as busy once).
TEST(FileOpsUnit, StabilityTellsAFileBeingWrittenFromOneThatIsGone) {
    TTempDir dir;
    const std::string old = dir / "old.wav", fresh = dir / "fresh.wav", open = dir / "open.wav";
    Put(old, "audio");
    const struct timespec past[2] = {{1000000000, 0}, {1000000000, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, old.c_str(), past, 0), 0);
    Put(fresh, "audio");
    // Where the file system grants no leases the age decides alone.
    const int reader = ::open(fresh.c_str(), O_RDONLY);
    const bool leases = ::fcntl(reader, F_SETLEASE, F_RDLCK) == 0;
    ::close(reader);
    const int writer = ::open(open.c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(writer, 0);
    const struct {
        std::string path;
        int64_t stableMs;
        fileops::TStability expected;
    } rows[] = {
        {old, 2000, fileops::TStability::Stable},
        {fresh, 60000, fileops::TStability::Young},
        {open, 0, leases ? fileops::TStability::Busy : fileops::TStability::Stable},
        {dir / "deleted.wav", 0, fileops::TStability::Gone},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.path);
        EXPECT_EQ(fileops::Stability(r.path, r.stableMs), r.expected);
    }
    ::close(writer);
    EXPECT_EQ(fileops::Stability(open, 0), fileops::TStability::Stable) << "once closed";
}

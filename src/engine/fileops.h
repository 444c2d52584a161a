// SPDX-License-Identifier: GPL-3.0-or-later
// File system services of the recoder: exclusive creation, durable completion, moves that
// never replace, free space, and the checks that keep a file still being written out of a
// batch. Paths are plain UTF-8 byte strings; directories end in "/".
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace fileops {

// The path with a "/" appended; an empty path stays empty.
std::string AddSlash(const std::string& Path);
// The absolute, lexically normalised form of Path ("." and ".." folded, no double "/").
std::string Normalise(const std::string& Path);
// Everything up to and including the last "/"; "" when there is none.
std::string DirectoryPart(const std::string& Path);
// What follows the last "/".
std::string NamePart(const std::string& Path);
// Name with what follows its last dot replaced by Ext (appended when there is no dot).
std::string ReplaceExtension(const std::string& Name, const std::string& Ext);

bool IsDirectory(const std::string& Path);
bool Exists(const std::string& Path);  // any kind of entry, links not followed
// Both name the same existing file (device and inode), or are equal after normalising.
bool SameFile(const std::string& A, const std::string& B);
// Whether Inner lies at or below the directory Outer (both normalised).
bool IsWithin(const std::string& Inner, const std::string& Outer);

// Size of a regular file that can be opened for reading, or -1.
int64_t ReadableSize(const std::string& Path);

// Why a file may not be taken yet: it is held open for writing by another process, or it
// changed within the last StableMs milliseconds; or it is gone (another process took it
// since the directory was read).
enum class TStability { Stable, Young, Busy, Gone };
// Milliseconds since the file's last change, by the wall clock (file times are wall time).
int64_t AgeMs(const struct stat& Status);
// A clock for intervals: milliseconds that never jump back.
int64_t MonotonicMs();
TStability Stability(const std::string& Path, int64_t StableMs = 2000);

// Free bytes for an unprivileged user on the file system holding Dir, or -1.
int64_t FreeSpace(const std::string& Dir);

// Creates Dir and every missing parent; true when it exists afterwards.
bool CreateDirectories(const std::string& Dir);

// A new file created exclusively (O_EXCL, never through a symbolic link); -1 with errno.
int CreateExclusive(const std::string& Path, mode_t Mode = 0644);

// What a destructive act checks before it touches a file again: the same file (device and
// inode) with the same size, modification and change times as when the decision was made.
struct TFileIdentity {
    dev_t Device = 0;
    ino_t Inode = 0;
    off_t Size = -1;
    struct timespec Modified {};
    struct timespec Changed {};
    mode_t Mode = 0;
    bool Known() const { return Size >= 0; }
};
TFileIdentity IdentityOf(const struct stat& Status);
bool SameIdentity(const TFileIdentity& A, const TFileIdentity& B);
// The identity of the entry Path names (links not followed); unknown when there is none.
TFileIdentity IdentityAt(const std::string& Path);
// Whether Path still names the file Identity describes, unchanged.
bool StillSame(const std::string& Path, const TFileIdentity& Identity);

// The process's file creation mask.
mode_t Umask();

// The longest name a directory entry may have here.
constexpr std::size_t kNameMax = 255;
// A short stand-in for a name too long to carry a suffix: a hash of the whole name, the same
// in every process and on every host.
std::string ShortName(const std::string& Name);
// The name of the incomplete target beside Name: "NAME.part", or a short stand-in where that
// would not fit.
std::string PartName(const std::string& Name);

// Opens the directory Relative ("a/b", may be empty) below Root, one component at a time,
// creating missing ones where Create is set and never following a symbolic link below Root
// (Root itself is the user's choice and may be one). -1 with errno: ELOOP or ENOTDIR where a
// link or something else stands in place of a directory.
int OpenDirectoryBelow(const std::string& Root, const std::string& Relative, bool Create);
// The directory holding Path, opened as it is named (the user's own choice of path).
int OpenDirectoryOf(const std::string& Path);
// fsync of an open directory; file systems that refuse it on directories count as synced.
bool SyncDirectory(int DirFd);
// fsync of a file and of the directory that holds its name.
bool SyncFile(int Fd);
bool SyncDirectoryOf(const std::string& Path);
// Renames From to To. Replace false: fails (EEXIST) when To exists.
bool Rename(const std::string& From, const std::string& To, bool Replace);
// Renames the entry From of the directory FromDir to To of ToDir; Replace false never
// replaces an existing entry (a hard link where the file system lacks the flag).
bool RenameAt(int FromDir, const std::string& From, int ToDir, const std::string& To, bool Replace);
// Moves a file to To without ever replacing an existing file, across file systems too
// (copy to a temporary name, sync, rename, then unlink the source).
bool MoveFile(const std::string& From, const std::string& To);
// Moves From to the entry Name of the open directory DirFd, never replacing anything there,
// and only while From is still the file Identity describes (errno ESTALE otherwise). Across
// file systems the copy keeps mode, owner and group where permitted, and the file times.
bool MoveFileInto(const std::string& From, const TFileIdentity& Identity, int DirFd,
                  const std::string& Name);
// Deletes From only while it is still the file Identity describes (errno ESTALE otherwise).
bool DeleteIfSame(const std::string& From, const TFileIdentity& Identity);
// Removes a regular file (or symbolic link); true when it is gone afterwards.
bool RemoveFile(const std::string& Path);

}  // namespace fileops

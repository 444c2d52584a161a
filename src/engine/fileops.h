// SPDX-License-Identifier: GPL-3.0-or-later
// File system services of the recoder: exclusive creation, durable completion, moves that
// never replace, free space, and the checks that keep a file still being written out of a
// batch. Paths are plain UTF-8 byte strings; directories end in "/".
#pragma once

#include <sys/stat.h>

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
// changed within the last StableMs milliseconds.
enum class TStability { Stable, Young, Busy };
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
int CreateExclusive(const std::string& Path);
// fsync of a file and of the directory that holds its name.
bool SyncFile(int Fd);
bool SyncDirectoryOf(const std::string& Path);
// Renames From to To. Replace false: fails (EEXIST) when To exists.
bool Rename(const std::string& From, const std::string& To, bool Replace);
// Moves a file to To without ever replacing an existing file, across file systems too
// (copy to a temporary name, sync, rename, then unlink the source).
bool MoveFile(const std::string& From, const std::string& To);
// Removes a regular file (or symbolic link); true when it is gone afterwards.
bool RemoveFile(const std::string& Path);

}  // namespace fileops

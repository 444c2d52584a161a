// SPDX-License-Identifier: GPL-3.0-or-later
// The choice of the next source file and of its target, and what becomes of a source.
#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "batchrecord.h"
#include "claims.h"
#include "fileops.h"
#include "jobcontrol.h"
#include "sourcelist.h"

namespace {

// "*.EXT" as the file system matches it: without regard to letter case.
bool MatchesExtension(const std::string& Name, const std::string& Ext) {
    if (Name.size() < Ext.size() + 1) return false;
    const std::size_t dot = Name.size() - Ext.size() - 1;
    return Name[dot] == '.' && ::strcasecmp(Name.c_str() + dot + 1, Ext.c_str()) == 0;
}

enum class TEntryKind { Other, File, Directory };

// Symbolic links count as neither files nor directories: the search never follows them.
TEntryKind KindOf(const std::string& Dir, const dirent& Entry) {
    switch (Entry.d_type) {
        case DT_REG:
            return TEntryKind::File;
        case DT_DIR:
            return TEntryKind::Directory;
        case DT_UNKNOWN: {
            struct stat st {};
            if (::lstat((Dir + Entry.d_name).c_str(), &st) != 0) return TEntryKind::Other;
            if (S_ISREG(st.st_mode)) return TEntryKind::File;
            if (S_ISDIR(st.st_mode)) return TEntryKind::Directory;
            return TEntryKind::Other;
        }
        default:
            return TEntryKind::Other;
    }
}

// The names of a directory's entries of one kind, in the order the file system gives them.
std::vector<std::string> Entries(const std::string& Dir, TEntryKind Kind) {
    std::vector<std::string> names;
    DIR* dir = ::opendir(Dir.c_str());
    if (!dir) return names;
    while (const dirent* entry = ::readdir(dir))
        if (KindOf(Dir, *entry) == Kind) names.emplace_back(entry->d_name);
    ::closedir(dir);
    return names;
}

// The directory Relative below Root, opened (and created where Create) without following a
// link below Root; raises with a message naming it where that cannot be done.
int OpenBelow(const std::string& Root, const std::string& Relative, bool Create, const char* What) {
    const int fd = fileops::OpenDirectoryBelow(Root, Relative, Create);
    if (fd >= 0) return fd;
    const std::string dir = fileops::AddSlash(Root) + Relative;
    if (errno == ELOOP || errno == ENOTDIR)
        throw EStopException(std::string("The ") + What + " directory " + dir +
                             " is a link or not a directory !");
    throw EStopException(std::string("The ") + What + " directory " + dir +
                         " cannot be opened: " + std::strerror(errno));
}

}  // namespace

void TJobControl::SetTargetDir(int DirFd) {
    if (targetDir_ >= 0) ::close(targetDir_);
    targetDir_ = DirFd;
}

void TJobControl::NotePassedOver(const std::string& Path, const std::string& Reason) {
    if (reported_.insert(Path).second) progress_.PassedOver(Path, Reason);
}

int64_t TJobControl::GetFileSize(const std::string& Path) {
    if (fileops::Stability(Path, 0) == fileops::TStability::Busy) return -1;
    return fileops::ReadableSize(Path);
}

int64_t TJobControl::SourceCandidateSize(const std::string& Path) {
    takenElsewhere_ = false;
    if (SkipSources.count(Path) || (InSelection && !InSelection(Path))) return -1;
    const int64_t size = fileops::ReadableSize(Path);
    if (size < 0) {
        // A file gone since the directory was read (another process took it) is no news.
        if (errno != ENOENT)
            NotePassedOver(
                Path, std::string("cannot be opened for reading (") + std::strerror(errno) + ")");
        return -1;
    }
    if (size == 0) return 0;
    switch (fileops::Stability(Path, int64_t{settings_.StableSeconds} * 1000)) {
        case fileops::TStability::Stable:
            takenElsewhere_ = MayTakeSource && !MayTakeSource(Path);
            return takenElsewhere_ ? -1 : size;
        case fileops::TStability::Young:
            SawYoungFiles = true;
            return -1;
        case fileops::TStability::Busy:
            NotePassedOver(Path, "is still being written by another program");
            return -1;
    }
    return -1;
}

bool TJobControl::IsExcludedDir(const std::string& Dir) const {
    const std::string dir = fileops::Normalise(Dir);
    for (const std::string& excluded : excludedDirs_)
        if (dir == excluded) return true;
    return false;
}

void TJobControl::FindSourceFile() {
    SourceFile.clear();
    SourceDirIndex = -1;
    SourceFileSize = 0;
    SawYoungFiles = false;
    // Target and move directories are never searched, even when they lie inside a source
    // directory: their files would be found again and recoded or moved a second time.
    excludedDirs_.clear();
    if (settings_.DirectoryMode() != 2)
        for (const std::string& dir : settings_.TargetDirs)
            excludedDirs_.push_back(fileops::Normalise(dir));
    if (settings_.Option(RadioMove) && !settings_.Texts[EditMoveDir].empty())
        excludedDirs_.push_back(fileops::Normalise(settings_.Texts[EditMoveDir]));
    if (SourceList) {
        if (SourceList->Next(*this, settings_, excludedDirs_)) return;
        throw ENoMoreFileException();
    }
    // With listings, a search that found nothing in what it reused looks once more afresh.
    for (int pass = 0; pass < (Listings ? 2 : 1); ++pass) {
        if (Listings) {
            if (pass == 1 && !Listings->ReusedAnything()) break;
            Listings->BeginSearch(pass == 1);
        }
        for (std::size_t i = 0; i < settings_.SourceDirs.size(); ++i) {
            RelativeDir.clear();
            const std::string found = SearchSourceDir(settings_.SourceDirs[i]);
            if (!found.empty()) {
                SourceFile = found;
                SourceDirIndex = static_cast<int32_t>(i);
                return;
            }
        }
    }
    throw ENoMoreFileException();
}

std::string TJobControl::SearchSourceDir(const std::string& Dir) {
    if (Listings) return SearchListed(Dir);
    const std::string here = fileops::AddSlash(fileops::AddSlash(Dir) + RelativeDir);
    if (!RelativeDir.empty() && IsExcludedDir(here)) return {};
    const bool hidden = settings_.Option(CheckBoxHiddenFiles);
    const std::vector<std::string> files = Entries(here, TEntryKind::File);
    for (const std::string& ext : settings_.SourceExtensions()) {
        for (const std::string& name : files) {
            if (!MatchesExtension(name, ext) || (!hidden && name[0] == '.') ||
                TClaims::IsClaimName(name))
                continue;
            SourceFileSize = SourceCandidateSize(here + name);
            if (SourceFileSize > 0) return here + name;
        }
    }
    if (!settings_.Option(CheckBoxRDirs)) return {};
    for (const std::string& name : Entries(here, TEntryKind::Directory)) {
        if (name[0] == '.') continue;
        const std::string remembered = RelativeDir;
        RelativeDir = (RelativeDir.empty() ? "" : RelativeDir + "/") + name;
        std::string found = SearchSourceDir(Dir);
        if (!found.empty()) return found;
        RelativeDir = remembered;
    }
    return {};
}

// SearchSourceDir over reused listings: the same order, but files passed over for a reason
// that holds for now are marked and skipped until the listing is read or cleared again.
std::string TJobControl::SearchListed(const std::string& Dir) {
    const std::string here = fileops::AddSlash(fileops::AddSlash(Dir) + RelativeDir);
    if (!RelativeDir.empty() && IsExcludedDir(here)) return {};
    const bool hidden = settings_.Option(CheckBoxHiddenFiles);
    TListingCache::TListing& listing = Listings->Get(here);
    const auto& exts = settings_.SourceExtensions();
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
            if ((!hidden && name[0] == '.') || TClaims::IsClaimName(name)) {
                listing.Mark(i);
                continue;
            }
            SourceFileSize = SourceCandidateSize(here + name);
            if (SourceFileSize > 0) return here + name;
            if (!takenElsewhere_) listing.Mark(i);
        }
    }
    if (!settings_.Option(CheckBoxRDirs)) return {};
    const std::vector<std::string> dirs = listing.Dirs;
    for (const std::string& name : dirs) {
        if (name[0] == '.') continue;
        const std::string remembered = RelativeDir;
        RelativeDir = (RelativeDir.empty() ? "" : RelativeDir + "/") + name;
        std::string found = SearchListed(Dir);
        if (!found.empty()) return found;
        RelativeDir = remembered;
    }
    return {};
}

void TJobControl::ChooseTargetFile() {
    SetTargetDir(-1);
    if (SourceFile.empty()) {
        TargetFile.clear();
        return;
    }
    const std::string ext = settings_.TargetExtension();
    if (settings_.DirectoryMode() == 2) {
        TargetFile = fileops::ReplaceExtension(SourceFile, ext);
        if (fileops::SameFile(TargetFile, SourceFile))
            throw EStopException("Source and target file must be different !");
        SetTargetDir(OpenBelow(settings_.SourceDirs[static_cast<std::size_t>(SourceDirIndex)],
                               RelativeDir, false, "target"));
        return;
    }
    const std::string name = fileops::ReplaceExtension(fileops::NamePart(SourceFile), ext);
    const auto& dirs = settings_.TargetDirs;
    if (dirs.empty()) throw EAllDirFullException();
    std::size_t start = 0;
    if (settings_.DirectoryMode() == 1 && SourceDirIndex >= 0)
        start = std::min(static_cast<std::size_t>(SourceDirIndex), dirs.size() - 1);
    const int64_t limit = settings_.MinSpaceLeftBytes();
    std::size_t taken = dirs.size();
    for (std::size_t i = start; i < dirs.size(); ++i) {
        const int64_t free = i < targetFree_.size() ? targetFree_[i] : -1;
        if (free < 0 || free > limit) {
            taken = i;
            break;
        }
    }
    if (taken == dirs.size()) throw EAllDirFullException();
    const std::string relative = settings_.Option(CheckBoxCreateSubs) ? RelativeDir : "";
    TargetFile = fileops::AddSlash(fileops::AddSlash(dirs[taken]) + relative) + name;
    if (fileops::SameFile(TargetFile, SourceFile))
        throw EStopException("Source and target file must be different !");
    SetTargetDir(OpenBelow(dirs[taken], relative, true, "target"));
}

void TJobControl::CheckTargetFile() {
    replaceTarget_ = false;
    if (fileops::SameFile(TargetFile, SourceFile))
        throw EStopException("Source and target file must be different !");
    // Only a regular file that can be read counts as a target already there; a link or
    // anything else under the target's name is never taken for a processed target.
    const std::string name = fileops::NamePart(TargetFile);
    struct stat st {};
    const int dir = targetDir_ >= 0 ? targetDir_ : AT_FDCWD;
    const std::string at = targetDir_ >= 0 ? name : TargetFile;
    if (::fstatat(dir, at.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) return;
        throw EStopException("Target file access denied !");
    }
    if (!S_ISREG(st.st_mode)) {
        // Overwriting replaces the entry itself (a link, never what it leads to); nothing
        // else may take it for the target of this source.
        if (settings_.Option(RadioOverwrite) && !S_ISDIR(st.st_mode)) {
            replaceTarget_ = true;
            return;
        }
        throw EStopException("Target file access denied !");
    }
    const int fd = ::openat(dir, at.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) throw EStopException("Target file access denied !");
    ::close(fd);
    // A target another program is still writing is nobody's to replace or count as done.
    if (fileops::Stability(TargetFile, 0) == fileops::TStability::Busy)
        throw EStopException("Target file access denied !");
    {
        bool skip = settings_.Option(RadioSkip);
        if (settings_.Option(RadioPrompt)) {
            const std::string text =
                std::string("The current target file already exists !\r") +
                "Do You want it to be overwritten ?\r" +
                "(Select \"Yes\" for overwriting the target file or \"No\" for " +
                (settings_.Option(RadioDelete) ? "deleting" : "moving") + " the source file !)";
            switch (messages_.Ask(text, true)) {
                case TAnswer::Cancel:
                    throw EStopException("Processing was stopped !");
                case TAnswer::No:
                    skip = true;
                    break;
                case TAnswer::Yes:
                    break;
            }
        }
        if (skip) {
            // Named before the after-action deletes or moves the source.
            TFileOutcome outcome = MakeOutcome(
                TFileOutcome::TKind::Skipped, SourceFile, TargetFile,
                settings_.TargetFormat() ? &settings_.TargetFormat()->Format() : nullptr);
            outcome.BytesIn = SourceFileSize;
            ApplyAfterAction(true);
            progress_.FileDone(SourceFile, TargetFile, true, SourceFileSize, 0);
            progress_.FileEnded(outcome);
            TargetFile.clear();
        } else {
            replaceTarget_ = true;
        }
    }
}

void TJobControl::ApplyAfterAction(bool Force, const fileops::TFileIdentity* Recoded) {
    if (CheckBoxStopAfter && !CheckBoxAction && !Force) return;
    if (!settings_.Option(RadioDelete) && !settings_.Option(RadioMove)) return;
    // The source as it was recoded, or, for a target already there, as it is now: a file
    // that changed since is not the file this decision was made about.
    const fileops::TFileIdentity identity = Recoded ? *Recoded : fileops::IdentityAt(SourceFile);
    if (settings_.Option(RadioDelete)) {
        if (!fileops::DeleteIfSame(SourceFile, identity)) {
            if (errno == ESTALE) throw ESourceChanged();
            throw EStopException("The source file " + SourceFile + " could not be deleted !");
        }
    } else if (!MoveSourceFile(identity)) {
        if (errno == ESTALE) throw ESourceChanged();
        throw EStopException("The source file " + SourceFile + " could not be moved to " +
                             settings_.MoveDirectory() + " !");
    }
}

bool TJobControl::MoveSourceFile() {
    return MoveSourceFile(fileops::IdentityAt(SourceFile));
}

bool TJobControl::MoveSourceFile(const fileops::TFileIdentity& Identity) {
    const std::string moveDir = settings_.MoveDirectory();
    // An empty move directory is refused: nothing is ever moved into "/".
    if (moveDir.empty()) return false;
    // Below the move directory no link is followed: a planted one fails the move.
    const int dir = OpenBelow(moveDir, RelativeDir, true, "move");
    messages_.ShowInfo("Moving source file ...");
    const bool moved =
        fileops::MoveFileInto(SourceFile, Identity, dir, fileops::NamePart(SourceFile));
    const int error = errno;
    ::close(dir);
    messages_.CloseInfo();
    errno = error;
    return moved;
}

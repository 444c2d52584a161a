// SPDX-License-Identifier: GPL-3.0-or-later
#include "targetchoice.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "batchrecord.h"

namespace {

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

TChosenTarget::TChosenTarget(TChosenTarget&& Other) noexcept
    : Path(std::move(Other.Path)), Replace(Other.Replace), dir_(Other.TakeDir()) {}

TChosenTarget& TChosenTarget::operator=(TChosenTarget&& Other) noexcept {
    if (this != &Other) {
        if (dir_ >= 0) ::close(dir_);
        Path = std::move(Other.Path);
        Replace = Other.Replace;
        dir_ = Other.TakeDir();
    }
    return *this;
}

TChosenTarget::~TChosenTarget() {
    if (dir_ >= 0) ::close(dir_);
}

int TChosenTarget::TakeDir() {
    const int dir = dir_;
    dir_ = -1;
    return dir;
}

TTargetChooser::TTargetChooser(IMessages& Messages, IProgress& Progress)
    : messages_(Messages), progress_(Progress) {}

TChosenTarget TTargetChooser::Choose(const TJobSettings& Job, const TFoundSource& Source,
                                     const std::vector<int64_t>& FreeSpace) {
    const std::string& ext = Job.TargetExtension;
    if (Job.DirectoryMode == TDirectoryMode::Rebound) {
        std::string target = fileops::ReplaceExtension(Source.Path, ext);
        if (fileops::SameFile(target, Source.Path))
            throw EStopException("Source and target file must be different !");
        return {std::move(target),
                OpenBelow(Job.SourceDirs[static_cast<std::size_t>(Source.DirIndex)],
                          Source.RelativeDir, false, "target")};
    }
    const std::string name = fileops::ReplaceExtension(fileops::NamePart(Source.Path), ext);
    const auto& dirs = Job.TargetDirs;
    if (dirs.empty()) throw EAllDirFullException();
    std::size_t start = 0;
    if (Job.DirectoryMode == TDirectoryMode::DirectLink && Source.DirIndex >= 0)
        start = std::min(static_cast<std::size_t>(Source.DirIndex), dirs.size() - 1);
    std::size_t taken = dirs.size();
    for (std::size_t i = start; i < dirs.size(); ++i) {
        const int64_t free = i < FreeSpace.size() ? FreeSpace[i] : -1;
        if (free < 0 || free > Job.MinSpaceLeft) {
            taken = i;
            break;
        }
    }
    if (taken == dirs.size()) throw EAllDirFullException();
    const std::string relative = Job.CreateSubdirs ? Source.RelativeDir : "";
    std::string target = fileops::AddSlash(fileops::AddSlash(dirs[taken]) + relative) + name;
    if (fileops::SameFile(target, Source.Path))
        throw EStopException("Source and target file must be different !");
    return {std::move(target), OpenBelow(dirs[taken], relative, true, "target")};
}

bool TTargetChooser::Check(const TJobSettings& Job, const TFoundSource& Source,
                           TChosenTarget& Target) {
    Target.Replace = false;
    if (fileops::SameFile(Target.Path, Source.Path))
        throw EStopException("Source and target file must be different !");
    // Only a regular file that can be read counts as a target already there; a link or
    // anything else under the target's name is never taken for a processed target.
    const std::string name = fileops::NamePart(Target.Path);
    struct stat st {};
    const int dir = Target.Dir() >= 0 ? Target.Dir() : AT_FDCWD;
    const std::string at = Target.Dir() >= 0 ? name : Target.Path;
    if (::fstatat(dir, at.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) return true;
        throw EStopException("Target file access denied !");
    }
    if (!S_ISREG(st.st_mode)) {
        // Overwriting replaces the entry itself (a link, never what it leads to); nothing
        // else may take it for the target of this source.
        if (Job.TargetPolicy == TTargetPolicy::Overwrite && !S_ISDIR(st.st_mode)) {
            Target.Replace = true;
            return true;
        }
        throw EStopException("Target file access denied !");
    }
    const int fd = ::openat(dir, at.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) throw EStopException("Target file access denied !");
    ::close(fd);
    // A target another program is still writing is nobody's to replace or count as done;
    // nor is one that vanished since it was looked at.
    if (const auto now = fileops::Stability(Target.Path, 0);
        now == fileops::TStability::Busy || now == fileops::TStability::Gone)
        throw EStopException("Target file access denied !");
    bool skip = Job.TargetPolicy == TTargetPolicy::Skip;
    if (Job.TargetPolicy == TTargetPolicy::Prompt) {
        const std::string text = std::string("The current target file already exists !\r") +
                                 "Do You want it to be overwritten ?\r" +
                                 "(Select \"Yes\" for overwriting the target file or \"No\" for " +
                                 (Job.AfterAction == TAfterAction::Delete ? "deleting" : "moving") +
                                 " the source file !)";
        switch (messages_.AskAbout(Target.Path, text, true)) {
            case TAnswer::Cancel:
                throw EStopException("Processing was stopped !");
            case TAnswer::No:
                skip = true;
                break;
            case TAnswer::Yes:
                break;
        }
    }
    if (!skip) {
        Target.Replace = true;
        return true;
    }
    // Named before the after-action deletes or moves the source.
    TFileOutcome outcome =
        MakeOutcome(TFileOutcome::TKind::Skipped, Source.Path, Target.Path, Job.TargetFormat.get());
    outcome.BytesIn = Source.Size;
    ApplyAfterAction(Job, Source, fileops::IdentityAt(Source.Path));
    progress_.FileDone(Source.Path, Target.Path, true, Source.Size, 0);
    progress_.FileEnded(outcome);
    return false;
}

void TTargetChooser::ApplyAfterAction(const TJobSettings& Job, const TFoundSource& Source,
                                      const fileops::TFileIdentity& Identity) {
    if (Job.AfterAction == TAfterAction::Delete) {
        if (!fileops::DeleteIfSame(Source.Path, Identity)) {
            if (errno == ESTALE) throw ESourceChanged();
            throw EStopException("The source file " + Source.Path + " could not be deleted !");
        }
    } else if (Job.AfterAction == TAfterAction::Move && !MoveSource(Job, Source, Identity)) {
        if (errno == ESTALE) throw ESourceChanged();
        throw EStopException("The source file " + Source.Path + " could not be moved to " +
                             Job.MoveDirectory + " !");
    }
}

bool TTargetChooser::MoveSource(const TJobSettings& Job, const TFoundSource& Source,
                                const fileops::TFileIdentity& Identity) {
    // An empty move directory is refused: nothing is ever moved into "/".
    if (Job.MoveDirectory.empty()) return false;
    // Below the move directory no link is followed: a planted one fails the move.
    const int dir = OpenBelow(Job.MoveDirectory, Source.RelativeDir, true, "move");
    messages_.ShowInfo("Moving source file ...");
    const bool moved =
        fileops::MoveFileInto(Source.Path, Identity, dir, fileops::NamePart(Source.Path));
    const int error = errno;
    ::close(dir);
    messages_.CloseInfo();
    errno = error;
    return moved;
}

// SPDX-License-Identifier: GPL-3.0-or-later
// The target of a source, and what becomes of the source: the target directory by the
// directory mode and the free space, the policy for a target already there, and the
// after-action (delete or move) once the target is complete. Every directory below a target
// or move root is opened one component at a time without following a link.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "fileops.h"
#include "jobsettings.h"
#include "recoding.h"
#include "seams.h"
#include "sourcesearch.h"

class EAllDirFullException : public std::runtime_error {
  public:
    EAllDirFullException() : std::runtime_error("All target paths full ! Processing stopped !") {}
};
class EStopException : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};
// The source is no longer the file the decision was made about: it stays, and is found
// again once it is stable.
class ESourceChanged : public std::runtime_error {
  public:
    ESourceChanged() : std::runtime_error(kSourceChangedText) {}
};

// A chosen target: its name, and its directory opened without links (closed with it unless
// taken).
class TChosenTarget {
  public:
    TChosenTarget() = default;
    TChosenTarget(std::string Name, int DirFd) : Path(std::move(Name)), dir_(DirFd) {}
    TChosenTarget(TChosenTarget&& Other) noexcept;
    TChosenTarget& operator=(TChosenTarget&& Other) noexcept;
    ~TChosenTarget();

    std::string Path;
    // The policy allows replacing what is there.
    bool Replace = false;
    int Dir() const { return dir_; }
    // Hands the directory over (to the job that writes into it).
    int TakeDir();

  private:
    int dir_ = -1;
};

class TTargetChooser {
  public:
    TTargetChooser(IMessages& Messages, IProgress& Progress);

    // The target of Source. FreeSpace: per target directory, as last measured (-1 unknown).
    // Raises EAllDirFullException when no target directory has room, EStopException when
    // the target would be the source or its directory cannot be opened.
    TChosenTarget Choose(const TJobSettings& Job, const TFoundSource& Source,
                         const std::vector<int64_t>& FreeSpace);
    // What the policy makes of a target already there: true to recode (Target.Replace says
    // whether it may be replaced), false when the source counts as processed (the
    // after-action is done and the file reported as skipped). Raises EStopException.
    bool Check(const TJobSettings& Job, const TFoundSource& Source, TChosenTarget& Target);
    // Deletes or moves the source if it is still the file Identity describes. Raises
    // ESourceChanged when it is not, EStopException when it cannot be done.
    void ApplyAfterAction(const TJobSettings& Job, const TFoundSource& Source,
                          const fileops::TFileIdentity& Identity);
    // Moves the source below the move directory; false (errno set) when it cannot.
    bool MoveSource(const TJobSettings& Job, const TFoundSource& Source,
                    const fileops::TFileIdentity& Identity);

  private:
    IMessages& messages_;
    IProgress& progress_;
};

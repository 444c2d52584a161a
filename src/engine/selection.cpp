// SPDX-License-Identifier: GPL-3.0-or-later
// The job's side of the choice of the next source and its target: the search and the
// chooser decide, the job keeps what they found in its fields.
#include "fileops.h"
#include "jobcontrol.h"

TFoundSource TJobControl::Found() const {
    return {SourceFile, SourceDirIndex, RelativeDir, SourceFileSize};
}

const TJobSettings& TJobControl::Job() {
    if (!job_) TakeSettings();
    return *job_;
}

void TJobControl::TakeSettings() {
    job_ = std::make_shared<const TJobSettings>(TJobSettings::From(settings_));
}

void TJobControl::FindSourceFile(TSourceSearch* Search, ISourceGate* Gate) {
    SourceFile.clear();
    RelativeDir.clear();
    SourceDirIndex = -1;
    SourceFileSize = 0;
    const auto found = (Search ? *Search : search_).Next(Job(), Gate);
    if (!found) throw ENoMoreFileException();
    SourceFile = found->Path;
    SourceDirIndex = found->DirIndex;
    RelativeDir = found->RelativeDir;
    SourceFileSize = found->Size;
}

void TJobControl::ChooseTargetFile(const std::vector<int64_t>* FreeSpace) {
    target_ = {};
    TargetFile.clear();
    if (SourceFile.empty()) return;
    target_ = chooser_.Choose(Job(), Found(), FreeSpace ? *FreeSpace : targetFree_);
    TargetFile = target_.Path;
}

void TJobControl::CheckTargetFile() {
    target_.Path = TargetFile;
    if (!chooser_.Check(Job(), Found(), target_)) TargetFile.clear();
}

void TJobControl::ApplyAfterAction(bool Force, const fileops::TFileIdentity* Recoded) {
    if (CheckBoxStopAfter && !CheckBoxAction && !Force) return;
    if (Job().AfterAction == TAfterAction::Keep) return;
    // The source as it was recoded, or, for a target already there, as it is now: a file
    // that changed since is not the file this decision was made about.
    chooser_.ApplyAfterAction(Job(), Found(), Recoded ? *Recoded : fileops::IdentityAt(SourceFile));
}

bool TJobControl::MoveSourceFile() {
    return chooser_.MoveSource(Job(), Found(), fileops::IdentityAt(SourceFile));
}

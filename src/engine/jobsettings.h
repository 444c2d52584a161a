// SPDX-License-Identifier: GPL-3.0-or-later
// What a batch works with: the settings as one immutable, typed snapshot, taken when Go (or
// sonbar-cli batch) starts, after the checks. The dialog's texts and button states stay in
// TSettings for the dialog and the store; the engine reads only this.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "UKoWaveFormat.h"

class TSettings;

// Where targets go.
enum class TDirectoryMode {
    Classical,   // the first target directory with room
    DirectLink,  // the target directory of the source directory's rank, or a later one
    Rebound      // beside the source
};

// What happens when the target is already there.
enum class TTargetPolicy { Overwrite, Skip, Prompt };

// What becomes of a source once its target is complete.
enum class TAfterAction { Keep, Delete, Move };

// What sounds when a file is done.
enum class TDoneSound { None, Beep, WavFile };

struct TJobSettings {
    std::vector<std::string> SourceDirs;
    std::vector<std::string> TargetDirs;  // none in Rebound mode
    std::vector<std::string> SourceExtensions;
    std::string TargetExtension;
    TDirectoryMode DirectoryMode = TDirectoryMode::Classical;
    TTargetPolicy TargetPolicy = TTargetPolicy::Overwrite;
    TAfterAction AfterAction = TAfterAction::Delete;
    // The move directory as a full path ending in "/"; "" when none is set.
    std::string MoveDirectory;
    bool CreateSubdirs = false;  // targets keep the source's subdirectories
    bool Recurse = false;        // the search goes into subdirectories
    bool HiddenFiles = false;    // hidden files are sources too
    bool HighQuality = true;
    bool WavHeader = true;  // false: the target format's bare stream where it has one
    bool TryAgain = false;  // with nothing left, wait and search again
    int32_t WaitSeconds = 60;
    int32_t BufferBytes = 0;
    int32_t StableSeconds = 2;
    int64_t MinSpaceLeft = 0;  // bytes a target directory keeps free
    int32_t Threads = 0;       // threads encoding one file; 0: what the other jobs leave
    TDoneSound DoneSound = TDoneSound::None;
    std::string DoneSoundFile;
    // The target format (null: none chosen).
    std::shared_ptr<const TKoWaveFormat> TargetFormat;

    // The snapshot of Settings as they are now. Their extension checks must have run.
    static TJobSettings From(const TSettings& Settings);
    // Directories the search never enters, normalised: the target directories and the move
    // directory.
    std::vector<std::string> ExcludedDirs;
};

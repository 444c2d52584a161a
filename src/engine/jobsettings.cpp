// SPDX-License-Identifier: GPL-3.0-or-later
#include "jobsettings.h"

#include "fileops.h"
#include "settings.h"

TJobSettings TJobSettings::From(const TSettings& Settings) {
    TJobSettings job;
    job.SourceDirs = Settings.SourceDirs;
    job.DirectoryMode = Settings.DirectoryMode();
    if (job.DirectoryMode != TDirectoryMode::Rebound) job.TargetDirs = Settings.TargetDirs;
    job.SourceExtensions = Settings.SourceExtensions();
    job.TargetExtension = Settings.TargetExtension();
    job.TargetPolicy = Settings.TargetPolicy();
    job.AfterAction = Settings.AfterAction();
    job.MoveDirectory = Settings.MoveDirectoryPath();
    job.CreateSubdirs = Settings.Option(CheckBoxCreateSubs);
    job.Recurse = Settings.Option(CheckBoxRDirs);
    job.HiddenFiles = Settings.Option(CheckBoxHiddenFiles);
    job.HighQuality = Settings.Option(RadioQuality);
    job.WavHeader = Settings.Option(CheckBoxWavHeader);
    job.TryAgain = Settings.Option(CheckBoxTryAgain);
    job.WaitSeconds = Settings.WaitSecondsValue();
    job.BufferBytes = Settings.CopyBufferBytes();
    job.Threads = Settings.Threads;
    job.StableSeconds = Settings.StableSeconds;
    job.MinSpaceLeft = Settings.MinSpaceLeftBytes();
    if (Settings.Option(CheckBoxNoise)) {
        if (Settings.Option(RadioStandardBeep)) job.DoneSound = TDoneSound::Beep;
        if (Settings.Option(RadioWAVFile)) job.DoneSound = TDoneSound::WavFile;
    }
    job.DoneSoundFile = Settings.Texts[EditWAVFile];
    if (const TKoWaveStreamFormat* format = Settings.TargetFormat())
        job.TargetFormat = KoClone(format->Format());
    for (const std::string& dir : job.TargetDirs)
        job.ExcludedDirs.push_back(fileops::Normalise(dir));
    if (job.AfterAction == TAfterAction::Move && !job.MoveDirectory.empty())
        job.ExcludedDirs.push_back(fileops::Normalise(job.MoveDirectory));
    return job;
}

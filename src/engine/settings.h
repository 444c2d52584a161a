// SPDX-License-Identifier: GPL-3.0-or-later
// The job configuration as the windows hold it: the texts of the preferences' edit fields
// exactly as typed, the states of its check boxes and radio buttons in creation order, the
// priority and the two directory lists of the main window, and the target format. Loads and
// saves through the INI store and answers the accessors the rest of the recoder reads.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "UKoWaveStream.h"
#include "inistore.h"
#include "jobsettings.h"

// The check boxes and radio buttons, in the order the dialog creates them: the order of
// the bits of "SavedDataFields".
enum TOption : int {
    RadioOverwrite,
    RadioSkip,
    RadioPrompt,
    RadioDelete,
    RadioMove,
    RadioModeClassical,
    RadioModeLinked,
    RadioModeRebound,
    RadioSpeed,
    RadioQuality,
    CheckBoxCreateSubs,
    CheckBoxRDirs,
    CheckBoxHiddenFiles,
    CheckBoxNoise,
    RadioStandardBeep,
    RadioWAVFile,
    CheckBoxTryAgain,
    CheckBoxWavHeader,
    OptionCount
};

// The edit fields, in the order their keys are written.
enum TOptionText : int {
    EditSourceExts,
    EditTargetExt,
    EditMoveDir,
    EditWAVFile,
    EditSec,
    EditBufferSize,
    EditSpaceLeft,
    TextCount
};

// Which control a failed check points the user to.
enum class TSettingsControl {
    None,
    EditSourceExts,
    EditTargetExt,
    EditMoveDir,
    EditWAVFile,
    EditSec,
    EditBufferSize,
    EditSpaceLeft,
    ButtonSelectTF
};

struct TCheckFailure {
    std::string Message;
    TSettingsControl Control = TSettingsControl::None;
};

// The program's own integer conversion: optional leading blanks, an optional sign, decimal
// digits, or "$" and hexadecimal digits, nothing after, within 32 bits.
std::optional<int32_t> ParseInteger(const std::string& Text);

// Where Sonbar.ini and Sonbar.tf live: Explicit when given; beside the program when a
// Sonbar.ini is already there (a portable installation); else $XDG_CONFIG_HOME/sonbar/
// (default ~/.config/sonbar/). Ends in "/".
std::string SettingsFolder(const std::string& Explicit, const std::string& ProgramDir);
// The directory of the running executable, ending in "/".
std::string ProgramDirectory();

class TSettings {
  public:
    TSettings();

    static constexpr const char* IniName = "Sonbar.ini";
    static constexpr const char* FormatFileName = "Sonbar.tf";
    static constexpr const char* DefaultOptionBits = "2C6E03";

    // Control states.
    std::array<std::string, TextCount> Texts;
    bool Option(TOption O) const { return options_[static_cast<std::size_t>(O)]; }
    // Checking a radio button unchecks the other members of its group; unchecking one
    // changes nothing else.
    void SetOption(TOption O, bool Checked);
    int32_t Priority = 0;
    // How long a source must have stayed unchanged before a batch takes it ("Options"
    // "StableSeconds"): writers that pause between pieces need longer.
    static constexpr int32_t kDefaultStableSeconds = 2;
    static constexpr int32_t kMaxStableSeconds = 3600;
    int32_t StableSeconds = kDefaultStableSeconds;
    std::vector<std::string> SourceDirs;
    std::vector<std::string> TargetDirs;
    // Kept with the preferences under "Options": the batch record's file ("LogFile", empty
    // for none), passing over a failed file instead of stopping ("KeepGoing"), and a desktop
    // notification at the end of a batch in the windows ("Notify").
    std::string LogFile;
    bool KeepGoing = false;
    bool Notify = true;
    // How many files are recoded at once ("Options" "Jobs"; 0: one per processor). Without
    // the key, one, as before there was a choice; kept absent until something else is chosen.
    static constexpr int32_t kMaxJobs = 256;
    int32_t Jobs = 1;
    // Threads encoding one long file at once ("Options" "Threads"; 0: the processors the
    // other jobs leave free).
    int32_t Threads = 0;

    // The target format: none, or a stream format; valid when its format is complete.
    const TKoWaveStreamFormat* TargetFormat() const { return targetFormat_.get(); }
    void SetTargetFormat(const TKoWaveFormat* Format);
    bool TargetFormatValid() const;
    // The tag's name and the format's description, or "(none specified)" and "".
    const std::string& FormatTagLabel() const { return formatTagLabel_; }
    const std::string& FormatAttributesLabel() const { return formatAttributesLabel_; }

    // The option bits as stored, and their unpacking (a bad pair ends it silently).
    std::string PackOptions() const;
    void UnpackOptions(const std::string& Bits);

    // Store. LoadSettings/SaveSettings: the preferences (texts, bits, target format);
    // LoadMainSettings/SaveMainSettings: priority and directory lists (and nothing of the
    // window's position, which the windows keep themselves). Writes raise EIniWriteError.
    void LoadSettings(const TIniStore& Ini, const std::string& FormatFile);
    // Returns the message of a failed target-format write ("" on success).
    // WithFormat false leaves Sonbar.tf as it is.
    std::string SaveSettings(TIniStore& Ini, const std::string& FormatFile,
                             bool WithFormat = true) const;
    // StartingUp: network paths and directories that no longer exist are dropped silently.
    void LoadMainSettings(const TIniStore& Ini, bool StartingUp);
    void SaveMainSettings(TIniStore& Ini) const;
    void LoadTargetFormat(const std::string& FormatFile);
    std::string SaveTargetFormat(const std::string& FormatFile) const;

    // Accessors, with hand-edited values outside the dialog's ranges clamped into them.
    int64_t MinSpaceLeftBytes() const;
    int32_t CopyBufferBytes() const;
    int32_t WaitSecondsValue() const;
    // The move directory as a full path ending in "/" (the slash is also added to the
    // text); "" when the text is empty, so that nothing is ever moved into "/".
    std::string MoveDirectory();
    std::string MoveDirectoryPath() const;  // the same, leaving the text as it is
    TDirectoryMode DirectoryMode() const;
    TTargetPolicy TargetPolicy() const;
    TAfterAction AfterAction() const;

    // The extension checks; each rebuilds what its accessor returns.
    std::optional<TCheckFailure> CheckSourceExtensions();
    std::optional<TCheckFailure> CheckTargetExtension();
    const std::vector<std::string>& SourceExtensions() const { return sourceExtensions_; }
    const std::string& TargetExtension() const { return targetExtension_; }
    // The checks of the preferences' OK after the extension checks; the last failing one.
    std::optional<TCheckFailure> CheckOkValues() const;
    // Both extension checks, then the OK checks: what OK runs before it saves.
    std::optional<TCheckFailure> ValidateForOk();
    std::optional<TCheckFailure> CheckTargetFormat() const;

  private:
    std::array<bool, OptionCount> options_{};
    std::unique_ptr<TKoWaveStreamFormat> targetFormat_;
    std::string formatTagLabel_;
    std::string formatAttributesLabel_;
    std::vector<std::string> sourceExtensions_;
    std::string targetExtension_;
};

// "(?)" style summary texts of the main window.
std::string SourceExtensionsSummary(TSettings& Settings);
std::string TargetExtensionSummary(TSettings& Settings);

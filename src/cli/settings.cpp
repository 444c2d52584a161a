// SPDX-License-Identifier: GPL-3.0-or-later
// sonbar-cli settings: the headless twin of the preferences dialog.
#include "settings.h"

#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "commands.h"
#include "fileops.h"
#include "format_lookup.h"

int32_t JobsSetting(const TIniStore& Ini) {
    const int32_t jobs = Ini.ReadInteger("Options", "Jobs", 0);
    return jobs > 0 && jobs <= 256 ? jobs : 0;
}

int32_t ThreadsSetting(const TIniStore& Ini) {
    const int32_t threads = Ini.ReadInteger("Options", "Threads", 0);
    return threads > 0 && threads <= 256 ? threads : 0;
}

namespace {

// The complete format of Tag the codec chooses for CD audio (44,100 Hz, 16 bits, stereo),
// at the rate it prefers.
std::unique_ptr<TKoWaveFormat> SuggestedFormat(uint32_t Tag) {
    const auto cd = TKoWaveFormat::CreatePCM16(44100, 2);
    auto wanted = TKoWaveFormat::CreateDefault();
    wanted->SetFormatTag(static_cast<uint16_t>(Tag));
    if (auto rate = PreferredRate(Tag)) wanted->SetSamplesPerSec(*rate);
    return NearestFormat(*wanted, *cd);
}

constexpr const char* kUsage =
    "usage: sonbar-cli settings [--settings DIR] [NAME=VALUE ...] [--tag TAG [--attributes "
    "TEXT]]\n";

constexpr const char* kHelp =
    "\nWithout changes, prints every setting as NAME=VALUE and the target format. With\n"
    "changes, applies them, checks the whole as the preferences dialog's OK does, and only\n"
    "then writes Sonbar.ini (and Sonbar.tf with --tag).\n\n"
    "  source-dirs=DIR;DIR...   target-dirs=DIR;DIR...   (each must exist)\n"
    "  source-exts=TEXT         target-ext=TEXT          move-dir=TEXT   wav-file=TEXT\n"
    "  optimize=speed|quality   mode=classical|link|rebound\n"
    "  recurse=on|off           relative-dirs=on|off     hidden=on|off\n"
    "  after=delete|move        exists=overwrite|skip|prompt\n"
    "  noise=on|off             noise-kind=beep|wav      try-again=on|off\n"
    "  wait-seconds=N           buffer-kb=N              min-space-mb=N   priority=0..6\n"
    "  wav-header=on|off        off: MP3, GSM, A-law and u-law targets are bare streams\n"
    "                           (.mp3 with an ID3 tag, .gsm), not WAVE files\n"
    "  jobs=N|auto              recoding jobs at once in `sonbar-cli batch` (auto: one per\n"
    "                           processor); the windows recode one file at a time\n"
    "  stable-seconds=N         how long a source must stay unchanged before it is taken\n"
    "                           (default 2; longer for writers that pause between pieces)\n"
    "  threads=N|auto           threads encoding one long file at once where its format\n"
    "                           allows (auto: the processors the other jobs leave free)\n"
    "  log-file=PATH            the batch record: one JSON line per file (empty: none)\n"
    "  keep-going=on|off        a failed file is passed over and the batch goes on\n"
    "  notify=on|off            the windows' desktop notification at the end of a batch\n"
    "  --tag TAG --attributes TEXT   the target format, as 'sonbar-cli formats TAG' lists it;\n"
    "                           --tag alone takes the codec's choice for CD audio, at the\n"
    "                           rate the codec prefers (GSM 6.10: 8,000 Hz)\n"
    "  --settings DIR           the folder of Sonbar.ini and Sonbar.tf (default: beside the\n"
    "                           program when a Sonbar.ini is there, else\n"
    "                           $XDG_CONFIG_HOME/sonbar, i.e. ~/.config/sonbar)\n";

// One setting: how it is shown and how a value is applied.
struct Setting {
    const char* name;
    enum Kind { Dirs, Text, Choice, Switch, Number } kind;
    int index;  // TOptionText for texts and numbers, TOption for switches
    std::vector<std::pair<const char*, TOption>> choices;
};

const std::vector<Setting>& Table() {
    static const std::vector<Setting> table = {
        {"source-dirs", Setting::Dirs, 0, {}},
        {"target-dirs", Setting::Dirs, 1, {}},
        {"source-exts", Setting::Text, EditSourceExts, {}},
        {"target-ext", Setting::Text, EditTargetExt, {}},
        {"optimize", Setting::Choice, 0, {{"speed", RadioSpeed}, {"quality", RadioQuality}}},
        {"mode",
         Setting::Choice,
         0,
         {{"classical", RadioModeClassical},
          {"link", RadioModeLinked},
          {"rebound", RadioModeRebound}}},
        {"recurse", Setting::Switch, CheckBoxRDirs, {}},
        {"relative-dirs", Setting::Switch, CheckBoxCreateSubs, {}},
        {"hidden", Setting::Switch, CheckBoxHiddenFiles, {}},
        {"after", Setting::Choice, 0, {{"delete", RadioDelete}, {"move", RadioMove}}},
        {"move-dir", Setting::Text, EditMoveDir, {}},
        {"exists",
         Setting::Choice,
         0,
         {{"overwrite", RadioOverwrite}, {"skip", RadioSkip}, {"prompt", RadioPrompt}}},
        {"noise", Setting::Switch, CheckBoxNoise, {}},
        {"noise-kind", Setting::Choice, 0, {{"beep", RadioStandardBeep}, {"wav", RadioWAVFile}}},
        {"wav-file", Setting::Text, EditWAVFile, {}},
        {"try-again", Setting::Switch, CheckBoxTryAgain, {}},
        {"wav-header", Setting::Switch, CheckBoxWavHeader, {}},
        {"wait-seconds", Setting::Number, EditSec, {}},
        {"buffer-kb", Setting::Number, EditBufferSize, {}},
        {"min-space-mb", Setting::Number, EditSpaceLeft, {}},
        {"priority", Setting::Number, -1, {}},
        {"jobs", Setting::Number, -2, {}},
        {"threads", Setting::Number, -3, {}},
        {"stable-seconds", Setting::Number, -4, {}},
        {"log-file", Setting::Text, -5, {}},
        {"keep-going", Setting::Switch, -6, {}},
        {"notify", Setting::Switch, -7, {}},
    };
    return table;
}

std::string Join(const std::vector<std::string>& Dirs) {
    std::string text;
    for (const std::string& dir : Dirs) text += (text.empty() ? "" : ";") + dir;
    return text;
}

// "Options" "Jobs" and "Threads": sonbar-cli's alone (the windows pass over keys they do not
// know). 0 stands for auto.
constexpr int kJobsIndex = -2;
constexpr int kThreadsIndex = -3;
constexpr int kStableIndex = -4;
constexpr int32_t kMaxJobs = 256;
struct Counts {
    int32_t jobs = 0;
    int32_t threads = 0;
    int32_t& Of(int Index) { return Index == kJobsIndex ? jobs : threads; }
};

// keep-going and notify, which are no option bits.
bool& ExtraSwitch(const Setting& S, TSettings& Settings) {
    return S.index == -6 ? Settings.KeepGoing : Settings.Notify;
}

std::string ValueOf(const Setting& S, TSettings& Settings, Counts& Values) {
    switch (S.kind) {
        case Setting::Dirs:
            return Join(S.index == 0 ? Settings.SourceDirs : Settings.TargetDirs);
        case Setting::Text:
            return S.index < 0 ? Settings.LogFile
                               : Settings.Texts[static_cast<std::size_t>(S.index)];
        case Setting::Number:
            if (S.index == kStableIndex) return std::to_string(Settings.StableSeconds);
            if (S.index == kJobsIndex || S.index == kThreadsIndex) {
                const int32_t n = Values.Of(S.index);
                return n > 0 ? std::to_string(n) : "auto";
            }
            return S.index < 0 ? std::to_string(Settings.Priority)
                               : Settings.Texts[static_cast<std::size_t>(S.index)];
        case Setting::Switch:
            return (S.index < 0 ? ExtraSwitch(S, Settings)
                                : Settings.Option(static_cast<TOption>(S.index)))
                       ? "on"
                       : "off";
        case Setting::Choice:
            for (const auto& [word, option] : S.choices)
                if (Settings.Option(option)) return word;
            return "";
    }
    return "";
}

// Applies NAME=VALUE; the message of a refused value, or "".
std::string Apply(const std::string& Assignment, TSettings& Settings, Counts& Values) {
    const auto eq = Assignment.find('=');
    const std::string name = Assignment.substr(0, eq);
    const std::string value = eq == std::string::npos ? "" : Assignment.substr(eq + 1);
    for (const Setting& s : Table()) {
        if (name != s.name) continue;
        switch (s.kind) {
            case Setting::Dirs: {
                std::vector<std::string> dirs;
                std::size_t start = 0;
                while (start < value.size()) {
                    auto end = value.find(';', start);
                    if (end == std::string::npos) end = value.size();
                    const std::string dir = value.substr(start, end - start);
                    start = end + 1;
                    if (dir.empty()) continue;
                    if (!fileops::IsDirectory(dir)) return "The specified directory is invalid !";
                    const std::string path = fileops::AddSlash(fileops::Normalise(dir));
                    bool known = false;
                    for (const std::string& d : dirs) known = known || d == path;
                    if (!known) dirs.push_back(path);
                }
                (s.index == 0 ? Settings.SourceDirs : Settings.TargetDirs) = dirs;
                return "";
            }
            case Setting::Text:
                (s.index < 0 ? Settings.LogFile
                             : Settings.Texts[static_cast<std::size_t>(s.index)]) = value;
                return "";
            case Setting::Number:
                if (s.index == kJobsIndex || s.index == kThreadsIndex) {
                    const auto n =
                        value == "auto" ? std::optional<int32_t>(0) : ParseInteger(value);
                    if (!n || *n < 0 || *n > kMaxJobs || (*n == 0 && value != "auto"))
                        return name + " takes auto or a number from 1 to 256";
                    Values.Of(s.index) = *n;
                } else if (s.index == kStableIndex) {
                    const auto n = ParseInteger(value);
                    if (!n || *n < 0 || *n > TSettings::kMaxStableSeconds)
                        return "stable-seconds takes a number from 0 to 3600";
                    Settings.StableSeconds = *n;
                } else if (s.index < 0) {
                    const auto n = ParseInteger(value);
                    if (!n || *n < 0 || *n > 6) return "priority takes a number from 0 to 6";
                    Settings.Priority = *n;
                } else {
                    Settings.Texts[static_cast<std::size_t>(s.index)] = value;
                }
                return "";
            case Setting::Switch:
                if (value != "on" && value != "off") return name + " takes on or off";
                if (s.index < 0)
                    ExtraSwitch(s, Settings) = value == "on";
                else
                    Settings.SetOption(static_cast<TOption>(s.index), value == "on");
                return "";
            case Setting::Choice: {
                std::string words;
                for (const auto& [word, option] : s.choices) {
                    if (value == word) {
                        Settings.SetOption(option, true);
                        return "";
                    }
                    words += (words.empty() ? "" : ", ") + std::string(word);
                }
                return name + " takes one of " + words;
            }
        }
    }
    return "unknown setting '" + name + "'";
}

}  // namespace

int RunSettings(std::span<const std::string> args) {
    enum { kSettings = 256, kTag, kAttributes };
    static constexpr option longOptions[] = {
        {"settings", required_argument, nullptr, kSettings},
        {"tag", required_argument, nullptr, kTag},
        {"attributes", required_argument, nullptr, kAttributes},
        {},
    };
    static const TOptions options{kUsage, kHelp, "", longOptions};
    std::string folder, tag, attributes;
    bool hasTag = false, hasAttributes = false;
    std::vector<std::string> changes;
    if (auto done = ParseOptions(
            args, options,
            [&](int Code, const char* Value) {
                (Code == kSettings ? folder : Code == kTag ? tag : attributes) = Value;
                if (Code == kTag) hasTag = true;
                if (Code == kAttributes) hasAttributes = true;
                return std::string();
            },
            changes))
        return *done;
    for (const std::string& change : changes)
        if (change.find('=') == std::string::npos)
            return UsageError("settings", "unknown argument '" + change + "'", kUsage);
    if (hasAttributes && !hasTag) return UsageError("settings", "--attributes needs --tag", kUsage);

    const std::string dir = SettingsFolder(folder, ProgramDirectory());
    TIniStore ini(dir + TSettings::IniName);
    const std::string formatFile = dir + TSettings::FormatFileName;
    TSettings settings;
    settings.LoadSettings(ini, formatFile);
    settings.LoadMainSettings(ini, false);
    Counts counts{JobsSetting(ini), ThreadsSetting(ini)};

    if (changes.empty() && !hasTag) {
        for (const auto& s : Table())
            std::printf("%s=%s\n", s.name, ValueOf(s, settings, counts).c_str());
        if (settings.TargetFormatValid())
            std::printf("format=%s: %s\n", settings.FormatTagLabel().c_str(),
                        settings.FormatAttributesLabel().c_str());
        else
            std::printf("format=(none specified)\n");
        return kExitSuccess;
    }

    for (const std::string& change : changes) {
        const std::string message = Apply(change, settings, counts);
        if (message.rfind("unknown setting", 0) == 0 ||
            message.find(" takes ") != std::string::npos)
            return UsageError("settings", message, kUsage);
        if (!message.empty()) {
            std::fprintf(stderr, "sonbar-cli: %s\n", message.c_str());
            return kExitFailure;
        }
    }
    if (hasTag) {
        const auto details = FindTag(tag);
        if (!details) return UsageError("settings", "unknown format tag '" + tag + "'", kUsage);
        auto format = hasAttributes ? FindAttributes(details->dwFormatTag, attributes)
                                    : SuggestedFormat(details->dwFormatTag);
        if (!format && !hasAttributes)
            return UsageError("settings",
                              "no " + std::string(details->szFormatTag) +
                                  " format could be chosen; give --attributes",
                              kUsage);
        if (!format)
            return UsageError("settings",
                              "no " + std::string(details->szFormatTag) +
                                  " format is described as '" + attributes +
                                  "'; `sonbar-cli formats " + Quoted(tag) + "` lists them",
                              kUsage);
        settings.SetTargetFormat(format.get());
    }
    if (auto failure = settings.ValidateForOk()) {
        std::fprintf(stderr, "sonbar-cli: %s\n", failure->Message.c_str());
        return kExitFailure;
    }
    try {
        const std::string error = settings.SaveSettings(ini, formatFile, hasTag);
        settings.SaveMainSettings(ini);
        if (counts.jobs != JobsSetting(ini)) ini.WriteInteger("Options", "Jobs", counts.jobs);
        if (counts.threads != ThreadsSetting(ini))
            ini.WriteInteger("Options", "Threads", counts.threads);
        if (!error.empty()) {
            std::fprintf(stderr, "sonbar-cli: %s\n", error.c_str());
            return kExitFailure;
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "sonbar-cli: %s\n", error.what());
        return kExitFailure;
    }
    return kExitSuccess;
}

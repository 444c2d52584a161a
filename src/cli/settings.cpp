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

namespace {

constexpr const char* kUsage =
    "usage: sonbar-cli settings [--settings DIR] [NAME=VALUE ...] [--tag TAG --attributes TEXT]\n";

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
    "  jobs=N|auto              recoding jobs at once in `sonbar-cli batch` (auto: one per\n"
    "                           processor); the windows recode one file at a time\n"
    "  --tag TAG --attributes TEXT   the target format, as 'sonbar-cli formats TAG' lists it\n"
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
        {"wait-seconds", Setting::Number, EditSec, {}},
        {"buffer-kb", Setting::Number, EditBufferSize, {}},
        {"min-space-mb", Setting::Number, EditSpaceLeft, {}},
        {"priority", Setting::Number, -1, {}},
        {"jobs", Setting::Number, -2, {}},
    };
    return table;
}

std::string Join(const std::vector<std::string>& Dirs) {
    std::string text;
    for (const std::string& dir : Dirs) text += (text.empty() ? "" : ";") + dir;
    return text;
}

// "Options" "Jobs": sonbar-cli's alone (the windows pass over keys they do not know).
constexpr int kJobsIndex = -2;
constexpr int32_t kMaxJobs = 256;

std::string ValueOf(const Setting& S, TSettings& Settings, int32_t Jobs) {
    switch (S.kind) {
        case Setting::Dirs:
            return Join(S.index == 0 ? Settings.SourceDirs : Settings.TargetDirs);
        case Setting::Text:
            return Settings.Texts[static_cast<std::size_t>(S.index)];
        case Setting::Number:
            if (S.index == kJobsIndex) return Jobs > 0 ? std::to_string(Jobs) : "auto";
            return S.index < 0 ? std::to_string(Settings.Priority)
                               : Settings.Texts[static_cast<std::size_t>(S.index)];
        case Setting::Switch:
            return Settings.Option(static_cast<TOption>(S.index)) ? "on" : "off";
        case Setting::Choice:
            for (const auto& [word, option] : S.choices)
                if (Settings.Option(option)) return word;
            return "";
    }
    return "";
}

// Applies NAME=VALUE; the message of a refused value, or "".
std::string Apply(const std::string& Assignment, TSettings& Settings, int32_t& Jobs) {
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
                Settings.Texts[static_cast<std::size_t>(s.index)] = value;
                return "";
            case Setting::Number:
                if (s.index == kJobsIndex) {
                    const auto n =
                        value == "auto" ? std::optional<int32_t>(0) : ParseInteger(value);
                    if (!n || *n < 0 || *n > kMaxJobs || (*n == 0 && value != "auto"))
                        return "jobs takes auto or a number from 1 to 256";
                    Jobs = *n;
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
    if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
        std::fputs(kUsage, stdout);
        std::fputs(kHelp, stdout);
        return kExitSuccess;
    }
    std::string folder, tag, attributes;
    bool hasTag = false, hasAttributes = false;
    std::vector<std::string> changes;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--settings" || a == "--tag" || a == "--attributes") {
            if (i + 1 >= args.size()) return UsageError("settings", a + " needs a value", kUsage);
            const std::string& v = args[++i];
            if (a == "--settings") folder = v;
            if (a == "--tag") tag = v, hasTag = true;
            if (a == "--attributes") attributes = v, hasAttributes = true;
        } else if (a.find('=') != std::string::npos && a[0] != '-') {
            changes.push_back(a);
        } else {
            return UsageError("settings", "unknown argument '" + a + "'", kUsage);
        }
    }
    if (hasTag != hasAttributes)
        return UsageError("settings", "--tag and --attributes go together", kUsage);

    const std::string dir = SettingsFolder(folder, ProgramDirectory());
    TIniStore ini(dir + TSettings::IniName);
    const std::string formatFile = dir + TSettings::FormatFileName;
    TSettings settings;
    settings.LoadSettings(ini, formatFile);
    settings.LoadMainSettings(ini, false);
    int32_t jobs = JobsSetting(ini);

    if (changes.empty() && !hasTag) {
        for (const auto& s : Table())
            std::printf("%s=%s\n", s.name, ValueOf(s, settings, jobs).c_str());
        if (settings.TargetFormatValid())
            std::printf("format=%s: %s\n", settings.FormatTagLabel().c_str(),
                        settings.FormatAttributesLabel().c_str());
        else
            std::printf("format=(none specified)\n");
        return kExitSuccess;
    }

    for (const std::string& change : changes) {
        const std::string message = Apply(change, settings, jobs);
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
        auto format = FindAttributes(details->dwFormatTag, attributes);
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
        if (jobs != JobsSetting(ini)) ini.WriteInteger("Options", "Jobs", jobs);
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

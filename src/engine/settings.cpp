// SPDX-License-Identifier: GPL-3.0-or-later
// The settings' store, checks and accessors. Kept in one file (over 400 lines): each INI key
// is read, written, checked and clamped next to the others of its kind.
#include "settings.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "UKoACMFormat.h"
#include "UKoWaveStreamFactory.h"
#include "fileops.h"
#include "replacefile.h"

namespace {

const char* const kTextKeys[TextCount] = {"SourceExts",  "TargetExts",     "MoveDir",     "WAVFile",
                                          "WaitSeconds", "CopyBufferSize", "MinSpaceLeft"};
const char* const kTextDefaults[TextCount] = {"wav", "", "", "", "60", "32", "10"};

// The five radio groups; a check box belongs to none.
int GroupOf(TOption O) {
    switch (O) {
        case RadioOverwrite:
        case RadioSkip:
        case RadioPrompt:
            return 0;
        case RadioDelete:
        case RadioMove:
            return 1;
        case RadioModeClassical:
        case RadioModeLinked:
        case RadioModeRebound:
            return 2;
        case RadioSpeed:
        case RadioQuality:
            return 3;
        case RadioStandardBeep:
        case RadioWAVFile:
            return 4;
        default:
            return -1;
    }
}

std::string Trim(const std::string& Text) {
    const auto first = Text.find_first_not_of(' ');
    if (first == std::string::npos) return {};
    return Text.substr(first, Text.find_last_not_of(' ') - first + 1);
}

std::optional<int> HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return std::nullopt;
}

// The byte that the next two characters spell, as the bit unpacking converts them: one
// digit is enough, none or a non-digit ends the unpacking.
std::optional<int> NextByte(std::string& Bits) {
    const std::string pair = Bits.substr(0, 2);
    Bits.erase(0, std::min<std::size_t>(2, Bits.size()));
    if (pair.empty()) return std::nullopt;
    int value = 0;
    for (char c : pair) {
        auto d = HexDigit(c);
        if (!d) return std::nullopt;
        value = value * 16 + *d;
    }
    return value & 0xFF;
}

std::vector<std::string> SplitDirs(const std::string& Value) {
    std::vector<std::string> dirs;
    std::size_t start = 0;
    while (start < Value.size()) {
        auto end = Value.find(';', start);
        if (end == std::string::npos) end = Value.size();
        dirs.push_back(Value.substr(start, end - start));
        start = end + 1;
    }
    return dirs;
}

std::string JoinDirs(const std::vector<std::string>& Dirs) {
    std::string value;
    for (std::size_t i = 0; i < Dirs.size(); ++i) value += (i ? ";" : "") + Dirs[i];
    return value;
}

int32_t ClampedInteger(const std::string& Text, int32_t Default, int32_t Min, int32_t Max) {
    const auto value = ParseInteger(Text);
    return value ? std::clamp(*value, Min, Max) : Default;
}

}  // namespace

std::optional<int32_t> ParseInteger(const std::string& Text) {
    std::size_t i = 0;
    while (i < Text.size() && (Text[i] == ' ' || Text[i] == '\t')) ++i;
    bool negative = false;
    if (i < Text.size() && (Text[i] == '+' || Text[i] == '-')) negative = Text[i++] == '-';
    int base = 10;
    if (i < Text.size() && Text[i] == '$') {
        base = 16;
        ++i;
    }
    if (i == Text.size()) return std::nullopt;
    uint64_t value = 0;
    auto [p, ec] = std::from_chars(Text.data() + i, Text.data() + Text.size(), value, base);
    if (ec != std::errc() || p != Text.data() + Text.size()) return std::nullopt;
    if (base == 16 && !negative && value <= 0xFFFFFFFFull)
        return static_cast<int32_t>(static_cast<uint32_t>(value));
    const int64_t signedValue =
        negative ? -static_cast<int64_t>(value) : static_cast<int64_t>(value);
    if (value > 0x80000000ull || signedValue < INT32_MIN || signedValue > INT32_MAX)
        return std::nullopt;
    return static_cast<int32_t>(signedValue);
}

std::string ProgramDirectory() {
    std::error_code ec;
    const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) return "./";
    return fileops::AddSlash(exe.parent_path().string());
}

std::string SettingsFolder(const std::string& Explicit, const std::string& ProgramDir) {
    if (!Explicit.empty()) return fileops::AddSlash(fileops::Normalise(Explicit));
    const std::string beside = fileops::AddSlash(ProgramDir);
    if (!beside.empty() && fileops::Exists(beside + TSettings::IniName)) return beside;
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg && *xdg == '/') return fileops::AddSlash(xdg) + "sonbar/";
    const char* home = std::getenv("HOME");
    return fileops::AddSlash(home && *home ? home : "/root") + ".config/sonbar/";
}

TSettings::TSettings() {
    for (int i = 0; i < TextCount; ++i) Texts[static_cast<std::size_t>(i)] = kTextDefaults[i];
    // What the controls show before any value is applied.
    for (TOption o : {RadioOverwrite, RadioDelete, RadioQuality, CheckBoxNoise, RadioStandardBeep,
                      CheckBoxWavHeader})
        options_[static_cast<std::size_t>(o)] = true;
    formatTagLabel_ = "(none specified)";
}

void TSettings::SetOption(TOption O, bool Checked) {
    options_[static_cast<std::size_t>(O)] = Checked;
    const int group = GroupOf(O);
    if (!Checked || group < 0) return;
    for (int i = 0; i < OptionCount; ++i)
        if (i != O && GroupOf(static_cast<TOption>(i)) == group)
            options_[static_cast<std::size_t>(i)] = false;
}

std::string TSettings::PackOptions() const {
    static const char* digits = "0123456789ABCDEF";
    std::string text;
    int byte = 0, bit = 0;
    for (int i = 0; i < OptionCount; ++i) {
        if (options_[static_cast<std::size_t>(i)]) byte |= 1 << bit;
        if (++bit == 8) {
            text += digits[byte >> 4];
            text += digits[byte & 15];
            byte = bit = 0;
        }
    }
    if (bit > 0) {
        text += digits[byte >> 4];
        text += digits[byte & 15];
    }
    return text;
}

void TSettings::UnpackOptions(const std::string& Bits) {
    std::string rest = Bits;
    auto byte = NextByte(rest);
    if (!byte) return;
    int bit = 0;
    for (int i = 0; i < OptionCount; ++i) {
        SetOption(static_cast<TOption>(i), (*byte >> bit) & 1);
        if (bit == 7) {
            byte = NextByte(rest);
            if (!byte) return;
            bit = 0;
        } else {
            ++bit;
        }
    }
}

void TSettings::SetTargetFormat(const TKoWaveFormat* Format) {
    targetFormat_.reset();
    formatTagLabel_ = "(none specified)";
    formatAttributesLabel_.clear();
    if (!Format || !Format->IsComplete()) return;
    targetFormat_ = TKoWaveStreamFormat::CreateForFormat(Format);
    formatTagLabel_ = TKoACMFormatTagDetails::FromTag(Format->FormatTag())->Name;
    formatAttributesLabel_ = TKoACMFormatDetails::FromFormat(*Format)->Name;
}

bool TSettings::TargetFormatValid() const {
    return targetFormat_ && targetFormat_->Format().IsComplete();
}

void TSettings::LoadSettings(const TIniStore& Ini, const std::string& FormatFile) {
    for (int i = 0; i < TextCount; ++i)
        Texts[static_cast<std::size_t>(i)] =
            Ini.ReadString("Options", kTextKeys[i], kTextDefaults[i]);
    const std::string bits = Ini.ReadString("Options", "SavedDataFields", DefaultOptionBits);
    StableSeconds = std::clamp(Ini.ReadInteger("Options", "StableSeconds", kDefaultStableSeconds),
                               0, kMaxStableSeconds);
    LoadTargetFormat(FormatFile);
    UnpackOptions(bits);
    LogFile = Ini.ReadString("Options", "LogFile", "");
    KeepGoing = Ini.ReadInteger("Options", "KeepGoing", 0) != 0;
    Notify = Ini.ReadInteger("Options", "Notify", 1) != 0;
    // A value out of range means automatic, as sonbar-cli takes it.
    Jobs = Ini.ReadInteger("Options", "Jobs", 1);
    if (Jobs < 0 || Jobs > kMaxJobs) Jobs = 0;
    Threads = Ini.ReadInteger("Options", "Threads", 0);
    if (Threads < 0 || Threads > kMaxJobs) Threads = 0;
}

std::string TSettings::SaveSettings(TIniStore& Ini, const std::string& FormatFile,
                                    bool WithFormat) const {
    const std::string bits = PackOptions();
    for (int i = 0; i < TextCount; ++i)
        Ini.WriteString("Options", kTextKeys[i], Texts[static_cast<std::size_t>(i)]);
    Ini.WriteString("Options", "SavedDataFields", bits);
    // Stored once it differs from the default, so a stored configuration stays as it was.
    if (StableSeconds != kDefaultStableSeconds ||
        !Ini.ReadString("Options", "StableSeconds", "").empty())
        Ini.WriteInteger("Options", "StableSeconds", StableSeconds);
    Ini.WriteString("Options", "LogFile", LogFile);
    Ini.WriteInteger("Options", "KeepGoing", KeepGoing ? 1 : 0);
    Ini.WriteInteger("Options", "Notify", Notify ? 1 : 0);
    if (Jobs != 1 || Ini.HasKey("Options", "Jobs")) Ini.WriteInteger("Options", "Jobs", Jobs);
    if (Threads != 0 || Ini.HasKey("Options", "Threads"))
        Ini.WriteInteger("Options", "Threads", Threads);
    return WithFormat ? SaveTargetFormat(FormatFile) : std::string();
}

void TSettings::LoadMainSettings(const TIniStore& Ini, bool StartingUp) {
    Priority = std::clamp(Ini.ReadInteger("Options", "Priority", 0), 0, 6);
    auto load = [&](const char* key, std::vector<std::string>& list) {
        list.clear();
        for (const std::string& dir : SplitDirs(Ini.ReadString("Options", key, ""))) {
            if (StartingUp && (dir.rfind("//", 0) == 0 || !fileops::IsDirectory(dir))) continue;
            const std::string path = fileops::AddSlash(dir);
            if (std::find(list.begin(), list.end(), path) == list.end()) list.push_back(path);
        }
    };
    load("SourceDirs", SourceDirs);
    load("TargetDirs", TargetDirs);
}

void TSettings::SaveMainSettings(TIniStore& Ini) const {
    Ini.WriteInteger("Options", "Priority", Priority);
    Ini.WriteString("Options", "SourceDirs", JoinDirs(SourceDirs));
    Ini.WriteString("Options", "TargetDirs", JoinDirs(TargetDirs));
}

void TSettings::LoadTargetFormat(const std::string& FormatFile) {
    std::unique_ptr<TKoWaveStreamFormat> read;
    try {
        read = HKoWaveStreamFactory::ReadFileFormat(FormatFile);
    } catch (const std::exception&) {
    }
    SetTargetFormat(read ? &read->Format() : nullptr);
}

std::string TSettings::SaveTargetFormat(const std::string& FormatFile) const {
    if (!targetFormat_) return {};
    struct TNoWriter {};
    try {
        // Written under a temporary name and renamed: a failure leaves the old file whole.
        replacefile::Replace(FormatFile, [&](int, const std::string& Temp) {
            TKoWaveStreamFactory factory;
            factory.SetWantedFormat(targetFormat_->Format());
            const auto pcm = TKoWaveFormat::CreateDefaultPCM();
            const auto input = TKoWaveStreamFormat::CreateForFormat(pcm.get());
            std::vector<uint8_t> zeros(1024, 0);
            auto chain = factory.OpenWriteChain(Temp, *input);
            if (!chain) throw TNoWriter{};
            const bool written = chain->Write(MakeArea(zeros.data(), 1024)) == 1024;
            const bool closed = chain->Close();
            if (!written || !closed) throw std::runtime_error("the file could not be written");
        });
    } catch (const TNoWriter&) {
        // No codec can write the format: there is nothing to keep, as before.
    } catch (const std::exception& error) {
        return std::string("Error while saving the target format:\n") + error.what();
    }
    return {};
}

int64_t TSettings::MinSpaceLeftBytes() const {
    return int64_t{ClampedInteger(Texts[EditSpaceLeft], 1, 0, 1024)} << 20;
}

int32_t TSettings::CopyBufferBytes() const {
    // A buffer of 0 bytes would make no progress at all.
    return ClampedInteger(Texts[EditBufferSize], 1, 4, 1024) << 10;
}

int32_t TSettings::WaitSecondsValue() const {
    return ClampedInteger(Texts[EditSec], 60, 0, 9999);
}

std::string TSettings::MoveDirectory() {
    std::string& text = Texts[EditMoveDir];
    if (!text.empty() && text.back() != '/') text += '/';
    return MoveDirectoryPath();
}

std::string TSettings::MoveDirectoryPath() const {
    const std::string& text = Texts[EditMoveDir];
    if (text.empty()) return {};
    return fileops::AddSlash(fileops::Normalise(text));
}

TDirectoryMode TSettings::DirectoryMode() const {
    return Option(RadioModeRebound)  ? TDirectoryMode::Rebound
           : Option(RadioModeLinked) ? TDirectoryMode::DirectLink
                                     : TDirectoryMode::Classical;
}

TTargetPolicy TSettings::TargetPolicy() const {
    return Option(RadioPrompt) ? TTargetPolicy::Prompt
           : Option(RadioSkip) ? TTargetPolicy::Skip
                               : TTargetPolicy::Overwrite;
}

TAfterAction TSettings::AfterAction() const {
    return Option(RadioDelete) ? TAfterAction::Delete
           : Option(RadioMove) ? TAfterAction::Move
                               : TAfterAction::Keep;
}

std::optional<TCheckFailure> TSettings::CheckSourceExtensions() {
    sourceExtensions_.clear();
    const TCheckFailure none{"You must specify at least one source extension !",
                             TSettingsControl::EditSourceExts};
    const std::string& text = Texts[EditSourceExts];
    if (text.empty()) return none;
    std::size_t start = 0;
    while (start < text.size()) {
        auto end = text.find(';', start);
        if (end == std::string::npos) end = text.size();
        const std::string element = Trim(text.substr(start, end - start));
        start = end + 1;
        // Empty elements (";;", a leading ";", blanks) stand for nothing and are passed over.
        if (element.empty()) continue;
        if (element.find_first_of("&*.?") != std::string::npos)
            return TCheckFailure{"At least one of the specified source extensions is invalid !",
                                 TSettingsControl::EditSourceExts};
        sourceExtensions_.push_back(element);
    }
    if (sourceExtensions_.empty()) return none;
    return std::nullopt;
}

std::optional<TCheckFailure> TSettings::CheckTargetExtension() {
    targetExtension_.clear();
    const std::string& text = Texts[EditTargetExt];
    if (text.empty())
        return TCheckFailure{"You must specify a target extension !",
                             TSettingsControl::EditTargetExt};
    // A "/" would put the target into another directory.
    if (text.find_first_of("*.?/") != std::string::npos)
        return TCheckFailure{"The specified target extension is invalid !",
                             TSettingsControl::EditTargetExt};
    targetExtension_ = text;
    return std::nullopt;
}

std::optional<TCheckFailure> TSettings::CheckOkValues() const {
    std::optional<TCheckFailure> pending;
    auto fail = [&](const char* message, TSettingsControl control) {
        pending = TCheckFailure{message, control};
    };
    if (Option(RadioMove)) {
        const std::string& dir = Texts[EditMoveDir];
        if (dir.empty())
            fail("Please enter a directory path !", TSettingsControl::EditMoveDir);
        else if (!fileops::IsDirectory(dir))
            fail("Directory is invalid !", TSettingsControl::EditMoveDir);
    }
    if (Option(CheckBoxNoise) && Option(RadioWAVFile)) {
        const std::string& file = Texts[EditWAVFile];
        if (file.empty())
            fail("Please enter a file name !", TSettingsControl::EditWAVFile);
        else if (!fileops::Exists(file) || fileops::IsDirectory(file))
            fail("File name is invalid !", TSettingsControl::EditWAVFile);
    }
    if (Option(CheckBoxTryAgain)) {
        if (Texts[EditSec].empty())
            fail("Please enter a value !", TSettingsControl::EditSec);
        else if (!ParseInteger(Texts[EditSec]))
            fail("Value is not valid !", TSettingsControl::EditSec);
    }
    {
        const std::string& text = Texts[EditBufferSize];
        const auto value = ParseInteger(text);
        if (text.empty())
            fail("Please enter a value !", TSettingsControl::EditBufferSize);
        else if (!value)
            fail("Value is not valid !", TSettingsControl::EditBufferSize);
        else if (*value < 4 || *value > 1024)
            fail("Value must be between 4 and 1024 !", TSettingsControl::EditBufferSize);
    }
    {
        const std::string& text = Texts[EditSpaceLeft];
        const auto value = ParseInteger(text);
        if (text.empty())
            fail("Please enter a value !", TSettingsControl::EditSpaceLeft);
        else if (!value || *value < 0 || *value > 1024)
            fail("Value is not valid !", TSettingsControl::EditSpaceLeft);
    }
    return pending;
}

std::optional<TCheckFailure> TSettings::ValidateForOk() {
    if (auto failure = CheckSourceExtensions()) return failure;
    if (auto failure = CheckTargetExtension()) return failure;
    return CheckOkValues();
}

std::optional<TCheckFailure> TSettings::CheckTargetFormat() const {
    if (TargetFormatValid()) return std::nullopt;
    return TCheckFailure{"Please select a valid target format !", TSettingsControl::ButtonSelectTF};
}

std::string SourceExtensionsSummary(TSettings& Settings) {
    if (Settings.CheckSourceExtensions()) return "(?)";
    std::string text;
    for (const std::string& ext : Settings.SourceExtensions())
        text += (text.empty() ? "*." : ";*.") + ext;
    return text.empty() ? "(?)" : text;
}

std::string TargetExtensionSummary(TSettings& Settings) {
    if (Settings.CheckTargetExtension()) return "(?)";
    return "*." + Settings.TargetExtension();
}

// SPDX-License-Identifier: GPL-3.0-or-later
// Feeds arbitrary text to the INI store as a settings file, and the settings model reads
// everything it would read at start-up from it. Any crash, sanitizer report or exception is
// a fault; so is a file that reads differently after being written out again.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "inistore.h"
#include "settings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    TIniStore ini("/nonexistent/sonbar-fuzz/Sonbar.ini");
    ini.Parse(text);

    // What is written back reads the same: every key keeps its value.
    TIniStore again("/nonexistent/sonbar-fuzz/Sonbar.ini");
    again.Parse(ini.Text());
    if (again.Text() != ini.Text()) std::abort();
    for (const char* key :
         {"SourceDirs", "TargetDirs", "SourceExts", "TargetExts", "MoveDir", "WAVFile",
          "WaitSeconds", "CopyBufferSize", "MinSpaceLeft", "SavedDataFields", "Priority"}) {
        if (ini.ReadString("Options", key, "\x01") != again.ReadString("Options", key, "\x01"))
            std::abort();
        if (ini.ReadInteger("Options", key, 7) != again.ReadInteger("Options", key, 7))
            std::abort();
    }

    TSettings settings;
    settings.LoadSettings(ini, "/nonexistent/sonbar-fuzz/Sonbar.tf");
    settings.LoadMainSettings(ini, false);
    // The accessors stay within the dialog's ranges whatever the file holds.
    const int32_t buffer = settings.CopyBufferBytes();
    const int64_t space = settings.MinSpaceLeftBytes();
    const int32_t wait = settings.WaitSecondsValue();
    // (1 KB is the stated fallback for a copy buffer that is not a number.)
    if (buffer < 1 << 10 || buffer > 1024 << 10 || space < 0 || space > int64_t{1024} << 20 ||
        wait < 0)
        std::abort();
    if (settings.PackOptions().size() != 6) std::abort();
    const bool noMoveDir = settings.Texts[EditMoveDir].empty();
    if (noMoveDir && !settings.MoveDirectory().empty()) std::abort();
    settings.ValidateForOk();
    SourceExtensionsSummary(settings);
    for (const std::string& ext : settings.SourceExtensions())
        if (ext.empty() || ext.find_first_of("&*.?;") != std::string::npos) std::abort();
    return 0;
}

// SPDX-License-Identifier: GPL-3.0-or-later
// The commands of sonbar-cli. Each command lives in a file of its own and is listed once in
// the table of commands.cpp.
#pragma once

#include <cstdint>
#include <span>
#include <string>

enum ExitCode : int { kExitSuccess = 0, kExitFailure = 1, kExitUsage = 2 };

struct Command {
    const char* name;
    const char* arguments;  // as shown in the usage text
    const char* summary;
    // Argument counts accepted after the command name (maxArgs < 0: no upper bound).
    int minArgs;
    int maxArgs;
    int (*run)(std::span<const std::string> args);
};

std::span<const Command> Commands();

// Prints "sonbar-cli: SUBJECT: MESSAGE" on stderr.
void ReportError(const std::string& subject, const std::string& message);

int RunInfo(std::span<const std::string> args);
int RunCopy(std::span<const std::string> args);
int RunConvert(std::span<const std::string> args);
int RunFormats(std::span<const std::string> args);
int RunSettings(std::span<const std::string> args);
int RunBatch(std::span<const std::string> args);

class TIniStore;
// "Options" "Jobs" of Sonbar.ini: the batch's jobs at once, 0 for one per processor.
int32_t JobsSetting(const TIniStore& Ini);

// Prints "sonbar-cli: usage: MESSAGE" and Usage on stderr; returns the usage exit code.
int UsageError(const std::string& command, const std::string& message, const char* usage);

// SPDX-License-Identifier: GPL-3.0-or-later
// The commands of sonbar-cli. Each command lives in a file of its own and is listed once in
// the table of commands.cpp.
#pragma once

#include <getopt.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

enum ExitCode : int { kExitSuccess = 0, kExitFailure = 1, kExitUsage = 2 };

struct Command {
    const char* name;
    const char* arguments;  // as shown in the usage text
    const char* summary;
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
// "Options" "Threads": threads encoding one file at once, 0 for the processors left free.
int32_t ThreadsSetting(const TIniStore& Ini);

// Prints "sonbar-cli: usage: MESSAGE" and Usage on stderr; returns the usage exit code.
int UsageError(const std::string& command, const std::string& message, const char* usage);

// The help and usage texts of one command, and its options for getopt_long.
struct TOptions {
    const char* usage;          // "usage: sonbar-cli ..." lines
    const char* help;           // the rest of --help
    const char* shortOptions;   // without "h", which every command takes
    const option* longOptions;  // ends with {}; "help" is added
};

// Runs getopt_long over a command's arguments: each option goes to OnOption with its code
// and argument (nullptr without one), and a non-empty answer is a usage error; the other
// arguments ("-" among them, and everything after "--") land in Operands. Returns the exit
// code when the command is done (--help shown, usage error reported), else nothing.
std::optional<int> ParseOptions(std::span<const std::string> Args, const TOptions& Options,
                                const std::function<std::string(int, const char*)>& OnOption,
                                std::vector<std::string>& Operands);

// "Sonbar VERSION"
const char* VersionText();

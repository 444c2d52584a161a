// SPDX-License-Identifier: GPL-3.0-or-later
// sonbar-cli: a thin front end over Sonbar's libraries, for scripts and tests.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "commands.h"

namespace {

void PrintUsage(std::FILE* out) {
    std::fprintf(out, "usage: sonbar-cli COMMAND [ARGUMENTS]\n\ncommands:\n");
    for (const Command& command : Commands()) {
        std::string call = std::string(command.name) + " " + command.arguments;
        if (call.size() > 22)
            std::fprintf(out, "  %s\n  %-22s %s\n", call.c_str(), "", command.summary);
        else
            std::fprintf(out, "  %-22s %s\n", call.c_str(), command.summary);
    }
    std::fprintf(out, "  %-22s %s\n", "-h, --help",
                 "show this text (COMMAND --help: the command's)");
    std::fprintf(out, "  %-22s %s\n", "--version", "show the version");
    std::fprintf(out,
                 "\nexit status: 0 success, 1 failure, 2 usage error; errors go to stderr as\n"
                 "'sonbar-cli: FILE: MESSAGE'.\n");
}

int UsageError(const std::string& message) {
    ReportError("usage", message);
    PrintUsage(stderr);
    return kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return UsageError("no command given");
    const std::string name = argv[1];
    if (name == "--help" || name == "-h" || name == "help") {
        PrintUsage(stdout);
        return kExitSuccess;
    }
    if (name == "--version") {
        std::printf("sonbar-cli (%s)\n", VersionText());
        return kExitSuccess;
    }
    if (name.size() > 1 && name[0] == '-') return UsageError("unknown option '" + name + "'");
    const std::vector<std::string> args(argv + 2, argv + argc);
    for (const Command& command : Commands()) {
        if (name != command.name) continue;
        try {
            return command.run(args);
        } catch (const std::exception& error) {
            ReportError(command.name, std::string("unexpected error: ") + error.what());
            return kExitFailure;
        }
    }
    return UsageError("unknown command '" + name + "'");
}

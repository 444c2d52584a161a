// SPDX-License-Identifier: GPL-3.0-or-later
#include "commands.h"

#include <cstdio>

std::span<const Command> Commands() {
    static const Command table[] = {
        {"info", "FILE...", "one line per WAVE file: its format, sample count and data size", 1, -1,
         RunInfo},
        {"copy", "IN OUT", "rewrite a WAVE file through Sonbar's reader and writer", 2, 2, RunCopy},
        {"convert", "--tag TAG [OPT...] IN OUT", "recode a WAVE file (convert --help)", 1, -1,
         RunConvert},
        {"formats", "[TAG]", "every format the codecs offer: TAG, tag name, description", 0, 1,
         RunFormats},
        {"settings", "[--settings DIR] [NAME=VALUE...]",
         "show or change the settings (settings --help)", 0, -1, RunSettings},
        {"batch", "[--settings DIR] [--watch] ...", "recode every source file (batch --help)", 0,
         -1, RunBatch},
    };
    return table;
}

void ReportError(const std::string& subject, const std::string& message) {
    std::fprintf(stderr, "sonbar-cli: %s: %s\n", subject.c_str(), message.c_str());
}

int UsageError(const std::string& /*command*/, const std::string& message, const char* usage) {
    ReportError("usage", message);
    std::fputs(usage, stderr);
    return kExitUsage;
}

// SPDX-License-Identifier: GPL-3.0-or-later
#include "commands.h"

#include <cstdio>

#include "sonbar_version.h"

std::span<const Command> Commands() {
    static const Command table[] = {
        {"info", "FILE...", "one line per WAVE file: its format, sample count and data size",
         RunInfo},
        {"copy", "IN OUT", "rewrite a WAVE file through Sonbar's reader and writer", RunCopy},
        {"convert", "--tag TAG [OPT...] IN OUT", "recode a WAVE file (convert --help)", RunConvert},
        {"formats", "[TAG]", "every format the codecs offer: TAG, tag name, description",
         RunFormats},
        {"settings", "[--settings DIR] [NAME=VALUE...]",
         "show or change the settings (settings --help)", RunSettings},
        {"batch", "[--settings DIR] [--watch] ...", "recode every source file (batch --help)",
         RunBatch},
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

const char* VersionText() {
    return "Sonbar " SONBAR_VERSION;
}

std::optional<int> ParseOptions(std::span<const std::string> Args, const TOptions& Options,
                                const std::function<std::string(int, const char*)>& OnOption,
                                std::vector<std::string>& Operands) {
    std::vector<option> longOptions;
    for (const option* o = Options.longOptions; o && o->name; ++o) longOptions.push_back(*o);
    longOptions.push_back({"help", no_argument, nullptr, 'h'});
    longOptions.push_back({});
    // ':' first: a missing argument is told apart from an unknown option, and getopt itself
    // prints nothing.
    const std::string shortOptions = std::string(":") + Options.shortOptions + "h";

    std::vector<std::string> words{"sonbar-cli"};
    words.insert(words.end(), Args.begin(), Args.end());
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    const int argc = static_cast<int>(words.size());

    optind = 0;  // glibc: start afresh
    opterr = 0;
    for (;;) {
        const int code =
            ::getopt_long(argc, argv.data(), shortOptions.c_str(), longOptions.data(), nullptr);
        if (code == -1) break;
        // The word getopt just looked at, for messages ("--tag", "-x", "--rate=abc").
        const std::string word = argv[static_cast<std::size_t>(optind - 1)];
        std::string message;
        if (code == 'h') {
            std::fputs(Options.usage, stdout);
            std::fputs(Options.help, stdout);
            return kExitSuccess;
        } else if (code == ':') {
            message = word + " needs a value";
        } else if (code == '?' && optopt && word.rfind("--", 0) == 0) {
            message = std::string("'").append(word, 0, word.find('=')).append("' takes no value");
        } else if (code == '?') {
            message = optopt ? std::string("unknown option '-") + static_cast<char>(optopt) + "'"
                             : "unknown option '" + word.substr(0, word.find('=')) + "'";
        } else {
            message = OnOption(code, optarg);
        }
        if (!message.empty()) return UsageError("", message, Options.usage);
    }
    for (int i = optind; i < argc; ++i) Operands.emplace_back(argv[static_cast<std::size_t>(i)]);
    return std::nullopt;
}

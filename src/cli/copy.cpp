// SPDX-License-Identifier: GPL-3.0-or-later
// sonbar-cli copy IN OUT: rewrites a WAVE file through the WAVE reader and writer.
#include <sys/stat.h>

#include <cstring>
#include <string>

#include "commands.h"
#include "fileops.h"
#include "open_error.h"
#include "recoding.h"
#include "stdio_files.h"

int RunCopy(std::span<const std::string> args) {
    static const TOptions options{
        "usage: sonbar-cli copy IN OUT\n",
        "\nRewrites the WAVE file IN as OUT through Sonbar's reader and writer, in its own\n"
        "format. IN or OUT may be - for stdin or stdout.\n",
        "", nullptr};
    std::vector<std::string> files;
    if (auto done = ParseOptions(
            args, options, [](int, const char*) { return std::string(); }, files))
        return *done;
    if (files.size() != 2) return UsageError("copy", "copy takes IN OUT", options.usage);
    std::string inName = files[0], outName = files[1];
    TStdioFiles stdio;
    if (!stdio.Prepare(inName, outName) || !CheckInputAndOutput(inName, outName))
        return kExitFailure;
    // No output format: the file is written in its own format.
    TRecodingThread job(inName, outName, 32 * 1024, nullptr, true);
    job.ReplaceTarget = true;
    job.UsePartFile = OutputTakesPartFile(outName) && files[1] != "-";
    job.Execute();
    if (job.Succeeded()) return stdio.Finish() ? kExitSuccess : kExitFailure;

    const std::string& in = stdio.InName(inName);
    const std::string& out = stdio.OutName(outName);
    const int error = job.ErrorNumber();
    const std::string reason = error ? std::string(": ") + std::strerror(error) : "";
    switch (job.FailedStep()) {
        case TRecodeStep::OpenSource:
            ReportError(in, "not a WAVE file that can be read" + reason);
            break;
        case TRecodeStep::OpenTarget:
            ReportError(out, error ? "cannot create" + reason : "writing the header failed");
            break;
        case TRecodeStep::Read:
            ReportError(in, "reading the input failed" + reason);
            break;
        default:
            ReportError(out, std::string(job.FailedStep() == TRecodeStep::Write
                                             ? "writing the output failed"
                                             : "completing the output failed") +
                                 reason);
            break;
    }
    return kExitFailure;
}

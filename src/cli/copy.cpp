// SPDX-License-Identifier: GPL-3.0-or-later
// sonbar-cli copy IN OUT: rewrites a WAVE file through the WAVE reader and writer.
#include <sys/stat.h>

#include <cstring>
#include <string>

#include "commands.h"
#include "fileops.h"
#include "open_error.h"
#include "recoding.h"

int RunCopy(std::span<const std::string> args) {
    const std::string& inName = args[0];
    const std::string& outName = args[1];
    if (!CheckInputAndOutput(inName, outName)) return kExitFailure;
    // No output format: the file is written in its own format.
    TRecodingThread job(inName, outName, 32 * 1024, nullptr, true);
    job.ReplaceTarget = true;
    job.UsePartFile = OutputTakesPartFile(outName);
    job.Execute();
    if (job.Succeeded()) return kExitSuccess;

    const int error = job.ErrorNumber();
    switch (job.FailedStep()) {
        case TRecodeStep::OpenSource:
            ReportError(inName, "not a WAVE file that can be read");
            break;
        case TRecodeStep::OpenTarget:
            ReportError(outName, error ? "cannot create: " + std::string(std::strerror(error))
                                       : "writing the header failed");
            break;
        case TRecodeStep::Read:
            ReportError(outName, "reading the input failed");
            break;
        default:
            ReportError(outName, std::string(job.FailedStep() == TRecodeStep::Write
                                                 ? "writing the output failed"
                                                 : "completing the output failed") +
                                     (error ? std::string(": ") + std::strerror(error) : ""));
            break;
    }
    return kExitFailure;
}

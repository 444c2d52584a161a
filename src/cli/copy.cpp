// sonbar-cli copy IN OUT: rewrites a WAVE file through the WAVE reader and writer.
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "UKoWaveStream.h"
#include "commands.h"
#include "open_error.h"

namespace {

constexpr int32_t kBlockBytes = 32 * 1024;

bool SameFile(const std::string& a, const std::string& b) {
    struct stat sa {
    }, sb{};
    return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

// Copies the audio block by block; names the failed step in `failure`.
bool CopyData(TKoStream& in, TKoStream& out, std::string& failure) {
    std::vector<uint8_t> block(kBlockBytes);
    const TKoArea area = MakeArea(block.data(), kBlockBytes);
    for (;;) {
        const int32_t n = in.Read(area);
        if (n < 0) {
            failure = "reading the input failed";
            return false;
        }
        if (n == 0) return true;
        if (out.Write(MakeArea(block.data(), n)) != n) {
            failure = "writing the output failed";
            return false;
        }
    }
}

}  // namespace

int RunCopy(std::span<const std::string> args) {
    const std::string& inName = args[0];
    const std::string& outName = args[1];
    if (std::string reason = UnreadableReason(inName); !reason.empty()) {
        ReportError(inName, reason);
        return kExitFailure;
    }
    if (SameFile(inName, outName)) {
        ReportError(outName, "is the input file itself");
        return kExitFailure;
    }

    std::unique_ptr<TKoMMIOWaveStream> in;
    try {
        in = TKoMMIOWaveStream::OpenReadFile(inName);
    } catch (const std::exception&) {
    }
    if (!in) {
        ReportError(inName, "not a WAVE file that can be read");
        return kExitFailure;
    }

    // A failed copy leaves no half-written file behind, but only regular files are removed:
    // never a device or pipe named as the output.
    std::error_code status;
    const auto outType = std::filesystem::status(outName, status).type();
    const bool removable = outType == std::filesystem::file_type::not_found ||
                           outType == std::filesystem::file_type::regular;
    std::string failure;
    bool opened = false;  // from here on OUT is ours: truncated, so removed on failure
    try {
        auto file = TKoMMIOStream::OpenFile(outName, momCreate);
        opened = file != nullptr;
        auto out =
            file ? TKoMMIOWaveStream::CreateWrite(std::move(file), *in->GetFormat()) : nullptr;
        if (!opened) {
            failure = "cannot create: " + std::string(std::strerror(errno));
        } else if (!out) {
            failure = "writing the header failed";
        } else if (CopyData(*in, *out, failure)) {
            // Only a completed file counts: Close patches the sizes and writes out the rest.
            if (!out->Close()) failure = "completing the output failed";
        }
    } catch (const std::exception&) {
        if (failure.empty()) failure = "copying failed";
    }
    if (failure.empty()) return kExitSuccess;

    ReportError(outName, failure);
    std::error_code ignored;
    if (opened && removable) std::filesystem::remove(outName, ignored);
    return kExitFailure;
}

// SPDX-License-Identifier: GPL-3.0-or-later
// sonbar-cli formats [TAG]: every format the codec manager offers, one per line.
#include <strings.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <string>

#include "UKoACM.h"
#include "UKoException.h"
#include "acm.h"
#include "commands.h"
#include "format_lookup.h"

namespace {

// Tag -> name of every tag the codec manager enumerates.
std::map<uint32_t, std::string> Tags() {
    std::map<uint32_t, std::string> tags;
    ACMFORMATTAGDETAILS details{};
    details.cbStruct = sizeof details;
    acmFormatTagEnum(
        nullptr, &details,
        [&](HACMDRIVERID, const ACMFORMATTAGDETAILS& d, uint32_t) {
            tags.emplace(d.dwFormatTag,
                         std::string(d.szFormatTag, strnlen(d.szFormatTag, sizeof d.szFormatTag)));
            return true;
        },
        0);
    return tags;
}

}  // namespace

int RunFormats(std::span<const std::string> arguments) {
    static const TOptions options{
        "usage: sonbar-cli formats [TAG]\n",
        "\nPrints every format the codecs offer, or those of the tag TAG (a number, a tag name\n"
        "in any letter case, or mp3, ima, msadpcm, alaw, ulaw, gsm, pcm, float), one per line:\n"
        "TAG, tag name and description, separated by tabs.\n",
        "", nullptr};
    std::vector<std::string> args;
    if (auto done = ParseOptions(
            arguments, options, [](int, const char*) { return std::string(); }, args))
        return *done;
    if (args.size() > 1) return UsageError("formats", "formats takes [TAG]", options.usage);
    const std::map<uint32_t, std::string> tags = Tags();
    uint32_t only = 0;
    if (!args.empty()) {
        const auto tag = FindTag(args[0]);
        if (!tag || !tags.count(tag->dwFormatTag)) {
            ReportError("usage", "unknown format tag '" + args[0] + "' (formats takes [TAG])");
            return kExitUsage;
        }
        only = tag->dwFormatTag;
    }

    int32_t maxSize = 0;
    try {
        maxSize = HKoACM::MaxFormatSize();
    } catch (const EKoError&) {
        ReportError("formats", "the codec manager does not answer");
        return kExitFailure;
    }
    std::string buffer(std::max<size_t>(static_cast<size_t>(maxSize), sizeof(WAVEFORMATEX)), '\0');
    ACMFORMATDETAILS details{};
    details.cbStruct = sizeof details;
    details.dwFormatTag = only;
    details.pwfx = reinterpret_cast<WAVEFORMATEX*>(buffer.data());
    details.pwfx->wFormatTag = static_cast<uint16_t>(only);
    details.cbwfx = static_cast<uint32_t>(buffer.size());
    const MMRESULT result = acmFormatEnum(
        nullptr, &details,
        [&](HACMDRIVERID, const ACMFORMATDETAILS& d, uint32_t) {
            const uint32_t tag = d.pwfx->wFormatTag;
            const auto name = tags.find(tag);
            std::printf("%u\t%s\t%.*s\n", tag, name == tags.end() ? "" : name->second.c_str(),
                        static_cast<int>(strnlen(d.szFormat, sizeof d.szFormat)), d.szFormat);
            return true;
        },
        only != 0 ? ACM_FORMATENUMF_WFORMATTAG : 0);
    std::fflush(stdout);
    if (result != MMSYSERR_NOERROR) {
        ReportError("formats", "enumeration failed (result " + std::to_string(result) + ")");
        return kExitFailure;
    }
    return kExitSuccess;
}

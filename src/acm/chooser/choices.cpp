// SPDX-License-Identifier: GPL-3.0-or-later
#include "choices.h"

#include <algorithm>
#include <cstring>

#include "driver.h"

namespace acm::chooser {

namespace {

constexpr uint32_t kFieldFlags = ACM_FORMATENUMF_WFORMATTAG | ACM_FORMATENUMF_NCHANNELS |
                                 ACM_FORMATENUMF_NSAMPLESPERSEC | ACM_FORMATENUMF_WBITSPERSAMPLE;
constexpr uint32_t kSourceFlags = ACM_FORMATENUMF_CONVERT | ACM_FORMATENUMF_SUGGEST;

}  // namespace

MMRESULT collectChoices(uint32_t fdwEnum, const WAVEFORMATEX* pwfxEnum,
                        std::vector<TagChoices>* out) {
    out->clear();
    ACMFORMATTAGDETAILS tagDetails{};
    tagDetails.cbStruct = sizeof tagDetails;
    MMRESULT r = acmFormatTagEnum(
        nullptr, &tagDetails,
        [&](HACMDRIVERID, const ACMFORMATTAGDETAILS& d, uint32_t) {
            const auto tag = static_cast<uint16_t>(d.dwFormatTag);
            // Two drivers may share a tag; the first one names it.
            if (std::none_of(out->begin(), out->end(), [&](auto& t) { return t.tag == tag; }))
                out->push_back(
                    {tag,
                     std::string(d.szFormatTag, strnlen(d.szFormatTag, sizeof d.szFormatTag)),
                     {}});
            return true;
        },
        0);
    if (r != MMSYSERR_NOERROR) return r;

    uint32_t maxSize = 0;
    if ((r = acmMetrics(nullptr, ACM_METRIC_MAX_SIZE_FORMAT, &maxSize)) != MMSYSERR_NOERROR)
        return r;
    std::vector<uint8_t> buffer(std::max<uint32_t>(maxSize, sizeof(WAVEFORMATEX)), 0);
    uint32_t formatTag = 0;
    if (fdwEnum & (kFieldFlags | kSourceFlags)) {
        if (!pwfxEnum) return MMSYSERR_INVALPARAM;
        // A source format is used whole; a template only for its fixed fields.
        const uint32_t size =
            (fdwEnum & kSourceFlags) ? recordSize(pwfxEnum) : uint32_t{sizeof(WAVEFORMATEX)};
        if (size > buffer.size()) return MMSYSERR_INVALPARAM;
        std::memcpy(buffer.data(), pwfxEnum, size);
        if (fdwEnum & ACM_FORMATENUMF_WFORMATTAG) formatTag = pwfxEnum->wFormatTag;
    }

    ACMFORMATDETAILS details{};
    details.cbStruct = sizeof details;
    details.dwFormatTag = formatTag;
    details.pwfx = reinterpret_cast<WAVEFORMATEX*>(buffer.data());
    details.cbwfx = static_cast<uint32_t>(buffer.size());
    r = acmFormatEnum(
        nullptr, &details,
        [&](HACMDRIVERID, const ACMFORMATDETAILS& d, uint32_t) {
            auto tag = std::find_if(out->begin(), out->end(),
                                    [&](auto& t) { return t.tag == d.pwfx->wFormatTag; });
            if (tag == out->end()) return true;
            const auto* bytes = reinterpret_cast<const uint8_t*>(d.pwfx);
            tag->formats.push_back(
                {{bytes, bytes + recordSize(d.pwfx)},
                 std::string(d.szFormat, strnlen(d.szFormat, sizeof d.szFormat))});
            return true;
        },
        fdwEnum);
    if (r != MMSYSERR_NOERROR) return r;
    std::erase_if(*out, [](const TagChoices& t) { return t.formats.empty(); });
    return MMSYSERR_NOERROR;
}

Position initialPosition(const std::vector<TagChoices>& choices, const WAVEFORMATEX* initial) {
    if (!initial) return {};
    const uint32_t size = recordSize(initial);
    for (std::size_t t = 0; t < choices.size(); ++t) {
        if (choices[t].tag != initial->wFormatTag) continue;
        const auto& formats = choices[t].formats;
        for (std::size_t f = 0; f < formats.size(); ++f)
            if (formats[f].record.size() == size &&
                std::memcmp(formats[f].record.data(), initial, size) == 0)
                return {t, f};
        // A record written by another tool may differ in its extra bytes only.
        for (std::size_t f = 0; f < formats.size(); ++f) {
            const WAVEFORMATEX& w = *formats[f].wfx();
            if (w.nChannels == initial->nChannels && w.nSamplesPerSec == initial->nSamplesPerSec &&
                w.wBitsPerSample == initial->wBitsPerSample &&
                w.nAvgBytesPerSec == initial->nAvgBytesPerSec)
                return {t, f};
        }
        return {t, 0};
    }
    return {};
}

}  // namespace acm::chooser

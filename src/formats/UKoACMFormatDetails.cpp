// SPDX-License-Identifier: GPL-3.0-or-later
// Names and descriptions of formats and format tags, as the codec manager reports them.
#include <cstring>
#include <vector>

#include "UKoACMFormat.h"
#include "acm.h"
#include "driver.h"

TKoACMSupportSet SupportFromFlags(uint32_t fdwSupport) {
    struct Pair {
        uint32_t flag;
        TKoACMSupport support;
    };
    static constexpr Pair kPairs[] = {
        {ACMDRIVERDETAILS_SUPPORTF_ASYNC, asAsync},
        {ACMDRIVERDETAILS_SUPPORTF_CODEC, asCodec},
        {ACMDRIVERDETAILS_SUPPORTF_CONVERTER, asConverter},
        {ACMDRIVERDETAILS_SUPPORTF_FILTER, asFilter},
        {ACMDRIVERDETAILS_SUPPORTF_HARDWARE, asHardware},
    };
    TKoACMSupportSet set = 0;
    for (const Pair& p : kPairs)
        if (fdwSupport & p.flag) set |= KoSupportBit(p.support);
    return set;
}

std::unique_ptr<TKoACMFormatDetails> TKoACMFormatDetails::FromFormat(const TKoWaveFormat& Format) {
    const int32_t size = Format.RecordSize();  // requires a complete format
    // The query takes a writable record; it gets a copy so the caller's stays untouched.
    std::vector<uint8_t> record(static_cast<std::size_t>(size));
    std::memcpy(record.data(), Format.Data(), record.size());

    ACMFORMATDETAILS details{};
    details.cbStruct = sizeof details;
    details.dwFormatTag = Format.FormatTag();
    details.pwfx = reinterpret_cast<WAVEFORMATEX*>(record.data());
    details.cbwfx = static_cast<uint32_t>(size);

    auto result = std::make_unique<TKoACMFormatDetails>();
    if (acmFormatDetails(nullptr, &details, ACM_FORMATDETAILSF_FORMAT) == MMSYSERR_NOERROR) {
        result->FormatTag = static_cast<int32_t>(details.dwFormatTag);
        result->Support = SupportFromFlags(details.fdwSupport);
        result->Name = acm::fieldText(details.szFormat, sizeof details.szFormat);
    }
    return result;
}

std::unique_ptr<TKoACMFormatTagDetails> TKoACMFormatTagDetails::FromTag(uint32_t Tag) {
    ACMFORMATTAGDETAILS details{};
    details.cbStruct = sizeof details;
    details.dwFormatTag = Tag;

    auto result = std::make_unique<TKoACMFormatTagDetails>();
    if (acmFormatTagDetails(nullptr, &details, ACM_FORMATTAGDETAILSF_FORMATTAG) ==
        MMSYSERR_NOERROR) {
        result->FormatTag = static_cast<int32_t>(details.dwFormatTag);
        result->Support = SupportFromFlags(details.fdwSupport);
        result->Name = acm::fieldText(details.szFormatTag, sizeof details.szFormatTag);
        result->FormatSize = static_cast<int32_t>(details.cbFormatSize);
    }
    return result;
}

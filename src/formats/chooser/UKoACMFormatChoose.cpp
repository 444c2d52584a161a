// SPDX-License-Identifier: GPL-3.0-or-later
#include "UKoACMFormatChoose.h"

#include "UKoException.h"
#include "acmchoose.h"
#include "driver.h"

TKoACMFormatChoose::TKoACMFormatChoose()
    : initialFormat_(TKoWaveFormat::CreateDefault()), enumFormat_(TKoWaveFormat::CreateDefault()) {}

TKoACMFormatChoose::~TKoACMFormatChoose() {
    enumFormat_.reset();
    initialFormat_.reset();
}

namespace {

uint32_t EnumFlagsOf(TKoACMChooseFlags Flags) {
    struct Pair {
        TKoACMChooseFlag flag;
        uint32_t acm;
    };
    static constexpr Pair kPairs[] = {
        {cfConvert, ACM_FORMATENUMF_CONVERT},   {cfSuggest, ACM_FORMATENUMF_SUGGEST},
        {cfHardware, ACM_FORMATENUMF_HARDWARE}, {cfInput, ACM_FORMATENUMF_INPUT},
        {cfOutput, ACM_FORMATENUMF_OUTPUT},
    };
    uint32_t result = 0;
    for (const Pair& p : kPairs)
        if (Flags & KoChooseBit(p.flag)) result |= p.acm;
    return result;
}

}  // namespace

std::unique_ptr<TKoWaveFormat> TKoACMFormatChoose::Execute() {
    ACMFORMATCHOOSE choose{};
    choose.cbStruct = sizeof choose;

    std::unique_ptr<TKoWaveFormat> result;
    if (initialFormat_->IsSpecified()) {
        result = TKoWaveFormat::CreateDefault();
        result->Assign(initialFormat_.get());
        result->EnsureMaxCapacity();
        result->RequireComplete();
        choose.fdwStyle = ACMFORMATCHOOSE_STYLEF_INITTOWFXSTRUCT;
    } else {
        result = TKoWaveFormat::CreateMaxSize();
    }
    choose.hwndOwner = OwnerWindow;
    choose.pwfx = result->Data();
    choose.cbwfx = static_cast<uint32_t>(result->Capacity());
    choose.pszTitle = Title.empty() ? nullptr : Title.c_str();

    uint32_t enumFlags = EnumFlagsOf(EnumFlags);
    if (EnumFlags & (KoChooseBit(cfConvert) | KoChooseBit(cfSuggest))) {
        if (!enumFormat_->IsSpecified()) throw EKoError();
        enumFormat_->RequireComplete();
        choose.pwfxEnum = enumFormat_->Data();
    } else if (enumFormat_->IsSpecified()) {
        const uint32_t known = enumFormat_->KnownFields();
        if (known & KoWaveFields::FormatTag) enumFlags |= ACM_FORMATENUMF_WFORMATTAG;
        if (known & KoWaveFields::Channels) enumFlags |= ACM_FORMATENUMF_NCHANNELS;
        if (known & KoWaveFields::SamplesPerSec) enumFlags |= ACM_FORMATENUMF_NSAMPLESPERSEC;
        if (known & KoWaveFields::BitsPerSample) enumFlags |= ACM_FORMATENUMF_WBITSPERSAMPLE;
        choose.pwfxEnum = enumFormat_->Data();
    }
    choose.fdwEnum = enumFlags;

    if (acmFormatChoose(&choose) != MMSYSERR_NOERROR) return nullptr;
    formatName_ = acm::fieldText(choose.szFormat, sizeof choose.szFormat);
    formatTagName_ = acm::fieldText(choose.szFormatTag, sizeof choose.szFormatTag);
    result->MarkComplete();
    return result;
}

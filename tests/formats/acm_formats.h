// SPDX-License-Identifier: GPL-3.0-or-later
// Formats for negotiation tests, taken from what the codec manager really enumerates, and a
// short text form that makes expected paths readable in a table.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "UKoWaveFormat.h"
#include "acm.h"

namespace acmtest {

// The enumerated format of Tag at Rate and Channels (and, when given, the bit rate in kbit/s);
// nullptr when the codec manager offers none.
inline std::unique_ptr<TKoWaveFormat> Enumerated(uint16_t Tag, uint32_t Rate, uint16_t Channels,
                                                 uint32_t Kbps = 0) {
    auto buffer = TKoWaveFormat::CreateMaxSize();
    ACMFORMATDETAILS details{};
    details.cbStruct = sizeof details;
    details.dwFormatTag = Tag;
    details.pwfx = buffer->Data();
    details.cbwfx = static_cast<uint32_t>(buffer->Capacity());
    details.pwfx->wFormatTag = Tag;
    std::unique_ptr<TKoWaveFormat> found;
    acmFormatEnum(
        nullptr, &details,
        [&](HACMDRIVERID, const ACMFORMATDETAILS& d, uint32_t) {
            const WAVEFORMATEX& w = *d.pwfx;
            if (w.nSamplesPerSec != Rate || w.nChannels != Channels) return true;
            if (Kbps != 0 && w.nAvgBytesPerSec * 8 != Kbps * 1000) return true;
            found = std::make_unique<TKoWaveFormat>(TKoWaveFormat::RecordSizeOf(w));
            std::memcpy(found->Data(), &w, TKoWaveFormat::RecordSizeOf(w));
            found->MarkComplete();
            return false;
        },
        ACM_FORMATENUMF_WFORMATTAG);
    return found;
}

inline std::unique_ptr<TKoWaveFormat> Pcm(uint32_t Rate, uint16_t Bits, uint16_t Channels) {
    auto f = TKoWaveFormat::CreatePCM(Rate, Bits, Channels);
    f->RequireComplete();
    return f;
}

inline std::unique_ptr<TKoWaveFormat> Codec(uint16_t Tag, uint32_t Rate, uint16_t Channels,
                                            uint32_t Kbps = 0) {
    auto f = Enumerated(Tag, Rate, Channels, Kbps);
    if (!f) ADD_FAILURE() << "no enumerated format " << Tag << " " << Rate << "/" << Channels;
    return f ? std::move(f) : TKoWaveFormat::CreateDefault();
}

// A template knowing only the given fields.
struct Fields {
    std::optional<uint16_t> tag = {};
    std::optional<uint16_t> channels = {};
    std::optional<uint32_t> rate = {};
    std::optional<uint16_t> bits = {};
};

inline std::unique_ptr<TKoWaveFormat> Partial(const Fields& F) {
    auto f = TKoWaveFormat::CreateDefault();
    if (F.tag) f->SetFormatTag(*F.tag);
    if (F.channels) f->SetChannels(*F.channels);
    if (F.rate) f->SetSamplesPerSec(*F.rate);
    if (F.bits) f->SetBitsPerSample(*F.bits);
    return f;
}

// "PCM 44100/16/2", "IMA 22050/4/1", "MP3 44100/2@128"; an incomplete format shows as "?".
inline std::string Text(const TKoWaveFormat& F) {
    if (!F.IsComplete()) return "?";
    const WAVEFORMATEX& w = *F.Data();
    std::string name;
    switch (w.wFormatTag) {
        case WAVE_FORMAT_PCM:
            name = "PCM";
            break;
        case WAVE_FORMAT_IEEE_FLOAT:
            name = "FLOAT";
            break;
        case WAVE_FORMAT_ADPCM:
            name = "MSADPCM";
            break;
        case WAVE_FORMAT_IMA_ADPCM:
            name = "IMA";
            break;
        case WAVE_FORMAT_ALAW:
            name = "ALAW";
            break;
        case WAVE_FORMAT_MULAW:
            name = "ULAW";
            break;
        case WAVE_FORMAT_GSM610:
            name = "GSM";
            break;
        case WAVE_FORMAT_MPEGLAYER3:
            return "MP3 " + std::to_string(w.nSamplesPerSec) + "/" + std::to_string(w.nChannels) +
                   "@" + std::to_string(w.nAvgBytesPerSec * 8 / 1000);
        default:
            name = "tag" + std::to_string(w.wFormatTag);
    }
    return name + " " + std::to_string(w.nSamplesPerSec) + "/" + std::to_string(w.wBitsPerSample) +
           "/" + std::to_string(w.nChannels);
}

inline std::vector<std::string> Texts(const TKoWaveFormatList& L) {
    std::vector<std::string> out;
    for (std::size_t i = 0; i < L.Count(); ++i) out.push_back(Text(*L[i]));
    return out;
}

// The message an EKoError carries, or "(none)" when the call did not raise.
template <class F>
std::string RaisedMessage(F&& Call) {
    try {
        Call();
    } catch (const EKoError& e) {
        return e.what();
    }
    return "(none)";
}

}  // namespace acmtest

// SPDX-License-Identifier: GPL-3.0-or-later
#include "format_lookup.h"

#include <strings.h>

#include <charconv>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "UKoACMFormat.h"
#include "driver.h"

std::optional<uint32_t> ParseNumber(const std::string& Text, uint32_t Max) {
    uint32_t value = 0;
    const char* end = Text.data() + Text.size();
    auto [p, ec] = std::from_chars(Text.data(), end, value);
    if (ec != std::errc() || p != end || value == 0 || value > Max) return std::nullopt;
    return value;
}

std::string Quoted(const std::string& Text) {
    return Text.find_first_of(" \t'\"") == std::string::npos ? Text : "'" + Text + "'";
}

std::optional<ACMFORMATTAGDETAILS> FindTag(const std::string& Text) {
    static const struct {
        const char* name;
        uint32_t tag;
    } kShortNames[] = {{"pcm", 1},  {"msadpcm", 2}, {"float", 3}, {"alaw", 6},
                       {"ulaw", 7}, {"ima", 17},    {"gsm", 49},  {"mp3", 85}};
    std::string text = Text;
    for (const auto& entry : kShortNames)
        if (::strcasecmp(entry.name, Text.c_str()) == 0) text = std::to_string(entry.tag);
    ACMFORMATTAGDETAILS details{};
    details.cbStruct = sizeof details;
    if (auto number = ParseNumber(text, 0xFFFF)) {
        details.dwFormatTag = *number;
        if (acmFormatTagDetails(nullptr, &details, ACM_FORMATTAGDETAILSF_FORMATTAG) ==
            MMSYSERR_NOERROR)
            return details;
        return std::nullopt;
    }
    std::optional<ACMFORMATTAGDETAILS> found;
    acmFormatTagEnum(
        nullptr, &details,
        [&](HACMDRIVERID, const ACMFORMATTAGDETAILS& d, uint32_t) {
            if (::strcasecmp(d.szFormatTag, text.c_str()) != 0) return true;
            found = d;
            return false;
        },
        0);
    return found;
}

namespace {

// Calls Visit with every complete format the codecs enumerate for Tag, until it says false.
template <class F>
void ForEachFormat(uint32_t Tag, F&& Visit) {
    auto buffer = TKoWaveFormat::CreateMaxSize();
    buffer->SetFormatTag(static_cast<uint16_t>(Tag));
    ACMFORMATDETAILS details{};
    details.cbStruct = sizeof details;
    details.dwFormatTag = Tag;
    details.pwfx = buffer->Data();
    details.cbwfx = static_cast<uint32_t>(buffer->Capacity());
    acmFormatEnum(
        nullptr, &details,
        [&](HACMDRIVERID, const ACMFORMATDETAILS& d, uint32_t) {
            auto format = TKoWaveFormat::CreateMaxSize();
            std::memcpy(format->Data(), d.pwfx,
                        static_cast<std::size_t>(TKoWaveFormat::RecordSizeOf(*d.pwfx)));
            format->MarkComplete();
            return Visit(std::move(format), d);
        },
        ACM_FORMATENUMF_WFORMATTAG);
}

uint64_t Distance(uint32_t A, uint32_t B) {
    return A > B ? A - B : B - A;
}

}  // namespace

std::unique_ptr<TKoWaveFormat> FindAttributes(uint32_t Tag, const std::string& Text) {
    std::unique_ptr<TKoWaveFormat> found;
    ForEachFormat(Tag, [&](std::unique_ptr<TKoWaveFormat> format, const ACMFORMATDETAILS& d) {
        if (::strcasecmp(d.szFormat, Text.c_str()) != 0) return true;
        found = std::move(format);
        return false;
    });
    return found;
}

std::unique_ptr<TKoWaveFormat> NearestFormat(const TKoWaveFormat& Template,
                                             const TKoWaveFormat& Source) {
    const uint32_t known = Template.KnownFields();
    std::unique_ptr<TKoWaveFormat> best;
    uint64_t bestScore = std::numeric_limits<uint64_t>::max();
    // A codec's samples come out as 16-bit PCM.
    const uint32_t sourceBits =
        Source.FormatTag() == 1 || Source.FormatTag() == 3 ? Source.BitsPerSample() : 16;
    ForEachFormat(Template.FormatTag(), [&](std::unique_ptr<TKoWaveFormat> f,
                                            const ACMFORMATDETAILS&) {
        if ((known & KoWaveFields::Channels) && f->Channels() != Template.Channels()) return true;
        if ((known & KoWaveFields::SamplesPerSec) && f->SamplesPerSec() != Template.SamplesPerSec())
            return true;
        if ((known & KoWaveFields::BitsPerSample) && f->BitsPerSample() != Template.BitsPerSample())
            return true;
        // Channels weigh most, then the rate, then the sample size.
        const uint64_t score = (f->Channels() != Source.Channels() ? 1ull << 60 : 0) +
                               (Distance(f->SamplesPerSec(), Source.SamplesPerSec()) << 24) +
                               Distance(f->BitsPerSample(), sourceBits);
        if (score < bestScore) {
            bestScore = score;
            best = std::move(f);
        }
        return true;
    });
    if (!best) return nullptr;
    // Among the formats with those fields (MP3's bit rates, say) the codec's own
    // suggestion for 16-bit audio of that rate and channel count decides.
    auto wanted = TKoWaveFormat::CreateDefault();
    wanted->SetFormatTag(static_cast<uint16_t>(best->FormatTag()));
    wanted->SetChannels(static_cast<uint16_t>(best->Channels()));
    wanted->SetSamplesPerSec(best->SamplesPerSec());
    if (known & KoWaveFields::BitsPerSample || best->FormatTag() == 1 || best->FormatTag() == 3)
        wanted->SetBitsPerSample(static_cast<uint16_t>(best->BitsPerSample()));
    const auto pcm =
        TKoWaveFormat::CreatePCM16(best->SamplesPerSec(), static_cast<uint16_t>(best->Channels()));
    try {
        if (auto suggested = HKoACMFormat::SuggestFormat(*pcm, *wanted)) {
            if (suggested->FormatTag() == best->FormatTag() &&
                suggested->Channels() == best->Channels() &&
                suggested->SamplesPerSec() == best->SamplesPerSec())
                return suggested;
        }
    } catch (const std::exception&) {
    }
    return best;
}

std::optional<uint32_t> PreferredRate(uint32_t Tag) {
    // GSM 6.10 is a telephone speech codec: its driver takes higher rates, but 8 kHz is what
    // it is made for and what its players expect (its default format, "8,000 Hz, Mono").
    constexpr uint32_t kGsm610 = 49;
    if (Tag == kGsm610) return 8000;
    return std::nullopt;
}

std::string Describe(const TKoWaveFormat& Format) {
    std::string tagName = "tag " + std::to_string(Format.HasFormatTag() ? Format.FormatTag() : 0);
    if (Format.HasFormatTag()) {
        ACMFORMATTAGDETAILS tag{};
        tag.cbStruct = sizeof tag;
        tag.dwFormatTag = Format.FormatTag();
        if (acmFormatTagDetails(nullptr, &tag, ACM_FORMATTAGDETAILSF_FORMATTAG) == MMSYSERR_NOERROR)
            tagName = tag.szFormatTag;
    }
    if (Format.IsComplete()) {
        auto copy = KoClone(Format);
        copy->EnsureMaxCapacity();
        ACMFORMATDETAILS details{};
        details.cbStruct = sizeof details;
        details.pwfx = copy->Data();
        details.cbwfx = static_cast<uint32_t>(copy->Capacity());
        if (acmFormatDetails(nullptr, &details, ACM_FORMATDETAILSF_FORMAT) == MMSYSERR_NOERROR)
            return tagName + " " + details.szFormat;
        return tagName + " " + acm::thousands(Format.SamplesPerSec()) + " Hz, " +
               std::to_string(Format.BitsPerSample()) + " bit, " +
               std::to_string(Format.Channels()) + " channel(s)";
    }
    const uint32_t known = Format.KnownFields();
    std::string text = tagName;
    if (known & KoWaveFields::SamplesPerSec)
        text += ", " + acm::thousands(Format.SamplesPerSec()) + " Hz";
    if (known & KoWaveFields::BitsPerSample)
        text += ", " + std::to_string(Format.BitsPerSample()) + " bit";
    if (known & KoWaveFields::Channels)
        text += ", " + std::to_string(Format.Channels()) + " channel(s)";
    return text;
}

// SPDX-License-Identifier: GPL-3.0-or-later
// Names and descriptions of formats and tags through the real codec manager.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "UKoACMFormat.h"
#include "acm_formats.h"

namespace {

using namespace acmtest;

TEST(FormatDetails, SupportFromFlags) {
    struct Case {
        const char* name;
        uint32_t flags;
        TKoACMSupportSet expected;
    };
    const std::vector<Case> cases = {
        {"none", 0, 0},
        {"async codec", 0x11, KoSupportBit(asAsync) | KoSupportBit(asCodec)},
        {"converter", ACMDRIVERDETAILS_SUPPORTF_CONVERTER, KoSupportBit(asConverter)},
        {"filter", ACMDRIVERDETAILS_SUPPORTF_FILTER, KoSupportBit(asFilter)},
        {"hardware", ACMDRIVERDETAILS_SUPPORTF_HARDWARE, KoSupportBit(asHardware)},
        {"every property", 0x1F, 0x1F},
        {"unknown bits only", 0xFFFFFFE0u, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(SupportFromFlags(c.flags), c.expected);
    }
    EXPECT_EQ(SupportFromFlags(0x11), 0x03) << "async is bit 0, codec bit 1";
}

// Whatever the manager enumerates, the detail queries describe in the same words.
TEST(FormatDetails, EveryEnumeratedFormatAndTag) {
    struct Seen {
        std::string name;
        uint32_t support = 0, formatSize = 0, largest = 0;
        int formats = 0;
    };
    std::map<uint32_t, Seen> tags;
    ACMFORMATTAGDETAILS tagDetails{};
    tagDetails.cbStruct = sizeof tagDetails;
    ASSERT_EQ(acmFormatTagEnum(
                  nullptr, &tagDetails,
                  [&](HACMDRIVERID, const ACMFORMATTAGDETAILS& d, uint32_t support) {
                      tags[d.dwFormatTag] = {d.szFormatTag, support, d.cbFormatSize, 0, 0};
                      return true;
                  },
                  0),
              MMSYSERR_NOERROR);
    ASSERT_GE(tags.size(), 8u);

    int failures = 0;
    for (auto& [tag, seen] : tags) {
        auto buffer = TKoWaveFormat::CreateMaxSize();
        ACMFORMATDETAILS details{};
        details.cbStruct = sizeof details;
        details.dwFormatTag = tag;
        details.pwfx = buffer->Data();
        details.cbwfx = static_cast<uint32_t>(buffer->Capacity());
        details.pwfx->wFormatTag = static_cast<uint16_t>(tag);
        acmFormatEnum(
            nullptr, &details,
            [&](HACMDRIVERID, const ACMFORMATDETAILS& d, uint32_t support) {
                const int32_t size = TKoWaveFormat::RecordSizeOf(*d.pwfx);
                TKoWaveFormat format(size);
                std::memcpy(format.Data(), d.pwfx, static_cast<std::size_t>(size));
                format.MarkComplete();
                auto got = TKoACMFormatDetails::FromFormat(format);
                const bool same = got->FormatTag == static_cast<int32_t>(tag) &&
                                  got->Name == d.szFormat &&
                                  got->Support == SupportFromFlags(support) && !got->Name.empty();
                if (!same && ++failures < 5)
                    ADD_FAILURE() << Text(format) << ": " << got->FormatTag << " '" << got->Name
                                  << "' vs '" << d.szFormat << "'";
                seen.largest = std::max(seen.largest, static_cast<uint32_t>(size));
                ++seen.formats;
                return true;
            },
            ACM_FORMATENUMF_WFORMATTAG);

        SCOPED_TRACE(seen.name);
        EXPECT_GT(seen.formats, 0);
        auto details2 = TKoACMFormatTagDetails::FromTag(tag);
        EXPECT_EQ(details2->FormatTag, static_cast<int32_t>(tag));
        EXPECT_EQ(details2->Name, seen.name);
        EXPECT_EQ(details2->Support, SupportFromFlags(seen.support));
        EXPECT_EQ(details2->FormatSize, static_cast<int32_t>(seen.formatSize));
        EXPECT_GE(details2->FormatSize, static_cast<int32_t>(seen.largest));
    }
    EXPECT_EQ(failures, 0);
}

TEST(FormatDetails, KnownNamesAndDescriptions) {
    struct Case {
        const char* name;
        std::unique_ptr<TKoWaveFormat> format;
        const char* tagName;
        const char* description;
        TKoACMSupport support;
    };
    // The record other tools write for MP3 in WAVE differs from the enumerated one.
    auto foreignMp3 = Codec(WAVE_FORMAT_MPEGLAYER3, 44100, 2, 128);
    auto* mp3 = reinterpret_cast<MPEGLAYER3WAVEFORMAT*>(foreignMp3->Data());
    mp3->wfx.nBlockAlign = 1152;
    mp3->fdwFlags = MPEGLAYER3_FLAG_PADDING_OFF;

    Case cases[] = {
        {"PCM", Pcm(44100, 16, 2), "PCM", "44,100 Hz, 16 Bit, Stereo", asConverter},
        {"MP3", Codec(WAVE_FORMAT_MPEGLAYER3, 44100, 2, 128), "MPEG Layer-3",
         "128 kBit/s, 44,100Hz, Stereo", asCodec},
        {"foreign MP3 record", std::move(foreignMp3), "MPEG Layer-3",
         "128 kBit/s, 44,100Hz, Stereo", asCodec},
        {"IMA", Codec(WAVE_FORMAT_IMA_ADPCM, 22050, 1), "IMA ADPCM", "22,050 Hz, 4 Bit, Mono",
         asCodec},
        {"GSM", Codec(WAVE_FORMAT_GSM610, 8000, 1), "GSM 6.10", "8,000 Hz, Mono", asCodec},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto format = TKoACMFormatDetails::FromFormat(*c.format);
        auto tag = TKoACMFormatTagDetails::FromTag(static_cast<uint32_t>(format->FormatTag));
        EXPECT_EQ(tag->Name, c.tagName);
        EXPECT_EQ(format->Name, c.description);
        EXPECT_TRUE(format->Support & KoSupportBit(c.support));
    }
}

TEST(FormatDetails, UnknownFormatsAndTags) {
    auto unknown = Pcm(22050, 16, 1);
    unknown->Data()->wFormatTag = 0x1234;
    unknown->MarkComplete();
    // A PCM record no driver offers: 12-bit samples.
    auto odd = Pcm(22050, 12, 1);
    for (const TKoWaveFormat* f : {unknown.get(), odd.get()}) {
        SCOPED_TRACE(Text(*f));
        auto details = TKoACMFormatDetails::FromFormat(*f);
        EXPECT_EQ(details->FormatTag, 0);
        EXPECT_EQ(details->Support, 0);
        EXPECT_EQ(details->Name, "");
    }
    for (uint32_t tag : {0u, 0x1234u, 0x10001u}) {
        SCOPED_TRACE(tag);
        auto details = TKoACMFormatTagDetails::FromTag(tag);
        EXPECT_EQ(details->FormatTag, 0);
        EXPECT_EQ(details->Name, "");
        EXPECT_EQ(details->FormatSize, 0);
        EXPECT_EQ(details->Support, 0);
    }
    EXPECT_THROW(TKoACMFormatDetails::FromFormat(*Partial({.tag = WAVE_FORMAT_MPEGLAYER3})),
                 EKoError);
}

}  // namespace

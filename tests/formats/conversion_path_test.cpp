// SPDX-License-Identifier: GPL-3.0-or-later
// Conversion paths between formats, negotiated with the real codec drivers.
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "UKoACMFormat.h"
#include "acm_formats.h"

namespace {

using namespace acmtest;
using Make = std::function<std::unique_ptr<TKoWaveFormat>()>;
using Path = std::optional<std::vector<std::string>>;

Make P(uint32_t Rate, uint16_t Bits, uint16_t Channels) {
    return [=] { return Pcm(Rate, Bits, Channels); };
}
Make C(uint16_t Tag, uint32_t Rate, uint16_t Channels, uint32_t Kbps = 0) {
    return [=] { return Codec(Tag, Rate, Channels, Kbps); };
}
Make T(Fields F) {
    return [=] { return Partial(F); };
}
Make Float(uint32_t Rate, uint16_t Channels) {
    return [=] {
        auto f = Pcm(Rate, 32, Channels);
        f->Data()->wFormatTag = WAVE_FORMAT_IEEE_FLOAT;
        f->MarkComplete();
        return f;
    };
}
// A complete record of a tag no codec knows.
Make Unknown() {
    return [] {
        auto f = Pcm(22050, 16, 1);
        f->Data()->wFormatTag = 0x1234;
        f->MarkComplete();
        return f;
    };
}

constexpr uint16_t kMp3 = WAVE_FORMAT_MPEGLAYER3, kIma = WAVE_FORMAT_IMA_ADPCM,
                   kMs = WAVE_FORMAT_ADPCM, kAlaw = WAVE_FORMAT_ALAW, kUlaw = WAVE_FORMAT_MULAW,
                   kGsm = WAVE_FORMAT_GSM610;

struct Case {
    const char* name;
    Make source, target;
    Path expected;  // nullopt: no path
};

void Check(const Case& c) {
    SCOPED_TRACE(c.name);
    auto source = c.source();
    auto target = c.target();
    const std::string sourceBefore = Text(*source);
    const uint32_t targetKnown = target->KnownFields();

    auto path = HKoACMFormat::ConversionPath(*source, *target);
    if (!c.expected) {
        EXPECT_EQ(path, nullptr) << "a failed negotiation is none, never an empty list";
        if (path) ADD_FAILURE() << ::testing::PrintToString(Texts(*path));
    } else {
        ASSERT_NE(path, nullptr);
        EXPECT_EQ(Texts(*path), *c.expected);
        for (std::size_t i = 0; i < path->Count(); ++i) {
            EXPECT_TRUE((*path)[i]->IsComplete());
            if (i > 0) {
                EXPECT_FALSE((*path)[i]->SameAs(*(*path)[i - 1])) << "neighbours differ";
            }
        }
        if (path->Count() > 0) {
            EXPECT_FALSE((*path)[0]->SameAs(*source)) << "the source is not part of the path";
            if (target->IsComplete()) {
                EXPECT_TRUE(path->Last()->SameAs(*target));
            }
        }
    }
    EXPECT_EQ(Text(*source), sourceBefore);
    EXPECT_EQ(target->KnownFields() & KoWaveFields::Primary, targetKnown & KoWaveFields::Primary)
        << "the caller's target keeps its fields (no tag taken over)";
}

using V = std::vector<std::string>;

TEST(ConversionPath, PCMSources) {
    const std::vector<Case> cases = {
        {"same PCM needs no conversion", P(44100, 16, 2), P(44100, 16, 2), V{}},
        {"PCM rate and channel change: the target alone", P(44100, 16, 2), P(22050, 16, 1),
         V{"PCM 22050/16/1"}},
        {"MP3 decoding into the source PCM: the target alone", P(44100, 16, 2),
         C(kMp3, 44100, 2, 128), V{"MP3 44100/2@128"}},
        {"MP3 decoding only into 44.1 kHz stereo", P(22050, 8, 1), C(kMp3, 44100, 2, 128),
         V{"PCM 44100/16/2", "MP3 44100/2@128"}},
        {"target without tag takes PCM", P(44100, 16, 2), T({.channels = 1}), V{"PCM 44100/16/1"}},
        {"partial PCM rate", P(44100, 16, 2), T({.tag = 1, .rate = 8000}), V{"PCM 8000/16/2"}},
        {"partial PCM bits", P(22050, 8, 1), T({.bits = 16}), V{"PCM 22050/16/1"}},
        {"PCM to float", P(44100, 16, 2), Float(44100, 2), V{"FLOAT 44100/32/2"}},
        {"PCM to partial float", P(44100, 16, 2), T({.tag = WAVE_FORMAT_IEEE_FLOAT}),
         V{"FLOAT 44100/32/2"}},
        {"IMA at the source's format", P(44100, 16, 2), C(kIma, 44100, 2), V{"IMA 44100/4/2"}},
        {"MS ADPCM at the source's format", P(22050, 16, 1), C(kMs, 22050, 1),
         V{"MSADPCM 22050/4/1"}},
        {"A-law at the source's format", P(8000, 16, 1), C(kAlaw, 8000, 1), V{"ALAW 8000/8/1"}},
        {"u-law at a lower rate", P(44100, 16, 2), C(kUlaw, 8000, 1),
         V{"PCM 8000/16/1", "ULAW 8000/8/1"}},
        {"GSM from stereo", P(44100, 16, 2), C(kGsm, 44100, 1),
         V{"PCM 44100/16/1", "GSM 44100/0/1"}},
        {"MP3 from 24-bit 48 kHz", P(48000, 24, 2), C(kMp3, 48000, 2, 128),
         V{"PCM 48000/16/2", "MP3 48000/2@128"}},
        {"MP3 by tag, direct", P(44100, 16, 1), T({.tag = kMp3}), V{"MP3 44100/1@64"}},
        {"MP3 by tag from 8 bits", P(22050, 8, 1), T({.tag = kMp3}),
         V{"PCM 22050/16/2", "MP3 22050/2@128"}},
        {"GSM by tag from stereo", P(44100, 16, 2), T({.tag = kGsm}),
         V{"PCM 44100/16/1", "GSM 44100/0/1"}},
        {"A-law mono by tag", P(22050, 16, 2), T({.tag = kAlaw, .channels = 1}),
         V{"PCM 22050/16/1", "ALAW 22050/8/1"}},
        {"unknown tag", P(44100, 16, 2), T({.tag = 0x1234}), std::nullopt},
        {"unknown complete format", P(44100, 16, 2), Unknown(), std::nullopt},
        {"GSM has no 48 kHz", P(48000, 16, 1), T({.tag = kGsm, .rate = 48000}), std::nullopt},
        {"MP3 has no 96 kHz", P(96000, 16, 2), T({.tag = kMp3, .rate = 96000}), std::nullopt},
        {"A-law has no 16-bit samples", P(8000, 16, 1), T({.tag = kAlaw, .bits = 16}),
         std::nullopt},
        {"no 12-bit PCM", P(8000, 16, 1), T({.bits = 12}), std::nullopt},
    };
    for (const Case& c : cases) Check(c);
}

TEST(ConversionPath, CodecSources) {
    const std::vector<Case> cases = {
        {"IMA decoded as it is", C(kIma, 22050, 1), P(22050, 16, 1), V{"PCM 22050/16/1"}},
        {"MS ADPCM decoded, then resampled", C(kMs, 11025, 2), P(44100, 16, 2),
         V{"PCM 11025/16/2", "PCM 44100/16/2"}},
        {"A-law decoded, then narrowed", C(kAlaw, 8000, 1), P(8000, 8, 1),
         V{"PCM 8000/16/1", "PCM 8000/8/1"}},
        {"GSM to any PCM", C(kGsm, 8000, 1), T({.tag = 1}), V{"PCM 8000/16/1"}},
        {"MP3 to a PCM rate", C(kMp3, 44100, 2, 128), T({.tag = 1, .rate = 22050}),
         V{"PCM 44100/16/2", "PCM 22050/16/2"}},
        {"float to PCM", Float(44100, 2), P(44100, 16, 2), V{"PCM 44100/16/2"}},
        {"same codec format is copied", C(kIma, 22050, 1), C(kIma, 22050, 1), V{}},
        {"same MP3 format is copied", C(kMp3, 44100, 2, 128), C(kMp3, 44100, 2, 128), V{}},
        {"MP3 bit rate change", C(kMp3, 44100, 2, 128), C(kMp3, 44100, 2, 192),
         V{"PCM 44100/16/2", "MP3 44100/2@192"}},
        {"IMA to MP3", C(kIma, 22050, 1), C(kMp3, 44100, 2, 128),
         V{"PCM 22050/16/1", "PCM 44100/16/2", "MP3 44100/2@128"}},
        {"A-law to GSM", C(kAlaw, 8000, 1), C(kGsm, 8000, 1), V{"PCM 8000/16/1", "GSM 8000/0/1"}},
        {"u-law to A-law", C(kUlaw, 8000, 2), C(kAlaw, 8000, 2),
         V{"PCM 8000/16/2", "ALAW 8000/8/2"}},
        {"A-law stereo to GSM", C(kAlaw, 22050, 2), C(kGsm, 8000, 1),
         V{"PCM 22050/16/2", "PCM 8000/16/1", "GSM 8000/0/1"}},
        {"GSM to MS ADPCM", C(kGsm, 22050, 1), C(kMs, 22050, 1),
         V{"PCM 22050/16/1", "MSADPCM 22050/4/1"}},
        {"MP3 to IMA by tag", C(kMp3, 44100, 2, 128), T({.tag = kIma}),
         V{"PCM 44100/16/2", "IMA 44100/4/2"}},
        {"IMA to stereo by the source's tag", C(kIma, 22050, 1), T({.channels = 2}),
         V{"PCM 22050/16/1", "PCM 22050/16/2", "IMA 22050/4/2"}},
        {"MS ADPCM to GSM by tag", C(kMs, 44100, 2), T({.tag = kGsm}),
         V{"PCM 44100/16/2", "PCM 44100/16/1", "GSM 44100/0/1"}},
        {"unknown source", Unknown(), P(22050, 16, 1), std::nullopt},
        {"GSM to an MP3 rate that does not exist", C(kGsm, 8000, 1),
         T({.tag = kMp3, .rate = 96000}), std::nullopt},
    };
    for (const Case& c : cases) Check(c);
}

TEST(ConversionPath, IncompleteSourceRaises) {
    auto source = Partial({.tag = 1, .channels = 2});
    EXPECT_EQ(RaisedMessage([&] { HKoACMFormat::ConversionPath(*source, *Pcm(8000, 16, 1)); }), "");
}

}  // namespace

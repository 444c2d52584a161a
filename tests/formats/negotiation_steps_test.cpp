// SPDX-License-Identifier: GPL-3.0-or-later
// The building blocks of the conversion path search, against the real codec manager.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "UKoACMFormat.h"
#include "acm_formats.h"

namespace {

using namespace acmtest;
namespace D = KoACMFormatDetail;

std::vector<std::string> Walk(TKoWaveFormat& F, bool (*Step)(TKoWaveFormat&)) {
    std::vector<std::string> seen;
    while (Step(F)) seen.push_back(Text(F));
    return seen;
}

// Channels move first, then bits, then the rate, one standard value at a time; anything off
// the ladders stays where it is.
TEST(NegotiationSteps, PCMLadders) {
    struct Case {
        const char* name;
        uint32_t rate;
        uint16_t bits, channels;
        bool up;
        std::vector<std::string> expected;
    };
    const std::vector<Case> cases = {
        {"up from the bottom",
         8000,
         8,
         1,
         true,
         {"PCM 8000/8/2", "PCM 8000/16/2", "PCM 11025/16/2", "PCM 22050/16/2", "PCM 44100/16/2"}},
        {"down from the top",
         44100,
         16,
         2,
         false,
         {"PCM 44100/16/1", "PCM 44100/8/1", "PCM 22050/8/1", "PCM 11025/8/1", "PCM 8000/8/1"}},
        {"48 kHz keeps its rate going up", 48000, 8, 1, true, {"PCM 48000/8/2", "PCM 48000/16/2"}},
        {"48 kHz keeps its rate going down",
         48000,
         16,
         2,
         false,
         {"PCM 48000/16/1", "PCM 48000/8/1"}},
        {"24 bits never change", 22050, 24, 2, true, {"PCM 44100/24/2"}},
        {"16 kHz is not a standard rate", 16000, 16, 1, true, {"PCM 16000/16/2"}},
        {"already at the top", 44100, 16, 2, true, {}},
        {"already at the bottom", 8000, 8, 1, false, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto f = Pcm(c.rate, c.bits, c.channels);
        EXPECT_EQ(Walk(*f, c.up ? D::IncreasePCMFormat : D::DecreasePCMFormat), c.expected);
    }
}

TEST(NegotiationSteps, StepRecomputesTheDerivedFields) {
    auto f = Pcm(8000, 8, 1);
    ASSERT_TRUE(D::IncreaseBitsPerSample(*f));
    EXPECT_EQ(f->KnownFields(), KoWaveFields::Complete) << "the setter derives them anew";
    EXPECT_EQ(f->BlockAlign(), 2u);
    EXPECT_EQ(f->AvgBytesPerSec(), 16000u);
    EXPECT_FALSE(D::IncreaseBitsPerSample(*f));
    EXPECT_TRUE(f->IsComplete()) << "a step that changes nothing leaves the format complete";
}

TEST(NegotiationSteps, PreconditionMessages) {
    auto ima = Codec(WAVE_FORMAT_IMA_ADPCM, 22050, 1);
    auto mp3 = Codec(WAVE_FORMAT_MPEGLAYER3, 44100, 2, 128);
    auto pcm = Pcm(22050, 16, 1);
    auto noTag = Partial({.channels = 2});
    auto mp3Tag = Partial({.tag = WAVE_FORMAT_MPEGLAYER3});
    auto pcmTag = Partial({.tag = WAVE_FORMAT_PCM});
    auto incompletePcm = Partial({.tag = WAVE_FORMAT_PCM, .channels = 2});

    struct Case {
        const char* name;
        std::function<void()> call;
        std::string message;
    };
    using Step = bool (*)(TKoWaveFormat&);
    const std::vector<std::pair<Step, std::string>> steps = {
        {D::IncreaseFrequency, "_IncreaseFrequency"},
        {D::DecreaseFrequency, "_DecreaseFrequency"},
        {D::IncreaseBitsPerSample, "_IncreaseBitsPerSample"},
        {D::DecreaseBitsPerSample, "_DecreaseBitsPerSample"},
        {D::IncreaseChannels, "_IncreaseChannels"},
        {D::DecreaseChannels, "_DecreaseChannels"},
        {D::IncreasePCMFormat, "_IncreasePCMFormat"},
        {D::DecreasePCMFormat, "_DecreasePCMFormat"},
    };
    std::vector<Case> cases;
    for (const auto& [step, message] : steps) {
        cases.push_back({"step on a codec format", [&, step = step] { step(*ima); }, message});
        cases.push_back({"step on a format without tag", [&, step = step] { step(*noTag); }, ""});
    }
    const std::vector<Case> calls = {
        {"Suggest with a complete codec template", [&] { D::Suggest(*pcm, *ima); }, "_Suggest"},
        {"Suggest from an incomplete source", [&] { D::Suggest(*incompletePcm, *mp3Tag); }, ""},
        {"SuggestPCM from PCM", [&] { D::SuggestPCM(*pcm); }, "_SuggestPCM"},
        {"SuggestPCM from an incomplete source", [&] { D::SuggestPCM(*mp3Tag); }, ""},
        {"MultiSuggestPCM from PCM", [&] { D::MultiSuggestPCM(*pcm, *pcmTag); },
         "_MultiSuggestPCM"},
        {"MultiSuggestPCM towards a codec", [&] { D::MultiSuggestPCM(*ima, *mp3Tag); },
         "_MultiSuggestPCM"},
        {"MultiSuggestPCM with a template without tag", [&] { D::MultiSuggestPCM(*ima, *noTag); },
         ""},
        {"QueryPCM from a codec format", [&] { D::QueryPCM(*mp3Tag, *ima); }, "_QueryPCM"},
        {"QueryPCM towards PCM", [&] { D::QueryPCM(*pcmTag, *pcm); }, "_QueryPCM"},
        {"QueryPCM towards a complete codec format", [&] { D::QueryPCM(*mp3, *pcm); }, "_QueryPCM"},
        {"QueryPCM from an incomplete PCM", [&] { D::QueryPCM(*mp3Tag, *incompletePcm); }, ""},
        {"AddUnique of an incomplete format",
         [&] {
             TKoWaveFormatList list;
             D::AddUnique(list, *mp3Tag);
         },
         ""},
    };
    cases.insert(cases.end(), calls.begin(), calls.end());
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " " + c.message);
        EXPECT_EQ(RaisedMessage(c.call), c.message);
    }
    EXPECT_EQ(Text(*ima), "IMA 22050/4/1") << "a refused step leaves its argument alone";
}

TEST(NegotiationSteps, AddUniqueDropsOnlyAnEqualNeighbour) {
    TKoWaveFormatList list;
    auto a = Pcm(44100, 16, 2);
    auto b = Codec(WAVE_FORMAT_MPEGLAYER3, 44100, 2, 128);
    D::AddUnique(list, *a);
    D::AddUnique(list, *Pcm(44100, 16, 2));
    D::AddUnique(list, *b);
    D::AddUnique(list, *a);
    EXPECT_EQ(Texts(list),
              (std::vector<std::string>{"PCM 44100/16/2", "MP3 44100/2@128", "PCM 44100/16/2"}));
    EXPECT_NE(list[0], a.get()) << "the list holds copies";
}

TEST(NegotiationSteps, SuggestFormat) {
    auto pcm = Pcm(44100, 16, 2);
    // A PCM source meets any unconstrained suggestion, so a none here means nothing was asked.
    EXPECT_EQ(HKoACMFormat::SuggestFormat(*pcm, *TKoWaveFormat::CreateDefault()), nullptr);
    EXPECT_EQ(RaisedMessage(
                  [&] { HKoACMFormat::SuggestFormat(*Partial({.tag = 1, .channels = 2}), *pcm); }),
              "");

    auto mono = HKoACMFormat::SuggestFormat(*pcm, *Partial({.channels = 1}));
    ASSERT_NE(mono, nullptr);
    EXPECT_EQ(Text(*mono), "PCM 44100/16/1");
    EXPECT_EQ(mono->KnownFields(), KoWaveFields::Complete);
    EXPECT_GE(mono->Capacity(), HKoACM::MaxFormatSize());

    auto mp3 = HKoACMFormat::SuggestFormat(*pcm, *Partial({.tag = WAVE_FORMAT_MPEGLAYER3}));
    ASSERT_NE(mp3, nullptr);
    EXPECT_EQ(Text(*mp3), "MP3 44100/2@128");
    EXPECT_TRUE(mp3->SameAs(*Codec(WAVE_FORMAT_MPEGLAYER3, 44100, 2, 128)))
        << "the whole record, extra bytes included";

    // GSM is mono only: the codec manager refuses, and that is a none, not an error.
    EXPECT_EQ(HKoACMFormat::SuggestFormat(*pcm, *Partial({.tag = WAVE_FORMAT_GSM610})), nullptr);
}

// Each row names the first PCM format in the search order from which a codec gives the target.
TEST(NegotiationSteps, QueryPCMFindsTheFirstWorkingPCM) {
    struct Case {
        const char* name;
        Fields target;
        uint32_t rate;
        uint16_t bits, channels;
        const char* expected;  // nullptr: none
    };
    const std::vector<Case> cases = {
        {"start works", {.tag = WAVE_FORMAT_MPEGLAYER3}, 44100, 16, 2, "PCM 44100/16/2"},
        // 22050/8/1 and 22050/8/2 fail (the encoder wants 16 bits) before 22050/16/2.
        {"channels before bits", {.tag = WAVE_FORMAT_MPEGLAYER3}, 22050, 8, 1, "PCM 22050/16/2"},
        {"rate last",
         {.tag = WAVE_FORMAT_MPEGLAYER3, .rate = 44100},
         22050,
         8,
         1,
         "PCM 44100/16/2"},
        {"downward after the upward search",
         {.tag = WAVE_FORMAT_GSM610},
         44100,
         16,
         2,
         "PCM 44100/16/1"},
        {"downward to mono",
         {.tag = WAVE_FORMAT_ALAW, .channels = 1},
         22050,
         16,
         2,
         "PCM 22050/16/1"},
        {"48 kHz is kept", {.tag = WAVE_FORMAT_MPEGLAYER3}, 48000, 8, 1, "PCM 48000/16/2"},
        {"48 kHz never becomes 44.1 kHz",
         {.tag = WAVE_FORMAT_MPEGLAYER3, .rate = 44100},
         48000,
         16,
         2,
         nullptr},
        {"no codec for the tag", {.tag = 0x1234}, 22050, 16, 1, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto pcm = Pcm(c.rate, c.bits, c.channels);
        auto target = Partial(c.target);
        auto found = D::QueryPCM(*target, *pcm);
        if (c.expected == nullptr) {
            EXPECT_EQ(found, nullptr);
            continue;
        }
        ASSERT_NE(found, nullptr);
        EXPECT_EQ(found->FormatTag(), WAVE_FORMAT_PCM) << "the PCM that worked, not the codec's";
        EXPECT_EQ(Text(*found), c.expected);
        EXPECT_EQ(Text(*pcm), Text(*Pcm(c.rate, c.bits, c.channels))) << "argument untouched";
    }
}

TEST(NegotiationSteps, MultiSuggestPCMFallsBackToAnyPCM) {
    auto mp3 = Codec(WAVE_FORMAT_MPEGLAYER3, 44100, 2, 128);
    auto exact = D::MultiSuggestPCM(*mp3, *Pcm(44100, 16, 2));
    ASSERT_NE(exact, nullptr);
    EXPECT_EQ(Text(*exact), "PCM 44100/16/2");
    auto any = D::MultiSuggestPCM(*mp3, *Pcm(22050, 8, 1));
    ASSERT_NE(any, nullptr);
    EXPECT_EQ(Text(*any), "PCM 44100/16/2") << "the decoder's own PCM";

    auto unknown = Pcm(8000, 8, 1);
    unknown->Data()->wFormatTag = 0x1234;
    unknown->MarkComplete();
    EXPECT_EQ(D::MultiSuggestPCM(*unknown, *Pcm(8000, 16, 1)), nullptr);
}

}  // namespace

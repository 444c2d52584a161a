// SPDX-License-Identifier: GPL-3.0-or-later
// The format chooser object over the codec manager's dialog.
#include <gtest/gtest.h>

#include <algorithm>

#include "UKoACMFormat.h"
#include "UKoACMFormatChoose.h"
#include "chooser_harness.h"

namespace {

using namespace choosertest;

std::unique_ptr<TKoWaveFormat> ExecuteWith(TKoACMFormatChoose& Chooser, Answer Reply, Shown* Seen,
                                           const std::string& Tag = {},
                                           const std::string& Format = {}) {
    std::unique_ptr<TKoWaveFormat> result;
    bool picked = Tag.empty();
    *Seen = Drive([&] { result = Chooser.Execute(); }, Reply,
                  [&](const Dialog& d) {
                      if (!Tag.empty()) picked = d.Pick(Tag, Format);
                  });
    EXPECT_TRUE(picked) << Tag << " / " << Format;
    return result;
}

TEST(FormatChoose, ChoosingPCMGivesAShortCompleteRecord) {
    TKoACMFormatChoose chooser;
    Shown seen;
    auto format = ExecuteWith(chooser, Answer::Ok, &seen, "PCM", "44,100 Hz, 16 Bit, Stereo");
    EXPECT_EQ(seen.title, "Sound Selection");
    ASSERT_NE(format, nullptr);
    EXPECT_TRUE(format->IsComplete());
    EXPECT_EQ(format->ExtraSize(), 0u);
    EXPECT_EQ(format->RecordSize(), 18);
    auto expected = TKoWaveFormat::CreatePCM16(44100, 2);
    expected->RequireComplete();
    EXPECT_TRUE(format->SameAs(*expected));
    EXPECT_EQ(chooser.FormatTagName(), "PCM");
    EXPECT_EQ(chooser.FormatName(), "44,100 Hz, 16 Bit, Stereo");
}

TEST(FormatChoose, InitialFormatIsPreselectedAndReturned) {
    TKoACMFormatChoose chooser;
    chooser.Title = "Target audio format selection";
    auto tmpl = TKoWaveFormat::CreateDefault();
    tmpl->SetFormatTag(WAVE_FORMAT_MPEGLAYER3);
    auto mp3 = HKoACMFormat::SuggestFormat(*TKoWaveFormat::CreatePCM16(44100, 2), *tmpl);
    ASSERT_NE(mp3, nullptr);
    chooser.SetInitialFormat(mp3.get());

    Shown seen;
    auto format = ExecuteWith(chooser, Answer::Ok, &seen);
    EXPECT_EQ(seen.title, "Target audio format selection");
    EXPECT_EQ(seen.tag, "MPEG Layer-3");
    EXPECT_EQ(seen.format, "128 kBit/s, 44,100Hz, Stereo");
    ASSERT_NE(format, nullptr);
    EXPECT_TRUE(format->SameAs(*mp3)) << "the record with its extra bytes";
    EXPECT_EQ(chooser.FormatTagName(), "MPEG Layer-3");
    EXPECT_EQ(chooser.FormatName(), "128 kBit/s, 44,100Hz, Stereo");

    chooser.SetInitialFormat(nullptr);
    EXPECT_FALSE(chooser.InitialFormat().IsSpecified());
}

TEST(FormatChoose, CancelKeepsEverything) {
    TKoACMFormatChoose chooser;
    Shown seen;
    ASSERT_NE(ExecuteWith(chooser, Answer::Ok, &seen, "GSM 6.10", "8,000 Hz, Mono"), nullptr);
    auto initial = TKoWaveFormat::CreatePCM(22050, 8, 1);
    chooser.SetInitialFormat(initial.get());

    auto none =
        ExecuteWith(chooser, Answer::Cancel, &seen, "IMA ADPCM", "44,100 Hz, 4 Bit, Stereo");
    EXPECT_TRUE(seen.shown);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(chooser.FormatTagName(), "GSM 6.10");
    EXPECT_EQ(chooser.FormatName(), "8,000 Hz, Mono");
    EXPECT_TRUE(chooser.InitialFormat().SameAs(*initial));
}

TEST(FormatChoose, BrokenSettingsRaiseBeforeTheDialog) {
    struct Case {
        const char* name;
        std::function<void(TKoACMFormatChoose&)> set;
    };
    const std::vector<Case> cases = {
        {"initial format with a tag only",
         [](TKoACMFormatChoose& c) { c.InitialFormat().SetFormatTag(WAVE_FORMAT_PCM); }},
        {"suggest without a format",
         [](TKoACMFormatChoose& c) { c.EnumFlags = KoChooseBit(cfSuggest); }},
        {"convert from an incomplete format",
         [](TKoACMFormatChoose& c) {
             c.EnumFlags = KoChooseBit(cfConvert);
             c.EnumFormat().SetChannels(2);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TKoACMFormatChoose chooser;
        c.set(chooser);
        const uint32_t known = chooser.InitialFormat().KnownFields();
        const Shown seen = Drive([&] { EXPECT_THROW(chooser.Execute(), EKoError); }, Answer::Ok);
        EXPECT_FALSE(seen.shown);
        EXPECT_EQ(chooser.InitialFormat().KnownFields(), known);
        EXPECT_EQ(chooser.FormatTagName(), "");
    }
}

TEST(FormatChoose, EnumerationRestrictions) {
    // Partial: the known fields of the format restrict the list.
    TKoACMFormatChoose byFields;
    byFields.EnumFormat().SetFormatTag(WAVE_FORMAT_MPEGLAYER3);
    byFields.EnumFormat().SetChannels(1);
    const Shown fields = Drive([&] { byFields.Execute(); }, Answer::Cancel, {}, true);
    EXPECT_EQ(fields.tags, std::vector<std::string>{"MPEG Layer-3"});
    ASSERT_EQ(fields.formatsPerTag.size(), 1u);
    EXPECT_FALSE(fields.formatsPerTag[0].empty());
    for (const std::string& f : fields.formatsPerTag[0]) EXPECT_NE(f.find("Mono"), f.npos) << f;

    // Suggest: what the codec manager suggests for the complete format.
    TKoACMFormatChoose bySuggestion;
    bySuggestion.EnumFlags = KoChooseBit(cfSuggest);
    bySuggestion.EnumFormat().Assign(TKoWaveFormat::CreatePCM16(22050, 1).get());
    const Shown suggested = Drive([&] { bySuggestion.Execute(); }, Answer::Cancel, {}, true);
    EXPECT_NE(std::find(suggested.tags.begin(), suggested.tags.end(), "IMA ADPCM"),
              suggested.tags.end());
    EXPECT_NE(std::find(suggested.tags.begin(), suggested.tags.end(), "GSM 6.10"),
              suggested.tags.end())
        << "GSM encodes 22,050 Hz mono";
    const auto mp3 = std::find(suggested.tags.begin(), suggested.tags.end(), "MPEG Layer-3");
    ASSERT_NE(mp3, suggested.tags.end());
    EXPECT_EQ(suggested.formatsPerTag.at(mp3 - suggested.tags.begin()),
              std::vector<std::string>{"64 kBit/s, 22,050Hz, Mono"})
        << "only the bit rate the encoder suggests";

    // Hardware: nothing stands behind it, so no dialog and no format.
    TKoACMFormatChoose byHardware;
    byHardware.EnumFlags = KoChooseBit(cfHardware);
    std::unique_ptr<TKoWaveFormat> none;
    const Shown hardware = Drive([&] { none = byHardware.Execute(); }, Answer::Ok);
    EXPECT_FALSE(hardware.shown);
    EXPECT_EQ(none, nullptr);
}

}  // namespace

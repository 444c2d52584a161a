// SPDX-License-Identifier: GPL-3.0-or-later
// The codec manager's format chooser dialog, driven through its real buttons.
#include <gtest/gtest.h>

#include <QStyle>
#include <QStyleOptionComboBox>
#include <cstring>
#include <map>
#include <vector>

#include "acmchoose.h"
#include "chooser_harness.h"

namespace {

using namespace choosertest;

struct Enumerated {
    std::vector<std::string> tags;
    std::map<std::string, std::vector<std::string>> formats;
    std::map<std::string, std::vector<uint8_t>> records;  // by "tag name: description"
};

// What the codec manager enumerates, straight from its calls.
Enumerated Enumerate() {
    Enumerated e;
    std::map<uint32_t, std::string> names;
    ACMFORMATTAGDETAILS tag{};
    tag.cbStruct = sizeof tag;
    acmFormatTagEnum(
        nullptr, &tag,
        [&](HACMDRIVERID, const ACMFORMATTAGDETAILS& d, uint32_t) {
            names[d.dwFormatTag] = d.szFormatTag;
            e.tags.push_back(d.szFormatTag);
            return true;
        },
        0);
    std::vector<uint8_t> buffer(256);
    ACMFORMATDETAILS details{};
    details.cbStruct = sizeof details;
    details.pwfx = reinterpret_cast<WAVEFORMATEX*>(buffer.data());
    details.cbwfx = static_cast<uint32_t>(buffer.size());
    acmFormatEnum(
        nullptr, &details,
        [&](HACMDRIVERID, const ACMFORMATDETAILS& d, uint32_t) {
            e.formats[names[d.pwfx->wFormatTag]].push_back(d.szFormat);
            const auto* bytes = reinterpret_cast<const uint8_t*>(d.pwfx);
            const size_t size = d.pwfx->wFormatTag == WAVE_FORMAT_PCM ? 18u : 18u + d.pwfx->cbSize;
            e.records[names[d.pwfx->wFormatTag] + ": " + d.szFormat].assign(bytes, bytes + size);
            return true;
        },
        0);
    return e;
}

struct Request {
    ACMFORMATCHOOSE choose{};
    std::vector<uint8_t> buffer = std::vector<uint8_t>(256, 0xAB);

    Request() {
        choose.cbStruct = sizeof choose;
        choose.pwfx = reinterpret_cast<WAVEFORMATEX*>(buffer.data());
        choose.cbwfx = static_cast<uint32_t>(buffer.size());
        std::strcpy(choose.szFormatTag, "before");
        std::strcpy(choose.szFormat, "before");
    }
    void Initial(const std::vector<uint8_t>& Record) {
        std::memcpy(buffer.data(), Record.data(), Record.size());
        choose.fdwStyle = ACMFORMATCHOOSE_STYLEF_INITTOWFXSTRUCT;
    }
};

TEST(AcmFormatChoose, ListsEveryTagAndFormatAndCancelChangesNothing) {
    const Enumerated e = Enumerate();
    ASSERT_FALSE(e.tags.empty());
    Request r;
    MMRESULT result = MMSYSERR_NOERROR;
    const Shown seen = Drive([&] { result = acmFormatChoose(&r.choose); }, Answer::Cancel, {},
                             /*WalkTags=*/true);
    ASSERT_TRUE(seen.shown);
    EXPECT_EQ(result, ACMERR_CANCELED);
    EXPECT_EQ(seen.title, "Sound Selection");
    EXPECT_EQ(seen.labels, (std::vector<std::string>{"Format:", "Attributes:"}));
    EXPECT_EQ(seen.tags, e.tags);
    ASSERT_EQ(seen.formatsPerTag.size(), e.tags.size());
    for (size_t i = 0; i < e.tags.size(); ++i) {
        SCOPED_TRACE(e.tags[i]);
        EXPECT_EQ(seen.formatsPerTag[i], e.formats.at(e.tags[i]));
    }
    EXPECT_EQ(seen.tag, e.tags.front()) << "without an initial format the first entry";
    EXPECT_EQ(r.buffer, std::vector<uint8_t>(256, 0xAB));
    EXPECT_STREQ(r.choose.szFormatTag, "before");
    EXPECT_STREQ(r.choose.szFormat, "before");
}

// Every format of every tag fits the list's field, and the dialog is as wide as its caption.
TEST(AcmFormatChoose, WideEnoughForItsCaptionAndEveryFormat) {
    Request r;
    const char* title = "Target audio format selection";
    r.choose.pszTitle = title;
    int cut = 0, formats = 0, width = 0;
    Drive([&] { acmFormatChoose(&r.choose); }, Answer::Cancel,
          [&](const Dialog& d) {
              width = d.dialog->width();
              QComboBox& list = *d.formats();
              for (int t = 0; t < d.tags()->count(); ++t) {
                  d.tags()->setCurrentIndex(t);
                  QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
                  QStyleOptionComboBox option;
                  option.initFrom(&list);
                  const int field = list.style()
                                        ->subControlRect(QStyle::CC_ComboBox, &option,
                                                         QStyle::SC_ComboBoxEditField, &list)
                                        .width();
                  for (int i = 0; i < list.count(); ++i, ++formats)
                      if (list.fontMetrics().horizontalAdvance(list.itemText(i)) > field) {
                          ++cut;
                          ADD_FAILURE() << list.itemText(i).toStdString() << " is cut";
                      }
              }
          });
    EXPECT_GT(formats, 10);
    EXPECT_EQ(cut, 0);
    QFont bold;
    bold.setBold(true);
    EXPECT_GT(width, QFontMetrics(bold).horizontalAdvance(title));
}

TEST(AcmFormatChoose, OkCopiesTheWholeChosenRecordAndItsTexts) {
    const Enumerated e = Enumerate();
    struct Case {
        const char* tag;
        const char* format;
    };
    for (const Case c : {Case{"IMA ADPCM", "22,050 Hz, 4 Bit, Mono"},
                         Case{"MPEG Layer-3", "128 kBit/s, 44,100Hz, Stereo"},
                         Case{"PCM", "8,000 Hz, 8 Bit, Mono"}}) {
        SCOPED_TRACE(c.format);
        Request r;
        MMRESULT result = ACMERR_CANCELED;
        bool picked = false;
        Drive([&] { result = acmFormatChoose(&r.choose); }, Answer::Ok,
              [&](const Dialog& d) { picked = d.Pick(c.tag, c.format); });
        ASSERT_TRUE(picked);
        EXPECT_EQ(result, MMSYSERR_NOERROR);
        const std::vector<uint8_t>& record = e.records.at(std::string(c.tag) + ": " + c.format);
        EXPECT_EQ(std::vector<uint8_t>(r.buffer.begin(), r.buffer.begin() + record.size()), record);
        EXPECT_STREQ(r.choose.szFormatTag, c.tag);
        EXPECT_STREQ(r.choose.szFormat, c.format);
    }
}

TEST(AcmFormatChoose, PreselectsTheInitialFormat) {
    const Enumerated e = Enumerate();
    Request r;
    r.choose.pszTitle = "Target audio format selection";
    const std::vector<uint8_t>& mp3 = e.records.at("MPEG Layer-3: 96 kBit/s, 32,000Hz, Mono");
    r.Initial(mp3);
    MMRESULT result = ACMERR_CANCELED;
    const Shown seen = Drive([&] { result = acmFormatChoose(&r.choose); }, Answer::Ok);
    EXPECT_EQ(seen.title, "Target audio format selection");
    EXPECT_EQ(seen.tag, "MPEG Layer-3");
    EXPECT_EQ(seen.format, "96 kBit/s, 32,000Hz, Mono");
    EXPECT_EQ(result, MMSYSERR_NOERROR);
    EXPECT_EQ(std::vector<uint8_t>(r.buffer.begin(), r.buffer.begin() + mp3.size()), mp3);

    // Another tool's record of the same MP3 format differs in its extra bytes.
    Request foreign;
    foreign.Initial(mp3);
    reinterpret_cast<MPEGLAYER3WAVEFORMAT*>(foreign.buffer.data())->fdwFlags = 2;
    const Shown near = Drive([&] { acmFormatChoose(&foreign.choose); }, Answer::Cancel);
    EXPECT_EQ(near.format, "96 kBit/s, 32,000Hz, Mono");
}

TEST(AcmFormatChoose, RestrictedLists) {
    // Only the PCM formats the IMA decoder suggests.
    const Enumerated e = Enumerate();
    std::vector<uint8_t> ima = e.records.at("IMA ADPCM: 22,050 Hz, 4 Bit, Mono");
    ASSERT_EQ(ima[0], WAVE_FORMAT_IMA_ADPCM);
    Request suggest;
    suggest.choose.fdwEnum = ACM_FORMATENUMF_SUGGEST;
    suggest.choose.pwfxEnum = reinterpret_cast<WAVEFORMATEX*>(ima.data());
    const Shown suggested =
        Drive([&] { acmFormatChoose(&suggest.choose); }, Answer::Cancel, {}, true);
    EXPECT_EQ(suggested.tags, std::vector<std::string>{"PCM"});
    EXPECT_EQ(suggested.formatsPerTag,
              std::vector<std::vector<std::string>>{{"22,050 Hz, 16 Bit, Mono"}});

    // Mono PCM only; an 18-byte buffer is enough for what is offered.
    WAVEFORMATEX fields{};
    fields.wFormatTag = WAVE_FORMAT_PCM;
    fields.nChannels = 1;
    Request mono;
    mono.choose.cbwfx = sizeof(WAVEFORMATEX);
    mono.choose.fdwEnum = ACM_FORMATENUMF_WFORMATTAG | ACM_FORMATENUMF_NCHANNELS;
    mono.choose.pwfxEnum = &fields;
    MMRESULT result = ACMERR_CANCELED;
    const Shown monoSeen =
        Drive([&] { result = acmFormatChoose(&mono.choose); }, Answer::Ok, {}, true);
    EXPECT_EQ(result, MMSYSERR_NOERROR);
    ASSERT_EQ(monoSeen.formatsPerTag.size(), 1u);
    EXPECT_EQ(monoSeen.formatsPerTag[0].size(), e.formats.at("PCM").size() / 2);
    for (const std::string& f : monoSeen.formatsPerTag[0]) EXPECT_NE(f.find("Mono"), f.npos) << f;
    EXPECT_EQ(mono.buffer[2], 1) << "the chosen record is mono";
}

TEST(AcmFormatChoose, RefusedBeforeShowing) {
    struct Case {
        const char* name;
        std::function<void(Request&)> spoil;
        MMRESULT expected;
    };
    const std::vector<Case> cases = {
        {"buffer smaller than the largest format offered",
         [](Request& r) { r.choose.cbwfx = sizeof(WAVEFORMATEX); }, MMSYSERR_INVALPARAM},
        {"record size too small", [](Request& r) { r.choose.cbStruct = 8; }, MMSYSERR_INVALPARAM},
        {"no buffer", [](Request& r) { r.choose.pwfx = nullptr; }, MMSYSERR_INVALPARAM},
        {"hook asked for",
         [](Request& r) { r.choose.fdwStyle = ACMFORMATCHOOSE_STYLEF_ENABLEHOOK; },
         MMSYSERR_NOTSUPPORTED},
        {"unknown style", [](Request& r) { r.choose.fdwStyle = 0x8000; }, MMSYSERR_INVALFLAG},
        {"restriction without its format",
         [](Request& r) { r.choose.fdwEnum = ACM_FORMATENUMF_NCHANNELS; }, MMSYSERR_INVALPARAM},
        {"nothing matches", [](Request& r) { r.choose.fdwEnum = ACM_FORMATENUMF_HARDWARE; },
         ACMERR_NOTPOSSIBLE},
        {"initial record larger than its buffer",
         [](Request& r) {
             r.choose.fdwStyle = ACMFORMATCHOOSE_STYLEF_INITTOWFXSTRUCT;
             r.choose.pwfx->wFormatTag = WAVE_FORMAT_MPEGLAYER3;
             r.choose.pwfx->cbSize = 1000;
         },
         MMSYSERR_INVALPARAM},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Request r;
        c.spoil(r);
        MMRESULT result = MMSYSERR_NOERROR;
        const Shown seen = Drive([&] { result = acmFormatChoose(&r.choose); }, Answer::Ok);
        EXPECT_FALSE(seen.shown);
        EXPECT_EQ(result, c.expected);
    }
    EXPECT_EQ(acmFormatChoose(nullptr), MMSYSERR_INVALPARAM);
}

}  // namespace

// SPDX-License-Identifier: GPL-3.0-or-later
// The manager's own rules: argument checks, malformed records, header
// preparation, enumeration restrictions.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "acm_streams.h"
#include "drivers.h"

using namespace acmtest;

namespace {

uint32_t maxFormatSize() {
    uint32_t size = 0;
    EXPECT_EQ(acmMetrics(nullptr, ACM_METRIC_MAX_SIZE_FORMAT, &size), MMSYSERR_NOERROR);
    return size;
}

TEST(Manager, ArgumentsAreChecked) {
    uint32_t value = 0;
    int notAHandle = 0;
    EXPECT_EQ(acmMetrics(nullptr, ACM_METRIC_MAX_SIZE_FORMAT, nullptr), MMSYSERR_INVALPARAM);
    EXPECT_EQ(acmMetrics(nullptr, 12345, &value), MMSYSERR_NOTSUPPORTED);
    EXPECT_EQ(acmMetrics(&notAHandle, ACM_METRIC_COUNT_DRIVERS, &value), MMSYSERR_INVALHANDLE);
    EXPECT_GE(maxFormatSize(), sizeof(WAVEFORMATEXTENSIBLE));

    ACMFORMATTAGDETAILS t{};
    t.cbStruct = sizeof t - 1;
    t.dwFormatTag = WAVE_FORMAT_PCM;
    EXPECT_EQ(acmFormatTagDetails(nullptr, &t, ACM_FORMATTAGDETAILSF_FORMATTAG),
              MMSYSERR_INVALPARAM);
    EXPECT_EQ(acmFormatTagDetails(nullptr, nullptr, ACM_FORMATTAGDETAILSF_FORMATTAG),
              MMSYSERR_INVALPARAM);
    t.cbStruct = sizeof t;
    EXPECT_EQ(acmFormatTagDetails(nullptr, &t, 7), MMSYSERR_INVALFLAG);
    t.dwFormatTag = 0x7777;
    EXPECT_EQ(acmFormatTagDetails(nullptr, &t, ACM_FORMATTAGDETAILSF_FORMATTAG),
              ACMERR_NOTPOSSIBLE);
    EXPECT_EQ(t.szFormatTag[0], 0);
    t.dwFormatTag = 0;  // the largest tag of all
    ASSERT_EQ(acmFormatTagDetails(nullptr, &t, ACM_FORMATTAGDETAILSF_LARGESTSIZE),
              MMSYSERR_NOERROR);
    EXPECT_EQ(t.cbFormatSize, maxFormatSize());
    t.dwFormatTag = WAVE_FORMAT_EXTENSIBLE;  // read only, yet named
    ASSERT_EQ(acmFormatTagDetails(nullptr, &t, ACM_FORMATTAGDETAILSF_FORMATTAG), MMSYSERR_NOERROR);
    EXPECT_STREQ(t.szFormatTag, "Extensible");

    Bytes pcm = pcmRecord(WAVE_FORMAT_PCM, 2, 44100, 16);
    ACMFORMATDETAILS d{};
    d.cbStruct = sizeof d;
    d.pwfx = reinterpret_cast<WAVEFORMATEX*>(pcm.data());
    d.cbwfx = 17;
    EXPECT_EQ(acmFormatDetails(nullptr, &d, ACM_FORMATDETAILSF_FORMAT), MMSYSERR_INVALPARAM);
    d.cbwfx = 18;
    EXPECT_EQ(acmFormatDetails(nullptr, &d, 9), MMSYSERR_INVALFLAG);
    d.dwFormatTag = WAVE_FORMAT_PCM;
    d.dwFormatIndex = 1;
    ASSERT_EQ(acmFormatDetails(nullptr, &d, ACM_FORMATDETAILSF_INDEX), MMSYSERR_NOERROR);
    EXPECT_STREQ(d.szFormat, "8,000 Hz, 8 Bit, Stereo");
    d.dwFormatIndex = 100000;
    EXPECT_EQ(acmFormatDetails(nullptr, &d, ACM_FORMATDETAILSF_INDEX), ACMERR_NOTPOSSIBLE);

    WAVEFORMATEX out{};
    out.wFormatTag = WAVE_FORMAT_PCM;
    EXPECT_EQ(acmFormatSuggest(nullptr, wfx(pcm), &out, 17, ACM_FORMATSUGGESTF_WFORMATTAG),
              MMSYSERR_INVALPARAM);
    EXPECT_EQ(acmFormatSuggest(nullptr, wfx(pcm), &out, 18, 1), MMSYSERR_INVALFLAG);
    EXPECT_EQ(acmFormatSuggest(nullptr, nullptr, &out, 18, 0), MMSYSERR_INVALPARAM);
}

TEST(Manager, SuggestionMustFitTheCallersBuffer) {
    // Any codec tag whose format is larger than a plain record.
    const Bytes pcm = pcmRecord(WAVE_FORMAT_PCM, 1, 8000, 16);
    Bytes big(maxFormatSize());
    for (const acm::Driver* d : acm::drivers()) {
        for (const acm::TagInfo& tag : d->tags()) {
            std::fill(big.begin(), big.end(), 0);
            auto* w = reinterpret_cast<WAVEFORMATEX*>(big.data());
            w->wFormatTag = tag.tag;
            if (acmFormatSuggest(nullptr, wfx(pcm), w, static_cast<uint32_t>(big.size()),
                                 ACM_FORMATSUGGESTF_WFORMATTAG) != MMSYSERR_NOERROR ||
                acm::recordSize(w) <= sizeof(WAVEFORMATEX))
                continue;
            WAVEFORMATEX small{};
            small.wFormatTag = tag.tag;
            EXPECT_EQ(acmFormatSuggest(nullptr, wfx(pcm), &small, sizeof small,
                                       ACM_FORMATSUGGESTF_WFORMATTAG),
                      MMSYSERR_INVALPARAM)
                << tag.name;
            return;
        }
    }
    GTEST_SKIP() << "no driver suggests a record longer than 18 bytes from 8 kHz PCM";
}

// Records that lie about themselves. Each is refused by every call that
// takes a record, without reading past the bytes it really has.
struct Broken {
    const char* name;
    bool extensible;  // spoils an Extensible record rather than plain PCM
    std::function<void(Bytes&)> spoil;
};

void PrintTo(const Broken& b, std::ostream* os) {
    *os << b.name;
}

Bytes extensible24() {
    WAVEFORMATEXTENSIBLE x{};
    x.Format = *wfx(pcmRecord(WAVE_FORMAT_PCM, 2, 44100, 24));
    x.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    x.Format.cbSize = 22;
    x.wValidBitsPerSample = 24;
    x.SubFormat = {1, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
    return recordBytes(&x.Format);
}

WAVEFORMATEX* head(Bytes& b) {
    return reinterpret_cast<WAVEFORMATEX*>(b.data());
}
WAVEFORMATEXTENSIBLE* ext(Bytes& b) {
    return reinterpret_cast<WAVEFORMATEXTENSIBLE*>(b.data());
}

class MalformedRecord : public testing::TestWithParam<Broken> {};

TEST_P(MalformedRecord, IsRefusedEverywhere) {
    Bytes record =
        GetParam().extensible ? extensible24() : pcmRecord(WAVE_FORMAT_PCM, 2, 44100, 16);
    GetParam().spoil(record);
    // Exactly the bytes the record has, so that reading further is caught.
    Bytes exact(record);
    const WAVEFORMATEX* w = wfx(exact);
    const Bytes pcm = pcmRecord(WAVE_FORMAT_PCM, 2, 44100, 16);

    HACMSTREAM h = nullptr;
    EXPECT_NE(acmStreamOpen(&h, nullptr, w, wfx(pcm), nullptr, 0, 0, 0), MMSYSERR_NOERROR);
    EXPECT_EQ(h, nullptr);
    EXPECT_NE(acmStreamOpen(&h, nullptr, wfx(pcm), w, nullptr, 0, 0, 0), MMSYSERR_NOERROR);
    EXPECT_NE(acmStreamOpen(nullptr, nullptr, w, wfx(pcm), nullptr, 0, 0, ACM_STREAMOPENF_QUERY),
              MMSYSERR_NOERROR);

    ACMFORMATDETAILS d{};
    d.cbStruct = sizeof d;
    d.pwfx = head(exact);
    d.cbwfx = static_cast<uint32_t>(exact.size());
    EXPECT_NE(acmFormatDetails(nullptr, &d, ACM_FORMATDETAILSF_FORMAT), MMSYSERR_NOERROR);

    Bytes out(maxFormatSize());
    head(out)->wFormatTag = WAVE_FORMAT_PCM;
    EXPECT_NE(acmFormatSuggest(nullptr, w, head(out), static_cast<uint32_t>(out.size()),
                               ACM_FORMATSUGGESTF_WFORMATTAG),
              MMSYSERR_NOERROR);
}

INSTANTIATE_TEST_SUITE_P(
    Records, MalformedRecord,
    testing::Values(
        Broken{"no_channels", false, [](Bytes& b) { head(b)->nChannels = 0; }},
        Broken{"three_channels", false, [](Bytes& b) { head(b)->nChannels = 3; }},
        Broken{"no_block_align", false, [](Bytes& b) { head(b)->nBlockAlign = 0; }},
        Broken{"block_align_mismatch", false, [](Bytes& b) { head(b)->nBlockAlign = 3; }},
        Broken{"no_rate", false, [](Bytes& b) { head(b)->nSamplesPerSec = 0; }},
        Broken{"rate_below_range", false, [](Bytes& b) { head(b)->nSamplesPerSec = 999; }},
        Broken{"rate_above_range", false, [](Bytes& b) { head(b)->nSamplesPerSec = 384001; }},
        Broken{"twelve_bits", false, [](Bytes& b) { head(b)->wBitsPerSample = 12; }},
        Broken{"float_of_16_bits", false,
               [](Bytes& b) { head(b)->wFormatTag = WAVE_FORMAT_IEEE_FLOAT; }},
        Broken{"unknown_tag", false, [](Bytes& b) { head(b)->wFormatTag = 0x4321; }},
        // A codec tag claiming far more extra bytes than any format has.
        Broken{"absurd_cb_size", false,
               [](Bytes& b) {
                   head(b)->wFormatTag = WAVE_FORMAT_GSM610;
                   head(b)->cbSize = 60000;
               }},
        Broken{"cb_size_too_small_for_extensible", true,
               [](Bytes& b) {
                   head(b)->cbSize = 0;
                   b.resize(18);
               }},
        Broken{"unknown_sub_format", true, [](Bytes& b) { ext(b)->SubFormat.Data2 = 7; }},
        Broken{"sub_format_not_audio", true, [](Bytes& b) { ext(b)->SubFormat.Data1 = 85; }},
        Broken{"valid_bits_above_container", true,
               [](Bytes& b) { ext(b)->wValidBitsPerSample = 32; }}),
    [](const auto& row) { return std::string(row.param.name); });

TEST(ManagerEnum, RestrictionsNarrowTheList) {
    Bytes buffer(maxFormatSize());
    ACMFORMATDETAILS d{};
    d.cbStruct = sizeof d;
    d.pwfx = head(buffer);
    d.cbwfx = static_cast<uint32_t>(buffer.size());
    auto list = [&](uint32_t flags) {
        std::vector<Bytes> out;
        EXPECT_EQ(acmFormatEnum(
                      nullptr, &d,
                      [&](HACMDRIVERID, const ACMFORMATDETAILS& f, uint32_t) {
                          out.push_back(recordBytes(f.pwfx));
                          return true;
                      },
                      flags),
                  MMSYSERR_NOERROR);
        return out;
    };
    const auto all = list(0);
    *head(buffer) = *wfx(pcmRecord(WAVE_FORMAT_PCM, 2, 44100, 16));
    const auto stereo = list(ACM_FORMATENUMF_NCHANNELS | ACM_FORMATENUMF_WFORMATTAG);
    *head(buffer) = *wfx(pcmRecord(WAVE_FORMAT_PCM, 1, 44100, 16));
    const auto exact = list(ACM_FORMATENUMF_WFORMATTAG | ACM_FORMATENUMF_NCHANNELS |
                            ACM_FORMATENUMF_NSAMPLESPERSEC | ACM_FORMATENUMF_WBITSPERSAMPLE);
    EXPECT_GT(all.size(), 90u);
    EXPECT_EQ(stereo.size(), 36u);  // 9 rates x 4 widths
    for (const Bytes& f : stereo) EXPECT_EQ(wfx(f)->nChannels, 2);
    ASSERT_EQ(exact.size(), 1u);
    EXPECT_EQ(exact[0], pcmRecord(WAVE_FORMAT_PCM, 1, 44100, 16));
    EXPECT_TRUE(list(ACM_FORMATENUMF_HARDWARE).empty()) << "there are no hardware codecs";

    // Every format listed for CONVERT opens from the source; the PCM
    // converter alone can reach all 90 plain formats.
    const Bytes source = pcmRecord(WAVE_FORMAT_PCM, 1, 22050, 8);
    *head(buffer) = *wfx(source);
    const auto convertible = list(ACM_FORMATENUMF_CONVERT);
    EXPECT_GE(convertible.size(), 90u);
    for (const Bytes& f : convertible) {
        Stream q;
        EXPECT_EQ(q.open(source, f, ACM_STREAMOPENF_QUERY), MMSYSERR_NOERROR);
    }
    // SUGGEST lists what a suggestion with the format's fields gives; the
    // record is the source, so the tag restriction comes from dwFormatTag.
    d.dwFormatTag = WAVE_FORMAT_IEEE_FLOAT;
    *head(buffer) = *wfx(source);
    const auto floats = list(ACM_FORMATENUMF_SUGGEST | ACM_FORMATENUMF_WFORMATTAG);
    EXPECT_EQ(floats.size(), 18u);

    int calls = 0;
    d.dwFormatTag = 0;
    EXPECT_EQ(acmFormatEnum(
                  nullptr, &d,
                  [&](HACMDRIVERID, const ACMFORMATDETAILS&, uint32_t) { return ++calls < 3; }, 0),
              MMSYSERR_NOERROR);
    EXPECT_EQ(calls, 3) << "the callback stops the enumeration";
    d.cbwfx = 17;
    EXPECT_EQ(acmFormatEnum(
                  nullptr, &d, [](auto...) { return true; }, 0),
              MMSYSERR_INVALPARAM)
        << "a buffer too small for the formats is refused";
}

TEST(ManagerStreams, OpenAndCloseRules) {
    const Bytes pcm = pcmRecord(WAVE_FORMAT_PCM, 2, 44100, 16);
    HACMSTREAM h = nullptr;
    EXPECT_EQ(
        acmStreamOpen(nullptr, nullptr, wfx(pcm), wfx(pcm), nullptr, 0, 0, ACM_STREAMOPENF_QUERY),
        MMSYSERR_NOERROR);
    EXPECT_EQ(acmStreamOpen(nullptr, nullptr, wfx(pcm), wfx(pcm), nullptr, 0, 0, 0),
              MMSYSERR_INVALPARAM);
    EXPECT_EQ(acmStreamOpen(&h, nullptr, wfx(pcm), wfx(pcm), nullptr, 0, 0, 0x100),
              MMSYSERR_INVALFLAG);
    EXPECT_EQ(acmStreamOpen(&h, nullptr, wfx(pcm), wfx(pcm), nullptr, 0, 0, ACM_STREAMOPENF_ASYNC),
              MMSYSERR_NOTSUPPORTED);
    EXPECT_EQ(acmStreamOpen(&h, nullptr, nullptr, wfx(pcm), nullptr, 0, 0, 0), MMSYSERR_INVALPARAM);
    ASSERT_EQ(acmStreamOpen(&h, nullptr, wfx(pcm), wfx(pcm), nullptr, 0, 0, 0), MMSYSERR_NOERROR);
    uint32_t size = 0;
    EXPECT_EQ(acmStreamSize(h, 100, nullptr, 0), MMSYSERR_INVALPARAM);
    EXPECT_EQ(acmStreamSize(h, 100, &size, 2), MMSYSERR_INVALFLAG);
    EXPECT_EQ(acmStreamSize(h, 100, &size, ACM_STREAMSIZEF_DESTINATION), MMSYSERR_NOERROR);
    EXPECT_EQ(size, 100u);
    EXPECT_EQ(acmStreamClose(h, 1), MMSYSERR_INVALFLAG);
    EXPECT_EQ(acmStreamClose(h, 0), MMSYSERR_NOERROR);
    EXPECT_EQ(acmStreamClose(h, 0), MMSYSERR_INVALHANDLE) << "a closed handle is not followed";
    EXPECT_EQ(acmStreamSize(h, 100, &size, 0), MMSYSERR_INVALHANDLE);
}

// The header rules: prepared on this stream, same buffers, lengths at most
// the prepared ones (and back to them for unprepare).
struct HeaderCase {
    const char* name;
    std::function<MMRESULT(HACMSTREAM, HACMSTREAM, ACMSTREAMHEADER&)> act;
    MMRESULT expected;
};

void PrintTo(const HeaderCase& c, std::ostream* os) {
    *os << c.name;
}

class HeaderRules : public testing::TestWithParam<HeaderCase> {};

TEST_P(HeaderRules, Apply) {
    const Bytes pcm = pcmRecord(WAVE_FORMAT_PCM, 1, 8000, 16);
    Stream s, other;
    ASSERT_EQ(s.open(pcm, pcm), MMSYSERR_NOERROR);
    ASSERT_EQ(other.open(pcm, pcm), MMSYSERR_NOERROR);
    uint8_t src[64] = {}, dst[64] = {}, elsewhere[64] = {};
    ACMSTREAMHEADER h{};
    h.cbStruct = sizeof h;
    h.pbSrc = src;
    h.cbSrcLength = sizeof src;
    h.pbDst = dst;
    h.cbDstLength = sizeof dst;
    h.dwUser = reinterpret_cast<uintptr_t>(elsewhere);
    EXPECT_EQ(GetParam().act(s.handle(), other.handle(), h), GetParam().expected);
    // Leave the header unprepared, as a careful caller would.
    h.pbSrc = src;
    h.pbDst = dst;
    h.cbSrcLength = h.cbDstLength = 64;
    if (h.fdwStatus & ACMSTREAMHEADER_STATUSF_PREPARED) acmStreamUnprepareHeader(s.handle(), &h, 0);
}

MMRESULT prepareThen(HACMSTREAM s, ACMSTREAMHEADER& h, const std::function<MMRESULT()>& f) {
    const MMRESULT r = acmStreamPrepareHeader(s, &h, 0);
    return r ? r : f();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HeaderRules,
    testing::Values(
        HeaderCase{
            "convert_unprepared",
            [](HACMSTREAM s, HACMSTREAM, ACMSTREAMHEADER& h) { return acmStreamConvert(s, &h, 0); },
            ACMERR_UNPREPARED},
        HeaderCase{"prepare_small_cb_struct",
                   [](HACMSTREAM s, HACMSTREAM, ACMSTREAMHEADER& h) {
                       h.cbStruct = sizeof h - 4;
                       return acmStreamPrepareHeader(s, &h, 0);
                   },
                   MMSYSERR_INVALPARAM},
        HeaderCase{"prepare_without_destination",
                   [](HACMSTREAM s, HACMSTREAM, ACMSTREAMHEADER& h) {
                       h.pbDst = nullptr;
                       return acmStreamPrepareHeader(s, &h, 0);
                   },
                   MMSYSERR_INVALPARAM},
        HeaderCase{"prepare_twice_is_harmless",
                   [](HACMSTREAM s, HACMSTREAM, ACMSTREAMHEADER& h) {
                       return prepareThen(s, h, [&] { return acmStreamPrepareHeader(s, &h, 0); });
                   },
                   MMSYSERR_NOERROR},
        HeaderCase{"convert_sets_done_and_lengths",
                   [](HACMSTREAM s, HACMSTREAM, ACMSTREAMHEADER& h) {
                       return prepareThen(s, h, [&]() -> MMRESULT {
                           h.cbSrcLength = 10;
                           const MMRESULT r =
                               acmStreamConvert(s, &h, ACM_STREAMCONVERTF_BLOCKALIGN);
                           const bool ok = (h.fdwStatus & ACMSTREAMHEADER_STATUSF_DONE) &&
                                           h.cbSrcLengthUsed == 10 && h.cbDstLengthUsed == 10;
                           return r ? r : ok ? 0 : MMSYSERR_ERROR;
                       });
                   },
                   MMSYSERR_NOERROR},
        HeaderCase{"convert_moved_source",
                   [](HACMSTREAM s, HACMSTREAM, ACMSTREAMHEADER& h) {
                       return prepareThen(s, h, [&] {
                           h.pbSrc = reinterpret_cast<uint8_t*>(h.dwUser);
                           return acmStreamConvert(s, &h, 0);
                       });
                   },
                   MMSYSERR_INVALPARAM},
        HeaderCase{"convert_moved_destination",
                   [](HACMSTREAM s, HACMSTREAM, ACMSTREAMHEADER& h) {
                       return prepareThen(s, h, [&] {
                           h.pbDst = reinterpret_cast<uint8_t*>(h.dwUser);
                           return acmStreamConvert(s, &h, 0);
                       });
                   },
                   MMSYSERR_INVALPARAM},
        HeaderCase{"convert_grown_length",
                   [](HACMSTREAM s, HACMSTREAM, ACMSTREAMHEADER& h) {
                       return prepareThen(s, h, [&] {
                           h.cbDstLength += 1;
                           return acmStreamConvert(s, &h, 0);
                       });
                   },
                   MMSYSERR_INVALPARAM},
        HeaderCase{"convert_on_another_stream",
                   [](HACMSTREAM s, HACMSTREAM other, ACMSTREAMHEADER& h) {
                       return prepareThen(s, h, [&] { return acmStreamConvert(other, &h, 0); });
                   },
                   MMSYSERR_INVALPARAM},
        HeaderCase{"convert_bad_flag",
                   [](HACMSTREAM s, HACMSTREAM, ACMSTREAMHEADER& h) {
                       return prepareThen(s, h, [&] { return acmStreamConvert(s, &h, 0x1000); });
                   },
                   MMSYSERR_INVALFLAG},
        HeaderCase{"unprepare_with_shrunk_length",
                   [](HACMSTREAM s, HACMSTREAM, ACMSTREAMHEADER& h) {
                       return prepareThen(s, h, [&] {
                           h.cbSrcLength = 2;
                           return acmStreamUnprepareHeader(s, &h, 0);
                       });
                   },
                   MMSYSERR_INVALPARAM},
        HeaderCase{"unprepare_twice",
                   [](HACMSTREAM s, HACMSTREAM, ACMSTREAMHEADER& h) {
                       return prepareThen(s, h, [&]() -> MMRESULT {
                           if (MMRESULT r = acmStreamUnprepareHeader(s, &h, 0)) return r;
                           if (h.fdwStatus & ACMSTREAMHEADER_STATUSF_PREPARED)
                               return MMSYSERR_ERROR;
                           return acmStreamUnprepareHeader(s, &h, 0);
                       });
                   },
                   ACMERR_UNPREPARED}),
    [](const auto& row) { return std::string(row.param.name); });

}  // namespace

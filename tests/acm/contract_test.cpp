// SPDX-License-Identifier: GPL-3.0-or-later
// Checks every driver of the table, every tag and every offered format
// against what the manager promises, so that a new driver gets the same
// checks without a test of its own.
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <numbers>
#include <string>

#include "acm_streams.h"
#include "drivers.h"

using namespace acmtest;

namespace {

struct Offered {
    const acm::Driver* driver;
    const acm::FormatEntry* format;
};

// Large tables are sampled (first, last and evenly between) to keep the run
// short; the structural checks still see every entry.
std::vector<Offered> sampled(const acm::Driver* d, size_t limit) {
    std::map<uint16_t, std::vector<const acm::FormatEntry*>> byTag;
    for (const acm::FormatEntry& f : d->formats()) byTag[f.wfx()->wFormatTag].push_back(&f);
    std::vector<Offered> out;
    for (auto& [tag, list] : byTag) {
        const size_t step = list.size() > limit ? (list.size() + limit - 1) / limit : 1;
        for (size_t i = 0; i < list.size(); i += step) out.push_back({d, list[i]});
        if ((list.size() - 1) % step) out.push_back({d, list.back()});
    }
    return out;
}

std::string label(const Offered& o) {
    return std::string(o.driver->name()) + " " + std::to_string(o.format->wfx()->wFormatTag) + " " +
           o.format->description;
}

bool isPlainPcm(const WAVEFORMATEX* w) {
    return w->wFormatTag == WAVE_FORMAT_PCM || w->wFormatTag == WAVE_FORMAT_IEEE_FLOAT;
}

// A tone pair with a little noise, 16-bit, interleaved.
Bytes testSignal(uint32_t rate, uint16_t channels, size_t frames) {
    Bytes out(frames * channels * 2);
    std::mt19937 rng(3);
    std::uniform_real_distribution<double> noise(-0.02, 0.02);
    for (size_t i = 0; i < frames; ++i) {
        const double t = double(i) / rate;
        for (uint16_t c = 0; c < channels; ++c) {
            const double v = 0.4 * std::sin(2 * std::numbers::pi * (440 + 110 * c) * t) +
                             0.2 * std::sin(2 * std::numbers::pi * 0.11 * rate * t) + noise(rng);
            const int16_t s = static_cast<int16_t>(std::lround(v * 32767));
            std::memcpy(&out[(i * channels + c) * 2], &s, 2);
        }
    }
    return out;
}

// Samples one block of the format stands for; for MPEG audio one frame.
uint32_t blockFrames(const WAVEFORMATEX* w) {
    if (w->wFormatTag == WAVE_FORMAT_MPEGLAYER3) return w->nSamplesPerSec >= 32000 ? 1152 : 576;
    return static_cast<uint32_t>(
        (uint64_t{w->nBlockAlign} * w->nSamplesPerSec + w->nAvgBytesPerSec - 1) /
        w->nAvgBytesPerSec);
}

// Samples a round trip may add: the last block's padding; for a codec with
// an encoder delay, that delay and one more frame of flush.
uint32_t allowance(const WAVEFORMATEX* w) {
    if (w->wFormatTag == WAVE_FORMAT_MPEGLAYER3 && w->cbSize >= 12)
        return reinterpret_cast<const MPEGLAYER3WAVEFORMAT*>(w)->nCodecDelay + 2 * blockFrames(w);
    return blockFrames(w);
}

// One instance per driver of the table; each test walks the driver's formats.
class Contract : public testing::TestWithParam<const acm::Driver*> {
  protected:
    std::vector<Offered> everyFormat() const {
        std::vector<Offered> all;
        for (const acm::FormatEntry& f : GetParam()->formats()) all.push_back({GetParam(), &f});
        return all;
    }
};

}  // namespace

namespace acm {
void PrintTo(const Driver* d, std::ostream* os) {
    *os << d->name();
}
}  // namespace acm

namespace {

std::string driverName(const testing::TestParamInfo<const acm::Driver*>& info) {
    std::string s = info.param->name();
    for (char& c : s)
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
    return s;
}

}  // namespace

TEST(ContractTags, TagDetailsAgreeWithEveryDriver) {
    uint32_t maxSize = 0;
    ASSERT_EQ(acmMetrics(nullptr, ACM_METRIC_MAX_SIZE_FORMAT, &maxSize), MMSYSERR_NOERROR);
    uint32_t count = 0;
    ASSERT_EQ(acmMetrics(nullptr, ACM_METRIC_COUNT_DRIVERS, &count), MMSYSERR_NOERROR);
    EXPECT_EQ(count, acm::drivers().size());
    ASSERT_FALSE(acm::drivers().empty());
    EXPECT_STREQ(acm::drivers()[0]->name(), "pcm") << "the PCM converter answers first";

    std::map<uint16_t, std::string> enumerated;
    ACMFORMATTAGDETAILS d{};
    d.cbStruct = sizeof d;
    ASSERT_EQ(acmFormatTagEnum(
                  nullptr, &d,
                  [&](HACMDRIVERID, const ACMFORMATTAGDETAILS& t, uint32_t) {
                      EXPECT_FALSE(enumerated.count(t.dwFormatTag)) << t.szFormatTag;
                      enumerated[static_cast<uint16_t>(t.dwFormatTag)] = t.szFormatTag;
                      return true;
                  },
                  0),
              MMSYSERR_NOERROR);

    for (const acm::Driver* drv : acm::drivers()) {
        for (const acm::TagInfo& tag : drv->tags()) {
            SCOPED_TRACE(std::string(drv->name()) + " / " + tag.name);
            ACMFORMATTAGDETAILS t{};
            t.cbStruct = sizeof t;
            t.dwFormatTag = tag.tag;
            ASSERT_EQ(acmFormatTagDetails(nullptr, &t, ACM_FORMATTAGDETAILSF_FORMATTAG),
                      MMSYSERR_NOERROR);
            EXPECT_STREQ(t.szFormatTag, tag.name);
            EXPECT_EQ(t.dwFormatTag, tag.tag);
            EXPECT_LE(t.cbFormatSize, maxSize);
            EXPECT_EQ(t.fdwSupport, drv->support());
            EXPECT_EQ(enumerated.count(tag.tag), tag.enumerated ? 1u : 0u);
            if (tag.enumerated) {
                EXPECT_EQ(enumerated[tag.tag], tag.name);
                ACMFORMATTAGDETAILS byIndex{};
                byIndex.cbStruct = sizeof byIndex;
                byIndex.dwFormatTagIndex = t.dwFormatTagIndex;
                ASSERT_EQ(acmFormatTagDetails(nullptr, &byIndex, ACM_FORMATTAGDETAILSF_INDEX),
                          MMSYSERR_NOERROR);
                EXPECT_EQ(byIndex.dwFormatTag, tag.tag);
            }
            size_t offered = 0;
            for (const acm::FormatEntry& f : drv->formats()) {
                if (f.wfx()->wFormatTag != tag.tag) continue;
                ++offered;
                EXPECT_LE(f.record.size(), t.cbFormatSize) << f.description;
            }
            EXPECT_EQ(t.cStandardFormats, offered);
            EXPECT_TRUE(tag.enumerated || offered == 0) << "a read-only tag offers no formats";
        }
    }
}

TEST(ContractTags, EnumerationByTagListsEachTableOnce) {
    uint32_t maxSize = 0;
    ASSERT_EQ(acmMetrics(nullptr, ACM_METRIC_MAX_SIZE_FORMAT, &maxSize), MMSYSERR_NOERROR);
    for (const acm::Driver* drv : acm::drivers()) {
        for (const acm::TagInfo& tag : drv->tags()) {
            if (!tag.enumerated) continue;
            std::vector<Bytes> listed;
            Bytes buffer(maxSize);
            auto* w = reinterpret_cast<WAVEFORMATEX*>(buffer.data());
            w->wFormatTag = tag.tag;
            ACMFORMATDETAILS d{};
            d.cbStruct = sizeof d;
            d.pwfx = w;
            d.cbwfx = maxSize;
            ASSERT_EQ(acmFormatEnum(
                          nullptr, &d,
                          [&](HACMDRIVERID, const ACMFORMATDETAILS& f, uint32_t) {
                              EXPECT_EQ(f.dwFormatTag, tag.tag);
                              listed.push_back(recordBytes(f.pwfx));
                              return true;
                          },
                          ACM_FORMATENUMF_WFORMATTAG),
                      MMSYSERR_NOERROR);
            std::vector<Bytes> table;
            for (const acm::FormatEntry& f : drv->formats())
                if (f.wfx()->wFormatTag == tag.tag) table.push_back(f.record);
            EXPECT_EQ(listed, table) << tag.name;
        }
    }
}

namespace {

void checkRecord(const Offered& o) {
    const WAVEFORMATEX* w = o.format->wfx();
    const uint32_t size = static_cast<uint32_t>(o.format->record.size());
    EXPECT_EQ(size, isPlainPcm(w) ? 18u : 18u + w->cbSize);
    EXPECT_EQ(acm::recordSize(w), size);
    EXPECT_GE(w->nChannels, 1);
    EXPECT_LE(w->nChannels, 2);
    EXPECT_GE(w->nSamplesPerSec, 1000u);
    EXPECT_NE(w->nBlockAlign, 0);
    // A byte rate between that of 1-bit audio and 32-bit PCM of the format.
    EXPECT_GE(uint64_t{w->nAvgBytesPerSec} * 8, w->nSamplesPerSec / 8);
    EXPECT_LE(w->nAvgBytesPerSec, uint64_t{w->nSamplesPerSec} * w->nChannels * 4);
    if (isPlainPcm(w)) {
        EXPECT_EQ(w->nBlockAlign, w->nChannels * w->wBitsPerSample / 8);
        EXPECT_EQ(w->nAvgBytesPerSec, w->nSamplesPerSec * w->nBlockAlign);
    }
    EXPECT_FALSE(o.format->description.empty());
    EXPECT_LT(o.format->description.size(), ACMFORMATDETAILS_FORMAT_CHARS);

    Bytes copy = o.format->record;
    ACMFORMATDETAILS d{};
    d.cbStruct = sizeof d;
    d.dwFormatTag = w->wFormatTag;
    d.pwfx = reinterpret_cast<WAVEFORMATEX*>(copy.data());
    d.cbwfx = size;
    ASSERT_EQ(acmFormatDetails(nullptr, &d, ACM_FORMATDETAILSF_FORMAT), MMSYSERR_NOERROR);
    EXPECT_EQ(d.szFormat, o.format->description);
    EXPECT_EQ(d.dwFormatTag, w->wFormatTag);
    EXPECT_EQ(d.fdwSupport, o.driver->support());
    EXPECT_EQ(copy, o.format->record) << "details must not change the record";
}

void checkDecoderSuggestion(const Offered& o) {
    const WAVEFORMATEX* w = o.format->wfx();
    WAVEFORMATEX out{};
    out.wFormatTag = WAVE_FORMAT_PCM;
    ASSERT_EQ(acmFormatSuggest(nullptr, w, &out, sizeof out, ACM_FORMATSUGGESTF_WFORMATTAG),
              MMSYSERR_NOERROR);
    EXPECT_EQ(out.wFormatTag, WAVE_FORMAT_PCM);
    EXPECT_EQ(out.wBitsPerSample, 16);
    EXPECT_EQ(out.nChannels, w->nChannels);
    EXPECT_EQ(out.nSamplesPerSec, w->nSamplesPerSec);
    EXPECT_EQ(out.nBlockAlign, 2 * w->nChannels);
    EXPECT_EQ(out.nAvgBytesPerSec, out.nBlockAlign * out.nSamplesPerSec);

    // Another rate or width is the PCM converter's job, not the decoder's.
    WAVEFORMATEX other{};
    other.wFormatTag = WAVE_FORMAT_PCM;
    other.nSamplesPerSec = w->nSamplesPerSec == 8000 ? 11025 : 8000;
    EXPECT_NE(acmFormatSuggest(nullptr, w, &other, sizeof other,
                               ACM_FORMATSUGGESTF_WFORMATTAG | ACM_FORMATSUGGESTF_NSAMPLESPERSEC),
              MMSYSERR_NOERROR);
    other = WAVEFORMATEX{};
    other.wFormatTag = WAVE_FORMAT_PCM;
    other.wBitsPerSample = 8;
    EXPECT_NE(acmFormatSuggest(nullptr, w, &other, sizeof other,
                               ACM_FORMATSUGGESTF_WFORMATTAG | ACM_FORMATSUGGESTF_WBITSPERSAMPLE),
              MMSYSERR_NOERROR);
}

void checkEncoderSuggestion(const Offered& o) {
    const WAVEFORMATEX* w = o.format->wfx();
    const Bytes pcm = pcmRecord(WAVE_FORMAT_PCM, w->nChannels, w->nSamplesPerSec, 16);
    uint32_t maxSize = 0;
    ASSERT_EQ(acmMetrics(nullptr, ACM_METRIC_MAX_SIZE_FORMAT, &maxSize), MMSYSERR_NOERROR);
    Bytes out(maxSize);
    reinterpret_cast<WAVEFORMATEX*>(out.data())->wFormatTag = w->wFormatTag;
    ASSERT_EQ(acmFormatSuggest(nullptr, wfx(pcm), reinterpret_cast<WAVEFORMATEX*>(out.data()),
                               maxSize, ACM_FORMATSUGGESTF_WFORMATTAG),
              MMSYSERR_NOERROR);
    const WAVEFORMATEX* s = wfx(out);
    EXPECT_EQ(s->wFormatTag, w->wFormatTag);
    EXPECT_EQ(s->nChannels, w->nChannels) << "channels follow the source";
    EXPECT_EQ(s->nSamplesPerSec, w->nSamplesPerSec) << "rate follows the source";
    out.resize(acm::recordSize(s));
    Stream stream;
    EXPECT_EQ(stream.open(pcm, out, ACM_STREAMOPENF_QUERY), MMSYSERR_NOERROR)
        << "a suggested format must open";
    ACMFORMATDETAILS d{};
    d.cbStruct = sizeof d;
    d.pwfx = reinterpret_cast<WAVEFORMATEX*>(out.data());
    d.cbwfx = static_cast<uint32_t>(out.size());
    EXPECT_EQ(acmFormatDetails(nullptr, &d, ACM_FORMATDETAILSF_FORMAT), MMSYSERR_NOERROR);
}

// Encodes 16-bit PCM into the format and decodes it back, with and without
// BLOCKALIGN, checking every call (see feed()).
void checkRoundTrip(const Offered& o) {
    const Bytes format = o.format->record;
    const WAVEFORMATEX* w = wfx(format);
    const uint16_t ch = w->nChannels;
    const Bytes pcm = pcmRecord(WAVE_FORMAT_PCM, ch, w->nSamplesPerSec, 16);

    {
        // Every offered format is reachable from 16-bit PCM of its rate and
        // channels: the PCM converter's directly, a codec's by its encoder.
        Stream q;
        ASSERT_EQ(q.open(pcm, format, ACM_STREAMOPENF_QUERY), MMSYSERR_NOERROR);
    }
    const uint32_t block = blockFrames(w);
    const size_t frames = std::max<size_t>(w->nSamplesPerSec * 3 / 20, 3 * block + 17);
    const Bytes signal = testSignal(w->nSamplesPerSec, ch, frames);

    for (const bool align : {false, true}) {
        SCOPED_TRACE(align ? "BLOCKALIGN" : "unaligned");
        Stream enc;
        ASSERT_EQ(enc.open(pcm, format), MMSYSERR_NOERROR);
        // Size queries on a fresh stream: a full source buffer's output fits
        // the destination size given for it.
        for (uint32_t dst : {4096u, 8192u, 65536u}) {
            const uint32_t src = enc.size(dst, ACM_STREAMSIZEF_DESTINATION);
            if (src) {
                EXPECT_LE(enc.size(src, ACM_STREAMSIZEF_SOURCE), dst);
            }
        }
        Feed f;
        f.blockAlign = align;
        f.srcBlock = block * 2 * ch;  // an encoder may wait for a whole codec block
        f.maxChunk = std::max(3 * block * 2 * ch + 7, 601u);
        f.seed = align ? 11 : 12;
        f.drainLength =
            std::max<uint32_t>(enc.size(8192, ACM_STREAMSIZEF_SOURCE), 4u * w->nBlockAlign);
        const Bytes coded = feed(enc, signal, f);
        ASSERT_FALSE(testing::Test::HasFailure());
        EXPECT_EQ(coded.size() % w->nBlockAlign, 0u) << "encoders write whole blocks";
        ASSERT_FALSE(coded.empty());

        Stream dec;
        ASSERT_EQ(dec.open(format, pcm), MMSYSERR_NOERROR) << "every encoder has its decoder";
        f.srcBlock = w->nBlockAlign;
        f.maxChunk = std::max(3u * w->nBlockAlign + 5, 601u);
        f.seed += 100;
        f.drainLength =
            std::max<uint32_t>(dec.size(4u * w->nBlockAlign, ACM_STREAMSIZEF_SOURCE), 4u * 2 * ch);
        const Bytes decoded = feed(dec, coded, f);
        ASSERT_FALSE(testing::Test::HasFailure());
        ASSERT_EQ(decoded.size() % (2 * ch), 0u);
        const size_t back = decoded.size() / (2 * ch);
        EXPECT_GE(back, frames) << "audio lost at the end";
        EXPECT_LE(back, frames + allowance(w)) << "more than a block of padding";
    }
}

}  // namespace

TEST_P(Contract, RecordsAreCompleteAndDescribed) {
    for (const Offered& o : everyFormat()) {
        SCOPED_TRACE(label(o));
        checkRecord(o);
    }
}

TEST_P(Contract, DecodersSuggestPcmAtTheirOwnRateAndChannels) {
    if (!(GetParam()->support() & ACMDRIVERDETAILS_SUPPORTF_CODEC)) GTEST_SKIP() << "not a codec";
    for (const Offered& o : everyFormat()) {
        SCOPED_TRACE(label(o));
        checkDecoderSuggestion(o);
    }
}

TEST_P(Contract, EncodersSuggestTheirTagFromPcm) {
    for (const Offered& o : everyFormat()) {
        SCOPED_TRACE(label(o));
        checkEncoderSuggestion(o);
    }
}

TEST_P(Contract, EncodeAndDecodeKeepTheLength) {
    for (const Offered& o : sampled(GetParam(), 64)) {
        SCOPED_TRACE(label(o));
        checkRoundTrip(o);
        if (HasFatalFailure()) return;
    }
}

INSTANTIATE_TEST_SUITE_P(EveryDriver, Contract, testing::ValuesIn(acm::drivers()), driverName);

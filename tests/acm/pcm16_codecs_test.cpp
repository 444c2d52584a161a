// SPDX-License-Identifier: GPL-3.0-or-later
// Rules the 16-bit PCM codecs (A-law, u-law, IMA ADPCM, MS ADPCM) share
// beyond the driver contract: what they accept from other tools, what they
// suggest from sources off their grid, and which conversions they refuse.
#include <gtest/gtest.h>

#include "pcm16_codec_util.h"

using namespace codectest;

namespace {

struct Codec {
    const char* name;
    const acm::Driver* (*driver)();
    uint16_t bits;
};

const Codec kCodecs[] = {{"alaw", acm::alawDriver, 8},
                         {"mulaw", acm::mulawDriver, 8},
                         {"imaadpcm", acm::imaAdpcmDriver, 4},
                         {"msadpcm", acm::msAdpcmDriver, 4}};

const WAVEFORMATEX* wfx(const Bytes& b) {
    return reinterpret_cast<const WAVEFORMATEX*>(b.data());
}

// A record of another tool: the table's 8,000 Hz one (256 bytes a channel
// for the ADPCMs) moved to another rate.
Bytes foreignRecord(const Codec& c, uint32_t rate, uint16_t channels) {
    Bytes b = tableFormat(c.driver(), 8000, channels);
    auto* w = reinterpret_cast<WAVEFORMATEX*>(b.data());
    w->nSamplesPerSec = rate;
    return b;
}

TEST(Pcm16Codecs, DescribeOtherToolsRecords) {
    for (const Codec& c : kCodecs) {
        SCOPED_TRACE(c.name);
        std::string d;
        const Bytes at16k = foreignRecord(c, 16000, 1);
        ASSERT_TRUE(c.driver()->describe(wfx(at16k), uint32_t(at16k.size()), &d));
        EXPECT_EQ(d, "16,000 Hz, " + std::to_string(c.bits) + " Bit, Mono");
        // sox's 256-byte blocks at 22,050 Hz, where the table has 512.
        const Bytes small = foreignRecord(c, 22050, 2);
        ASSERT_TRUE(c.driver()->describe(wfx(small), uint32_t(small.size()), &d));
        EXPECT_EQ(d, "22,050 Hz, " + std::to_string(c.bits) + " Bit, Stereo");
    }
}

TEST(Pcm16Codecs, Suggestions) {
    struct Row {
        const char* name;
        WAVEFORMATEX src;  // a PCM source
        uint32_t flags;
        WAVEFORMATEX want;  // template
        MMRESULT result;
    };
    const WAVEFORMATEX any{};
    const Row rows[] = {
        {"16-bit source on the grid", pcm16(11025, 2), 0, any, MMSYSERR_NOERROR},
        {"source rate off the grid", pcm16(16000, 1), 0, any, ACMERR_NOTPOSSIBLE},
        {"8-bit source", {WAVE_FORMAT_PCM, 1, 8000, 8000, 1, 8, 0}, 0, any, ACMERR_NOTPOSSIBLE},
        {"template asks other channels",
         pcm16(8000, 1),
         ACM_FORMATSUGGESTF_NCHANNELS,
         {0, 2, 0, 0, 0, 0, 0},
         ACMERR_NOTPOSSIBLE},
        {"template asks another rate",
         pcm16(8000, 1),
         ACM_FORMATSUGGESTF_NSAMPLESPERSEC,
         {0, 0, 22050, 0, 0, 0, 0},
         ACMERR_NOTPOSSIBLE},
    };
    for (const Codec& c : kCodecs) {
        for (const Row& r : rows) {
            SCOPED_TRACE(std::string(c.name) + ": " + r.name);
            Bytes out(64);
            std::memcpy(out.data(), &r.want, sizeof r.want);
            auto* dst = reinterpret_cast<WAVEFORMATEX*>(out.data());
            ASSERT_EQ(c.driver()->suggest(&r.src, dst, uint32_t(out.size()), r.flags), r.result);
            if (r.result != MMSYSERR_NOERROR) continue;
            out.resize(acm::recordSize(dst));
            EXPECT_EQ(out, tableFormat(c.driver(), r.src.nSamplesPerSec, r.src.nChannels));
        }
        // From another tool's record off the grid: PCM at its rate.
        SCOPED_TRACE(c.name);
        const Bytes foreign = foreignRecord(c, 16000, 2);
        WAVEFORMATEX pcm{};
        ASSERT_EQ(c.driver()->suggest(wfx(foreign), &pcm, sizeof pcm, 0), MMSYSERR_NOERROR);
        const WAVEFORMATEX expected = pcm16(16000, 2);
        EXPECT_EQ(std::memcmp(&pcm, &expected, sizeof pcm), 0);
        // A buffer too small for the record is not written past.
        Bytes tiny(sizeof(WAVEFORMATEX) - 1, 0xEE);
        const WAVEFORMATEX src = pcm16(8000, 1);
        EXPECT_NE(c.driver()->suggest(&src, reinterpret_cast<WAVEFORMATEX*>(tiny.data()),
                                      uint32_t(tiny.size()), 0),
                  MMSYSERR_NOERROR);
    }
}

TEST(Pcm16Codecs, OnlySameRateAndChannels16BitPcm) {
    for (const Codec& c : kCodecs) {
        const Bytes table = tableFormat(c.driver(), 22050, 2);
        const Bytes foreign = foreignRecord(c, 22050, 2);
        struct Row {
            const char* name;
            const void* src;
            size_t cbSrc;
            WAVEFORMATEX pcm;  // the other side
            bool encode;       // PCM is the source
            MMRESULT result;
        };
        const WAVEFORMATEX eightBit{WAVE_FORMAT_PCM, 2, 22050, 44100, 2, 8, 0};
        const Row rows[] = {
            {"decode", table.data(), table.size(), pcm16(22050, 2), false, MMSYSERR_NOERROR},
            {"encode", table.data(), table.size(), pcm16(22050, 2), true, MMSYSERR_NOERROR},
            {"decode another tool's record", foreign.data(), foreign.size(), pcm16(22050, 2), false,
             MMSYSERR_NOERROR},
            // Encoders write only what the table offers (G.711 has one
            // record per rate and channels, so nothing else to refuse).
            {"encode into another tool's record", foreign.data(), foreign.size(), pcm16(22050, 2),
             true, c.bits == 8 ? MMSYSERR_NOERROR : ACMERR_NOTPOSSIBLE},
            {"decode to another rate", table.data(), table.size(), pcm16(44100, 2), false,
             ACMERR_NOTPOSSIBLE},
            {"decode to mono", table.data(), table.size(), pcm16(22050, 1), false,
             ACMERR_NOTPOSSIBLE},
            {"decode to 8 bits", table.data(), table.size(), eightBit, false, ACMERR_NOTPOSSIBLE},
            {"encode from 8 bits", table.data(), table.size(), eightBit, true, ACMERR_NOTPOSSIBLE},
            {"encode from mono", table.data(), table.size(), pcm16(22050, 1), true,
             ACMERR_NOTPOSSIBLE},
            {"record cut short", table.data(), table.size() - 1, pcm16(22050, 2), false,
             ACMERR_NOTPOSSIBLE},
        };
        for (const Row& r : rows) {
            SCOPED_TRACE(std::string(c.name) + ": " + r.name);
            const auto* coded = static_cast<const WAVEFORMATEX*>(r.src);
            const MMRESULT got =
                r.encode
                    ? c.driver()->open(&r.pcm, sizeof r.pcm, coded, uint32_t(r.cbSrc), 0, nullptr)
                    : c.driver()->open(coded, uint32_t(r.cbSrc), &r.pcm, sizeof r.pcm, 0, nullptr);
            EXPECT_EQ(got, r.result);
        }
    }
}

}  // namespace

// SPDX-License-Identifier: GPL-3.0-or-later
// G.711 A-law and u-law through their drivers: code tables against known
// values and sox, every 16-bit input, round trips, and files of other tools.
#include <gtest/gtest.h>

#include "pcm16_codec_util.h"

using namespace codectest;

namespace {

struct Law {
    const char* name;
    const acm::Driver* (*driver)();
};

const Law kLaws[] = {{"alaw", acm::alawDriver}, {"mulaw", acm::mulawDriver}};

Bytes format(const Law& law, uint32_t rate = 8000, uint16_t channels = 1) {
    return tableFormat(law.driver(), rate, channels);
}

// Every 16-bit value once, in rising order.
Samples allInputs() {
    Samples s(65536);
    for (int i = 0; i < 65536; ++i) s[i] = static_cast<int16_t>(i - 32768);
    return s;
}

Samples allCodesDecoded(const Law& law) {
    Bytes codes(256);
    for (int c = 0; c < 256; ++c) codes[c] = static_cast<uint8_t>(c);
    return driverDecode(law.driver(), format(law), codes);
}

// The step of the quantiser around |x| on the 16-bit scale.
int stepAt(const Law& law, int x) {
    const int m = std::abs(x);
    if (law.driver() == acm::alawDriver()) {
        int k = 0;
        while ((2 << k) <= m) ++k;  // 2^k <= m < 2^(k+1)
        return std::max(16, 1 << std::max(0, k - 4));
    }
    int s = 0;
    while (s < 7 && (128 << (s + 1)) - 132 <= m) ++s;
    return 8 << s;
}

TEST(G711, KnownValues) {
    // Sample -> code -> decoded sample, worked out from the G.711 tables.
    struct Row {
        const char* name;
        const acm::Driver* (*driver)();
        int16_t sample;
        uint8_t code;
        int16_t decoded;
    };
    const Row rows[] = {
        {"A zero", acm::alawDriver, 0, 0xD5, 8},
        {"A minus one", acm::alawDriver, -1, 0x55, -8},
        {"A 1000", acm::alawDriver, 1000, 0xFA, 1008},
        {"A -1000", acm::alawDriver, -1000, 0x7A, -1008},
        {"A max", acm::alawDriver, 32767, 0xAA, 32256},
        {"A min", acm::alawDriver, -32768, 0x2A, -32256},
        {"u zero", acm::mulawDriver, 0, 0xFF, 0},
        {"u minus one", acm::mulawDriver, -1, 0x7F, 0},
        {"u 1000", acm::mulawDriver, 1000, 0xCE, 988},
        {"u -1000", acm::mulawDriver, -1000, 0x4E, -988},
        {"u max", acm::mulawDriver, 32767, 0x80, 32124},
        {"u min", acm::mulawDriver, -32768, 0x00, -32124},
    };
    for (const Row& r : rows) {
        const Bytes fmt = tableFormat(r.driver(), 8000, 1);
        const Bytes code = driverEncode(r.driver(), fmt, {r.sample});
        ASSERT_EQ(code.size(), 1u) << r.name;
        EXPECT_EQ(code[0], r.code) << r.name;
        EXPECT_EQ(driverDecode(r.driver(), fmt, {r.code}), Samples{r.decoded}) << r.name;
    }
}

TEST(G711, DecodeTablesMatchSox) {
    for (const Law& law : kLaws) {
        const Samples sox = toSamples(readFile(dataPath(std::string(law.name) + "_codes_sox.s16")));
        EXPECT_EQ(allCodesDecoded(law), sox) << law.name;
    }
}

TEST(G711, EveryInput) {
    const Samples in = allInputs();
    for (const Law& law : kLaws) {
        SCOPED_TRACE(law.name);
        const Bytes codes = driverEncode(law.driver(), format(law), in);
        ASSERT_EQ(codes.size(), in.size());
        const Samples table = allCodesDecoded(law);
        const int clip = table[0xFF ^ (law.driver() == acm::alawDriver() ? 0x55 : 0x7F)];
        int errors = 0;
        for (size_t i = 0; i < in.size() && errors < 5; ++i) {
            const int x = in[i];
            const int y = table[codes[i]];
            const bool ok =
                (i == 0 || y >= table[codes[i - 1]]) &&  // monotonic
                (std::abs(x) > std::abs(clip) ? std::abs(y) == std::abs(clip)
                                              : std::abs(y - x) <= stepAt(law, x) / 2) &&
                (x <= 0 || codes[i] == (codes[65536 - i] ^ 0x80));  // mirror
            if (!ok) {
                ++errors;
                ADD_FAILURE() << "input " << x << " -> code " << int(codes[i]) << " -> " << y;
            }
        }
        // Decoding then encoding gives the code back; u-law's negative zero
        // becomes the positive one.
        const Bytes again = driverEncode(law.driver(), format(law), table);
        for (int c = 0; c < 256; ++c) {
            const int want = (law.driver() == acm::mulawDriver() && c == 0x7F) ? 0xFF : c;
            EXPECT_EQ(again[c], want) << "code " << c;
        }
    }
}

TEST(G711, RoundTrips) {
    // Log companding holds the SNR near 38 dB over most of the range (36-38
    // measured on these rows); a lost mantissa bit costs 6 dB.
    constexpr double kMarginDb = 35;
    struct Row {
        const char* name;
        Samples (*make)(uint32_t, double, uint16_t);
    };
    const Row signals[] = {{"speech", speechLike}, {"music", musicLike}, {"loud", loudSignal}};
    for (const Law& law : kLaws) {
        for (const Row& sig : signals) {
            for (uint32_t rate : {8000u, 11025u, 22050u, 44100u}) {
                for (uint16_t ch : {uint16_t{1}, uint16_t{2}}) {
                    SCOPED_TRACE(std::string(law.name) + " " + sig.name + " " +
                                 std::to_string(rate) + "/" + std::to_string(ch));
                    const Samples in = sig.make(rate, 0.4, ch);
                    const Bytes fmt = format(law, rate, ch);
                    const Bytes coded = driverEncode(law.driver(), fmt, in, 777);
                    EXPECT_EQ(coded.size(), in.size());
                    const Samples out = driverDecode(law.driver(), fmt, coded, 333);
                    ASSERT_EQ(out.size(), in.size());
                    EXPECT_GT(snrDb(in, out), kMarginDb);
                }
            }
        }
    }
}

TEST(G711, CutStereoFrameEndsInSilence) {
    for (const Law& law : kLaws) {
        const Bytes fmt = format(law, 8000, 2);
        const Bytes coded = driverEncode(law.driver(), fmt, {1000, -1000, 2000});
        ASSERT_EQ(coded.size(), 4u) << law.name;  // the cut frame is completed with silence
        const Samples out = driverDecode(law.driver(), fmt, {coded[0], coded[1], coded[2]});
        ASSERT_EQ(out.size(), 4u) << law.name;
        EXPECT_EQ(out[3], driverDecode(law.driver(), format(law), {coded[3]})[0]) << law.name;
        EXPECT_LE(std::abs(out[3]), 8) << law.name;
    }
}

TEST(G711, FilesOfOtherTools) {
    const std::pair<const acm::Driver* (*)(), const char*> files[] = {
        {acm::alawDriver, "alaw_sox_8000_stereo"},
        {acm::alawDriver, "alaw_ffmpeg_22050"},
        {acm::mulawDriver, "mulaw_sox_11025"},
        {acm::mulawDriver, "mulaw_ffmpeg_8000_stereo"},
    };
    for (const auto& [driver, name] : files) expectDecodesLikeSox(driver(), name);
}

TEST(G711, OtherToolsDecodeOurFiles) {
    for (const char* tool : {"sox", "ffmpeg"}) {
        if (!haveTool(tool)) continue;
        for (const Law& law : kLaws) {
            SCOPED_TRACE(std::string(tool) + " " + law.name);
            const Samples in = musicLike(22050, 0.3, 2);
            const Bytes fmt = format(law, 22050, 2);
            const Bytes coded = driverEncode(law.driver(), fmt, in);
            // Both tools decode G.711 with the same tables as ours.
            EXPECT_EQ(toolDecode(tool, fmt, coded, uint32_t(in.size() / 2), law.name),
                      driverDecode(law.driver(), fmt, coded));
        }
    }
    if (!haveTool("sox") || !haveTool("ffmpeg")) GTEST_SKIP() << "sox or ffmpeg missing";
}

}  // namespace

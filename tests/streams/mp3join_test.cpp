// SPDX-License-Identifier: GPL-3.0-or-later
#include "mp3join.h"

#include <gtest/gtest.h>

#include <vector>

using namespace mp3join;

namespace {

// Frames of MPEG-1 Layer III, 32 kHz mono, no CRC: 144 bytes at 32 kbit/s, 17 of them side
// information, 123 of payload.
constexpr std::size_t kPayload = 123;

struct Spec {
    std::size_t mainSize;
    uint32_t begin;                           // main_data_begin
    uint8_t first = kNormal, last = kNormal;  // block types of the two granules
};

// The frames, frame i's main data all i + 1, placed as the specs say; the rest ancillary.
std::vector<uint8_t> Stream(const std::vector<Spec>& Specs) {
    std::vector<uint8_t> payloads(Specs.size() * kPayload + 256, 0xAA), out;
    for (std::size_t i = 0; i < Specs.size(); ++i)
        std::fill_n(payloads.begin() + std::ptrdiff_t(i * kPayload - Specs[i].begin),
                    Specs[i].mainSize, uint8_t(i + 1));
    for (std::size_t i = 0; i < Specs.size(); ++i) {
        std::vector<uint8_t> head(4 + 17, 0);
        head[0] = 0xFF, head[1] = 0xFB, head[2] = 1 << 4 | 2 << 2, head[3] = 0xC0;
        std::size_t bit = 32;
        auto put = [&](uint32_t value, unsigned width) {
            for (unsigned b = width; b-- > 0; ++bit)
                if ((value >> b) & 1) head[bit / 8] |= uint8_t(0x80 >> (bit % 8));
        };
        put(Specs[i].begin, 9);
        put(0, 9);  // private bits, scfsi
        for (unsigned gr = 0; gr < 2; ++gr) {
            put(uint32_t(Specs[i].mainSize) * 4, 12);  // half the bits in each granule
            put(0, 21);
            put(0, 1 + 22 + 3);  // long blocks
        }
        out.insert(out.end(), head.begin(), head.end());
        out.insert(out.end(), payloads.begin() + std::ptrdiff_t(i * kPayload),
                   payloads.begin() + std::ptrdiff_t((i + 1) * kPayload));
    }
    return out;
}

std::vector<uint8_t> MainOf(const Frames& F, std::size_t I) {
    const auto at = F.payload.begin() + std::ptrdiff_t(F.frames[I].mainAt);
    return {at, at + std::ptrdiff_t(F.frames[I].mainSize)};
}

std::vector<uint8_t> Laid(Layout& L) {
    L.Finish();
    std::vector<uint8_t> out;
    L.Take(out);
    return out;
}

}  // namespace

// Main data laid out again as early as the frames before allow, every frame's bytes kept.
TEST(Mp3Join, LaysMainDataOutAsEarlyAsItFits) {
    struct Row {
        const char* name;
        std::vector<Spec> specs;
        std::vector<uint32_t> begins;  // after laying out
    } rows[] = {
        {"each in its own payload", {{100, 0}, {123, 0}, {50, 0}}, {0, 23, 23}},
        {"gaps closed", {{40, 0}, {60, 0}, {150, 63}}, {0, 83, 146}},
        {"already in the reservoir", {{20, 0}, {200, 103}, {120, 26}}, {0, 103, 26}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const auto bytes = Stream(row.specs);
        Frames parsed, again;
        ASSERT_TRUE(Parse(bytes.data(), bytes.size(), parsed));
        Layout layout;
        for (std::size_t i = 0; i < row.specs.size(); ++i) {
            EXPECT_EQ(MainOf(parsed, i), std::vector<uint8_t>(row.specs[i].mainSize, i + 1));
            const Frame& f = parsed.frames[i];
            ASSERT_TRUE(layout.Append(f, parsed.payload.data() + f.mainAt));
        }
        const auto out = Laid(layout);
        ASSERT_EQ(out.size(), bytes.size());
        ASSERT_TRUE(Parse(out.data(), out.size(), again));
        for (std::size_t i = 0; i < row.specs.size(); ++i) {
            EXPECT_EQ(again.frames[i].mainBegin, row.begins[i]) << i;
            EXPECT_EQ(MainOf(again, i), MainOf(parsed, i)) << i;
        }
    }
}

TEST(Mp3Join, RefusesWhatItCannotRelay) {
    auto crc = Stream({{50, 0}}), early = crc, junk = crc;
    crc[1] = 0xFA;
    early[4] = 0x10;  // main_data_begin 32 in the first frame
    junk.push_back(0);
    auto overrun = Stream({{124, 0}});
    for (const auto* bytes : {&crc, &early, &junk, &overrun}) {
        Frames parsed;
        EXPECT_FALSE(Parse(bytes->data(), bytes->size(), parsed));
    }
}

// A frame whose encoder counted on more reservoir than the frames before it left does not
// fit; at the next bit rate it does, and the stream stays valid.
TEST(Mp3Join, JoinWithTooLittleRoom) {
    const auto first = Stream({{123, 0}, {123, 0}}), second = Stream({{20, 0}, {150, 103}});
    Frames a, b, joined;
    ASSERT_TRUE(Parse(first.data(), first.size(), a));
    ASSERT_TRUE(Parse(second.data(), second.size(), b));
    Layout layout;
    for (const auto& f : a.frames) ASSERT_TRUE(layout.Append(f, a.payload.data() + f.mainAt));
    Frame join = b.frames[1];
    EXPECT_FALSE(layout.Append(join, b.payload.data() + join.mainAt));
    EXPECT_EQ(layout.Position().payload, int64_t(2 * kPayload));
    ASSERT_TRUE(join.Bump());
    EXPECT_EQ(join.length, 180u);  // 40 kbit/s
    ASSERT_TRUE(layout.Append(join, b.payload.data() + join.mainAt));
    const auto out = Laid(layout);
    ASSERT_TRUE(Parse(out.data(), out.size(), joined));
    EXPECT_EQ(MainOf(joined, 1), MainOf(a, 1));
    EXPECT_EQ(MainOf(joined, 2), MainOf(b, 1));
}

// SPDX-License-Identifier: GPL-3.0-or-later
#include "mp3join.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

// MPEG-1 Layer III, 32 kHz mono, no CRC: 144 bytes a frame at 32 kbit/s, 17 of them side
// information, so 123 of payload.
constexpr std::size_t kPayload = 123;

class BitWriter {
  public:
    explicit BitWriter(uint8_t* Data) : data_(Data) {}
    void Put(uint32_t Value, unsigned Width) {
        for (unsigned i = Width; i-- > 0; ++at_)
            if ((Value >> i) & 1u) data_[at_ / 8] = uint8_t(data_[at_ / 8] | 0x80u >> (at_ % 8));
    }

  private:
    uint8_t* data_;
    std::size_t at_ = 0;
};

struct Spec {
    std::size_t mainSize;  // bytes of main data
    uint32_t begin;        // main_data_begin as written
    uint8_t block0 = mp3join::kNormal, block1 = mp3join::kNormal;
};

// Header and side information of a frame with the given main data and block types.
std::vector<uint8_t> Head(const Spec& S, unsigned BitrateIndex = 1) {
    std::vector<uint8_t> head(4 + 17, 0);
    head[0] = 0xFF;
    head[1] = 0xFB;
    head[2] = uint8_t(BitrateIndex << 4 | 2 << 2);
    head[3] = 0xC0;
    BitWriter bits(head.data() + 4);
    bits.Put(S.begin, 9);
    bits.Put(0, 5 + 4);  // private bits, scfsi
    const uint32_t total = uint32_t(S.mainSize) * 8;
    for (unsigned gr = 0; gr < 2; ++gr) {
        bits.Put(gr == 0 ? total / 2 : total - total / 2, 12);
        bits.Put(0, 9 + 8 + 4);
        const uint8_t block = gr == 0 ? S.block0 : S.block1;
        bits.Put(block != mp3join::kNormal, 1);
        if (block != mp3join::kNormal) {
            bits.Put(block, 2);
            bits.Put(0, 20);
        } else {
            bits.Put(0, 22);
        }
        bits.Put(0, 3);
    }
    return head;
}

// A stream of frames whose main data is placed as Specs says, frame i's bytes all i + 1.
std::vector<uint8_t> Stream(const std::vector<Spec>& Specs) {
    // Ancillary bytes where unused; room past the end for main data that overruns it.
    std::vector<uint8_t> payloads(Specs.size() * kPayload + 256, 0xAA);
    for (std::size_t i = 0; i < Specs.size(); ++i) {
        const std::size_t at = i * kPayload - Specs[i].begin;
        std::fill_n(payloads.begin() + std::ptrdiff_t(at), Specs[i].mainSize, uint8_t(i + 1));
    }
    std::vector<uint8_t> out;
    for (std::size_t i = 0; i < Specs.size(); ++i) {
        const auto head = Head(Specs[i]);
        out.insert(out.end(), head.begin(), head.end());
        out.insert(out.end(), payloads.begin() + std::ptrdiff_t(i * kPayload),
                   payloads.begin() + std::ptrdiff_t((i + 1) * kPayload));
    }
    return out;
}

std::vector<uint8_t> MainOf(const mp3join::Frames& F, std::size_t I) {
    const auto& f = F.frames[I];
    return {F.payload.begin() + std::ptrdiff_t(f.mainAt),
            F.payload.begin() + std::ptrdiff_t(f.mainAt + f.mainSize)};
}

}  // namespace

// Frames parsed and laid out again keep every frame's main data, now as early as the frames
// before allow.
TEST(Mp3Join, LaysMainDataOutAsEarlyAsItFits) {
    struct Row {
        const char* name;
        std::vector<Spec> specs;
        std::vector<uint32_t> begins;  // after laying out
    } rows[] = {
        {"each in its own payload", {{100, 0}, {123, 0}, {50, 0}}, {0, 23, 23}},
        {"gaps closed", {{40, 0}, {60, 0}, {150, 63}}, {0, 83, 146}},
        {"already in the reservoir", {{20, 0}, {200, 103}, {120, 26}}, {0, 103, 26}},
        {"short blocks", {{10, 0, 0, 1}, {10, 0, 2, 3}}, {0, 113}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const auto bytes = Stream(row.specs);
        mp3join::Frames parsed;
        ASSERT_TRUE(mp3join::Parse(bytes.data(), bytes.size(), parsed));
        ASSERT_EQ(parsed.frames.size(), row.specs.size());
        mp3join::Layout layout;
        for (std::size_t i = 0; i < row.specs.size(); ++i) {
            EXPECT_EQ(parsed.frames[i].mainSize, row.specs[i].mainSize);
            EXPECT_EQ(parsed.frames[i].mainBegin, row.specs[i].begin);
            EXPECT_EQ(MainOf(parsed, i),
                      std::vector<uint8_t>(row.specs[i].mainSize, uint8_t(i + 1)));
            ASSERT_TRUE(
                layout.Append(parsed.frames[i], parsed.payload.data() + parsed.frames[i].mainAt));
        }
        layout.Finish();
        std::vector<uint8_t> out;
        layout.Take(out);
        ASSERT_EQ(out.size(), bytes.size());
        mp3join::Frames again;
        ASSERT_TRUE(mp3join::Parse(out.data(), out.size(), again));
        for (std::size_t i = 0; i < row.specs.size(); ++i) {
            EXPECT_EQ(again.frames[i].mainBegin, row.begins[i]) << i;
            EXPECT_EQ(MainOf(again, i), MainOf(parsed, i)) << i;
            EXPECT_EQ(again.frames[i].firstBlock[0], row.specs[i].block0);
            EXPECT_EQ(again.frames[i].lastBlock[0], row.specs[i].block1);
        }
    }
}

// Parsing refuses what cannot be laid out again.
TEST(Mp3Join, RefusesWhatItCannotRelay) {
    auto crc = Stream({{50, 0}});
    crc[1] = 0xFA;
    auto truncated = Stream({{50, 0}, {50, 0}});
    truncated.pop_back();
    auto junk = Stream({{50, 0}});
    junk.push_back(0);
    auto early = Stream({{50, 0}});
    early[4] = 0x10;  // main_data_begin 32 in the first frame
    struct Row {
        const char* name;
        std::vector<uint8_t> bytes;
    } rows[] = {
        {"a CRC", crc},
        {"a cut frame", truncated},
        {"bytes after the last frame", junk},
        {"main data before the stream", early},
        {"main data past the frame's end", Stream({{124, 0}})},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        mp3join::Frames parsed;
        EXPECT_FALSE(mp3join::Parse(row.bytes.data(), row.bytes.size(), parsed));
    }
}

// A frame from another encoder that counted on more reservoir than the frames before it left
// does not fit; at the next bit rate it does, and the stream stays valid.
TEST(Mp3Join, JoinWithTooLittleRoom) {
    const auto first = Stream({{123, 0}, {123, 0}});  // full payloads: no room left
    const auto second = Stream({{20, 0}, {150, 103}});
    mp3join::Frames a, b;
    ASSERT_TRUE(mp3join::Parse(first.data(), first.size(), a));
    ASSERT_TRUE(mp3join::Parse(second.data(), second.size(), b));
    mp3join::Layout layout;
    for (const auto& f : a.frames) ASSERT_TRUE(layout.Append(f, a.payload.data() + f.mainAt));

    mp3join::Frame join = b.frames[1];
    const uint8_t* main = b.payload.data() + join.mainAt;
    mp3join::Layout::State state = layout.Position();
    EXPECT_FALSE(mp3join::Layout::Place(state, join));
    EXPECT_FALSE(layout.Append(join, main));
    EXPECT_EQ(layout.Position().payload, int64_t(2 * kPayload))
        << "a failed append changes nothing";
    ASSERT_TRUE(join.Bump());
    EXPECT_EQ(join.length, 180u);  // 40 kbit/s
    ASSERT_TRUE(layout.Append(join, main));
    layout.Finish();
    std::vector<uint8_t> out;
    layout.Take(out);
    mp3join::Frames joined;
    ASSERT_TRUE(mp3join::Parse(out.data(), out.size(), joined));
    ASSERT_EQ(joined.frames.size(), 3u);
    EXPECT_EQ(MainOf(joined, 2), MainOf(b, 1));
    EXPECT_EQ(MainOf(joined, 1), MainOf(a, 1));
}

TEST(Mp3Join, WindowShapesThatFollowOn) {
    using namespace mp3join;
    struct Row {
        uint8_t last, next;
        bool follows;
    } rows[] = {
        {kNormal, kNormal, true}, {kNormal, kStart, true}, {kNormal, kShort, false},
        {kNormal, kStop, false},  {kStart, kShort, true},  {kStart, kStop, true},
        {kStart, kNormal, false}, {kShort, kShort, true},  {kShort, kStart, false},
        {kStop, kNormal, true},   {kStop, kShort, false},
    };
    for (const auto& row : rows) {
        mp3join::Frames f;
        const auto bytes = Stream({{10, 0, kNormal, row.last}, {10, 0, row.next, kNormal}});
        ASSERT_TRUE(Parse(bytes.data(), bytes.size(), f));
        EXPECT_EQ(Compatible(f.frames[0], f.frames[1]), row.follows)
            << int(row.last) << " then " << int(row.next);
    }
}

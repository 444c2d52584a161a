// SPDX-License-Identifier: GPL-3.0-or-later
// MPEG Layer-3 frames taken apart and laid out again, so that frame sequences from different
// encoders join into one valid stream.
//
// A frame is a header, side information and a payload; but the payload does not hold the
// frame's own coded audio (its main data): that begins main_data_begin bytes earlier in the
// stream of payloads, in the frames before it (the bit reservoir), and what follows it up to
// the next frame's main data is ancillary. Joined as they are, the first frames of the second
// sequence would point into payloads that now belong to other audio. So the frames are parsed
// into header, side information and main data, and a layout puts each frame's main data as
// early as the frames before it and the field's reach allow, rewriting main_data_begin. Laid
// out so, a frame's main data never starts later than its encoder put it, and so always fits,
// except after a join, where the earlier sequence may have left less room than the encoder
// of the later one had counted on.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

namespace mp3join {

// Block types of a granule's channel: normal, start, short, stop.
enum Block : uint8_t { kNormal = 0, kStart = 1, kShort = 2, kStop = 3 };

struct Frame {
    std::array<uint8_t, 36> head{};  // header and side information
    std::size_t length = 0;          // bytes in the stream, header included
    std::size_t side = 0;            // bytes of side information
    uint32_t maxBegin = 0;           // the furthest back main data may begin
    uint32_t mainBegin = 0;          // main_data_begin as parsed
    std::size_t mainAt = 0;          // where the main data starts in Frames::payload
    std::size_t mainSize = 0;        // bytes of main data
    uint8_t channels = 0;
    bool mpeg1 = false;                   // else MPEG-2 or 2.5: one granule, shorter fields
    std::array<uint8_t, 2> firstBlock{};  // per channel, of the first granule
    std::array<uint8_t, 2> lastBlock{};   // and of the last

    std::size_t Payload() const { return length - 4 - side; }
    // The next higher bit rate for this frame (its payload grows); false at the highest.
    bool Bump();
};

// A sequence of frames as an encoder wrote it, and their payloads one after the other.
struct Frames {
    std::vector<Frame> frames;
    std::vector<uint8_t> payload;
};

// Parses Size bytes of Layer-3 frames, all of them. False when something else is there,
// when a frame carries a CRC (its side information would change), or when a frame's main
// data lies outside the payloads before its end.
bool Parse(const uint8_t* Data, std::size_t Size, Frames& Out);

// Whether Next may follow Prev without a window shape that does not fit the one before it:
// a long or stop block goes on with a long or start block, a start or short block with a
// short or stop block.
bool Compatible(const Frame& Prev, const Frame& Next);

// Frames laid out into a stream.
class Layout {
  public:
    // The stream's positions, in bytes of payload: where the next frame's payload begins,
    // and where the main data so far ends.
    struct State {
        int64_t payload = 0;
        int64_t mainEnd = 0;
    };

    // Advances S over F; false when F's main data does not fit before its payload's end.
    // Begin is set to the main_data_begin F gets.
    static bool Place(State& S, const Frame& F, uint32_t* Begin = nullptr);

    const State& Position() const { return state_; }

    // Lays F out, its main data taken from Main (F.mainSize bytes); false, with nothing
    // changed, when it does not fit.
    bool Append(const Frame& F, const uint8_t* Main);
    // No more frames: all laid out frames are final.
    void Finish();
    // Moves the frames whose payload nothing can change any more to the end of Out.
    void Take(std::vector<uint8_t>& Out);

  private:
    struct Pending {
        std::size_t at;    // of its payload in bytes_
        int64_t payload;   // its payload's position in the stream
        std::size_t size;  // of its payload
        std::size_t end;   // of the frame in bytes_
    };

    State state_;
    std::vector<uint8_t> bytes_;  // frames not taken yet
    std::deque<Pending> pending_;
    std::size_t final_ = 0;  // bytes at the front of bytes_ that are final
};

}  // namespace mp3join

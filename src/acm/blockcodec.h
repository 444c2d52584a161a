// SPDX-License-Identifier: GPL-3.0-or-later
// Whole-block arithmetic and the common convert loop of codecs that turn
// fixed-size input blocks into fixed-size output blocks (G.711 sample
// frames, ADPCM blocks, GSM frame pairs).
#pragma once

#include <cstdint>
#include <vector>

#include "driver.h"

namespace acm {

namespace blocks {
// Whole blocks in `bytes`.
constexpr uint32_t whole(uint32_t bytes, uint32_t block) {
    return block ? bytes / block : 0;
}
// Blocks needed to hold `bytes`, rounding up.
constexpr uint32_t roundedUp(uint32_t bytes, uint32_t block) {
    return block ? static_cast<uint32_t>((uint64_t{bytes} + block - 1) / block) : 0;
}
}  // namespace blocks

// A partial input block (or frame) held between convert calls: codecs that take input in
// whole blocks keep a trailing remainder, counted as used, until the next call completes it
// or END pads it. `wholeOnly` is BLOCKALIGN without END: input then goes in whole blocks only.
class HeldBlock {
  public:
    explicit HeldBlock(uint32_t block) : bytes_(block) {}

    bool empty() const { return held_ == 0; }
    uint32_t size() const { return held_; }
    const uint8_t* data() const { return bytes_.data(); }
    void clear() { held_ = 0; }

    // Takes input towards the held block; true when it is whole, and the caller converts
    // data() and clears it. Input that would complete it stays put without `room` for its
    // output; a partial fill waits when wholeOnly.
    bool fill(Codec::Buffers& io, bool wholeOnly, bool room);
    // With nothing held, keeps the input's trailing partial block (unless wholeOnly).
    void keepTail(Codec::Buffers& io, bool wholeOnly);
    // Pads the held bytes to a whole block with `pad` and returns it; the caller clears.
    const uint8_t* padded(uint8_t pad);

  private:
    std::vector<uint8_t> bytes_;
    uint32_t held_ = 0;
};

class BlockCodec : public Codec {
  public:
    BlockCodec(uint32_t inBlock, uint32_t outBlock);

    // SOURCE: output of cbInput bytes, whole blocks rounded up.
    // DESTINATION: input whose output fits cbInput bytes (whole blocks).
    MMRESULT size(uint32_t cbInput, uint32_t* pcbOutput, uint32_t fdwSize) const override;
    MMRESULT convert(Buffers& io, uint32_t fdwConvert) override;

    uint32_t inBlock() const { return inBlock_; }
    uint32_t outBlock() const { return outBlock_; }

  protected:
    // Converts `count` whole blocks from `in` to `out`.
    virtual void processBlocks(const uint8_t* in, uint8_t* out, uint32_t count) = 0;
    // Converts a trailing partial block of `inLength` (< inBlock) bytes at
    // the end of the data into at most outBlock bytes; returns the bytes
    // written. The default pads the input with zero bytes (silence for PCM)
    // to a whole block.
    virtual uint32_t processPartial(const uint8_t* in, uint32_t inLength, uint8_t* out);

  private:
    uint32_t inBlock_;
    uint32_t outBlock_;
    HeldBlock pending_;
    std::vector<uint8_t> scratch_;
};

}  // namespace acm

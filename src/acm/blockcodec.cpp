// SPDX-License-Identifier: GPL-3.0-or-later
#include "blockcodec.h"

#include <algorithm>
#include <cstring>

namespace acm {

bool HeldBlock::fill(Codec::Buffers& io, bool wholeOnly, bool room) {
    const uint32_t left = io.srcLength - io.srcUsed;
    if (held_ == 0 || left == 0) return false;
    const uint32_t block = static_cast<uint32_t>(bytes_.size());
    const uint32_t take = std::min(block - held_, left);
    const bool whole = held_ + take == block;
    if (whole ? !room : wholeOnly) return false;
    std::memcpy(bytes_.data() + held_, io.src + io.srcUsed, take);
    held_ += take;
    io.srcUsed += take;
    return whole;
}

void HeldBlock::keepTail(Codec::Buffers& io, bool wholeOnly) {
    const uint32_t left = io.srcLength - io.srcUsed;
    if (held_ != 0 || left == 0 || left >= bytes_.size() || wholeOnly) return;
    std::memcpy(bytes_.data(), io.src + io.srcUsed, left);
    held_ = left;
    io.srcUsed = io.srcLength;
}

const uint8_t* HeldBlock::padded(uint8_t pad) {
    std::memset(bytes_.data() + held_, pad, bytes_.size() - held_);
    return bytes_.data();
}

BlockCodec::BlockCodec(uint32_t inBlock, uint32_t outBlock)
    : inBlock_(inBlock), outBlock_(outBlock), pending_(inBlock), scratch_(inBlock) {}

MMRESULT BlockCodec::size(uint32_t cbInput, uint32_t* pcbOutput, uint32_t fdwSize) const {
    if (!pcbOutput || inBlock_ == 0 || outBlock_ == 0) return MMSYSERR_INVALPARAM;
    uint64_t out;
    if (fdwSize == ACM_STREAMSIZEF_SOURCE)
        out = uint64_t{blocks::roundedUp(cbInput, inBlock_)} * outBlock_;
    else if (fdwSize == ACM_STREAMSIZEF_DESTINATION)
        out = uint64_t{blocks::whole(cbInput, outBlock_)} * inBlock_;
    else
        return MMSYSERR_INVALFLAG;
    if (out > UINT32_MAX) return ACMERR_NOTPOSSIBLE;
    *pcbOutput = static_cast<uint32_t>(out);
    return MMSYSERR_NOERROR;
}

uint32_t BlockCodec::processPartial(const uint8_t* in, uint32_t inLength, uint8_t* out) {
    std::memcpy(scratch_.data(), in, inLength);
    std::memset(scratch_.data() + inLength, 0, inBlock_ - inLength);
    processBlocks(scratch_.data(), out, 1);
    return outBlock_;
}

MMRESULT BlockCodec::convert(Buffers& io, uint32_t fdwConvert) {
    const bool end = fdwConvert & ACM_STREAMCONVERTF_END;
    const bool wholeOnly = (fdwConvert & ACM_STREAMCONVERTF_BLOCKALIGN) && !end;
    io.srcUsed = 0;
    io.dstUsed = 0;
    auto room = [&] { return io.dstLength - io.dstUsed; };
    auto left = [&] { return io.srcLength - io.srcUsed; };

    // Complete a block held from an earlier call first.
    if (pending_.fill(io, wholeOnly, room() >= outBlock_)) {
        processBlocks(pending_.data(), io.dst + io.dstUsed, 1);
        pending_.clear();
        io.dstUsed += outBlock_;
    }

    if (pending_.empty()) {
        const uint32_t n =
            std::min(blocks::whole(left(), inBlock_), blocks::whole(room(), outBlock_));
        if (n > 0) {
            processBlocks(io.src + io.srcUsed, io.dst + io.dstUsed, n);
            io.srcUsed += n * inBlock_;
            io.dstUsed += n * outBlock_;
        }
        pending_.keepTail(io, wholeOnly);
    }

    if (end && left() == 0 && !pending_.empty() && room() >= outBlock_) {
        io.dstUsed += processPartial(pending_.data(), pending_.size(), io.dst + io.dstUsed);
        pending_.clear();
    }
    return MMSYSERR_NOERROR;
}

}  // namespace acm

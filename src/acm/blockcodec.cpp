#include "blockcodec.h"

#include <algorithm>
#include <cstring>

namespace acm {

BlockCodec::BlockCodec(uint32_t inBlock, uint32_t outBlock)
    : inBlock_(inBlock), outBlock_(outBlock), scratch_(inBlock) {
    pending_.reserve(inBlock);
}

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
    const bool align = fdwConvert & ACM_STREAMCONVERTF_BLOCKALIGN;
    const bool end = fdwConvert & ACM_STREAMCONVERTF_END;
    io.srcUsed = 0;
    io.dstUsed = 0;
    auto room = [&] { return io.dstLength - io.dstUsed; };
    auto left = [&] { return io.srcLength - io.srcUsed; };

    // Complete a block held from an earlier call first.
    if (!pending_.empty() && left() > 0) {
        const uint32_t take = std::min<uint32_t>(inBlock_ - pending_.size(), left());
        if (pending_.size() + take == inBlock_) {
            if (room() < outBlock_) return MMSYSERR_NOERROR;
            pending_.insert(pending_.end(), io.src, io.src + take);
            processBlocks(pending_.data(), io.dst, 1);
            pending_.clear();
            io.srcUsed += take;
            io.dstUsed += outBlock_;
        } else if (!align || end) {
            pending_.insert(pending_.end(), io.src, io.src + take);
            io.srcUsed += take;
        }
    }

    if (pending_.empty()) {
        const uint32_t n =
            std::min(blocks::whole(left(), inBlock_), blocks::whole(room(), outBlock_));
        if (n > 0) {
            processBlocks(io.src + io.srcUsed, io.dst + io.dstUsed, n);
            io.srcUsed += n * inBlock_;
            io.dstUsed += n * outBlock_;
        }
        // A trailing partial block is kept and counted as used.
        if (left() > 0 && left() < inBlock_ && (!align || end)) {
            pending_.assign(io.src + io.srcUsed, io.src + io.srcLength);
            io.srcUsed = io.srcLength;
        }
    }

    if (end && left() == 0 && !pending_.empty() && room() >= outBlock_) {
        io.dstUsed += processPartial(pending_.data(), static_cast<uint32_t>(pending_.size()),
                                     io.dst + io.dstUsed);
        pending_.clear();
    }
    return MMSYSERR_NOERROR;
}

}  // namespace acm

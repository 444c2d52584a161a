// SPDX-License-Identifier: GPL-3.0-or-later
// Test helpers that drive conversions through the codec manager calls the
// way a conversion stream does: random input chunks, destination sized by
// acmStreamSize, guard bytes behind every destination buffer, END at the
// close.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "acm.h"
#include "driver.h"

namespace acmtest {

using Bytes = std::vector<uint8_t>;

inline Bytes recordBytes(const WAVEFORMATEX* wfx) {
    const auto* p = reinterpret_cast<const uint8_t*>(wfx);
    return Bytes(p, p + acm::recordSize(wfx));
}

inline const WAVEFORMATEX* wfx(const Bytes& record) {
    return reinterpret_cast<const WAVEFORMATEX*>(record.data());
}

inline Bytes pcmRecord(uint16_t tag, uint16_t channels, uint32_t rate, uint16_t bits) {
    WAVEFORMATEX w{};
    w.wFormatTag = tag;
    w.nChannels = channels;
    w.nSamplesPerSec = rate;
    w.nBlockAlign = static_cast<uint16_t>(channels * bits / 8);
    w.nAvgBytesPerSec = rate * w.nBlockAlign;
    w.wBitsPerSample = bits;
    return recordBytes(&w);
}

// An open conversion stream, closed on destruction.
class Stream {
  public:
    Stream() = default;
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;
    ~Stream() {
        if (handle_) acmStreamClose(handle_, 0);
    }

    MMRESULT open(const Bytes& src, const Bytes& dst, uint32_t flags = 0) {
        return acmStreamOpen(&handle_, nullptr, wfx(src), wfx(dst), nullptr, 0, 0, flags);
    }
    HACMSTREAM handle() const { return handle_; }

    uint32_t size(uint32_t bytes, uint32_t flags) const {
        uint32_t out = 0;
        EXPECT_EQ(acmStreamSize(handle_, bytes, &out, flags), MMSYSERR_NOERROR);
        return out;
    }

    struct Step {
        MMRESULT result;
        uint32_t used;
        Bytes out;
        bool guardIntact;
    };

    // One acmStreamConvert over a fresh header and a destination of exactly
    // dstLength bytes followed by guard bytes.
    Step convert(const uint8_t* in, uint32_t length, uint32_t dstLength, uint32_t flags) {
        constexpr uint32_t kGuard = 64;
        Bytes src(in, in + length);
        Bytes dst(dstLength + kGuard, 0xA5);
        ACMSTREAMHEADER h{};
        h.cbStruct = sizeof h;
        h.pbSrc = src.data();
        h.cbSrcLength = length;
        h.pbDst = dst.data();
        h.cbDstLength = dstLength;
        Step step{acmStreamPrepareHeader(handle_, &h, 0), 0, {}, true};
        if (step.result != MMSYSERR_NOERROR) return step;
        step.result = acmStreamConvert(handle_, &h, flags);
        step.used = h.cbSrcLengthUsed;
        step.out.assign(dst.begin(), dst.begin() + std::min(h.cbDstLengthUsed, dstLength));
        EXPECT_LE(h.cbDstLengthUsed, dstLength);
        step.guardIntact =
            std::all_of(dst.begin() + dstLength, dst.end(), [](uint8_t b) { return b == 0xA5; });
        EXPECT_EQ(acmStreamUnprepareHeader(handle_, &h, 0), MMSYSERR_NOERROR);
        return step;
    }

  private:
    HACMSTREAM handle_ = nullptr;
};

struct Feed {
    bool blockAlign = false;
    uint32_t maxChunk = 4096;
    uint32_t seed = 1;
    uint32_t srcBlock = 1;     // nBlockAlign of the source format
    uint32_t drainLength = 0;  // destination of the END calls without input
    uint32_t maxEndCalls = 10000;
};

// Converts `input` in random chunks, checking every call: the output fits
// what acmStreamSize promised for the input offered, nothing is written past
// the destination, whole input is consumed (all of it, or all but a partial
// block with BLOCKALIGN), and repeated END calls deliver the rest.
inline Bytes feed(Stream& s, const Bytes& input, const Feed& opt) {
    std::mt19937 rng(opt.seed);
    std::uniform_int_distribution<uint32_t> chunk(1, opt.maxChunk);
    Bytes pending, out;
    size_t pos = 0;
    auto step = [&](uint32_t flags) {
        const uint32_t promised =
            s.size(static_cast<uint32_t>(pending.size()), ACM_STREAMSIZEF_SOURCE);
        const auto r = s.convert(pending.data(), static_cast<uint32_t>(pending.size()),
                                 std::max<uint32_t>(promised, 1), flags);
        EXPECT_EQ(r.result, MMSYSERR_NOERROR);
        EXPECT_TRUE(r.guardIntact) << "wrote past the destination";
        EXPECT_LE(r.out.size(), promised) << "more output than acmStreamSize allowed";
        if (opt.blockAlign && !(flags & ACM_STREAMCONVERTF_END))
            EXPECT_LT(pending.size() - r.used, opt.srcBlock) << "whole blocks left unconsumed";
        else
            EXPECT_EQ(r.used, pending.size()) << "input left although the size query allowed it";
        pending.erase(pending.begin(), pending.begin() + std::min<size_t>(r.used, pending.size()));
        out.insert(out.end(), r.out.begin(), r.out.end());
    };
    while (pos < input.size() && !testing::Test::HasFailure()) {
        const size_t n = std::min<size_t>(chunk(rng), input.size() - pos);
        pending.insert(pending.end(), input.begin() + pos, input.begin() + pos + n);
        pos += n;
        step(opt.blockAlign ? ACM_STREAMCONVERTF_BLOCKALIGN : 0);
    }
    step(ACM_STREAMCONVERTF_END);
    for (uint32_t calls = 0;; ++calls) {
        if (calls == opt.maxEndCalls) {
            ADD_FAILURE() << "END keeps delivering";
            break;
        }
        const auto r =
            s.convert(nullptr, 0, std::max<uint32_t>(opt.drainLength, 1), ACM_STREAMCONVERTF_END);
        EXPECT_EQ(r.result, MMSYSERR_NOERROR);
        EXPECT_TRUE(r.guardIntact);
        if (r.out.empty() || r.result != MMSYSERR_NOERROR) break;
        out.insert(out.end(), r.out.begin(), r.out.end());
    }
    return out;
}

}  // namespace acmtest

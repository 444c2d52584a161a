// SPDX-License-Identifier: GPL-3.0-or-later
#include "pcmcodec.h"

#include <soxr.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "blockcodec.h"
#include "pcmloops.h"

namespace acm::pcm {

namespace {

struct SoxrDelete {
    void operator()(soxr_t s) const { soxr_delete(s); }
};

// Frames per resampler call: small enough for the work buffers to stay
// in cache.
constexpr size_t kChunkFrames = 1024;
constexpr size_t kOutFrames = 4096;

class PcmCodec final : public Codec {
  public:
    PcmCodec(const Layout& in, const Layout& out, bool highQuality)
        : in_(in), out_(out), highQuality_(highQuality), pending_(in.frameBytes) {}

    bool init();
    MMRESULT size(uint32_t cbInput, uint32_t* pcbOutput, uint32_t fdwSize) const override;
    MMRESULT convert(Buffers& io, uint32_t fdwConvert) override;

  private:
    bool resampling() const { return resampler_ != nullptr; }
    uint32_t room(const Buffers& io) const { return (io.dstLength - io.dstUsed) / out_.frameBytes; }
    // Output frames the resampler holds (filter delay plus output that did
    // not fit earlier calls).
    uint64_t held() const {
        return resampling() ? static_cast<uint64_t>(std::ceil(soxr_delay(resampler_.get()))) : 0;
    }
    void process(const uint8_t* in, uint32_t frames, Buffers& io);
    void drain(Buffers& io, bool flush);
    void finishPending(Buffers& io);

    Layout in_, out_;
    bool highQuality_;
    bool identity_ = false;
    DirectFn direct_ = nullptr;
    DecodeFn decode_ = nullptr;
    EncodeFn encode_ = nullptr;
    Tpdf rng_;
    std::unique_ptr<soxr, SoxrDelete> resampler_;
    bool flushing_ = false;
    bool failed_ = false;  // the resampler reported an error; the stream is unusable
    HeldBlock pending_;    // a partial input frame
    std::vector<double> mix_, res_;
};

bool PcmCodec::init() {
    // Dither goes only where rounding happens: the store step leaves
    // samples that are already on the output grid alone.
    const bool dither = highQuality_ && (out_.kind == Kind::U8 || out_.kind == Kind::S16);
    if (in_.rate == out_.rate) {
        identity_ = in_.kind == out_.kind && in_.channels == out_.channels;
        direct_ = directLoop(in_.kind, in_.channels, out_.kind, out_.channels, dither);
        return direct_ != nullptr;
    }
    decode_ = decodeLoop(in_.kind, in_.channels, out_.channels);
    encode_ = encodeLoop(out_.kind, dither);
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT64_I, SOXR_FLOAT64_I);
    const soxr_quality_spec_t quality = soxr_quality_spec(highQuality_ ? SOXR_VHQ : SOXR_LQ, 0);
    const soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
    soxr_error_t error = nullptr;
    resampler_.reset(
        soxr_create(in_.rate, out_.rate, out_.channels, &error, &io, &quality, &runtime));
    if (error || !resampler_ || !decode_ || !encode_) return false;
    mix_.resize(kChunkFrames * out_.channels);
    res_.resize(kOutFrames * out_.channels);
    return true;
}

MMRESULT PcmCodec::size(uint32_t cbInput, uint32_t* pcbOutput, uint32_t fdwSize) const {
    if (!pcbOutput) return MMSYSERR_INVALPARAM;
    const uint64_t inRate = in_.rate, outRate = out_.rate;
    uint64_t bytes;
    if (fdwSize == ACM_STREAMSIZEF_SOURCE) {
        // A held partial frame completes with this input, or is padded to a
        // frame on END.
        const uint64_t frames =
            (uint64_t{pending_.size()} + cbInput + in_.frameBytes - 1) / in_.frameBytes;
        uint64_t out = frames;
        if (resampling()) out = (frames * outRate + inRate - 1) / inRate + held() + 1;
        bytes = out * out_.frameBytes;
    } else if (fdwSize == ACM_STREAMSIZEF_DESTINATION) {
        uint64_t frames = cbInput / out_.frameBytes;
        if (resampling()) {
            const uint64_t reserve = held() + 1;
            frames = frames > reserve ? (frames - reserve) * inRate / outRate : 0;
        }
        bytes = frames * in_.frameBytes;
        bytes = bytes > pending_.size() ? bytes - pending_.size() : 0;
    } else {
        return MMSYSERR_INVALFLAG;
    }
    if (bytes > UINT32_MAX) return ACMERR_NOTPOSSIBLE;
    *pcbOutput = static_cast<uint32_t>(bytes);
    return MMSYSERR_NOERROR;
}

void PcmCodec::process(const uint8_t* in, uint32_t frames, Buffers& io) {
    if (frames == 0) return;
    if (!resampling()) {
        uint8_t* out = io.dst + io.dstUsed;
        if (identity_)
            std::memcpy(out, in, size_t{frames} * in_.frameBytes);
        else
            direct_(in, out, frames, rng_);
        io.dstUsed += frames * out_.frameBytes;
        return;
    }
    // All input goes into the resampler; output that does not fit now stays
    // in it and comes out in later calls.
    while (frames > 0) {
        const size_t n = std::min<size_t>(frames, kChunkFrames);
        decode_(in, n, mix_.data());
        size_t done = 0;
        if (soxr_process(resampler_.get(), mix_.data(), n, nullptr, res_.data(),
                         std::min<size_t>(room(io), kOutFrames), &done)) {
            failed_ = true;
            return;
        }
        encode_(res_.data(), done * out_.channels, io.dst + io.dstUsed, rng_);
        io.dstUsed += static_cast<uint32_t>(done) * out_.frameBytes;
        in += n * in_.frameBytes;
        frames -= static_cast<uint32_t>(n);
    }
}

void PcmCodec::drain(Buffers& io, bool flush) {
    // A null input tells the resampler the signal has ended.
    if (flush) flushing_ = true;
    for (;;) {
        const size_t want = std::min<size_t>(room(io), kOutFrames);
        if (want == 0) return;
        size_t done = 0;
        if (soxr_process(resampler_.get(), flush ? nullptr : mix_.data(), 0, nullptr, res_.data(),
                         want, &done)) {
            failed_ = true;
            return;
        }
        if (done == 0) return;
        encode_(res_.data(), done * out_.channels, io.dst + io.dstUsed, rng_);
        io.dstUsed += static_cast<uint32_t>(done) * out_.frameBytes;
    }
}

void PcmCodec::finishPending(Buffers& io) {
    // The rest of the frame is silence: the midpoint for unsigned 8 bits.
    const uint8_t silence = in_.kind == Kind::U8 ? 0x80 : 0x00;
    const uint8_t* frame = pending_.padded(silence);
    pending_.clear();
    process(frame, 1, io);
}

MMRESULT PcmCodec::convert(Buffers& io, uint32_t fdwConvert) {
    const bool end = fdwConvert & ACM_STREAMCONVERTF_END;
    const bool wholeOnly = (fdwConvert & ACM_STREAMCONVERTF_BLOCKALIGN) && !end;
    const uint32_t frameBytes = in_.frameBytes;
    io.srcUsed = 0;
    io.dstUsed = 0;
    if (failed_) return MMSYSERR_ERROR;
    auto left = [&] { return io.srcLength - io.srcUsed; };

    if (flushing_ && io.srcLength > 0) {
        // Input after the end starts a new signal; whatever of the old tail
        // was not collected is dropped.
        soxr_clear(resampler_.get());
        flushing_ = false;
    }

    // Complete a frame held from an earlier call first.
    if (pending_.fill(io, wholeOnly, resampling() || room(io) > 0)) {
        pending_.clear();
        process(pending_.data(), 1, io);
    }

    if (pending_.empty()) {
        uint32_t frames = left() / frameBytes;
        if (!resampling()) frames = std::min(frames, room(io));
        process(io.src + io.srcUsed, frames, io);
        io.srcUsed += frames * frameBytes;
        pending_.keepTail(io, wholeOnly);
    }

    if (end && left() == 0) {
        if (!pending_.empty() && (resampling() || room(io) > 0)) finishPending(io);
        if (resampling() && pending_.empty()) drain(io, true);
    } else if (resampling() && io.srcUsed > 0) {
        // Nothing comes out of a call that consumed nothing: callers take
        // output without consumed input for an inconsistency.
        drain(io, false);
    }
    return failed_ ? MMSYSERR_ERROR : MMSYSERR_NOERROR;
}

}  // namespace

std::unique_ptr<Codec> makeCodec(const Layout& in, const Layout& out, bool highQuality) {
    auto codec = std::make_unique<PcmCodec>(in, out, highQuality);
    if (!codec->init()) return nullptr;
    return codec;
}

}  // namespace acm::pcm

// SPDX-License-Identifier: GPL-3.0-or-later
// 16-bit PCM -> MPEG Layer-3 over libmp3lame: CBR at the record's bit rate,
// no VBR/Info header frame (the stream goes inside WAVE, whose record says
// what it is) and no ID3 tags.
#include <lame/lame.h>

#include <cstdarg>
#include <mutex>

#include "mp3.h"

namespace acm::mp3 {
namespace {

// lame.h: an mp3 buffer of 1.25 x samples + 7,200 bytes holds the output of
// encoding `samples` samples per channel, and 7,200 bytes hold a flush.
constexpr uint32_t kLameSlack = 7200;
uint64_t lameBound(uint64_t samples) {
    return (samples * 5 + 3) / 4 + kLameSlack;
}

// Samples per channel handed to lame at a time, to bound the work buffers.
constexpr uint32_t kChunkSamples = 4096;

void quiet(const char*, va_list) {}

struct LameCloser {
    void operator()(lame_global_flags* gf) const { lame_close(gf); }
};

MMRESULT lameResult(int code) {
    // -2 is lame's malloc failure; the others are misuse or internal faults.
    return code == -2 ? MMSYSERR_NOMEM : MMSYSERR_ERROR;
}

class Mp3Encoder final : public Codec {
  public:
    Mp3Encoder(lame_global_flags* gf, uint16_t channels)
        : lame_(gf),
          frame_(2u * channels),
          channels_(channels),
          pcm_(kChunkSamples * channels),
          mp3_(lameBound(kChunkSamples)) {}

    // SOURCE: lame's worst case for the whole sample frames of the input
    // plus a partial one held from before, and a flush at END.
    // DESTINATION: the most input whose SOURCE size fits.
    MMRESULT size(uint32_t cbInput, uint32_t* pcbOutput, uint32_t fdwSize) const override {
        if (!pcbOutput) return MMSYSERR_INVALPARAM;
        uint64_t out;
        if (fdwSize == ACM_STREAMSIZEF_SOURCE) {
            out = lameBound(cbInput / frame_ + 1) + kLameSlack;
        } else if (fdwSize == ACM_STREAMSIZEF_DESTINATION) {
            // ceil(1.25 (s + 1)) + 2 x 7,200 <= cbInput, s = input / frame_
            const uint64_t m = cbInput > 2 * kLameSlack ? (cbInput - 2 * kLameSlack) * 4 / 5 : 0;
            out = m == 0 ? 0 : m * frame_ - 1;
        } else {
            return MMSYSERR_INVALFLAG;
        }
        if (out > UINT32_MAX) return ACMERR_NOTPOSSIBLE;
        *pcbOutput = static_cast<uint32_t>(out);
        return MMSYSERR_NOERROR;
    }

    MMRESULT convert(Buffers& io, uint32_t fdwConvert) override {
        io.srcUsed = 0;
        io.dstUsed = 0;
        queue_.deliver(io);
        // New input waits until earlier output is out, so the queue never
        // holds more than one call's output.
        if (!queue_.empty()) return MMSYSERR_NOERROR;
        if (failed_) return failed_;
        const bool end = fdwConvert & ACM_STREAMCONVERTF_END;
        const bool align = fdwConvert & ACM_STREAMCONVERTF_BLOCKALIGN;
        if (flushed_) return io.srcLength ? ACMERR_NOTPOSSIBLE : MMSYSERR_NOERROR;

        if (MMRESULT r = consume(io, align && !end)) return fail(r);
        if (end) {
            if (!partial_.empty()) {
                partial_.resize(frame_, 0);  // pad the cut sample frame with silence
                if (MMRESULT r = encode(partial_.data(), 1)) return fail(r);
                partial_.clear();
            }
            const int n =
                lame_encode_flush(lame_.get(), mp3_.data(), static_cast<int>(mp3_.size()));
            if (n < 0) return fail(lameResult(n));
            queue_.append(mp3_.data(), static_cast<size_t>(n));
            flushed_ = true;
        }
        queue_.deliver(io);
        return MMSYSERR_NOERROR;
    }

  private:
    // Encodes the input's whole sample frames; a trailing part of one is
    // kept (and counted as used) unless only whole frames may be consumed.
    MMRESULT consume(Buffers& io, bool wholeFramesOnly) {
        const uint8_t* src = io.src;
        uint32_t left = io.srcLength;
        if (!partial_.empty() && left > 0) {
            const uint32_t take = std::min(frame_ - static_cast<uint32_t>(partial_.size()), left);
            partial_.insert(partial_.end(), src, src + take);
            src += take;
            left -= take;
            if (partial_.size() == frame_) {
                if (MMRESULT r = encode(partial_.data(), 1)) return r;
                partial_.clear();
            }
        }
        const uint32_t frames = left / frame_;
        if (MMRESULT r = encode(src, frames)) return r;
        src += frames * frame_;
        left -= frames * frame_;
        if (left > 0 && !wholeFramesOnly) {
            partial_.assign(src, src + left);
            left = 0;
        }
        io.srcUsed = io.srcLength - left;
        return MMSYSERR_NOERROR;
    }

    MMRESULT encode(const uint8_t* src, uint32_t frames) {
        while (frames > 0) {
            const uint32_t n = std::min(frames, kChunkSamples);
            std::memcpy(pcm_.data(), src, size_t{n} * frame_);  // any alignment
            const int bytes =
                channels_ == 2
                    ? lame_encode_buffer_interleaved(lame_.get(), pcm_.data(), static_cast<int>(n),
                                                     mp3_.data(), static_cast<int>(mp3_.size()))
                    : lame_encode_buffer(lame_.get(), pcm_.data(), pcm_.data(), static_cast<int>(n),
                                         mp3_.data(), static_cast<int>(mp3_.size()));
            if (bytes < 0) return lameResult(bytes);
            queue_.append(mp3_.data(), static_cast<size_t>(bytes));
            src += size_t{n} * frame_;
            frames -= n;
        }
        return MMSYSERR_NOERROR;
    }

    MMRESULT fail(MMRESULT r) {
        failed_ = r;
        return r;
    }

    std::unique_ptr<lame_global_flags, LameCloser> lame_;
    uint32_t frame_;  // bytes per PCM sample frame
    uint16_t channels_;
    std::vector<short> pcm_;
    std::vector<uint8_t> mp3_;
    std::vector<uint8_t> partial_;  // a cut PCM sample frame
    OutputQueue queue_;
    bool flushed_ = false;
    MMRESULT failed_ = MMSYSERR_NOERROR;
};

}  // namespace

MMRESULT openEncoder(const WAVEFORMATEX* mp3, bool highQuality, std::unique_ptr<Codec>* codec) {
    // lame (re)fills process-wide tables, with the same values, whenever it
    // sets up an encoder; set-ups on several threads take turns.
    static std::mutex setup;
    std::lock_guard lock(setup);
    std::unique_ptr<lame_global_flags, LameCloser> gf(lame_init());
    if (!gf) return MMSYSERR_NOMEM;
    lame_set_errorf(gf.get(), quiet);
    lame_set_debugf(gf.get(), quiet);
    lame_set_msgf(gf.get(), quiet);
    const int rate = static_cast<int>(mp3->nSamplesPerSec);
    lame_set_in_samplerate(gf.get(), rate);
    lame_set_out_samplerate(gf.get(), rate);
    lame_set_num_channels(gf.get(), mp3->nChannels);
    lame_set_mode(gf.get(), mp3->nChannels == 1 ? MONO : JOINT_STEREO);
    lame_set_VBR(gf.get(), vbr_off);
    lame_set_brate(gf.get(), static_cast<int>(kbpsOf(mp3)));
    lame_set_quality(gf.get(), highQuality ? 2 : 7);
    lame_set_bWriteVbrTag(gf.get(), 0);
    lame_set_write_id3tag_automatic(gf.get(), 0);
    if (lame_init_params(gf.get()) < 0) return ACMERR_NOTPOSSIBLE;
    // lame would silently pick another rate or bit rate than the record says.
    if (lame_get_out_samplerate(gf.get()) != rate ||
        lame_get_brate(gf.get()) != static_cast<int>(kbpsOf(mp3)))
        return ACMERR_NOTPOSSIBLE;
    const uint16_t channels = mp3->nChannels;  // records are packed: no references into them
    *codec = std::make_unique<Mp3Encoder>(gf.release(), channels);
    return MMSYSERR_NOERROR;
}

}  // namespace acm::mp3

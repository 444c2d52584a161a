// SPDX-License-Identifier: GPL-3.0-or-later
// MPEG audio -> 16-bit PCM over libmpg123 in feed mode.
#include <mpg123.h>

#include "mp3.h"

namespace acm::mp3 {
namespace {

// Frames one call may give beyond those lying wholly in its input: one
// begun in earlier input, and one complete frame mpg123 held back while it
// waited for the next header to confirm its sync.
constexpr uint32_t kExtraFrames = 2;

// Frames in a row at a rate other than the record's that are taken for
// junk; more mean the stream itself is at that rate.
constexpr uint32_t kMaxForeignFrames = 8;

struct Mpg123Deleter {
    void operator()(mpg123_handle* mh) const { mpg123_delete(mh); }
};
using Mpg123Ptr = std::unique_ptr<mpg123_handle, Mpg123Deleter>;

MMRESULT mpgResult(int code) {
    switch (code) {
        case MPG123_OUT_OF_MEM:
            return MMSYSERR_NOMEM;
        case MPG123_BAD_OUTFORMAT:
            return ACMERR_NOTPOSSIBLE;
        default:
            return MMSYSERR_ERROR;
    }
}

class Mp3Decoder final : public Codec {
  public:
    Mp3Decoder(Mpg123Ptr mh, uint32_t rate, uint16_t channels)
        : mh_(std::move(mh)),
          rate_(rate),
          channels_(channels),
          pcmPerFrame_(samplesPerFrame(rate) * 2u * channels),
          // The smallest frame at this rate, that of the lowest bit rate.
          minFrame_(frameBytes(rate, bitRates(rate).front())) {}

    // SOURCE: the input cut into frames of the smallest size, each giving a
    // full frame of samples, plus the frames held data may complete.
    // DESTINATION: the most input whose SOURCE size fits.
    MMRESULT size(uint32_t cbInput, uint32_t* pcbOutput, uint32_t fdwSize) const override {
        if (!pcbOutput) return MMSYSERR_INVALPARAM;
        uint64_t out;
        if (fdwSize == ACM_STREAMSIZEF_SOURCE) {
            out = (uint64_t{cbInput} / minFrame_ + kExtraFrames) * pcmPerFrame_;
        } else if (fdwSize == ACM_STREAMSIZEF_DESTINATION) {
            const uint64_t frames = cbInput / pcmPerFrame_;
            out = frames < kExtraFrames ? 0 : (frames - kExtraFrames + 1) * minFrame_ - 1;
        } else {
            return MMSYSERR_INVALFLAG;
        }
        if (out > UINT32_MAX) return ACMERR_NOTPOSSIBLE;
        *pcbOutput = static_cast<uint32_t>(out);
        return MMSYSERR_NOERROR;
    }

    // MP3 is a byte stream: every input byte is consumed (mpg123 keeps a
    // cut frame until the rest arrives), so BLOCKALIGN and END change
    // nothing here; a frame still cut at the end is dropped.
    MMRESULT convert(Buffers& io, uint32_t) override {
        io.srcUsed = 0;
        io.dstUsed = 0;
        queue_.deliver(io);
        if (!queue_.empty()) return MMSYSERR_NOERROR;
        if (failed_) return failed_;
        if (io.srcLength > 0) {
            const int r = mpg123_feed(mh_.get(), io.src, io.srcLength);
            if (r != MPG123_OK) return fail(mpgResult(mpg123_errcode(mh_.get())));
            io.srcUsed = io.srcLength;
        }
        const MMRESULT r = decodeAll();
        queue_.deliver(io);
        return queue_.empty() ? r : MMSYSERR_NOERROR;  // the error waits for the queued samples
    }

  private:
    MMRESULT decodeAll() {
        while (true) {
            off_t num = 0;
            unsigned char* audio = nullptr;
            size_t bytes = 0;
            const int r = mpg123_decode_frame(mh_.get(), &num, &audio, &bytes);
            if (bytes > 0 && audio) {
                if (!foreign_) {
                    queue_.append(audio, bytes);
                } else if (++foreignFrames_ > kMaxForeignFrames) {
                    // Not junk: the stream is at another rate than its record.
                    return fail(MMSYSERR_ERROR);
                }
            }
            if (r == MPG123_OK) continue;
            if (r == MPG123_NEED_MORE || r == MPG123_DONE) return MMSYSERR_NOERROR;
            if (r == MPG123_NEW_FORMAT) {
                long rate = 0;
                int channels = 0, encoding = 0;
                mpg123_getformat(mh_.get(), &rate, &channels, &encoding);
                // mpg123 took a frame header in junk for a frame at another
                // rate; its samples are dropped.
                foreign_ = rate != static_cast<long>(rate_) || channels != channels_ ||
                           encoding != MPG123_ENC_SIGNED_16;
                if (!foreign_) foreignFrames_ = 0;
                continue;
            }
            return fail(mpgResult(mpg123_errcode(mh_.get())));
        }
    }

    MMRESULT fail(MMRESULT r) {
        failed_ = r;
        return r;
    }

    Mpg123Ptr mh_;
    uint32_t rate_;
    uint16_t channels_;
    uint32_t pcmPerFrame_;  // bytes of PCM one frame gives
    uint32_t minFrame_;
    OutputQueue queue_;
    bool foreign_ = false;  // frames now decoded are at another rate or layout
    uint32_t foreignFrames_ = 0;
    MMRESULT failed_ = MMSYSERR_NOERROR;
};

}  // namespace

MMRESULT openDecoder(const WAVEFORMATEX* mp3, std::unique_ptr<Codec>* codec) {
    static const int init = mpg123_init();  // a no-op in current versions, required in older
    if (init != MPG123_OK) return MMSYSERR_ERROR;
    int err = MPG123_OK;
    Mpg123Ptr mh(mpg123_new(nullptr, &err));
    if (!mh) return mpgResult(err);
    const int channels = mp3->nChannels == 1 ? MPG123_MONO : MPG123_STEREO;
    // Decode everything the stream holds (no trimming of encoder delay and
    // padding), skip junk between frames however long, never print.
    if (mpg123_param(mh.get(), MPG123_ADD_FLAGS, MPG123_QUIET, 0) != MPG123_OK ||
        mpg123_param(mh.get(), MPG123_REMOVE_FLAGS, MPG123_GAPLESS, 0) != MPG123_OK ||
        mpg123_param(mh.get(), MPG123_RESYNC_LIMIT, -1, 0) != MPG123_OK ||
        mpg123_format_none(mh.get()) != MPG123_OK)
        return mpgResult(mpg123_errcode(mh.get()));
    // Every rate at the record's channel count (mpg123 mixes or duplicates
    // channels where the stream differs); the rate is checked per stream.
    const long* rates = nullptr;
    size_t count = 0;
    mpg123_rates(&rates, &count);
    for (size_t i = 0; i < count; ++i)
        if (mpg123_format(mh.get(), rates[i], channels, MPG123_ENC_SIGNED_16) != MPG123_OK)
            return mpgResult(mpg123_errcode(mh.get()));
    if (mpg123_open_feed(mh.get()) != MPG123_OK) return mpgResult(mpg123_errcode(mh.get()));
    const uint32_t rate = mp3->nSamplesPerSec;  // records are packed: no references into them
    const uint16_t numChannels = mp3->nChannels;
    *codec = std::make_unique<Mp3Decoder>(std::move(mh), rate, numChannels);
    return MMSYSERR_NOERROR;
}

}  // namespace acm::mp3

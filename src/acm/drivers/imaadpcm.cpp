// SPDX-License-Identifier: GPL-3.0-or-later
// IMA ADPCM in the WAVE layout: each block starts with a 4-byte header per
// channel (first sample, step index, reserved zero), followed by rows of
// 4 bytes (8 nibbles, low nibble first) per channel in turn.
//
// The decoder uses the shift-and-add difference (step/8 + step/4 + ...),
// so its samples equal those of other decoders that follow the reference
// algorithm bit for bit.
#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "blockcodec.h"
#include "codecdriver.h"
#include "drivers.h"

namespace acm {

namespace {

using namespace codecs;

constexpr int kMaxIndex = 88;

constexpr int16_t kSteps[kMaxIndex + 1] = {
    7,     8,     9,     10,    11,    12,    13,    14,    16,    17,    19,   21,    23,
    25,    28,    31,    34,    37,    41,    45,    50,    55,    60,    66,   73,    80,
    88,    97,    107,   118,   130,   143,   157,   173,   190,   209,   230,  253,   279,
    307,   337,   371,   408,   449,   494,   544,   598,   658,   724,   796,  876,   963,
    1060,  1166,  1282,  1411,  1552,  1707,  1878,  2066,  2272,  2499,  2749, 3024,  3327,
    3660,  4026,  4428,  4871,  5358,  5894,  6484,  7132,  7845,  8630,  9493, 10442, 11487,
    12635, 13899, 15289, 16818, 18500, 20350, 22385, 24623, 27086, 29794, 32767};

constexpr int kIndexAdjust[8] = {-1, -1, -1, -1, 2, 4, 6, 8};

// Per step index and nibble: the signed difference the nibble adds and
// where the next step's row lies, so decoding a nibble is one lookup and
// the chain from one sample to the next is a single load.
struct alignas(128) StepRow {
    int32_t diff[16];   // up to 61,436 at the largest step: not a 16-bit value
    uint16_t next[16];  // byte offset of the next row in the table
};

constexpr int nextIndex(int index, int nibble) {
    const int next = index + kIndexAdjust[nibble & 7];
    return next < 0 ? 0 : (next > kMaxIndex ? kMaxIndex : next);
}

constexpr std::array<StepRow, kMaxIndex + 1> makeStepRows() {
    std::array<StepRow, kMaxIndex + 1> rows{};
    for (int i = 0; i <= kMaxIndex; ++i) {
        const int step = kSteps[i];
        StepRow& row = rows[static_cast<size_t>(i)];
        for (int n = 0; n < 16; ++n) {
            int diff = step >> 3;
            if (n & 4) diff += step;
            if (n & 2) diff += step >> 1;
            if (n & 1) diff += step >> 2;
            row.diff[n] = (n & 8) ? -diff : diff;
            row.next[n] =
                static_cast<uint16_t>(static_cast<size_t>(nextIndex(i, n)) * sizeof(StepRow));
        }
    }
    return rows;
}

constexpr std::array<StepRow, kMaxIndex + 1> kRows = makeStepRows();

// The encoder's view of a step index: the differences at which each
// magnitude 1..7 begins (the sums of step, step/2 and step/4 that the bits
// stand for) and the next index per magnitude. Counting the thresholds a
// difference reaches gives the same nibble as deciding bit by bit, without
// a chain of dependent comparisons.
struct alignas(64) EncodeRow {  // one cache line, indexed by a shift
    int32_t start[8];           // start[0] = 0
    int32_t base;               // step / 8, added to every reconstruction
    uint8_t next[8];
};

constexpr std::array<EncodeRow, kMaxIndex + 1> makeEncodeRows() {
    std::array<EncodeRow, kMaxIndex + 1> rows{};
    for (int i = 0; i <= kMaxIndex; ++i) {
        const int step = kSteps[i];
        EncodeRow& row = rows[static_cast<size_t>(i)];
        for (int m = 0; m < 8; ++m) {
            row.start[m] =
                ((m & 4) ? step : 0) + ((m & 2) ? step >> 1 : 0) + ((m & 1) ? step >> 2 : 0);
            row.next[m] = static_cast<uint8_t>(nextIndex(i, m));
        }
        row.base = step >> 3;
    }
    return rows;
}

constexpr std::array<EncodeRow, kMaxIndex + 1> kEncodeRows = makeEncodeRows();

struct DecodeState {
    int pred = 0;
    uint32_t at = 0;  // byte offset of the current step's row in kRows

    void start(int sample, int index) {
        pred = sample;
        at = static_cast<uint32_t>(static_cast<size_t>(index > kMaxIndex ? kMaxIndex : index) *
                                   sizeof(StepRow));
    }

    int decode(int nibble) {
        const auto& r =
            *reinterpret_cast<const StepRow*>(reinterpret_cast<const char*>(kRows.data()) + at);
        pred = clamp16(pred + r.diff[nibble]);
        at = r.next[nibble];
        return pred;
    }
};

struct EncodeState {
    int pred = 0;
    int index = 0;

    // The largest magnitude whose threshold the difference reaches (what
    // deciding bit by bit gives); the reconstruction equals the decoder's.
    int encode(int x) {
        const EncodeRow& row = kEncodeRows[static_cast<size_t>(index)];
        const int d = x - pred;
        const int neg = d >> 31;  // all ones for a negative difference
        const int a = (d ^ neg) - neg;
        const int* t = row.start;
        const int m = ((a >= t[1]) + (a >= t[2])) + ((a >= t[3]) + (a >= t[4])) +
                      ((a >= t[5]) + (a >= t[6])) + (a >= t[7]);
        const int diff = row.base + t[m];
        pred = clamp16(pred + ((diff ^ neg) - neg));
        index = row.next[m];
        return m | (neg & 8);
    }
};

uint16_t samplesPerBlockOf(const WAVEFORMATEX* wfx) {
    return static_cast<uint16_t>(
        loadLe16(reinterpret_cast<const uint8_t*>(wfx) + sizeof(WAVEFORMATEX)));
}

constexpr uint32_t samplesPerBlockFor(uint32_t blockAlign, uint32_t channels) {
    return (blockAlign - 4 * channels) * 8 / (4 * channels) + 1;
}

class ImaDecoder : public BlockCodec {
  public:
    ImaDecoder(uint16_t channels, uint32_t blockAlign, uint32_t samplesPerBlock)
        : BlockCodec(blockAlign, samplesPerBlock * 2 * channels),
          channels_(channels),
          rows_((samplesPerBlock - 1) / 8) {}

  protected:
    void processBlocks(const uint8_t* in, uint8_t* out, uint32_t count) override {
        for (uint32_t b = 0; b < count; ++b)
            decodeBlock(in + size_t{b} * inBlock(), out + size_t{b} * outBlock(), rows_);
    }

    // A cut final block gives the samples of its complete rows.
    uint32_t processPartial(const uint8_t* in, uint32_t inLength, uint8_t* out) override {
        const uint32_t header = 4 * channels_;
        if (inLength < header) return 0;
        const uint32_t rows = std::min((inLength - header) / header, rows_);
        decodeBlock(in, out, rows);
        return (1 + 8 * rows) * 2 * channels_;
    }

  private:
    void decodeBlock(const uint8_t* in, uint8_t* out, uint32_t rows) const {
        if (channels_ == 1)
            decodeRows<1>(in, out, rows);
        else
            decodeRows<2>(in, out, rows);
    }

    // The channels of a block in one loop, so their chains overlap.
    template <size_t CH>
    static void decodeRows(const uint8_t* in, uint8_t* out, uint32_t rows) {
        DecodeState st[CH];
        for (size_t c = 0; c < CH; ++c) {
            st[c].start(loadLe16(in + 4 * c), in[4 * c + 2]);  // a corrupt index is clamped
            storeLe16(out + 2 * c, st[c].pred);
        }
        constexpr size_t stride = 2 * CH;
        out += stride;
        const uint8_t* p = in + 4 * CH;
        for (uint32_t r = 0; r < rows; ++r, p += 4 * CH, out += 8 * stride) {
            for (size_t c = 0; c < CH; ++c) {
                uint8_t* o = out + 2 * c;
                for (size_t k = 0; k < 4; ++k) {
                    storeLe16(o + 2 * k * stride, st[c].decode(p[4 * c + k] & 0x0F));
                    storeLe16(o + (2 * k + 1) * stride, st[c].decode(p[4 * c + k] >> 4));
                }
            }
        }
    }

    uint32_t channels_;
    uint32_t rows_;
};

class ImaEncoder : public BlockCodec {
  public:
    ImaEncoder(uint16_t channels, uint32_t blockAlign, uint32_t samplesPerBlock)
        : BlockCodec(samplesPerBlock * 2 * channels, blockAlign),
          channels_(channels),
          rows_((samplesPerBlock - 1) / 8) {}

  protected:
    void processBlocks(const uint8_t* in, uint8_t* out, uint32_t count) override {
        for (uint32_t b = 0; b < count; ++b) {
            const uint8_t* pcm = in + size_t{b} * inBlock();
            uint8_t* block = out + size_t{b} * outBlock();
            std::memset(block, 0, outBlock());
            if (channels_ == 1)
                encodeBlock<1>(pcm, block);
            else
                encodeBlock<2>(pcm, block);
        }
    }

  private:
    template <size_t CH>
    void encodeBlock(const uint8_t* pcm, uint8_t* block) {
        constexpr size_t stride = 2 * CH;
        for (size_t c = 0; c < CH; ++c) {
            EncodeState& st = state_[c];
            // The step index carries over from the previous block; the first
            // block starts from the size of its opening differences.
            if (!primed_[c]) {
                st.index = initialIndex(pcm + 2 * c, stride);
                primed_[c] = true;
            }
            st.pred = loadLe16(pcm + 2 * c);
            storeLe16(block + 4 * c, st.pred);
            block[4 * c + 2] = static_cast<uint8_t>(st.index);
        }
        pcm += stride;
        uint8_t* p = block + 4 * CH;
        // Local state: the byte stores below could alias the members and
        // would force every step through memory.
        EncodeState st[CH];
        std::copy(state_, state_ + CH, st);
        // The channels in one loop, so their chains overlap.
        for (uint32_t r = 0; r < rows_; ++r, p += 4 * CH, pcm += 8 * stride) {
            for (size_t c = 0; c < CH; ++c) {
                const uint8_t* x = pcm + 2 * c;
                for (size_t k = 0; k < 4; ++k) {
                    const int lo = st[c].encode(loadLe16(x + 2 * k * stride));
                    const int hi = st[c].encode(loadLe16(x + (2 * k + 1) * stride));
                    p[4 * c + k] = static_cast<uint8_t>(lo | (hi << 4));
                }
            }
        }
        std::copy(st, st + CH, state_);
    }

    // The smallest step at least the mean of the first differences: large
    // enough not to lag behind a loud start, small enough for a quiet one.
    int initialIndex(const uint8_t* pcm, size_t stride) const {
        const uint32_t n = std::min<uint32_t>(16, rows_ * 8);
        if (n == 0) return 0;
        int sum = 0;
        for (uint32_t i = 0; i < n; ++i) {
            const int d = loadLe16(pcm + (i + 1) * stride) - loadLe16(pcm + i * stride);
            sum += d < 0 ? -d : d;
        }
        const int mean = sum / static_cast<int>(n);
        int index = 0;
        while (index < kMaxIndex && kSteps[index] < mean) ++index;
        return index;
    }

    uint32_t channels_;
    uint32_t rows_;
    EncodeState state_[2];
    bool primed_[2] = {false, false};
};

class ImaDriver : public CodecDriver {
  public:
    ImaDriver() : CodecDriver(WAVE_FORMAT_IMA_ADPCM, "IMA ADPCM", sizeof(IMAADPCMWAVEFORMAT), 4) {
        for (uint32_t rate : kCodecRates) {
            const uint32_t perChannel = rate <= 11025 ? 256 : (rate <= 22050 ? 512 : 1024);
            for (uint16_t ch = 1; ch <= 2; ++ch) {
                IMAADPCMWAVEFORMAT f{};
                f.wfx.wFormatTag = WAVE_FORMAT_IMA_ADPCM;
                f.wfx.nChannels = ch;
                f.wfx.nSamplesPerSec = rate;
                f.wfx.nBlockAlign = static_cast<uint16_t>(perChannel * ch);
                f.wfx.wBitsPerSample = 4;
                f.wfx.cbSize = 2;
                f.wSamplesPerBlock =
                    static_cast<uint16_t>(samplesPerBlockFor(f.wfx.nBlockAlign, ch));
                f.wfx.nAvgBytesPerSec = rate * f.wfx.nBlockAlign / f.wSamplesPerBlock;
                formats_.push_back(makeFormatEntry(&f, sizeof f));
            }
        }
    }

    const char* name() const override { return "imaadpcm"; }
    std::span<const FormatEntry> formats() const override { return formats_; }

  protected:
    bool validRecord(const WAVEFORMATEX* wfx, uint32_t) const override {
        const uint32_t header = 4u * wfx->nChannels;
        return wfx->cbSize >= 2 && wfx->nBlockAlign >= header &&
               samplesPerBlockOf(wfx) == samplesPerBlockFor(wfx->nBlockAlign, wfx->nChannels);
    }
    std::unique_ptr<Codec> makeEncoder(const WAVEFORMATEX* wfx, uint32_t) const override {
        return std::make_unique<ImaEncoder>(wfx->nChannels, wfx->nBlockAlign,
                                            samplesPerBlockOf(wfx));
    }
    std::unique_ptr<Codec> makeDecoder(const WAVEFORMATEX* wfx, uint32_t) const override {
        return std::make_unique<ImaDecoder>(wfx->nChannels, wfx->nBlockAlign,
                                            samplesPerBlockOf(wfx));
    }

  private:
    std::vector<FormatEntry> formats_;
};

}  // namespace

const Driver* imaAdpcmDriver() {
    static const ImaDriver driver;
    return &driver;
}

}  // namespace acm

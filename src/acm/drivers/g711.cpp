// SPDX-License-Identifier: GPL-3.0-or-later
// G.711 A-law and u-law: 16-bit PCM <-> 8-bit logarithmic codes, one byte
// per sample. Both directions are single table lookups (a 64K-entry
// encode table per law), so whole buffers convert in one tight loop.
#include <array>
#include <vector>

#include "blockcodec.h"
#include "codecdriver.h"
#include "drivers.h"

namespace acm {

namespace {

using namespace codecs;

enum class Law { A, Mu };

// Decisions are taken on the sample's true magnitude, so x and -x get
// mirror codes and every decision value lies where the G.711 tables put it
// on the linear scale (A-law 12 bits, u-law 13 bits below the 16-bit sample).
uint8_t encodeA(int16_t x) {
    const int sign = x >= 0 ? 0x80 : 0;
    int mag = (x >= 0 ? x : -x) >> 3;  // 12-bit magnitude
    if (mag > 0xFFF) mag = 0xFFF;      // -32768
    int seg = 0;
    while (seg < 7 && mag >= (32 << seg)) ++seg;
    const int mant = seg == 0 ? (mag >> 1) & 0x0F : (mag >> seg) & 0x0F;
    return static_cast<uint8_t>((sign | (seg << 4) | mant) ^ 0x55);
}

int16_t decodeA(uint8_t code) {
    const int a = code ^ 0x55;
    const int seg = (a >> 4) & 7;
    int t = ((a & 0x0F) << 4) + (seg == 0 ? 8 : 0x108);
    if (seg > 1) t <<= seg - 1;
    return static_cast<int16_t>((a & 0x80) ? t : -t);
}

constexpr int kMuBias = 0x84;

uint8_t encodeMu(int16_t x) {
    const int sign = x >= 0 ? 0x80 : 0;
    int mag = ((x >= 0 ? x : -x) >> 2) + (kMuBias >> 2);  // 13-bit magnitude, biased
    if (mag > 0x1FFF) mag = 0x1FFF;
    int seg = 0;
    while (seg < 7 && mag >= (64 << seg)) ++seg;
    const int mant = (mag >> (seg + 1)) & 0x0F;
    // Codes are stored inverted; the sign bit is set for positive samples.
    return static_cast<uint8_t>((~((seg << 4) | mant) & 0x7F) | sign);
}

int16_t decodeMu(uint8_t code) {
    const int u = ~code & 0xFF;
    const int t = (((u & 0x0F) << 3) + kMuBias) << ((u >> 4) & 7);
    return static_cast<int16_t>((u & 0x80) ? kMuBias - t : t - kMuBias);
}

struct Tables {
    std::array<uint8_t, 65536> encode;  // indexed by the sample's 16 bits
    std::array<int16_t, 256> decode;
    uint8_t silence;  // the code of sample 0
};

const Tables& tables(Law law) {
    static const auto build = [](Law l) {
        auto t = std::make_unique<Tables>();
        for (size_t i = 0; i < t->encode.size(); ++i) {
            const auto x = static_cast<int16_t>(static_cast<uint16_t>(i));
            t->encode[i] = l == Law::A ? encodeA(x) : encodeMu(x);
        }
        for (size_t c = 0; c < t->decode.size(); ++c)
            t->decode[c] =
                l == Law::A ? decodeA(static_cast<uint8_t>(c)) : decodeMu(static_cast<uint8_t>(c));
        t->silence = t->encode[0];
        return t;
    };
    static const std::unique_ptr<Tables> a = build(Law::A);
    static const std::unique_ptr<Tables> mu = build(Law::Mu);
    return law == Law::A ? *a : *mu;
}

class G711Encoder : public BlockCodec {
  public:
    G711Encoder(Law law, uint16_t channels)
        : BlockCodec(2u * channels, channels), table_(tables(law).encode.data()) {}

  protected:
    void processBlocks(const uint8_t* in, uint8_t* out, uint32_t count) override {
        const size_t n = size_t{count} * outBlock();
        for (size_t i = 0; i < n; ++i) out[i] = table_[static_cast<uint16_t>(loadLe16(in + 2 * i))];
    }

  private:
    const uint8_t* table_;
};

class G711Decoder : public BlockCodec {
  public:
    G711Decoder(Law law, uint16_t channels)
        : BlockCodec(channels, 2u * channels),
          table_(tables(law).decode.data()),
          silence_(tables(law).silence) {}

  protected:
    void processBlocks(const uint8_t* in, uint8_t* out, uint32_t count) override {
        const size_t n = size_t{count} * inBlock();
        for (size_t i = 0; i < n; ++i) storeLe16(out + 2 * i, table_[in[i]]);
    }
    // A cut stereo frame: the missing channel is silence, not code 0.
    uint32_t processPartial(const uint8_t* in, uint32_t inLength, uint8_t* out) override {
        uint8_t frame[2] = {silence_, silence_};
        for (uint32_t i = 0; i < inLength && i < 2; ++i) frame[i] = in[i];
        processBlocks(frame, out, 1);
        return outBlock();
    }

  private:
    const int16_t* table_;
    uint8_t silence_;
};

class G711Driver : public CodecDriver {
  public:
    G711Driver(Law law, uint16_t tag, const char* tagName, const char* name)
        : CodecDriver(tag, tagName, sizeof(WAVEFORMATEX), 8), law_(law), name_(name) {
        for (uint32_t rate : kCodecRates) {
            for (uint16_t ch = 1; ch <= 2; ++ch) {
                WAVEFORMATEX wfx{};
                wfx.wFormatTag = tag;
                wfx.nChannels = ch;
                wfx.nSamplesPerSec = rate;
                wfx.nAvgBytesPerSec = rate * ch;
                wfx.nBlockAlign = ch;
                wfx.wBitsPerSample = 8;
                wfx.cbSize = 0;
                formats_.push_back(makeFormatEntry(&wfx, sizeof wfx));
            }
        }
    }

    const char* name() const override { return name_; }
    std::span<const FormatEntry> formats() const override { return formats_; }

  protected:
    bool validRecord(const WAVEFORMATEX* wfx, uint32_t) const override {
        return wfx->nBlockAlign == wfx->nChannels;
    }
    std::unique_ptr<Codec> makeEncoder(const WAVEFORMATEX* wfx, uint32_t) const override {
        return std::make_unique<G711Encoder>(law_, wfx->nChannels);
    }
    std::unique_ptr<Codec> makeDecoder(const WAVEFORMATEX* wfx, uint32_t) const override {
        return std::make_unique<G711Decoder>(law_, wfx->nChannels);
    }

  private:
    Law law_;
    const char* name_;
    std::vector<FormatEntry> formats_;
};

}  // namespace

const Driver* alawDriver() {
    static const G711Driver driver(Law::A, WAVE_FORMAT_ALAW, "CCITT A-Law", "alaw");
    return &driver;
}

const Driver* mulawDriver() {
    static const G711Driver driver(Law::Mu, WAVE_FORMAT_MULAW, "CCITT u-Law", "mulaw");
    return &driver;
}

}  // namespace acm

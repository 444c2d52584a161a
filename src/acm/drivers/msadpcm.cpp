// SPDX-License-Identifier: GPL-3.0-or-later
// Microsoft ADPCM: blocks with a header per channel (predictor index,
// delta, the two newest and oldest samples) followed by 4-bit residuals,
// high nibble first; in stereo each byte holds one left and one right.
// A sample is predicted from the two before it with one coefficient pair of
// the format record; the prediction divides by 256 rounding down (an
// arithmetic shift), so decoded samples equal sox's exactly. Decoders that
// round toward zero (ffmpeg) drift from these by a few steps within a block
// wherever a predictor other than the first is used.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <vector>

#include "blockcodec.h"
#include "codecdriver.h"
#include "drivers.h"

namespace acm {

namespace {

using namespace codecs;

constexpr int kNumStdCoef = 7;
constexpr int16_t kStdCoef[kNumStdCoef][2] = {{256, 0}, {512, -256}, {0, 0},     {192, 64},
                                              {240, 0}, {460, -208}, {392, -232}};

constexpr int kAdapt[16] = {230, 230, 230, 230, 307, 409, 512, 614,
                            768, 614, 512, 409, 307, 230, 230, 230};
constexpr int kMinDelta = 16;
// Valid streams stay far below this; it only keeps corrupt data (a run of
// large residuals triples the delta each time) from overflowing.
constexpr int kMaxDelta = 1 << 20;

struct Coef {
    int c1;
    int c2;
};

inline int predict(int s1, int s2, Coef c) {
    // 64 bits: a record's coefficient table may hold any 16-bit values.
    const int64_t sum = int64_t{s1} * c.c1 + int64_t{s2} * c.c2;
    return static_cast<int>(sum >> 8);  // rounds down, not toward zero
}

// Out of line, so the compiler keeps the test a (never taken) branch
// rather than a conditional move on the delta's chain.
[[gnu::cold, gnu::noinline]] int saturatedDelta() {
    return kMaxDelta;
}

inline int nextDelta(int delta, int nibble) {
    int d = (kAdapt[nibble] * delta) >> 8;
    if (d > kMaxDelta) d = saturatedDelta();
    return d < kMinDelta ? kMinDelta : d;
}

struct RecordFields {
    uint16_t samplesPerBlock;
    std::vector<Coef> coefs;
};

RecordFields fieldsOf(const WAVEFORMATEX* wfx) {
    const auto* extra = reinterpret_cast<const uint8_t*>(wfx) + sizeof(WAVEFORMATEX);
    RecordFields f;
    f.samplesPerBlock = static_cast<uint16_t>(extra[0] | (extra[1] << 8));
    const uint16_t numCoef = static_cast<uint16_t>(extra[2] | (extra[3] << 8));
    for (uint16_t i = 0; i < numCoef && 4u + 4u * (i + 1u) <= wfx->cbSize; ++i)
        f.coefs.push_back({loadLe16(extra + 4 + 4 * i), loadLe16(extra + 6 + 4 * i)});
    return f;
}

constexpr uint32_t samplesPerBlockFor(uint32_t blockAlign, uint32_t channels) {
    return (blockAlign - 7 * channels) * 8 / (4 * channels) + 2;
}

class MsDecoder : public BlockCodec {
  public:
    MsDecoder(uint16_t channels, uint32_t blockAlign, RecordFields fields)
        : BlockCodec(blockAlign, fields.samplesPerBlock * 2u * channels),
          channels_(channels),
          samplesPerBlock_(fields.samplesPerBlock),
          coefs_(std::move(fields.coefs)) {}

  protected:
    void processBlocks(const uint8_t* in, uint8_t* out, uint32_t count) override {
        for (uint32_t b = 0; b < count; ++b)
            decodeBlock(in + size_t{b} * inBlock(), out + size_t{b} * outBlock(), samplesPerBlock_);
    }

    // A cut final block gives the samples whose residuals are present.
    uint32_t processPartial(const uint8_t* in, uint32_t inLength, uint8_t* out) override {
        const uint32_t header = 7 * channels_;
        if (inLength < header) return 0;
        const uint32_t frames =
            std::min<uint32_t>(2 + (inLength - header) * 2 / channels_, samplesPerBlock_);
        decodeBlock(in, out, frames);
        return frames * 2 * channels_;
    }

  private:
    struct State {
        int s1, s2, delta;
        Coef coef;

        int decode(int nibble) {
            const int residual = nibble - ((nibble & 8) << 1);
            // predict() + residual * delta, with everything but the newest
            // sample summed beforehand: (a >> 8) + b == (a + 256 b) >> 8.
            const int64_t rest = int64_t{s2} * coef.c2 + int64_t{residual * delta} * 256;
            const int x = clamp16(static_cast<int>((int64_t{s1} * coef.c1 + rest) >> 8));
            delta = nextDelta(delta, nibble);
            s2 = s1;
            s1 = x;
            return x;
        }
    };

    State header(const uint8_t* in, uint32_t c) const {
        const uint32_t ch = channels_;
        uint32_t predictor = in[c];
        if (predictor >= coefs_.size()) predictor = 0;  // corrupt: take the first pair
        return State{loadLe16(in + 3 * ch + 2 * c), loadLe16(in + 5 * ch + 2 * c),
                     loadLe16(in + ch + 2 * c), coefs_[predictor]};
    }

    void decodeBlock(const uint8_t* in, uint8_t* out, uint32_t frames) const {
        const uint8_t* p = in + 7 * channels_;
        if (channels_ == 1) {
            State st = header(in, 0);
            storeLe16(out, st.s2);
            storeLe16(out + 2, st.s1);
            uint32_t i = 2;
            for (; i + 1 < frames; i += 2, ++p) {
                storeLe16(out + 2 * i, st.decode(*p >> 4));
                storeLe16(out + 2 * i + 2, st.decode(*p & 0x0F));
            }
            if (i < frames) storeLe16(out + 2 * i, st.decode(*p >> 4));
        } else {
            State l = header(in, 0);
            State r = header(in, 1);
            storeLe16(out, l.s2);
            storeLe16(out + 2, r.s2);
            storeLe16(out + 4, l.s1);
            storeLe16(out + 6, r.s1);
            for (uint32_t i = 2; i < frames; ++i, ++p) {
                storeLe16(out + 4 * i, l.decode(*p >> 4));
                storeLe16(out + 4 * i + 2, r.decode(*p & 0x0F));
            }
        }
    }

    uint32_t channels_;
    uint32_t samplesPerBlock_;
    std::vector<Coef> coefs_;
};

// --- Encoder ---------------------------------------------------------------

// The trial encodings of one channel of a block with all seven standard
// predictors at once: one vector lane per predictor (lane 7 repeats lane 0
// and is ignored), so the search costs little more than one encoding. The
// eight lanes are one 256-bit vector or two 128-bit ones, whichever the
// processor has: wider types than the unit's fall apart into scalar code.
struct Trial {
    const int16_t* x;    // the channel's samples of the block
    int32_t delta[8];    // initial delta per predictor
    int32_t* residuals;  // out: 8 per sample (one per lane), from sample 2 on
    float error[8];      // out: squared error per predictor
};

constexpr int32_t kLaneCoef1[8] = {256, 512, 0, 192, 240, 460, 392, 256};
constexpr int32_t kLaneCoef2[8] = {0, -256, 0, 64, 0, -208, -232, 0};

template <class VI, class VF, size_t N>
[[gnu::always_inline]] inline void runTrials(Trial* t, uint32_t n) {
    constexpr size_t kLanes = sizeof(VI) / sizeof(int32_t);
    constexpr size_t kVecs = 8 / kLanes;
    const VI zero = {};
    VI c1[kVecs], c2[kVecs], s1[N][kVecs], s2[N][kVecs], delta[N][kVecs];
    VF error[N][kVecs];
    for (size_t v = 0; v < kVecs; ++v) {
        std::memcpy(&c1[v], kLaneCoef1 + v * kLanes, sizeof(VI));
        std::memcpy(&c2[v], kLaneCoef2 + v * kLanes, sizeof(VI));
        for (size_t k = 0; k < N; ++k) {
            s1[k][v] = zero + t[k].x[1];
            s2[k][v] = zero + t[k].x[0];
            std::memcpy(&delta[k][v], t[k].delta + v * kLanes, sizeof(VI));
            error[k][v] = VF{};
        }
    }
    // Stereo runs both channels in one loop: independent chains overlap.
    for (uint32_t i = 2; i < n; ++i) {
        for (size_t k = 0; k < N; ++k) {
            const VI target = zero + t[k].x[i];
            for (size_t v = 0; v < kVecs; ++v) {
                const VI pred = (s1[k][v] * c1[v] + s2[k][v] * c2[v]) >> 8;
                // The nearest residual level, rounded half away from zero
                // (0.5 takes the quotient's sign bit).
                VF q = __builtin_convertvector(target - pred, VF) /
                       __builtin_convertvector(delta[k][v], VF);
                q += __builtin_bit_cast(VF, (__builtin_bit_cast(VI, q) & INT32_MIN) | 0x3F000000);
                VI r = __builtin_convertvector(q, VI);
                r = r < -8 ? zero - 8 : (r > 7 ? zero + 7 : r);
                VI y = pred + r * delta[k][v];
                y = y < -32768 ? zero - 32768 : (y > 32767 ? zero + 32767 : y);
                const VF e = __builtin_convertvector(target - y, VF);
                error[k][v] += e * e;
                std::memcpy(t[k].residuals + 8 * size_t{i} + v * kLanes, &r, sizeof r);
                // The adaptation factor by |residual| without a table: 230
                // up to 3, then 512 (m - 1) / 5 (a multiply by 2^16 / 5,
                // exact here), and 768 at 8.
                const VI m = r < 0 ? -r : r;
                VI adapt = (((m - 1) * (512 * 13108)) >> 16) + (m >> 3) * 52;
                adapt = adapt < 230 ? zero + 230 : adapt;
                const VI d = (adapt * delta[k][v]) >> 8;
                delta[k][v] =
                    d < kMinDelta ? zero + kMinDelta : (d > kMaxDelta ? zero + kMaxDelta : d);
                s2[k][v] = s1[k][v];
                s1[k][v] = y;
            }
        }
    }
    for (size_t k = 0; k < N; ++k)
        for (size_t v = 0; v < kVecs; ++v)
            std::memcpy(t[k].error + v * kLanes, &error[k][v], sizeof(VF));
}

using V4i = int32_t __attribute__((vector_size(16)));
using V4f = float __attribute__((vector_size(16)));
using V8i = int32_t __attribute__((vector_size(32)));
using V8f = float __attribute__((vector_size(32)));

void trials1(Trial* t, uint32_t n) {
    runTrials<V4i, V4f, 1>(t, n);
}
void trials2(Trial* t, uint32_t n) {
    runTrials<V4i, V4f, 2>(t, n);
}

using TrialsFn = void (*)(Trial*, uint32_t);

#if defined(__x86_64__) || defined(__i386__)
// Built again for newer vector units and picked at run time: 256-bit
// lanes, and 32-bit multiplies the baseline has to emulate.
[[gnu::target("avx2")]] void trials1Avx2(Trial* t, uint32_t n) {
    runTrials<V8i, V8f, 1>(t, n);
}
[[gnu::target("avx2")]] void trials2Avx2(Trial* t, uint32_t n) {
    runTrials<V8i, V8f, 2>(t, n);
}
[[gnu::target("sse4.1")]] void trials1Sse41(Trial* t, uint32_t n) {
    runTrials<V4i, V4f, 1>(t, n);
}
[[gnu::target("sse4.1")]] void trials2Sse41(Trial* t, uint32_t n) {
    runTrials<V4i, V4f, 2>(t, n);
}

std::atomic<int> maxVectorLevel{2};

TrialsFn pickTrials(uint16_t channels) {
    const bool mono = channels == 1;
    const int level = maxVectorLevel.load();
    if (level >= 2 && __builtin_cpu_supports("avx2")) return mono ? trials1Avx2 : trials2Avx2;
    if (level >= 1 && __builtin_cpu_supports("sse4.1")) return mono ? trials1Sse41 : trials2Sse41;
    return mono ? trials1 : trials2;
}
#else
std::atomic<int> maxVectorLevel{0};

TrialsFn pickTrials(uint16_t channels) {
    return channels == 1 ? trials1 : trials2;
}
#endif

// Tries every standard predictor on each block and channel and keeps the
// one whose decoded samples lie nearest the input (least squared error).
class MsEncoder : public BlockCodec {
  public:
    MsEncoder(uint16_t channels, uint32_t blockAlign, uint32_t samplesPerBlock)
        : BlockCodec(samplesPerBlock * 2 * channels, blockAlign),
          channels_(channels),
          samplesPerBlock_(samplesPerBlock),
          trials_(pickTrials(channels)) {
        for (uint32_t c = 0; c < channels; ++c) {
            samples_[c].resize(samplesPerBlock);
            residuals_[c].resize(8 * size_t{samplesPerBlock});
        }
    }

  protected:
    void processBlocks(const uint8_t* in, uint8_t* out, uint32_t count) override {
        for (uint32_t b = 0; b < count; ++b)
            encodeBlock(in + size_t{b} * inBlock(), out + size_t{b} * outBlock());
    }

  private:
    void encodeBlock(const uint8_t* pcm, uint8_t* block) {
        const uint32_t n = samplesPerBlock_;
        const uint32_t ch = channels_;
        Trial trial[2];
        for (uint32_t c = 0; c < ch; ++c) {
            int16_t* x = samples_[c].data();
            for (uint32_t i = 0; i < n; ++i) x[i] = loadLe16(pcm + 2 * (size_t{i} * ch + c));
            trial[c].x = x;
            trial[c].residuals = residuals_[c].data();
            for (int p = 0; p < 8; ++p) trial[c].delta[p] = initialDelta(x, n, p % kNumStdCoef);
        }
        trials_(trial, n);

        std::memset(block, 0, outBlock());
        uint8_t* data = block + 7 * ch;
        for (uint32_t c = 0; c < ch; ++c) {
            const Trial& t = trial[c];
            int best = 0;
            for (int p = 1; p < kNumStdCoef; ++p)
                if (t.error[p] < t.error[best]) best = p;
            block[c] = static_cast<uint8_t>(best);
            storeLe16(block + ch + 2 * c, t.delta[best]);
            storeLe16(block + 3 * ch + 2 * c, t.x[1]);
            storeLe16(block + 5 * ch + 2 * c, t.x[0]);
            // The chosen lane's residuals as nibbles.
            auto nib = [&](uint32_t i) {
                return t.residuals[8 * size_t{i} + static_cast<size_t>(best)] & 0x0F;
            };
            if (ch == 1) {
                for (uint32_t i = 2; i + 1 < n; i += 2)
                    data[(i - 2) / 2] = static_cast<uint8_t>(nib(i) << 4 | nib(i + 1));
                if (n % 2) data[(n - 3) / 2] = static_cast<uint8_t>(nib(n - 1) << 4);
            } else {
                const int shift = c == 0 ? 4 : 0;  // left in the high nibble
                for (uint32_t i = 2; i < n; ++i)
                    data[i - 2] |= static_cast<uint8_t>(nib(i) << shift);
            }
        }
    }

    // About a third of the mean opening residual of this predictor: the
    // level where the adaptation settles on speech and music, so the first
    // samples neither clip the residual nor waste resolution.
    static int initialDelta(const int16_t* x, uint32_t n, int p) {
        const uint32_t end = std::min<uint32_t>(n, 2 + kOpening);
        if (end <= 2) return kMinDelta;
        const Coef coef{kStdCoef[p][0], kStdCoef[p][1]};
        int sum = 0;
        for (uint32_t i = 2; i < end; ++i) {
            const int e = x[i] - predict(x[i - 1], x[i - 2], coef);
            sum += e < 0 ? -e : e;
        }
        const int d = sum / static_cast<int>(3 * (end - 2));
        return std::clamp(d, kMinDelta, 32767);
    }

    static constexpr uint32_t kOpening = 8;

    uint32_t channels_;
    uint32_t samplesPerBlock_;
    TrialsFn trials_;
    std::vector<int16_t> samples_[2];
    std::vector<int32_t> residuals_[2];
};

class MsDriver : public CodecDriver {
  public:
    MsDriver() : CodecDriver(WAVE_FORMAT_ADPCM, "Microsoft ADPCM", sizeof(ADPCMWAVEFORMAT), 4) {
        for (uint32_t rate : kCodecRates) {
            const uint32_t perChannel = rate <= 11025 ? 256 : (rate <= 22050 ? 512 : 1024);
            for (uint16_t ch = 1; ch <= 2; ++ch) {
                ADPCMWAVEFORMAT f{};
                f.wfx.wFormatTag = WAVE_FORMAT_ADPCM;
                f.wfx.nChannels = ch;
                f.wfx.nSamplesPerSec = rate;
                f.wfx.nBlockAlign = static_cast<uint16_t>(perChannel * ch);
                f.wfx.wBitsPerSample = 4;
                f.wfx.cbSize = 32;
                f.wSamplesPerBlock =
                    static_cast<uint16_t>(samplesPerBlockFor(f.wfx.nBlockAlign, ch));
                f.wNumCoef = kNumStdCoef;
                for (int i = 0; i < kNumStdCoef; ++i) f.aCoef[i] = {kStdCoef[i][0], kStdCoef[i][1]};
                f.wfx.nAvgBytesPerSec = rate * f.wfx.nBlockAlign / f.wSamplesPerBlock;
                formats_.push_back(makeFormatEntry(&f, sizeof f));
            }
        }
    }

    const char* name() const override { return "msadpcm"; }
    std::span<const FormatEntry> formats() const override { return formats_; }

  protected:
    bool validRecord(const WAVEFORMATEX* wfx, uint32_t) const override {
        if (wfx->cbSize < 4 || wfx->nBlockAlign < 7u * wfx->nChannels) return false;
        const RecordFields f = fieldsOf(wfx);
        const auto* extra = reinterpret_cast<const uint8_t*>(wfx) + sizeof(WAVEFORMATEX);
        const uint32_t numCoef = extra[2] | (extra[3] << 8);
        return numCoef >= 1 && f.coefs.size() == numCoef &&
               f.samplesPerBlock == samplesPerBlockFor(wfx->nBlockAlign, wfx->nChannels);
    }
    std::unique_ptr<Codec> makeEncoder(const WAVEFORMATEX* wfx, uint32_t) const override {
        return std::make_unique<MsEncoder>(wfx->nChannels, wfx->nBlockAlign,
                                           fieldsOf(wfx).samplesPerBlock);
    }
    std::unique_ptr<Codec> makeDecoder(const WAVEFORMATEX* wfx, uint32_t) const override {
        return std::make_unique<MsDecoder>(wfx->nChannels, wfx->nBlockAlign, fieldsOf(wfx));
    }

  private:
    std::vector<FormatEntry> formats_;
};

}  // namespace

// For tests: the widest vector build of the encoder's trial loop that
// encoders opened from now on may use (2 AVX2, 1 SSE4.1, 0 baseline), so
// every build can be checked on one machine.
void limitMsAdpcmVectorLevel(int level) {
    maxVectorLevel = level;
}

const Driver* msAdpcmDriver() {
    static const MsDriver driver;
    return &driver;
}

}  // namespace acm

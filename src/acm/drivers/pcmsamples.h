// SPDX-License-Identifier: GPL-3.0-or-later
// Sample layouts of the PCM converter and the per-sample load and store
// steps its conversion loops are built from. Samples travel as doubles in
// [-1, 1): every integer width and 32-bit float fits one exactly, so
// conversions that can be exact (16 -> 24 -> 16, 16 -> float -> 16) are.
#pragma once

#include <bit>
#include <cstdint>
#include <optional>

#include "driver.h"

namespace acm::pcm {

enum class Kind : uint8_t { U8, S16, S24, S32, F32 };

struct Layout {
    Kind kind;
    uint16_t channels;    // 1 or 2
    uint32_t rate;        // samples per second
    uint16_t frameBytes;  // one sample of every channel
    uint16_t bits;        // container bits
    uint16_t validBits;   // significant bits (Extensible may say fewer)
};

// The layout of a PCM, IEEE float or Extensible (PCM / float) record of
// `cb` readable bytes; nothing for anything else or an inconsistent record.
std::optional<Layout> parse(const WAVEFORMATEX* wfx, uint32_t cb);

constexpr int bytesOf(Kind k) {
    switch (k) {
        case Kind::U8:
            return 1;
        case Kind::S16:
            return 2;
        case Kind::S24:
            return 3;
        default:
            return 4;
    }
}

// Triangular dither in units of one output step: the sum of two uniform
// values, from fixed-seed generators so that the same input always gives
// the same output. Eight xorshift generators run side by side and fill a
// block of values at a time: one serial chain per sample would be the
// longest dependency of the whole store loop.
class Tpdf {
  public:
    Tpdf() {
        // Far-apart starting points on the generator's cycle: neighbouring
        // states would make the lanes copies of one another.
        for (uint32_t l = 0; l < kLanes; ++l) {
            uint32_t z = 0x2545F491u + l * 0x9E3779B9u;
            z = (z ^ (z >> 16)) * 0x85EBCA6Bu;
            z = (z ^ (z >> 13)) * 0xC2B2AE35u;
            z ^= z >> 16;
            lanes_[l] = z ? z : 1;  // 0 is the one state xorshift never leaves
        }
    }

    double next() {
        if (at_ == kBlock) refill();
        return block_[at_++];
    }

  private:
    static constexpr uint32_t kLanes = 8;
    static constexpr uint32_t kBlock = 256;

    static uint32_t step(uint32_t x) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        return x;
    }

    void refill() {
        for (uint32_t i = 0; i < kBlock; i += kLanes) {
            for (uint32_t l = 0; l < kLanes; ++l) {
                const uint32_t x = lanes_[l] = step(lanes_[l]);
                const uint32_t a = x & 0xFFFF, b = x >> 16;
                block_[i + l] = (a + b + 1) * (1.0 / 65536.0) - 1.0;  // (-1, 1), mean 0
            }
        }
        at_ = 0;
    }

    uint32_t lanes_[kLanes];
    uint32_t at_ = kBlock;
    double block_[kBlock];
};

template <Kind K>
inline double load(const uint8_t* p) {
    if constexpr (K == Kind::U8) {
        return (int(p[0]) - 128) * (1.0 / 128);
    } else if constexpr (K == Kind::S16) {
        return int16_t(uint16_t(p[0] | p[1] << 8)) * (1.0 / 32768);
    } else if constexpr (K == Kind::S24) {
        const int32_t v =
            int32_t(uint32_t(p[0]) << 8 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 24);
        return (v >> 8) * (1.0 / 8388608);
    } else if constexpr (K == Kind::S32) {
        return int32_t(uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 |
                       uint32_t(p[3]) << 24) *
               (1.0 / 2147483648.0);
    } else {
        const float f = std::bit_cast<float>(uint32_t(p[0]) | uint32_t(p[1]) << 8 |
                                             uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24);
        return f == f ? f : 0.0;  // NaN would poison the resampler and the rounding
    }
}

// Scales to output steps, clips, and rounds half away from zero (never
// toward minus infinity). NaN ends up at the lower limit, never undefined.
inline int32_t quantize(double v, double lo, double hi) {
    v = v >= lo ? v : lo;
    v = v <= hi ? v : hi;
    return int32_t(v + (v >= 0 ? 0.5 : -0.5));
}

template <Kind K>
constexpr double kScale = K == Kind::U8    ? 128.0
                          : K == Kind::S16 ? 32768.0
                          : K == Kind::S24 ? 8388608.0
                                           : 2147483648.0;

template <Kind K, bool Dither>
inline void store(uint8_t* p, double x, Tpdf& rng) {
    if constexpr (K == Kind::F32) {
        const uint32_t u = std::bit_cast<uint32_t>(float(x));
        p[0] = uint8_t(u);
        p[1] = uint8_t(u >> 8);
        p[2] = uint8_t(u >> 16);
        p[3] = uint8_t(u >> 24);
    } else {
        constexpr double lo = -kScale<K>, hi = kScale<K> - 1;
        double v = x * kScale<K>;
        if constexpr (Dither) {
            // Samples that already sit on the output grid (digital silence,
            // audio that came from this width) are kept exact; the rest get
            // the dither before rounding. The generator runs for every
            // sample, so the noise does not depend on the content.
            const double d = rng.next();
            v = v >= lo ? v : lo;
            v = v <= hi ? v : hi;
            if (double(int32_t(v)) != v) v += d;
        }
        const int32_t q = quantize(v, lo, hi);
        if constexpr (K == Kind::U8) {
            p[0] = uint8_t(q + 128);
        } else {
            p[0] = uint8_t(q);
            p[1] = uint8_t(q >> 8);
            if constexpr (K == Kind::S24 || K == Kind::S32) p[2] = uint8_t(q >> 16);
            if constexpr (K == Kind::S32) p[3] = uint8_t(q >> 24);
        }
    }
}

}  // namespace acm::pcm

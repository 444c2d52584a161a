// SPDX-License-Identifier: GPL-3.0-or-later
// Shared pieces of the conversion tests: formats as the codec manager enumerates them, test
// signals with a known ideal at any rate, memory streams with a format, and signal measures.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "UKoWaveStream.h"
#include "acm.h"
#include "formats/acm_formats.h"
#include "streams/memory_stream.h"

namespace convtest {

using acmtest::Enumerated;

inline std::unique_ptr<TKoWaveFormat> Template(uint16_t Tag, uint32_t Rate = 0,
                                               uint16_t Channels = 0, uint16_t Bits = 0) {
    auto f = TKoWaveFormat::CreateDefault();
    f->SetFormatTag(Tag);
    if (Rate) f->SetSamplesPerSec(Rate);
    if (Channels) f->SetChannels(Channels);
    if (Bits) f->SetBitsPerSample(Bits);
    return f;
}

// The test signal: a rising sweep from 300 Hz on the left (or only) channel and a falling one
// from 1,000 Hz on the right, so its ideal at any rate and channel count is known, and a
// codec's delay shows as one lag (a steady tone would match at every period). Returns the
// value of channel c of frame i at that rate, in -1 .. 1.
inline double Ideal(uint32_t Rate, uint16_t Channels, uint16_t SourceChannels, size_t i, int c) {
    const double t = double(i) / Rate;
    const double left = 0.5 * std::sin(2 * M_PI * (300 * t + 500 * t * t));
    const double right = 0.4 * std::sin(2 * M_PI * (1000 * t - 200 * t * t));
    if (SourceChannels == 1) return left;
    if (Channels == 1) return (left + right) / 2;
    return c == 0 ? left : right;
}

inline std::vector<int16_t> Sine16(uint32_t Rate, uint16_t Channels, size_t Frames) {
    std::vector<int16_t> out(Frames * Channels);
    for (size_t i = 0; i < Frames; ++i)
        for (int c = 0; c < Channels; ++c)
            out[i * Channels + c] =
                int16_t(std::lround(32767 * Ideal(Rate, Channels, Channels, i, c)));
    return out;
}

inline std::vector<uint8_t> AsBytes(const std::vector<int16_t>& samples) {
    std::vector<uint8_t> out(samples.size() * 2);
    std::memcpy(out.data(), samples.data(), out.size());
    return out;
}

inline std::vector<int16_t> AsSamples(const std::vector<uint8_t>& bytes) {
    std::vector<int16_t> out(bytes.size() / 2);
    std::memcpy(out.data(), bytes.data(), out.size() * 2);
    return out;
}

// Signal-to-noise ratio in dB of Got against Ref over the first N samples of both, Got
// taken from sample Lag on.
inline double Snr(const std::vector<int16_t>& Ref, const std::vector<int16_t>& Got, size_t N,
                  size_t Lag = 0) {
    double signal = 0, noise = 0;
    for (size_t i = 0; i < N && i + Lag < Got.size() && i < Ref.size(); ++i) {
        const double r = Ref[i], e = double(Got[i + Lag]) - r;
        signal += r * r;
        noise += e * e;
    }
    return noise == 0 ? 200 : 10 * std::log10(signal / noise);
}

// The lag (in samples, a multiple of Channels) up to MaxLag at which Got matches Ref best
// over a window: codecs with a delay (MP3) put the signal behind silence.
inline size_t BestLag(const std::vector<int16_t>& Ref, const std::vector<int16_t>& Got,
                      uint16_t Channels, size_t MaxLag, size_t Window = 4096) {
    size_t best = 0;
    double bestError = -1;
    const size_t from = std::min<size_t>(Ref.size() / 4, 8192);
    for (size_t lag = 0; lag <= MaxLag; lag += Channels) {
        double error = 0;
        for (size_t i = from; i < from + Window && i < Ref.size() && i + lag < Got.size(); ++i) {
            const double e = double(Got[i + lag]) - Ref[i];
            error += e * e;
        }
        if (bestError < 0 || error < bestError) {
            bestError = error;
            best = lag;
        }
    }
    return best;
}

// A memory stream that reports a wave stream format, as a WAVE reader or writer would.
class TFormatStream : public TMemoryStream {
  public:
    explicit TFormatStream(const TKoWaveFormat& Format, std::vector<uint8_t> Data = {})
        : TMemoryStream(std::move(Data)), format_(TKoWaveStreamFormat::CreateForFormat(&Format)) {}
    TKoWaveStreamFormat* GetFormat() override { return format_.get(); }
    bool Close() override {
        ++closes;
        return true;
    }
    int closes = 0;

  private:
    std::unique_ptr<TKoWaveStreamFormat> format_;
};

// Writes Data into Stream in pieces of the given sizes, taken in turn.
inline bool WriteInPieces(TKoStream& Stream, const std::vector<uint8_t>& Data,
                          std::vector<int32_t> Pieces = {1, 777, 4096, 3, 10000}) {
    size_t at = 0;
    for (size_t k = 0; at < Data.size(); ++k) {
        const int32_t n = int32_t(std::min<size_t>(Pieces[k % Pieces.size()], Data.size() - at));
        if (Stream.Write(MakeArea(Data.data() + at, n)) != n) return false;
        at += size_t(n);
    }
    return true;
}

// Reads Stream to its end in pieces of varying size; Failed is set on a negative count.
inline std::vector<uint8_t> ReadInPieces(TKoStream& Stream, bool* Failed = nullptr) {
    static const int32_t pieces[] = {5, 3000, 1, 65536, 777};
    std::vector<uint8_t> out, buffer(65536);
    for (size_t k = 0; k < (1u << 22); ++k) {
        const int32_t n = Stream.Read(MakeArea(buffer.data(), pieces[k % 5]));
        if (n < 0 && Failed) *Failed = true;
        if (n <= 0) break;
        out.insert(out.end(), buffer.begin(), buffer.begin() + n);
    }
    return out;
}

inline bool HaveTool(const char* Name) {
    const std::string command = std::string("command -v ") + Name + " >/dev/null 2>&1";
    return std::system(command.c_str()) == 0;
}

}  // namespace convtest

// SPDX-License-Identifier: GPL-3.0-or-later
// Shared helpers of the library codec tests: test signals, a driver-level
// convert loop, quality measures, and a minimal RIFF/WAVE reader and writer
// for files exchanged with other tools.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <numbers>
#include <random>
#include <string>
#include <vector>

#include "driver.h"

namespace codectest {

using Samples = std::vector<int16_t>;
using Bytes = std::vector<uint8_t>;

inline Bytes toBytes(const Samples& s) {
    Bytes b(s.size() * 2);
    if (!b.empty()) std::memcpy(b.data(), s.data(), b.size());
    return b;
}

inline Samples toSamples(const Bytes& b) {
    Samples s(b.size() / 2);
    if (!s.empty()) std::memcpy(s.data(), b.data(), s.size() * 2);
    return s;
}

// Voiced speech stand-in: a 100-180 Hz glottal pulse train through three
// gliding formant resonators, in syllables of ~200 ms with short pauses.
inline Samples speechLike(uint32_t rate, double seconds, uint16_t channels = 1) {
    const size_t n = static_cast<size_t>(rate * seconds);
    Samples out(n * channels);
    std::mt19937 rng(7);
    std::normal_distribution<double> noise(0.0, 0.02);
    double phase = 0, y[3][2] = {};
    const double pi = std::numbers::pi;
    for (size_t i = 0; i < n; ++i) {
        const double t = double(i) / rate;
        const double pitch = 140 + 40 * std::sin(2 * pi * 1.3 * t);
        phase += pitch / rate;
        double x = 0;
        if (phase >= 1) {
            phase -= 1;
            x = 1;
        }
        x += noise(rng);
        const double formants[3] = {500 + 250 * std::sin(2 * pi * 2.1 * t),
                                    1500 + 500 * std::sin(2 * pi * 1.7 * t + 1), 2500};
        double v = 0;
        for (int k = 0; k < 3; ++k) {
            const double f = std::min(formants[k], 0.45 * rate);
            const double r = 0.97, w = 2 * pi * f / rate;
            const double yk = x + 2 * r * std::cos(w) * y[k][0] - r * r * y[k][1];
            y[k][1] = y[k][0];
            y[k][0] = yk;
            v += yk / (k + 1);
        }
        const double syllable = std::fmod(t, 0.25);
        const double env = syllable < 0.2 ? std::sin(pi * syllable / 0.2) : 0.0;
        const double s = std::clamp(v * env * 900, -32000.0, 32000.0);
        for (uint16_t c = 0; c < channels; ++c)
            out[i * channels + c] = static_cast<int16_t>(std::lround(c ? s * 0.8 : s));
    }
    return out;
}

// Music stand-in: a changing three-note chord with harmonics and note
// envelopes; the right channel plays the chord an octave up.
inline Samples musicLike(uint32_t rate, double seconds, uint16_t channels = 1) {
    const size_t n = static_cast<size_t>(rate * seconds);
    Samples out(n * channels);
    const double pi = std::numbers::pi;
    const double roots[] = {220.0, 261.63, 196.0, 246.94};
    for (size_t i = 0; i < n; ++i) {
        const double t = double(i) / rate;
        const int bar = static_cast<int>(t / 0.5) % 4;
        const double inBar = std::fmod(t, 0.5);
        const double env = std::exp(-3 * inBar) * std::min(1.0, inBar * 200);
        for (uint16_t c = 0; c < channels; ++c) {
            double v = 0;
            for (double ratio : {1.0, 1.25, 1.5}) {
                const double f = roots[bar] * ratio * (c ? 2 : 1);
                for (int h = 1; h <= 4; ++h)
                    if (f * h < 0.45 * rate) v += std::sin(2 * pi * f * h * t) / (h * h);
            }
            out[i * channels + c] = static_cast<int16_t>(std::lround(v * env * 6000));
        }
    }
    return out;
}

// Runs `input` through `codec` as a stream user would: chunks of `chunk`
// bytes into one destination buffer sized by the codec's SOURCE size query
// for a chunk, then END calls until nothing more comes. Every chunk must be
// consumed whole, since its output was promised to fit.
inline Bytes runCodec(acm::Codec& codec, const Bytes& input, uint32_t chunk, uint32_t flags = 0) {
    Bytes out;
    uint32_t room = 0;
    EXPECT_EQ(codec.size(chunk, &room, ACM_STREAMSIZEF_SOURCE), MMSYSERR_NOERROR);
    Bytes dst(room);
    size_t pos = 0;
    for (int endCalls = 0;;) {
        const uint32_t len = static_cast<uint32_t>(std::min<size_t>(chunk, input.size() - pos));
        const bool end = pos + len == input.size();
        acm::Codec::Buffers io{input.data() + pos, len, 0, dst.data(), room, 0};
        const MMRESULT r = codec.convert(io, flags | (end ? ACM_STREAMCONVERTF_END : 0));
        EXPECT_EQ(r, MMSYSERR_NOERROR);
        if (r != MMSYSERR_NOERROR) break;
        EXPECT_EQ(io.srcUsed, len) << "output of a full chunk must fit its SOURCE size";
        EXPECT_LE(io.dstUsed, room);
        out.insert(out.end(), dst.begin(), dst.begin() + io.dstUsed);
        pos += io.srcUsed;
        if (end && len == 0 && io.dstUsed == 0) break;
        if (end && ++endCalls > 4) {
            ADD_FAILURE() << "END keeps delivering";
            break;
        }
        if (io.srcUsed == 0 && io.dstUsed == 0 && !end) {
            ADD_FAILURE() << "no progress";
            break;
        }
    }
    return out;
}

inline double energy(const int16_t* s, size_t n) {
    double e = 0;
    for (size_t i = 0; i < n; ++i) e += double(s[i]) * s[i];
    return e;
}

// SNR in dB of `test` against `ref`, over ref's length, `test` shifted by `lag`.
inline double snrDb(const Samples& ref, const Samples& test, size_t lag = 0) {
    double sig = 0, err = 0;
    for (size_t i = 0; i < ref.size(); ++i) {
        const double t = i + lag < test.size() ? test[i + lag] : 0.0;
        sig += double(ref[i]) * ref[i];
        err += (ref[i] - t) * (ref[i] - t);
    }
    return 10 * std::log10((sig + 1e-9) / (err + 1e-9));
}

// Mean per-segment SNR over the segments that hold signal, each clamped to
// [-10, 35] dB as usual so that silent or perfect segments do not dominate.
inline double segmentalSnrDb(const Samples& ref, const Samples& test, size_t segment) {
    double sum = 0;
    int count = 0;
    for (size_t at = 0; at + segment <= ref.size(); at += segment) {
        double sig = 0, err = 0;
        for (size_t i = at; i < at + segment; ++i) {
            const double t = i < test.size() ? test[i] : 0.0;
            sig += double(ref[i]) * ref[i];
            err += (ref[i] - t) * (ref[i] - t);
        }
        if (sig < segment * 100.0 * 100.0) continue;  // below ~-50 dBFS: a pause
        sum += std::clamp(10 * std::log10(sig / (err + 1e-9)), -10.0, 35.0);
        ++count;
    }
    return count ? sum / count : -100;
}

// The shift of `test` against `ref` (0..maxLag samples per channel) with the
// highest normalised cross-correlation, over the first 4,096 interleaved
// frames (enough to be unambiguous, and cheap under the sanitizers).
inline size_t bestLag(const Samples& ref, const Samples& test, uint16_t channels, size_t maxLag) {
    size_t best = 0;
    double bestScore = -1;
    const size_t window = std::min<size_t>(ref.size(), size_t{4096} * channels);
    for (size_t lag = 0; lag <= maxLag; ++lag) {
        double cross = 0, e = 0;
        for (size_t i = 0; i < window && i + lag * channels < test.size(); ++i) {
            const double t = test[i + lag * channels];
            cross += ref[i] * t;
            e += t * t;
        }
        const double score = e > 0 ? cross / std::sqrt(e) : 0;
        if (score > bestScore) {
            bestScore = score;
            best = lag;
        }
    }
    return best;
}

// One channel of interleaved samples.
inline Samples channel(const Samples& s, uint16_t channels, uint16_t c) {
    Samples out;
    for (size_t i = c; i < s.size(); i += channels) out.push_back(s[i]);
    return out;
}

// --- WAVE files ------------------------------------------------------------

struct Wave {
    Bytes fmt;   // the fmt chunk's record
    Bytes data;  // the data chunk as its size field says (clipped to the file)
    const WAVEFORMATEX* wfx() const { return reinterpret_cast<const WAVEFORMATEX*>(fmt.data()); }
};

inline Bytes readFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(f), {});
}

inline bool readWave(const std::string& path, Wave* wave) {
    const Bytes b = readFile(path);
    if (b.size() < 12 || std::memcmp(b.data(), "RIFF", 4) || std::memcmp(b.data() + 8, "WAVE", 4))
        return false;
    size_t at = 12;
    while (at + 8 <= b.size()) {
        uint32_t size;
        std::memcpy(&size, b.data() + at + 4, 4);
        const size_t body = at + 8, have = std::min<size_t>(size, b.size() - body);
        if (!std::memcmp(b.data() + at, "fmt ", 4))
            wave->fmt.assign(b.begin() + body, b.begin() + body + have);
        if (!std::memcmp(b.data() + at, "data", 4))
            wave->data.assign(b.begin() + body, b.begin() + body + have);
        at = body + size + (size & 1);
    }
    return wave->fmt.size() >= sizeof(WAVEFORMATEX) && !wave->data.empty();
}

inline void put32(Bytes& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

inline void writeWave(const std::string& path, const WAVEFORMATEX* wfx, const Bytes& data,
                      uint32_t factSamples) {
    const uint32_t fmtSize = acm::recordSize(wfx);
    Bytes b = {'R', 'I', 'F', 'F'};
    put32(b, 0);
    b.insert(b.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
    put32(b, fmtSize);
    const auto* p = reinterpret_cast<const uint8_t*>(wfx);
    b.insert(b.end(), p, p + fmtSize);
    if (fmtSize & 1) b.push_back(0);
    b.insert(b.end(), {'f', 'a', 'c', 't'});
    put32(b, 4);
    put32(b, factSamples);
    b.insert(b.end(), {'d', 'a', 't', 'a'});
    put32(b, static_cast<uint32_t>(data.size()));
    b.insert(b.end(), data.begin(), data.end());
    if (data.size() & 1) b.push_back(0);
    const uint32_t riff = static_cast<uint32_t>(b.size() - 8);
    std::memcpy(b.data() + 4, &riff, 4);
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(b.data()), b.size());
}

inline bool haveTool(const char* tool) {
    return std::system((std::string("command -v ") + tool + " >/dev/null 2>&1").c_str()) == 0;
}

// Decodes `path` with an external tool into 16-bit samples (empty on failure).
inline Samples decodeWith(const std::string& command) {
    const std::string out =
        testing::TempDir() + "sonbar_codec_decoded_" + std::to_string(::getpid()) + ".s16";
    std::filesystem::remove(out);
    if (std::system((command + " '" + out + "' >/dev/null 2>&1").c_str()) != 0) return {};
    return toSamples(readFile(out));
}

inline Samples ffmpegDecode(const std::string& path) {
    return decodeWith("ffmpeg -v error -y -i '" + path + "' -f s16le -c:a pcm_s16le");
}

inline Samples soxDecode(const std::string& path) {
    return decodeWith("sox '" + path + "' -t raw -e signed -b 16 -L");
}

inline std::string dataPath(const std::string& name) {
    return std::string(SONBAR_TEST_DATA) + "/" + name;
}

}  // namespace codectest

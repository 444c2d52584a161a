// SPDX-License-Identifier: GPL-3.0-or-later
// Throughput of the GSM 6.10 and MPEG Layer-3 drivers, in bytes of 16-bit
// PCM per second (read the MB/s column as megabytes of PCM either way),
// realtime and NONREALTIME.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <numbers>
#include <random>
#include <vector>

#include "drivers.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Five seconds of a chord with some noise: work for a perceptual coder.
Bytes signal(uint32_t rate, uint16_t channels) {
    const size_t frames = rate * 5;
    std::vector<int16_t> s(frames * channels);
    std::mt19937 rng(1);
    std::normal_distribution<double> noise(0, 300);
    for (size_t i = 0; i < frames; ++i)
        for (uint16_t c = 0; c < channels; ++c) {
            const double t = double(i) / rate;
            double v = 0;
            for (double f : {220.0, 277.2, 329.6, 440.0 * (c + 1)})
                v += 5000 * std::sin(2 * std::numbers::pi * f * t);
            s[i * channels + c] = static_cast<int16_t>(std::lround(v + noise(rng)));
        }
    Bytes b(s.size() * 2);
    std::memcpy(b.data(), s.data(), b.size());
    return b;
}

WAVEFORMATEX pcm(uint32_t rate, uint16_t channels) {
    const uint16_t align = static_cast<uint16_t>(2 * channels);
    return {WAVE_FORMAT_PCM, channels, rate, rate * align, align, 16, 0};
}

GSM610WAVEFORMAT gsm() {
    return {{WAVE_FORMAT_GSM610, 1, 8000, 1625, 65, 0, 2}, 320};
}

MPEGLAYER3WAVEFORMAT mp3() {
    return {{WAVE_FORMAT_MPEGLAYER3, 2, 44100, 16000, 1, 0, 12}, 1, 0, 417, 1, 1393};
}

// Converts all of `input` in 64 KB pieces plus the END calls.
Bytes run(const acm::Driver& driver, const WAVEFORMATEX* src, const WAVEFORMATEX* dst,
          uint32_t flags, const Bytes& input) {
    std::unique_ptr<acm::Codec> codec;
    if (driver.open(src, acm::recordSize(src), dst, acm::recordSize(dst), flags, &codec) !=
        MMSYSERR_NOERROR)
        return {};
    const uint32_t chunk = 65536;
    uint32_t room = 0;
    codec->size(chunk, &room, ACM_STREAMSIZEF_SOURCE);
    Bytes out, buffer(room);
    size_t pos = 0;
    while (true) {
        const uint32_t len = static_cast<uint32_t>(std::min<size_t>(chunk, input.size() - pos));
        const bool end = pos + len == input.size();
        acm::Codec::Buffers io{input.data() + pos, len, 0, buffer.data(), room, 0};
        if (codec->convert(io, end ? ACM_STREAMCONVERTF_END : 0) != MMSYSERR_NOERROR) return {};
        out.insert(out.end(), buffer.begin(), buffer.begin() + io.dstUsed);
        pos += io.srcUsed;
        if (end && len == 0 && io.dstUsed == 0) break;
    }
    return out;
}

uint32_t quality(const benchmark::State& state) {
    return state.range(0) ? ACM_STREAMOPENF_NONREALTIME : 0;
}

void GsmEncode(benchmark::State& state) {
    const Bytes in = signal(8000, 1);
    const WAVEFORMATEX src = pcm(8000, 1);
    const GSM610WAVEFORMAT dst = gsm();
    for (auto _ : state)
        benchmark::DoNotOptimize(run(*acm::gsm610Driver(), &src, &dst.wfx, quality(state), in));
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(in.size()));
}

void GsmDecode(benchmark::State& state) {
    const WAVEFORMATEX pcmFmt = pcm(8000, 1);
    const GSM610WAVEFORMAT fmt = gsm();
    const Bytes coded = run(*acm::gsm610Driver(), &pcmFmt, &fmt.wfx, 0, signal(8000, 1));
    size_t pcmBytes = 0;
    for (auto _ : state) {
        const Bytes out = run(*acm::gsm610Driver(), &fmt.wfx, &pcmFmt, quality(state), coded);
        pcmBytes += out.size();
    }
    state.SetBytesProcessed(int64_t(pcmBytes));
}

void Mp3Encode(benchmark::State& state) {
    const Bytes in = signal(44100, 2);
    const WAVEFORMATEX src = pcm(44100, 2);
    const MPEGLAYER3WAVEFORMAT dst = mp3();
    for (auto _ : state)
        benchmark::DoNotOptimize(run(*acm::mp3Driver(), &src, &dst.wfx, quality(state), in));
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(in.size()));
}

void Mp3Decode(benchmark::State& state) {
    const WAVEFORMATEX pcmFmt = pcm(44100, 2);
    const MPEGLAYER3WAVEFORMAT fmt = mp3();
    const Bytes coded = run(*acm::mp3Driver(), &pcmFmt, &fmt.wfx, 0, signal(44100, 2));
    size_t pcmBytes = 0;
    for (auto _ : state) {
        const Bytes out = run(*acm::mp3Driver(), &fmt.wfx, &pcmFmt, quality(state), coded);
        pcmBytes += out.size();
    }
    state.SetBytesProcessed(int64_t(pcmBytes));
}

}  // namespace

// Argument: 0 realtime, 1 NONREALTIME.
BENCHMARK(GsmEncode)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(GsmDecode)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(Mp3Encode)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(Mp3Decode)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

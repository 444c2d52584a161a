// SPDX-License-Identifier: GPL-3.0-or-later
// Throughput of the G.711 and ADPCM drivers, in MB of 16-bit PCM per
// second (encoded or decoded), realtime and with NONREALTIME.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <numbers>
#include <random>
#include <vector>

#include "drivers.h"

namespace {

constexpr uint32_t kRate = 44100;

// Two seconds of stereo music-like sound: a chord with vibrato and a little noise.
std::vector<uint8_t> pcmSignal(uint16_t channels) {
    const size_t frames = 2 * kRate;
    std::vector<uint8_t> out(frames * channels * 2);
    std::mt19937 rng(1);
    std::normal_distribution<double> noise(0, 200);
    const double pi = std::numbers::pi;
    for (size_t i = 0; i < frames; ++i) {
        const double t = double(i) / kRate;
        const double vib = 1 + 0.005 * std::sin(2 * pi * 5 * t);
        for (uint16_t c = 0; c < channels; ++c) {
            double v = noise(rng);
            for (double f : {220.0, 277.2, 329.6})
                v += 6000 * std::sin(2 * pi * f * (c + 1) * vib * t);
            const auto s = static_cast<int16_t>(std::lround(std::clamp(v, -32768.0, 32767.0)));
            std::memcpy(&out[(i * channels + c) * 2], &s, 2);
        }
    }
    return out;
}

WAVEFORMATEX pcm16(uint16_t channels) {
    return WAVEFORMATEX{WAVE_FORMAT_PCM,
                        channels,
                        kRate,
                        kRate * 2u * channels,
                        static_cast<uint16_t>(2 * channels),
                        16,
                        0};
}

const acm::FormatEntry& codecFormat(const acm::Driver* d, uint16_t channels) {
    for (const acm::FormatEntry& f : d->formats())
        if (f.wfx()->nSamplesPerSec == kRate && f.wfx()->nChannels == channels) return f;
    std::abort();
}

// Converts all of `in` into `out` (sized by the SOURCE query); returns the bytes written.
uint32_t run(acm::Codec& codec, const std::vector<uint8_t>& in, std::vector<uint8_t>& out) {
    uint32_t room = 0;
    codec.size(static_cast<uint32_t>(in.size()), &room, ACM_STREAMSIZEF_SOURCE);
    if (out.size() < room) out.resize(room);
    acm::Codec::Buffers io{in.data(), static_cast<uint32_t>(in.size()), 0, out.data(), room, 0};
    codec.convert(io, ACM_STREAMCONVERTF_END);
    return io.dstUsed;
}

// args: channels, NONREALTIME (0/1)
void encode(benchmark::State& state, const acm::Driver* (*driver)()) {
    const auto channels = static_cast<uint16_t>(state.range(0));
    const uint32_t flags = state.range(1) ? ACM_STREAMOPENF_NONREALTIME : 0;
    const std::vector<uint8_t> pcm = pcmSignal(channels);
    const WAVEFORMATEX src = pcm16(channels);
    const acm::FormatEntry& dst = codecFormat(driver(), channels);
    std::unique_ptr<acm::Codec> codec;
    if (driver()->open(&src, sizeof src, dst.wfx(), uint32_t(dst.record.size()), flags, &codec)) {
        state.SkipWithError("open failed");
        return;
    }
    std::vector<uint8_t> out;
    for (auto _ : state) benchmark::DoNotOptimize(run(*codec, pcm, out));
    state.counters["PCM_MB/s"] =
        benchmark::Counter(double(pcm.size()) / 1e6, benchmark::Counter::kIsIterationInvariantRate);
}

void decode(benchmark::State& state, const acm::Driver* (*driver)()) {
    const auto channels = static_cast<uint16_t>(state.range(0));
    const uint32_t flags = state.range(1) ? ACM_STREAMOPENF_NONREALTIME : 0;
    const WAVEFORMATEX pcm = pcm16(channels);
    const acm::FormatEntry& fmt = codecFormat(driver(), channels);
    std::unique_ptr<acm::Codec> enc, dec;
    if (driver()->open(&pcm, sizeof pcm, fmt.wfx(), uint32_t(fmt.record.size()), 0, &enc) ||
        driver()->open(fmt.wfx(), uint32_t(fmt.record.size()), &pcm, sizeof pcm, flags, &dec)) {
        state.SkipWithError("open failed");
        return;
    }
    std::vector<uint8_t> coded, out;
    coded.resize(run(*enc, pcmSignal(channels), coded));
    size_t pcmBytes = 0;
    for (auto _ : state) {
        pcmBytes = run(*dec, coded, out);
        benchmark::DoNotOptimize(out.data());
    }
    state.counters["PCM_MB/s"] =
        benchmark::Counter(double(pcmBytes) / 1e6, benchmark::Counter::kIsIterationInvariantRate);
}

void grid(benchmark::internal::Benchmark* b) {
    b->ArgNames({"ch", "nonrealtime"});
    for (int ch : {1, 2})
        for (int nrt : {0, 1}) b->Args({ch, nrt});
    b->Unit(benchmark::kMillisecond);
}

BENCHMARK_CAPTURE(encode, alaw, acm::alawDriver)->Apply(grid);
BENCHMARK_CAPTURE(decode, alaw, acm::alawDriver)->Apply(grid);
BENCHMARK_CAPTURE(encode, mulaw, acm::mulawDriver)->Apply(grid);
BENCHMARK_CAPTURE(decode, mulaw, acm::mulawDriver)->Apply(grid);
BENCHMARK_CAPTURE(encode, imaadpcm, acm::imaAdpcmDriver)->Apply(grid);
BENCHMARK_CAPTURE(decode, imaadpcm, acm::imaAdpcmDriver)->Apply(grid);
BENCHMARK_CAPTURE(encode, msadpcm, acm::msAdpcmDriver)->Apply(grid);
BENCHMARK_CAPTURE(decode, msadpcm, acm::msAdpcmDriver)->Apply(grid);

}  // namespace

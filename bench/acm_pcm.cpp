// SPDX-License-Identifier: GPL-3.0-or-later
// Throughput of the PCM converter through the codec manager calls, in bytes
// of source PCM per second.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "acm.h"

namespace {

WAVEFORMATEX format(uint16_t tag, uint16_t channels, uint32_t rate, uint16_t bits) {
    WAVEFORMATEX w{};
    w.wFormatTag = tag;
    w.nChannels = channels;
    w.nSamplesPerSec = rate;
    w.nBlockAlign = static_cast<uint16_t>(channels * bits / 8);
    w.nAvgBytesPerSec = rate * w.nBlockAlign;
    w.wBitsPerSample = bits;
    return w;
}

void convert(benchmark::State& state, WAVEFORMATEX src, WAVEFORMATEX dst, uint32_t openFlags) {
    HACMSTREAM has = nullptr;
    if (acmStreamOpen(&has, nullptr, &src, &dst, nullptr, 0, 0, openFlags) != MMSYSERR_NOERROR) {
        state.SkipWithError("open failed");
        return;
    }
    constexpr uint32_t kSource = 48 * 1024;  // whole frames of every width
    uint32_t dstSize = 0;
    acmStreamSize(has, kSource, &dstSize, ACM_STREAMSIZEF_SOURCE);
    std::vector<uint8_t> in(kSource), out(dstSize);
    // A 16-bit stereo tone; the same bytes serve as any source width.
    for (uint32_t i = 0; i + 1 < kSource; i += 2) {
        const auto s = static_cast<int16_t>(12000 * std::sin(i * 0.003));
        in[i] = static_cast<uint8_t>(s);
        in[i + 1] = static_cast<uint8_t>(s >> 8);
    }
    ACMSTREAMHEADER h{};
    h.cbStruct = sizeof h;
    h.pbSrc = in.data();
    h.cbSrcLength = kSource;
    h.pbDst = out.data();
    h.cbDstLength = dstSize;
    acmStreamPrepareHeader(has, &h, 0);
    for (auto _ : state) {
        if (acmStreamConvert(has, &h, ACM_STREAMCONVERTF_BLOCKALIGN) != MMSYSERR_NOERROR ||
            h.cbSrcLengthUsed != kSource) {
            state.SkipWithError("convert failed");
            break;
        }
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * kSource);
    acmStreamUnprepareHeader(has, &h, 0);
    acmStreamClose(has, 0);
}

const WAVEFORMATEX kS16 = format(WAVE_FORMAT_PCM, 2, 44100, 16);

void S16ToFloat(benchmark::State& s) {
    convert(s, kS16, format(WAVE_FORMAT_IEEE_FLOAT, 2, 44100, 32), 0);
}
void FloatToS16(benchmark::State& s) {
    convert(s, format(WAVE_FORMAT_IEEE_FLOAT, 2, 44100, 32), kS16, 0);
}
void S16ToS24(benchmark::State& s) {
    convert(s, kS16, format(WAVE_FORMAT_PCM, 2, 44100, 24), 0);
}
void S24ToS16Dithered(benchmark::State& s) {
    convert(s, format(WAVE_FORMAT_PCM, 2, 44100, 24), kS16, ACM_STREAMOPENF_NONREALTIME);
}
void S16StereoToMono(benchmark::State& s) {
    convert(s, kS16, format(WAVE_FORMAT_PCM, 1, 44100, 16), 0);
}
void Resample44To22Fast(benchmark::State& s) {
    convert(s, kS16, format(WAVE_FORMAT_PCM, 2, 22050, 16), 0);
}
void Resample44To22HighQuality(benchmark::State& s) {
    convert(s, kS16, format(WAVE_FORMAT_PCM, 2, 22050, 16), ACM_STREAMOPENF_NONREALTIME);
}

}  // namespace

BENCHMARK(S16ToFloat);
BENCHMARK(FloatToS16);
BENCHMARK(S16ToS24);
BENCHMARK(S24ToS16Dithered);
BENCHMARK(S16StereoToMono);
BENCHMARK(Resample44To22Fast);
BENCHMARK(Resample44To22HighQuality);

// SPDX-License-Identifier: GPL-3.0-or-later
// Helpers of the tests of the drivers that convert 16-bit PCM to a codec and
// back at the same rate and channels (G.711, IMA ADPCM, MS ADPCM).
#pragma once

#include <unistd.h>

#include <initializer_list>
#include <string>

#include "codec_test_util.h"
#include "drivers.h"

namespace codectest {

inline WAVEFORMATEX pcm16(uint32_t rate, uint16_t channels) {
    return WAVEFORMATEX{WAVE_FORMAT_PCM,        channels, rate, rate * 2u * channels,
                        uint16_t(2 * channels), 16,       0};
}

// The driver's own record at this rate and channel count (empty if none).
inline Bytes tableFormat(const acm::Driver* driver, uint32_t rate, uint16_t channels) {
    for (const acm::FormatEntry& f : driver->formats())
        if (f.wfx()->nSamplesPerSec == rate && f.wfx()->nChannels == channels) return f.record;
    return {};
}

inline std::unique_ptr<acm::Codec> openCodec(const acm::Driver* driver, const void* src,
                                             size_t cbSrc, const void* dst, size_t cbDst,
                                             uint32_t flags = 0) {
    std::unique_ptr<acm::Codec> codec;
    const MMRESULT r = driver->open(
        static_cast<const WAVEFORMATEX*>(src), static_cast<uint32_t>(cbSrc),
        static_cast<const WAVEFORMATEX*>(dst), static_cast<uint32_t>(cbDst), flags, &codec);
    EXPECT_EQ(r, MMSYSERR_NOERROR) << driver->name();
    return r == MMSYSERR_NOERROR ? std::move(codec) : nullptr;
}

// PCM -> `format` through the driver, fed in chunks of `chunk` bytes.
inline Bytes driverEncode(const acm::Driver* driver, const Bytes& format, const Samples& pcm,
                          uint32_t chunk = 5000, uint32_t flags = 0) {
    const auto* wfx = reinterpret_cast<const WAVEFORMATEX*>(format.data());
    const WAVEFORMATEX src = pcm16(wfx->nSamplesPerSec, wfx->nChannels);
    auto codec = openCodec(driver, &src, sizeof src, format.data(), format.size(), flags);
    return codec ? runCodec(*codec, toBytes(pcm), chunk) : Bytes{};
}

// `format` -> PCM through the driver.
inline Samples driverDecode(const acm::Driver* driver, const Bytes& format, const Bytes& data,
                            uint32_t chunk = 3000) {
    const auto* wfx = reinterpret_cast<const WAVEFORMATEX*>(format.data());
    const WAVEFORMATEX dst = pcm16(wfx->nSamplesPerSec, wfx->nChannels);
    auto codec = openCodec(driver, format.data(), format.size(), &dst, sizeof dst);
    return codec ? toSamples(runCodec(*codec, data, chunk)) : Samples{};
}

// A file made by another tool must decode to exactly the samples that sox
// decoded from it (stored beside it as <name>.s16).
inline void expectDecodesLikeSox(const acm::Driver* driver, const std::string& name) {
    Wave wave;
    ASSERT_TRUE(readWave(dataPath(name + ".wav"), &wave)) << name;
    const Samples expected = toSamples(readFile(dataPath(name + ".s16")));
    ASSERT_FALSE(expected.empty()) << name;
    std::string description;
    EXPECT_TRUE(driver->describe(wave.wfx(), static_cast<uint32_t>(wave.fmt.size()), &description))
        << name;
    const Samples got = driverDecode(driver, wave.fmt, wave.data);
    ASSERT_EQ(got.size(), expected.size()) << name;
    size_t mismatches = 0, first = got.size();
    for (size_t i = 0; i < got.size(); ++i)
        if (got[i] != expected[i] && mismatches++ == 0) first = i;
    EXPECT_EQ(mismatches, 0u) << name << ": first difference at sample " << first;
}

// Writes `coded` as a WAVE file and has sox or ffmpeg decode it. The
// names carry the process id: ctest runs test cases in parallel processes.
inline Samples toolDecode(const std::string& tool, const Bytes& format, const Bytes& coded,
                          uint32_t frames, const std::string& tag) {
    const std::string base =
        testing::TempDir() + "sonbar_" + tag + "_" + std::to_string(::getpid());
    const std::string in = base + ".wav", out = base + ".s16";
    writeWave(in, reinterpret_cast<const WAVEFORMATEX*>(format.data()), coded, frames);
    std::filesystem::remove(out);
    const std::string command =
        tool == "sox" ? "sox '" + in + "' -t raw -e signed -b 16 -L '" + out + "'"
                      : "ffmpeg -v error -y -i '" + in + "' -f s16le -c:a pcm_s16le '" + out + "'";
    Samples decoded;
    if (std::system((command + " >/dev/null 2>&1").c_str()) == 0)
        decoded = toSamples(readFile(out));
    std::filesystem::remove(in);
    std::filesystem::remove(out);
    return decoded;
}

// A loud signal for the codecs' extremes: a chirp at nearly full scale with
// a hard-clipped square burst, so predictions and steps hit their limits.
inline Samples loudSignal(uint32_t rate, double seconds, uint16_t channels) {
    const size_t n = static_cast<size_t>(rate * seconds);
    Samples out(n * channels);
    const double pi = std::numbers::pi;
    for (size_t i = 0; i < n; ++i) {
        const double t = double(i) / rate;
        double v = 0.98 * std::sin(2 * pi * (100 + 0.2 * rate * t / seconds) * t);
        if (std::fmod(t, 0.1) < 0.03) v = std::sin(2 * pi * 300 * t) >= 0 ? 1.0 : -1.0;
        for (uint16_t c = 0; c < channels; ++c)
            out[i * channels + c] = static_cast<int16_t>(
                std::clamp(std::lround((c ? -v : v) * 32767), -32768L, 32767L));
    }
    return out;
}

// wSamplesPerBlock, which both ADPCM records keep right after the 18-byte header.
inline uint32_t samplesPerBlock(const Bytes& fmt) {
    return fmt[18] | (fmt[19] << 8);
}

struct RoundTripSignal {
    const char* name;
    Samples (*make)(uint32_t, double, uint16_t);
    double marginDb;
};

// Every signal at every rate and channel count of the grid goes through the
// driver and back: the length is kept (at most one block more) and the SNR
// stays above the signal's margin.
inline void expectBlockRoundTrips(const acm::Driver* driver,
                                  std::initializer_list<RoundTripSignal> signals) {
    for (const RoundTripSignal& sig : signals) {
        for (uint32_t rate : {8000u, 11025u, 22050u, 44100u}) {
            for (uint16_t ch : {uint16_t{1}, uint16_t{2}}) {
                SCOPED_TRACE(std::string(sig.name) + " " + std::to_string(rate) + "/" +
                             std::to_string(ch));
                const Samples in = sig.make(rate, 0.5, ch);
                const Bytes fmt = tableFormat(driver, rate, ch);
                const Bytes coded = driverEncode(driver, fmt, in);
                const Samples out = driverDecode(driver, fmt, coded);
                ASSERT_GE(out.size(), in.size());
                EXPECT_LT(out.size(), in.size() + samplesPerBlock(fmt) * ch);
                EXPECT_GT(snrDb(in, out), sig.marginDb);
            }
        }
    }
}

}  // namespace codectest

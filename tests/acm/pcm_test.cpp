// SPDX-License-Identifier: GPL-3.0-or-later
// The PCM converter through the manager calls: exact sample conversions,
// round trips, resampling length and quality, dither, partial frames.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <string>

#include "acm_streams.h"
#include "drivers.h"

using namespace acmtest;

namespace {

constexpr uint16_t PCM = WAVE_FORMAT_PCM;
constexpr uint16_t FLOAT = WAVE_FORMAT_IEEE_FLOAT;

struct Fmt {
    uint16_t tag;
    uint16_t bits;
    uint16_t channels;
    uint32_t rate = 44100;
    Bytes record() const { return pcmRecord(tag, channels, rate, bits); }
};

// Raw sample values: integers as stored (8-bit unsigned), floats as float.
Bytes pack(const Fmt& f, const std::vector<double>& values) {
    Bytes out;
    for (double v : values) {
        uint32_t u = f.tag == FLOAT ? std::bit_cast<uint32_t>(float(v))
                                    : static_cast<uint32_t>(static_cast<int64_t>(v));
        for (int i = 0; i < f.bits / 8; ++i) out.push_back(uint8_t(u >> (8 * i)));
    }
    return out;
}

std::vector<double> unpack(const Fmt& f, const Bytes& b) {
    std::vector<double> out;
    const int n = f.bits / 8;
    for (size_t i = 0; i + n <= b.size(); i += n) {
        uint32_t u = 0;
        for (int k = 0; k < n; ++k) u |= uint32_t(b[i + k]) << (8 * k);
        if (f.tag == FLOAT)
            out.push_back(std::bit_cast<float>(u));
        else if (f.bits == 8)
            out.push_back(u);
        else
            out.push_back(int32_t(u << (32 - f.bits)) >> (32 - f.bits));
    }
    return out;
}

// Converts a whole signal in random chunks (every call checked by feed()).
Bytes run(const Bytes& src, const Bytes& dst, const Bytes& input, uint32_t openFlags = 0,
          uint32_t maxChunk = 5000, bool align = false) {
    Stream s;
    EXPECT_EQ(s.open(src, dst, openFlags), MMSYSERR_NOERROR);
    if (!s.handle()) return {};
    Feed f;
    f.maxChunk = maxChunk;
    f.blockAlign = align;
    f.srcBlock = wfx(src)->nBlockAlign;
    f.drainLength = 16384;
    return feed(s, input, f);
}

struct Exact {
    const char* name;
    Fmt in, out;
    std::vector<double> input, expected;
};

void PrintTo(const Exact& e, std::ostream* os) {
    *os << e.name;
}

class PcmExact : public testing::TestWithParam<Exact> {};

TEST_P(PcmExact, Converts) {
    const Exact& e = GetParam();
    const Bytes out = run(e.in.record(), e.out.record(), pack(e.in, e.input));
    const std::vector<double> got = unpack(e.out, out);
    ASSERT_EQ(got.size(), e.expected.size());
    for (size_t i = 0; i < got.size(); ++i) {
        if (e.out.tag == FLOAT)
            EXPECT_FLOAT_EQ(got[i], e.expected[i]) << "sample " << i;
        else
            EXPECT_EQ(got[i], e.expected[i]) << "sample " << i;
    }
}

const double kNaN = std::nan("");

INSTANTIATE_TEST_SUITE_P(
    Samples, PcmExact,
    testing::Values(
        Exact{"s16_to_s24_shifts",
              {PCM, 16, 1},
              {PCM, 24, 1},
              {0, 1, -1, 32767, -32768},
              {0, 256, -256, 8388352, -8388608}},
        // 128/256 is half a step: away from zero; -320/256 is -1.25: -1, where
        // truncation toward minus infinity would give -2.
        Exact{"s24_to_s16_rounds",
              {PCM, 24, 1},
              {PCM, 16, 1},
              {127, 128, -128, -129, -320, 8388607},
              {0, 1, -1, -1, -1, 32767}},
        Exact{"s16_to_u8_offset",
              {PCM, 16, 1},
              {PCM, 8, 1},
              {0, 255, -32768, 32767, -129},
              {128, 129, 0, 255, 127}},
        Exact{"u8_to_s16", {PCM, 8, 1}, {PCM, 16, 1}, {128, 0, 255, 129}, {0, -32768, 32512, 256}},
        Exact{"float_clips_not_wraps",
              {FLOAT, 32, 1},
              {PCM, 16, 1},
              {1.5, -1.5, 1.0, -1.0, 0.5, kNaN, 100.0},
              {32767, -32768, 32767, -32768, 16384, 0, 32767}},
        Exact{"float_to_s32",
              {FLOAT, 32, 1},
              {PCM, 32, 1},
              {1.0, -1.0, 0.25, -2.0},
              {2147483647, -2147483648.0, 536870912, -2147483648.0}},
        Exact{
            "s32_to_float", {PCM, 32, 1}, {FLOAT, 32, 1}, {1073741824, -2147483648.0}, {0.5, -1.0}},
        Exact{"s24_to_float_exact",
              {PCM, 24, 1},
              {FLOAT, 32, 1},
              {8388607, -8388608, 1},
              {8388607 / 8388608.0, -1.0, 1 / 8388608.0}},
        Exact{"float_keeps_overrange",
              {FLOAT, 32, 1},
              {FLOAT, 32, 2},
              {1.5, -3.0},
              {1.5, 1.5, -3.0, -3.0}},
        // (1 + -2) / 2 = -0.5 rounds away from zero, like +0.5 would.
        Exact{"stereo_averages",
              {PCM, 16, 2},
              {PCM, 16, 1},
              {100, 201, -100, -201, 32767, 32767, -32768, -32768, 1, -2},
              {151, -151, 32767, -32768, -1}},
        Exact{"mono_duplicates", {PCM, 8, 1}, {PCM, 16, 2}, {128, 255}, {0, 0, 32512, 32512}}),
    [](const auto& row) { return std::string(row.param.name); });

struct Trip {
    const char* name;
    Fmt base, via;
    uint32_t flags;
};

void PrintTo(const Trip& t, std::ostream* os) {
    *os << t.name;
}

class PcmRoundTrip : public testing::TestWithParam<Trip> {};

// Every value of the narrower width comes back unchanged.
TEST_P(PcmRoundTrip, IsExact) {
    const Trip& t = GetParam();
    std::mt19937 rng(5);
    std::vector<double> values;
    const int64_t top = int64_t{1} << (t.base.bits - 1);
    std::uniform_int_distribution<int64_t> any(-top, top - 1);
    for (int i = 0; i < 6000; ++i) values.push_back(t.base.bits == 8 ? any(rng) + 128 : any(rng));
    for (int64_t extreme : {-top, top - 1})
        values.push_back(t.base.bits == 8 ? extreme + 128 : extreme);
    const Bytes input = pack(t.base, values);
    const Bytes there = run(t.base.record(), t.via.record(), input, t.flags, 777);
    const Bytes back = run(t.via.record(), t.base.record(), there, t.flags, 1333);
    EXPECT_EQ(back, input);
}

INSTANTIATE_TEST_SUITE_P(
    Widths, PcmRoundTrip,
    testing::Values(
        Trip{"s16_s24", {PCM, 16, 2}, {PCM, 24, 2}, 0},
        Trip{"s16_float", {PCM, 16, 2}, {FLOAT, 32, 2}, 0},
        Trip{"s16_s32", {PCM, 16, 1}, {PCM, 32, 1}, 0},
        Trip{"s24_float", {PCM, 24, 1}, {FLOAT, 32, 1}, 0},
        Trip{"s24_s32", {PCM, 24, 2}, {PCM, 32, 2}, 0},
        Trip{"u8_s16", {PCM, 8, 1}, {PCM, 16, 1}, 0},
        Trip{"s16_mono_stereo", {PCM, 16, 1}, {PCM, 16, 2}, 0},
        // Dither leaves samples that are already on the grid alone.
        Trip{"s16_s24_dithered", {PCM, 16, 2}, {PCM, 24, 2}, ACM_STREAMOPENF_NONREALTIME},
        Trip{"u8_float_dithered", {PCM, 8, 2}, {FLOAT, 32, 2}, ACM_STREAMOPENF_NONREALTIME}),
    [](const auto& row) { return std::string(row.param.name); });

Bytes sine(const Fmt& f, double hz, double amplitude, size_t frames) {
    std::vector<double> v;
    for (size_t i = 0; i < frames; ++i) {
        const double x = amplitude * std::sin(2 * std::numbers::pi * hz * i / f.rate);
        for (int c = 0; c < f.channels; ++c)
            v.push_back(f.tag == FLOAT ? x : std::lround(x * 32767));
    }
    return pack(f, v);
}

struct Rates {
    uint32_t in, out;
    uint32_t flags;
};

void PrintTo(const Rates& r, std::ostream* os) {
    *os << r.in << " -> " << r.out;
}

class PcmResample : public testing::TestWithParam<Rates> {};

TEST_P(PcmResample, LengthFollowsTheRatio) {
    const Rates r = GetParam();
    const Fmt in{PCM, 16, 2, r.in}, out{PCM, 16, 2, r.out};
    const size_t frames = r.in / 3 + 17;
    const Bytes result = run(in.record(), out.record(), sine(in, 440, 0.5, frames), r.flags, 3001);
    const double expected = double(frames) * r.out / r.in;
    EXPECT_NEAR(result.size() / 4.0, expected, 2.0);
}

INSTANTIATE_TEST_SUITE_P(
    Ratios, PcmResample,
    testing::Values(Rates{44100, 22050, 0}, Rates{44100, 22050, ACM_STREAMOPENF_NONREALTIME},
                    Rates{8000, 44100, 0}, Rates{8000, 44100, ACM_STREAMOPENF_NONREALTIME},
                    Rates{48000, 44100, ACM_STREAMOPENF_NONREALTIME}, Rates{96000, 8000, 0},
                    Rates{1000, 384000, 0}, Rates{11025, 12345, ACM_STREAMOPENF_NONREALTIME}),
    [](const auto& row) {
        return std::to_string(row.param.in) + "_" + std::to_string(row.param.out) +
               (row.param.flags ? "_hq" : "_fast");
    });

// Signal-to-error ratio of a resampled tone against the ideal tone at the
// new rate, away from the edges.
double resampledSnr(uint32_t inRate, uint32_t outRate, uint32_t flags) {
    const Fmt in{FLOAT, 32, 1, inRate}, out{FLOAT, 32, 1, outRate};
    const double hz = 997;
    const Bytes y = run(in.record(), out.record(), sine(in, hz, 0.5, inRate / 2), flags, 4096);
    const std::vector<double> got = unpack(out, y);
    double signal = 0, error = 0;
    for (size_t i = outRate / 50; i + outRate / 50 < got.size(); ++i) {
        const double ideal = 0.5 * std::sin(2 * std::numbers::pi * hz * i / outRate);
        signal += ideal * ideal;
        error += (got[i] - ideal) * (got[i] - ideal);
    }
    return 10 * std::log10(signal / std::max(error, 1e-30));
}

TEST(PcmResampleQuality, ToneSurvivesBothModes) {
    const double hq = resampledSnr(44100, 48000, ACM_STREAMOPENF_NONREALTIME);
    const double fast = resampledSnr(44100, 48000, 0);
    EXPECT_GT(hq, 120.0);
    EXPECT_GT(fast, 60.0);
    EXPECT_GT(hq, fast) << "the slower mode must be the better one";
    EXPECT_GT(resampledSnr(48000, 8000, ACM_STREAMOPENF_NONREALTIME), 120.0);
}

TEST(PcmDither, IsDeterministicUnbiasedAndSmall) {
    // A quiet 24-bit tone whose samples fall between the 16-bit steps.
    const Fmt in{PCM, 24, 1}, out{PCM, 16, 1};
    std::vector<double> v;
    for (int i = 0; i < 20000; ++i)
        v.push_back(std::lround(3000.7 * std::sin(i * 0.01) * 256 + 37));
    const Bytes input = pack(in, v);
    const Bytes a = run(in.record(), out.record(), input, ACM_STREAMOPENF_NONREALTIME, 999);
    const Bytes b = run(in.record(), out.record(), input, ACM_STREAMOPENF_NONREALTIME, 4000);
    const Bytes plain = run(in.record(), out.record(), input, 0);
    EXPECT_EQ(a, b) << "same input, same output, whatever the chunking";
    const auto da = unpack(out, a), dp = unpack(out, plain);
    ASSERT_EQ(da.size(), v.size());
    size_t differs = 0;
    double sum = 0, worst = 0;
    for (size_t i = 0; i < v.size(); ++i) {
        const double e = da[i] - v[i] / 256;
        sum += e;
        worst = std::max(worst, std::abs(e));
        differs += da[i] != dp[i];
        EXPECT_LE(std::abs(dp[i] - v[i] / 256), 0.5) << "plain rounding is to nearest";
    }
    EXPECT_GT(differs, v.size() / 4) << "dither must change the rounding";
    EXPECT_LT(worst, 1.5);
    EXPECT_NEAR(sum / v.size(), 0.0, 0.05);

    // Digital silence stays silent.
    const Bytes quiet =
        run(in.record(), out.record(), Bytes(3 * 5000, 0), ACM_STREAMOPENF_NONREALTIME);
    EXPECT_EQ(quiet, Bytes(2 * 5000, 0));
}

// One convert call on an open stream with a roomy destination.
Stream::Step once(Stream& s, const Bytes& in, uint32_t flags, uint32_t room = 4096) {
    return s.convert(in.data(), static_cast<uint32_t>(in.size()), room, flags);
}

TEST(PcmFrames, PartialFramesAreHeldUnlessBlockAligned) {
    const Fmt st{PCM, 16, 2};
    Stream s;
    ASSERT_EQ(s.open(st.record(), st.record()), MMSYSERR_NOERROR);
    const Bytes seven{1, 2, 3, 4, 5, 6, 7};
    auto r = once(s, seven, ACM_STREAMCONVERTF_BLOCKALIGN);
    EXPECT_EQ(r.used, 4u);
    EXPECT_EQ(r.out, Bytes({1, 2, 3, 4}));
    r = once(s, Bytes{5, 6, 7}, ACM_STREAMCONVERTF_BLOCKALIGN);
    EXPECT_EQ(r.used, 0u);
    EXPECT_TRUE(r.out.empty());
    r = once(s, Bytes{5, 6, 7}, 0);
    EXPECT_EQ(r.used, 3u) << "a trailing partial frame is kept and counted as used";
    EXPECT_TRUE(r.out.empty());
    r = once(s, Bytes{8, 9}, ACM_STREAMCONVERTF_BLOCKALIGN);
    EXPECT_EQ(r.used, 1u) << "the held frame completes first";
    EXPECT_EQ(r.out, Bytes({5, 6, 7, 8}));
    EXPECT_EQ(s.size(4, ACM_STREAMSIZEF_SOURCE), 4u);
    r = once(s, Bytes{9, 10}, 0);
    EXPECT_EQ(r.used, 2u);
    EXPECT_EQ(s.size(0, ACM_STREAMSIZEF_SOURCE), 4u) << "the held half frame comes out on END";
    r = once(s, Bytes{}, ACM_STREAMCONVERTF_END);
    EXPECT_EQ(r.out, Bytes({9, 10, 0, 0})) << "padded with silence";
    EXPECT_TRUE(once(s, Bytes{}, ACM_STREAMCONVERTF_END).out.empty());

    // Silence of unsigned 8-bit audio is the midpoint.
    Stream u;
    ASSERT_EQ(u.open(Fmt{PCM, 8, 2}.record(), st.record()), MMSYSERR_NOERROR);
    r = once(u, Bytes{255}, ACM_STREAMCONVERTF_END);
    EXPECT_EQ(unpack(st, r.out), std::vector<double>({32512, 0}));
}

TEST(PcmFrames, OutputNeverExceedsTheDestination) {
    const Fmt in{PCM, 16, 2, 22050}, same{PCM, 24, 2, 22050}, up{PCM, 16, 2, 44100};
    const Bytes input = sine(in, 300, 0.5, 4000);
    Stream s;
    ASSERT_EQ(s.open(in.record(), same.record()), MMSYSERR_NOERROR);
    auto r = once(s, input, 0, 3 * 6 + 5);
    EXPECT_EQ(r.used, 3u * 4) << "input whose output does not fit is left";
    EXPECT_EQ(r.out.size(), 3u * 6);
    EXPECT_TRUE(r.guardIntact);

    // The resampler takes all input and hands out what fits; nothing is lost.
    Stream rs;
    ASSERT_EQ(rs.open(in.record(), up.record()), MMSYSERR_NOERROR);
    size_t total = 0;
    for (size_t pos = 0; pos < input.size(); pos += 400) {
        r = rs.convert(input.data() + pos, 400, 256, 0);
        EXPECT_EQ(r.used, 400u);
        EXPECT_TRUE(r.guardIntact);
        total += r.out.size();
    }
    for (int i = 0; i < 1000; ++i) {
        r = rs.convert(nullptr, 0, 256, ACM_STREAMCONVERTF_END);
        EXPECT_TRUE(r.guardIntact);
        if (r.out.empty()) break;
        total += r.out.size();
    }
    EXPECT_NEAR(total / 4.0, 8000.0, 2.0);
    // Less than a frame under BLOCKALIGN consumes nothing and so gives nothing,
    // even while the resampler holds output.
    Stream held;
    ASSERT_EQ(held.open(in.record(), up.record()), MMSYSERR_NOERROR);
    EXPECT_EQ(held.convert(input.data(), 4000, 16, 0).used, 4000u);
    r = held.convert(input.data(), 3, 4096, ACM_STREAMCONVERTF_BLOCKALIGN);
    EXPECT_EQ(r.used, 0u);
    EXPECT_TRUE(r.out.empty());
}

TEST(PcmFormats, ExtensibleIsReadLikeItsSubFormat) {
    WAVEFORMATEXTENSIBLE x{};
    x.Format = *wfx(Fmt{PCM, 24, 2}.record());
    x.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    x.Format.cbSize = 22;
    x.wValidBitsPerSample = 24;
    x.dwChannelMask = 3;
    x.SubFormat = {1, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
    const Bytes ext = recordBytes(&x.Format);
    const Bytes input = pack(Fmt{PCM, 24, 2}, {256, -512, 8388607, -8388608});
    EXPECT_EQ(run(ext, Fmt{PCM, 16, 2}.record(), input),
              pack(Fmt{PCM, 16, 2}, {1, -2, 32767, -32768}));

    ACMFORMATDETAILS d{};
    Bytes copy = ext;
    d.cbStruct = sizeof d;
    d.pwfx = reinterpret_cast<WAVEFORMATEX*>(copy.data());
    d.cbwfx = static_cast<uint32_t>(copy.size());
    ASSERT_EQ(acmFormatDetails(nullptr, &d, ACM_FORMATDETAILSF_FORMAT), MMSYSERR_NOERROR);
    EXPECT_STREQ(d.szFormat, "44,100 Hz, 24 Bit, Stereo");
    EXPECT_EQ(d.dwFormatTag, WAVE_FORMAT_EXTENSIBLE);

    // Formats off the offered grid are described in the same style.
    Bytes odd = pcmRecord(FLOAT, 1, 12345, 32);
    d.pwfx = reinterpret_cast<WAVEFORMATEX*>(odd.data());
    d.cbwfx = static_cast<uint32_t>(odd.size());
    ASSERT_EQ(acmFormatDetails(nullptr, &d, ACM_FORMATDETAILSF_FORMAT), MMSYSERR_NOERROR);
    EXPECT_STREQ(d.szFormat, "12,345 Hz, 32 Bit, Mono");
}

struct Suggestion {
    const char* name;
    Fmt source;
    WAVEFORMATEX tmpl;
    uint32_t flags;
    MMRESULT result;
    Fmt expected;
};

void PrintTo(const Suggestion& s, std::ostream* os) {
    *os << s.name;
}

class PcmSuggest : public testing::TestWithParam<Suggestion> {};

TEST_P(PcmSuggest, MeetsTheTemplateAndFollowsTheSource) {
    const Suggestion& s = GetParam();
    WAVEFORMATEX out = s.tmpl;
    const Bytes src = s.source.record();
    EXPECT_EQ(acm::pcmConverterDriver()->suggest(wfx(src), &out, sizeof out, s.flags), s.result);
    if (s.result == MMSYSERR_NOERROR) {
        EXPECT_EQ(recordBytes(&out), s.expected.record());
    }
}

constexpr uint32_t kTag = ACM_FORMATSUGGESTF_WFORMATTAG, kCh = ACM_FORMATSUGGESTF_NCHANNELS,
                   kRate = ACM_FORMATSUGGESTF_NSAMPLESPERSEC,
                   kBits = ACM_FORMATSUGGESTF_WBITSPERSAMPLE;

WAVEFORMATEX tmpl(uint16_t tag, uint16_t ch = 0, uint32_t rate = 0, uint16_t bits = 0) {
    WAVEFORMATEX w{};
    w.wFormatTag = tag;
    w.nChannels = ch;
    w.nSamplesPerSec = rate;
    w.wBitsPerSample = bits;
    return w;
}

INSTANTIATE_TEST_SUITE_P(
    Templates, PcmSuggest,
    testing::Values(
        Suggestion{"float_from_s16", {PCM, 16, 2}, tmpl(FLOAT), kTag, 0, {FLOAT, 32, 2}},
        Suggestion{"pcm_from_float_keeps_width", {FLOAT, 32, 1}, tmpl(PCM), kTag, 0, {PCM, 32, 1}},
        Suggestion{"rate_and_channels",
                   {PCM, 8, 2},
                   tmpl(PCM, 1, 22050),
                   kTag | kCh | kRate,
                   0,
                   {PCM, 8, 1, 22050}},
        Suggestion{"everything",
                   {PCM, 16, 1, 8000},
                   tmpl(PCM, 2, 96000, 24),
                   kTag | kCh | kRate | kBits,
                   0,
                   {PCM, 24, 2, 96000}},
        Suggestion{
            "other_tag", {PCM, 16, 2}, tmpl(WAVE_FORMAT_MPEGLAYER3), kTag, ACMERR_NOTPOSSIBLE, {}},
        Suggestion{
            "odd_width", {PCM, 16, 2}, tmpl(PCM, 0, 0, 12), kTag | kBits, ACMERR_NOTPOSSIBLE, {}},
        Suggestion{
            "float_16", {PCM, 16, 2}, tmpl(FLOAT, 0, 0, 16), kTag | kBits, ACMERR_NOTPOSSIBLE, {}},
        Suggestion{"three_channels", {PCM, 16, 2}, tmpl(PCM, 3), kCh, ACMERR_NOTPOSSIBLE, {}},
        Suggestion{"rate_too_low", {PCM, 16, 2}, tmpl(PCM, 0, 999), kRate, ACMERR_NOTPOSSIBLE, {}}),
    [](const auto& row) { return std::string(row.param.name); });

TEST(PcmSuggestSource, RefusesCodecSources) {
    WAVEFORMATEX gsm = tmpl(WAVE_FORMAT_GSM610, 1, 8000);
    gsm.nBlockAlign = 65;
    gsm.nAvgBytesPerSec = 1625;
    WAVEFORMATEX out = tmpl(PCM);
    EXPECT_EQ(acm::pcmConverterDriver()->suggest(&gsm, &out, sizeof out, kTag), ACMERR_NOTPOSSIBLE);
}

}  // namespace

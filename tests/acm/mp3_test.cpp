// SPDX-License-Identifier: GPL-3.0-or-later
// MPEG Layer-3 driver: round trips, files of other tools, files for other
// tools, size promises, negotiation and damaged input.
#include <gtest/gtest.h>

#include "codec_test_util.h"
#include "drivers.h"

using namespace codectest;

namespace {

constexpr size_t kCodecDelay = 1393;

MPEGLAYER3WAVEFORMAT mp3Format(uint32_t rate, uint16_t channels, uint32_t kbps) {
    const uint32_t frame = (rate >= 32000 ? 144 : 72) * kbps * 1000 / rate;
    return {{WAVE_FORMAT_MPEGLAYER3, channels, rate, kbps * 125, 1, 0, 12},
            MPEGLAYER3_ID_MPEG,
            MPEGLAYER3_FLAG_PADDING_ISO,
            static_cast<uint16_t>(frame),
            1,
            1393};
}

WAVEFORMATEX pcmFormat(uint32_t rate, uint16_t channels = 1, uint16_t bits = 16) {
    const uint16_t align = static_cast<uint16_t>(channels * bits / 8);
    return {WAVE_FORMAT_PCM, channels, rate, rate * align, align, bits, 0};
}

std::unique_ptr<acm::Codec> open(const WAVEFORMATEX* src, const WAVEFORMATEX* dst,
                                 uint32_t flags = 0) {
    std::unique_ptr<acm::Codec> codec;
    EXPECT_EQ(
        acm::mp3Driver()->open(src, acm::recordSize(src), dst, acm::recordSize(dst), flags, &codec),
        MMSYSERR_NOERROR);
    return codec;
}

Bytes encode(const Samples& pcm, const MPEGLAYER3WAVEFORMAT& fmt, uint32_t flags = 0,
             uint32_t chunk = 6000) {
    const WAVEFORMATEX src = pcmFormat(fmt.wfx.nSamplesPerSec, fmt.wfx.nChannels);
    auto codec = open(&src, &fmt.wfx, flags);
    return codec ? runCodec(*codec, toBytes(pcm), chunk) : Bytes{};
}

Samples decode(const Bytes& mp3, const WAVEFORMATEX* fmt, uint32_t chunk = 1500) {
    const WAVEFORMATEX dst = pcmFormat(fmt->nSamplesPerSec, fmt->nChannels);
    auto codec = open(fmt, &dst);
    return codec ? toSamples(runCodec(*codec, mp3, chunk)) : Samples{};
}

// Share of the signal's energy at `freq` (Goertzel over whole periods).
double toneShare(const Samples& mono, uint32_t rate, double freq) {
    const size_t n = mono.size();
    const double w = 2 * std::numbers::pi * freq / rate, c = 2 * std::cos(w);
    double s1 = 0, s2 = 0;
    for (int16_t x : mono) {
        const double s0 = x + c * s1 - s2;
        s2 = s1;
        s1 = s0;
    }
    const double power = s1 * s1 + s2 * s2 - c * s1 * s2;  // |X(f)|^2
    return 2 * power / n / (energy(mono.data(), n) + 1e-9);
}

struct RoundTrip {
    const char* name;
    uint32_t rate;
    uint16_t channels;
    uint32_t kbps;
    bool music;
    bool highQuality;
    double minSnr;
};

// MP3 delays the signal by a fixed number of samples (the encoder's 576 plus
// the decoder's filter bank, 1,105 with these libraries), so the waveform is
// compared at the lag of the highest cross-correlation. On these tonal test
// signals the encoder keeps the noise 22-30 dB down at every rate and bit
// rate (71 dB at 320 kbit/s); a lost frame, a channel swap or a byte-order
// fault drops the SNR to a few dB. Margins leave 6-7 dB.
class Mp3RoundTrip : public testing::TestWithParam<RoundTrip> {};

TEST_P(Mp3RoundTrip, KeepsLengthAndWaveform) {
    const RoundTrip& p = GetParam();
    const Samples in =
        p.music ? musicLike(p.rate, 0.5, p.channels) : speechLike(p.rate, 0.5, p.channels);
    const MPEGLAYER3WAVEFORMAT fmt = mp3Format(p.rate, p.channels, p.kbps);
    const Bytes mp3 = encode(in, fmt, p.highQuality ? ACM_STREAMOPENF_NONREALTIME : 0);
    const Samples out = decode(mp3, &fmt.wfx);
    const size_t inFrames = in.size() / p.channels, outFrames = out.size() / p.channels;
    const size_t frame = p.rate >= 32000 ? 1152 : 576;
    EXPECT_GE(outFrames, inFrames);
    EXPECT_LE(outFrames, inFrames + kCodecDelay + frame);

    const size_t lag = bestLag(in, out, p.channels, 3000);
    EXPECT_GE(outFrames, inFrames + lag) << "the end of the input is lost";
    EXPECT_GT(snrDb(in, Samples(out.begin() + lag * p.channels, out.end())), p.minSnr);
}

INSTANTIATE_TEST_SUITE_P(
    Rates, Mp3RoundTrip,
    testing::Values(RoundTrip{"music8000mono8", 8000, 1, 8, true, false, 17},
                    RoundTrip{"music8000stereo64", 8000, 2, 64, true, true, 19},
                    RoundTrip{"speech11025mono32", 11025, 1, 32, false, false, 17},
                    RoundTrip{"music12000stereo48", 12000, 2, 48, true, false, 19},
                    RoundTrip{"speech16000mono64", 16000, 1, 64, false, true, 17},
                    RoundTrip{"music22050stereo128", 22050, 2, 128, true, false, 19},
                    RoundTrip{"music24000mono160", 24000, 1, 160, true, false, 19},
                    RoundTrip{"music32000stereo320", 32000, 2, 320, true, true, 50},
                    RoundTrip{"speech32000mono32", 32000, 1, 32, false, false, 16},
                    RoundTrip{"music44100stereo128", 44100, 2, 128, true, false, 19},
                    RoundTrip{"music44100stereo128hq", 44100, 2, 128, true, true, 19},
                    RoundTrip{"speech44100mono64", 44100, 1, 64, false, false, 17},
                    RoundTrip{"music48000stereo192", 48000, 2, 192, true, false, 23},
                    RoundTrip{"music48000mono32", 48000, 1, 32, true, false, 19}),
    [](const auto& row) { return row.param.name; });

// lame takes every offered format as it is (it would otherwise pick another
// bit rate or rate than the record says), and a few frames of it decode to
// full length.
TEST(Mp3Formats, EveryOfferedFormatEncodes) {
    const auto formats = acm::mp3Driver()->formats();
    EXPECT_EQ(formats.size(), 2u * 3 * (14 + 14 + 8));
    for (const acm::FormatEntry& f : formats) {
        const auto* fmt = reinterpret_cast<const MPEGLAYER3WAVEFORMAT*>(f.record.data());
        const uint32_t rate = fmt->wfx.nSamplesPerSec;
        const uint16_t ch = fmt->wfx.nChannels;
        SCOPED_TRACE(f.description);
        const Samples in = musicLike(rate, 0.05, ch);
        const Samples out = decode(encode(in, *fmt), &fmt->wfx);
        EXPECT_GE(out.size(), in.size());
    }
}

// The quality choice reaches the encoder: the two modes search differently.
TEST(Mp3Modes, NonRealtimeChangesTheEncoding) {
    const Samples in = musicLike(44100, 0.3, 2);
    const MPEGLAYER3WAVEFORMAT fmt = mp3Format(44100, 2, 128);
    const Bytes fast = encode(in, fmt), best = encode(in, fmt, ACM_STREAMOPENF_NONREALTIME);
    EXPECT_EQ(fast.size(), best.size());  // CBR either way
    EXPECT_NE(fast, best);
}

// Whatever the call pattern - single bytes, cut sample frames, buffers far
// larger or far smaller than a frame - every call keeps the size promise
// (checked in runCodec), the output never passes the destination, and the
// stream is the same.
TEST(Mp3Calls, AnyChunkingGivesTheSameStream) {
    const Samples in = musicLike(22050, 0.15, 2);
    const MPEGLAYER3WAVEFORMAT fmt = mp3Format(22050, 2, 64);
    const Bytes mp3 = encode(in, fmt, 0, 1 << 20);
    const Samples pcm = decode(mp3, &fmt.wfx, 1 << 20);
    ASSERT_FALSE(pcm.empty());
    for (uint32_t chunk : {1u, 3u, 4607u}) {
        SCOPED_TRACE(chunk);
        EXPECT_EQ(encode(in, fmt, 0, chunk), mp3);
        EXPECT_EQ(decode(mp3, &fmt.wfx, chunk), pcm);
    }

    // A destination smaller than a frame: output trickles out through
    // repeated calls, input waits meanwhile, END delivers the rest.
    for (const bool encoder : {true, false}) {
        SCOPED_TRACE(encoder ? "encoder" : "decoder");
        const WAVEFORMATEX pcmFmt = pcmFormat(22050, 2);
        auto codec = encoder ? open(&pcmFmt, &fmt.wfx) : open(&fmt.wfx, &pcmFmt);
        ASSERT_TRUE(codec);
        const Bytes input = encoder ? toBytes(in) : mp3;
        Bytes out;
        size_t pos = 0;
        uint8_t dst[100];
        for (int calls = 0; calls < 100000; ++calls) {
            acm::Codec::Buffers io{input.data() + pos,
                                   static_cast<uint32_t>(input.size() - pos),
                                   0,
                                   dst,
                                   sizeof dst,
                                   0};
            ASSERT_EQ(codec->convert(io, ACM_STREAMCONVERTF_END), MMSYSERR_NOERROR);
            ASSERT_LE(io.dstUsed, sizeof dst);
            out.insert(out.end(), dst, dst + io.dstUsed);
            pos += io.srcUsed;
            if (pos == input.size() && io.dstUsed == 0) break;
        }
        EXPECT_EQ(pos, input.size());
        EXPECT_EQ(out, encoder ? mp3 : toBytes(pcm));
        // After the end: nothing more, and no new input.
        acm::Codec::Buffers more{input.data(), 4, 0, dst, sizeof dst, 0};
        EXPECT_EQ(codec->convert(more, ACM_STREAMCONVERTF_END),
                  encoder ? ACMERR_NOTPOSSIBLE : MMSYSERR_NOERROR);
        EXPECT_EQ(more.dstUsed, 0u);
    }
}

// No input at all: END alone flushes an encoder that never saw a sample
// (one frame of silence, which mpg123 does not confirm and so drops), and
// a decoder that never saw a byte gives nothing.
TEST(Mp3Calls, EmptyStream) {
    const MPEGLAYER3WAVEFORMAT fmt = mp3Format(44100, 2, 128);
    const Bytes mp3 = encode({}, fmt);
    EXPECT_LE(mp3.size(), 418u);
    EXPECT_LE(decode(mp3, &fmt.wfx).size(), 2 * (kCodecDelay + 1152));
    EXPECT_TRUE(decode({}, &fmt.wfx).empty());
}

// DESTINATION answers the largest input whose SOURCE size fits.
TEST(Mp3Calls, DestinationSizeIsTheLargestFittingInput) {
    const MPEGLAYER3WAVEFORMAT formats[] = {mp3Format(8000, 1, 8), mp3Format(44100, 2, 320),
                                            mp3Format(24000, 2, 160)};
    for (const auto& fmt : formats) {
        const uint32_t rate = fmt.wfx.nSamplesPerSec;
        const WAVEFORMATEX pcmFmt = pcmFormat(rate, fmt.wfx.nChannels);
        for (const bool encoder : {true, false}) {
            auto codec = encoder ? open(&pcmFmt, &fmt.wfx) : open(&fmt.wfx, &pcmFmt);
            ASSERT_TRUE(codec);
            for (uint32_t dst = 1; dst < 300000; dst = dst * 3 + 1) {
                uint32_t src = 0, out = 0;
                ASSERT_EQ(codec->size(dst, &src, ACM_STREAMSIZEF_DESTINATION), MMSYSERR_NOERROR);
                if (src == 0) continue;
                codec->size(src, &out, ACM_STREAMSIZEF_SOURCE);
                EXPECT_LE(out, dst) << rate << " " << dst;
                codec->size(src + 1, &out, ACM_STREAMSIZEF_SOURCE);
                EXPECT_GT(out, dst) << rate << " " << dst;
            }
        }
    }
}

// ffmpeg's files (nBlockAlign 1,152 or 576, fdwFlags 2, VBR without a bit
// rate) describe and decode: every frame ffmpeg decodes, holding the 440 Hz
// tone they were made from, and the same samples as ffmpeg's own decoder.
struct ToolFile {
    const char* name;
    const char* wav;
    const char* description;
    size_t frames;  // samples per channel ffmpeg decodes
};

class Mp3ToolFile : public testing::TestWithParam<ToolFile> {};

TEST_P(Mp3ToolFile, DecodesFully) {
    const ToolFile& p = GetParam();
    Wave wave;
    ASSERT_TRUE(readWave(dataPath(p.wav), &wave));
    std::string text;
    ASSERT_TRUE(acm::mp3Driver()->describe(wave.wfx(), wave.fmt.size(), &text));
    EXPECT_EQ(text, p.description);
    const uint16_t channels = wave.wfx()->nChannels;
    const Samples out = decode(wave.data, wave.wfx());
    EXPECT_EQ(out.size(), p.frames * channels);
    // The tone spans the file but for the codec delay and padding; noise or
    // frames decoded in the wrong order would spread the energy.
    EXPECT_GT(toneShare(channel(out, channels, 0), wave.wfx()->nSamplesPerSec, 440), 0.75);
    if (haveTool("ffmpeg")) {
        const Samples theirs = ffmpegDecode(dataPath(p.wav));
        EXPECT_EQ(theirs.size(), out.size());
        EXPECT_GT(snrDb(theirs, out), 60.0);
    }
}

INSTANTIATE_TEST_SUITE_P(Files, Mp3ToolFile,
                         testing::Values(ToolFile{"stereo44100", "mp3_ffmpeg_44100_stereo.wav",
                                                  "128 kBit/s, 44,100Hz, Stereo", 46080},
                                         ToolFile{"mono22050", "mp3_ffmpeg_22050_mono.wav",
                                                  "32 kBit/s, 22,050Hz, Mono", 23616},
                                         ToolFile{"mono8000", "mp3_ffmpeg_8000_mono.wav",
                                                  "16 kBit/s, 8,000Hz, Mono", 9216},
                                         ToolFile{"vbr48000", "mp3_ffmpeg_48000_vbr.wav",
                                                  "VBR, 48,000Hz, Stereo", 49536}),
                         [](const auto& row) { return row.param.name; });

// Our files in WAVE decode in ffmpeg to the same audio at full length.
TEST(Mp3Interop, OurFilesDecodeInFfmpeg) {
    if (!haveTool("ffmpeg")) GTEST_SKIP() << "ffmpeg not installed";
    const MPEGLAYER3WAVEFORMAT formats[] = {mp3Format(44100, 2, 128), mp3Format(22050, 1, 32),
                                            mp3Format(8000, 2, 64)};
    for (const auto& fmt : formats) {
        const uint16_t ch = fmt.wfx.nChannels;
        SCOPED_TRACE(uint32_t{fmt.wfx.nSamplesPerSec});
        const Samples in = musicLike(fmt.wfx.nSamplesPerSec, 0.4, ch);
        const Bytes mp3 = encode(in, fmt);
        const std::string path =
            testing::TempDir() + "sonbar_mp3_ours_" + std::to_string(::getpid()) + ".wav";
        writeWave(path, &fmt.wfx, mp3, static_cast<uint32_t>(in.size() / ch));
        const Samples theirs = ffmpegDecode(path);
        const size_t lag = bestLag(in, theirs, ch, 3000);
        EXPECT_GE(theirs.size() / ch, in.size() / ch + lag);
        EXPECT_GT(snrDb(in, Samples(theirs.begin() + lag * ch, theirs.end())), 16.0);
        const Samples ours = decode(mp3, &fmt.wfx);
        EXPECT_EQ(theirs.size(), ours.size());
        EXPECT_GT(snrDb(ours, theirs), 60.0);
    }
}

// Damaged streams never crash and never pass for good audio: random bytes
// decode to little or nothing, a cut stream to its whole frames, a stream
// at another rate than its record is an error, not audio at a wrong speed.
TEST(Mp3Damage, BadStreams) {
    const MPEGLAYER3WAVEFORMAT fmt = mp3Format(44100, 2, 128);
    const Samples in = musicLike(44100, 0.3, 2);
    const Bytes mp3 = encode(in, fmt);
    const Samples full = decode(mp3, &fmt.wfx);
    const WAVEFORMATEX pcm = pcmFormat(44100, 2);

    // Random bytes, and our stream with bytes overwritten or junk spliced in.
    std::mt19937 rng(5);
    for (int round = 0; round < 12; ++round) {
        Bytes junk(3000 + rng() % 20000);
        for (auto& b : junk) b = static_cast<uint8_t>(rng());
        if (round % 3 == 1) {
            Bytes hit = mp3;
            for (int i = 0; i < 10; ++i) hit[rng() % hit.size()] = static_cast<uint8_t>(rng());
            junk = hit;
        } else if (round % 3 == 2) {
            junk.resize(500);
            junk.insert(junk.begin(), mp3.begin(), mp3.begin() + mp3.size() / 2);
            junk.insert(junk.end(), mp3.begin() + mp3.size() / 2, mp3.end());
        }
        auto codec = open(&fmt.wfx, &pcm);
        Bytes out(1 << 20);
        acm::Codec::Buffers io{junk.data(), static_cast<uint32_t>(junk.size()), 0,
                               out.data(),  static_cast<uint32_t>(out.size()),  0};
        const MMRESULT r = codec->convert(io, ACM_STREAMCONVERTF_END);
        EXPECT_EQ(r, MMSYSERR_NOERROR);
        if (round % 3 == 0) {
            EXPECT_EQ(io.dstUsed, 0u) << "noise decoded as frames";
        } else {
            // Damaged frames are skipped or decode to noise; the rest plays.
            // (Junk spliced in at half way costs 3 of 13 frames.)
            EXPECT_GT(io.dstUsed, full.size() * 2 * 2 / 3);
            EXPECT_LE(io.dstUsed, full.size() * 2 + 2 * 1152 * 4);
        }
    }

    // Cut in the middle of a frame: the whole frames before the cut.
    const Samples cut = decode(Bytes(mp3.begin(), mp3.begin() + mp3.size() / 2 + 100), &fmt.wfx);
    EXPECT_EQ(cut.size() % (1152 * 2), 0u);
    EXPECT_GT(cut.size(), full.size() / 2 - 2 * 1152 * 2);
    EXPECT_TRUE(std::equal(cut.begin(), cut.end(), full.begin()));

    // A 44,100 Hz stream under a 48,000 Hz record.
    const MPEGLAYER3WAVEFORMAT wrongRate = mp3Format(48000, 2, 128);
    const WAVEFORMATEX pcm48 = pcmFormat(48000, 2);
    auto codec = open(&wrongRate.wfx, &pcm48);
    Bytes out(1 << 20);
    acm::Codec::Buffers io{mp3.data(), static_cast<uint32_t>(mp3.size()), 0,
                           out.data(), static_cast<uint32_t>(out.size()), 0};
    EXPECT_EQ(codec->convert(io, ACM_STREAMCONVERTF_END), MMSYSERR_ERROR);
    EXPECT_EQ(io.dstUsed, 0u);

    // A stereo stream under a mono record: mixed down, every frame kept.
    const MPEGLAYER3WAVEFORMAT mono = mp3Format(44100, 1, 128);
    EXPECT_EQ(decode(mp3, &mono.wfx).size(), full.size() / 2);
}

TEST(Mp3Damage, LyingRecordsAreRefused) {
    struct Case {
        const char* name;
        void (*edit)(MPEGLAYER3WAVEFORMAT&);
        uint32_t cb;
        bool readable;  // still a record the decoder takes
    };
    const Case cases[] = {
        {"cbSizeBeyondBuffer", [](MPEGLAYER3WAVEFORMAT&) {}, 18, false},
        {"cbSizeCutsFields", [](MPEGLAYER3WAVEFORMAT& f) { f.wfx.cbSize = 4; }, 22, false},
        {"threeChannels", [](MPEGLAYER3WAVEFORMAT& f) { f.wfx.nChannels = 3; }, 30, false},
        {"noChannels", [](MPEGLAYER3WAVEFORMAT& f) { f.wfx.nChannels = 0; }, 30, false},
        {"rate44000", [](MPEGLAYER3WAVEFORMAT& f) { f.wfx.nSamplesPerSec = 44000; }, 30, false},
        {"blockAlign0", [](MPEGLAYER3WAVEFORMAT& f) { f.wfx.nBlockAlign = 0; }, 30, false},
        // Readable, but no bit rate an encoder could write.
        {"kbps130", [](MPEGLAYER3WAVEFORMAT& f) { f.wfx.nAvgBytesPerSec = 130 * 125; }, 30, true},
        {"kbps8AtMpeg1", [](MPEGLAYER3WAVEFORMAT& f) { f.wfx.nAvgBytesPerSec = 1000; }, 30, true},
        {"hugeAvg", [](MPEGLAYER3WAVEFORMAT& f) { f.wfx.nAvgBytesPerSec = 0xFFFFFFFF; }, 30, true},
        {"noExtraFields",
         [](MPEGLAYER3WAVEFORMAT& f) {
             f.wfx.cbSize = 0;
             f.wfx.nAvgBytesPerSec = 1;
         },
         18, true},
    };
    for (const Case& c : cases) {
        MPEGLAYER3WAVEFORMAT f = mp3Format(44100, 2, 128);
        c.edit(f);
        const WAVEFORMATEX pcm = pcmFormat(f.wfx.nSamplesPerSec, f.wfx.nChannels);
        const acm::Driver& d = *acm::mp3Driver();
        EXPECT_EQ(d.describe(&f.wfx, c.cb, nullptr), c.readable) << c.name;
        EXPECT_EQ(d.open(&f.wfx, c.cb, &pcm, sizeof pcm, 0, nullptr),
                  c.readable ? MMSYSERR_NOERROR : ACMERR_NOTPOSSIBLE)
            << c.name;
        EXPECT_EQ(d.open(&pcm, sizeof pcm, &f.wfx, c.cb, 0, nullptr), ACMERR_NOTPOSSIBLE) << c.name;
    }
}

// PCM sources get the format at their rate and channels with the usual bit
// rate where the rate allows it; MP3 sources get 16-bit PCM at their own
// rate and channels and nothing else.
TEST(Mp3Negotiation, SuggestAndOpen) {
    const acm::Driver& d = *acm::mp3Driver();
    const MPEGLAYER3WAVEFORMAT mp3 = mp3Format(22050, 2, 128);
    const WAVEFORMATEX tagMp3{WAVE_FORMAT_MPEGLAYER3, 0, 0, 0, 0, 0, 0};
    struct Case {
        const char* name;
        const WAVEFORMATEX* src;
        uint32_t flags;
        WAVEFORMATEX tmpl;
        MMRESULT result;
        const char* description;  // of an MP3 suggestion
    };
    const WAVEFORMATEX p44s = pcmFormat(44100, 2), p44m = pcmFormat(44100, 1),
                       p8s = pcmFormat(8000, 2), p16m = pcmFormat(16000, 1),
                       p96 = pcmFormat(96000, 2), p44x8 = pcmFormat(44100, 2, 8);
    const Case cases[] = {
        {"stereo", &p44s, ACM_FORMATSUGGESTF_WFORMATTAG, tagMp3, MMSYSERR_NOERROR,
         "128 kBit/s, 44,100Hz, Stereo"},
        {"mono", &p44m, 0, {}, MMSYSERR_NOERROR, "64 kBit/s, 44,100Hz, Mono"},
        {"stereoMpeg25Nearest", &p8s, 0, {}, MMSYSERR_NOERROR, "64 kBit/s, 8,000Hz, Stereo"},
        {"monoMpeg2", &p16m, 0, {}, MMSYSERR_NOERROR, "64 kBit/s, 16,000Hz, Mono"},
        {"rateNotMpeg", &p96, 0, {}, ACMERR_NOTPOSSIBLE, nullptr},
        {"eightBit", &p44x8, 0, {}, ACMERR_NOTPOSSIBLE, nullptr},
        {"otherChannels", &p44s, ACM_FORMATSUGGESTF_NCHANNELS, p44m, ACMERR_NOTPOSSIBLE, nullptr},
        {"decode", &mp3.wfx, 0, {}, MMSYSERR_NOERROR, nullptr},
        {"decodeOtherRate", &mp3.wfx, ACM_FORMATSUGGESTF_NSAMPLESPERSEC, p44s, ACMERR_NOTPOSSIBLE,
         nullptr},
        {"decodeMono", &mp3.wfx, ACM_FORMATSUGGESTF_NCHANNELS, p44m, ACMERR_NOTPOSSIBLE, nullptr},
        {"decode8Bit", &mp3.wfx, ACM_FORMATSUGGESTF_WBITSPERSAMPLE, p44x8, ACMERR_NOTPOSSIBLE,
         nullptr},
    };
    for (const Case& c : cases) {
        MPEGLAYER3WAVEFORMAT out{};
        out.wfx = c.tmpl;
        ASSERT_EQ(d.suggest(c.src, &out.wfx, sizeof out, c.flags), c.result) << c.name;
        if (c.result != MMSYSERR_NOERROR) continue;
        EXPECT_EQ(out.wfx.nSamplesPerSec, c.src->nSamplesPerSec) << c.name;
        EXPECT_EQ(out.wfx.nChannels, c.src->nChannels) << c.name;
        EXPECT_EQ(
            d.open(c.src, acm::recordSize(c.src), &out.wfx, acm::recordSize(&out.wfx), 0, nullptr),
            MMSYSERR_NOERROR)
            << c.name;
        if (!c.description) {
            EXPECT_EQ(out.wfx.wFormatTag, WAVE_FORMAT_PCM) << c.name;
            EXPECT_EQ(out.wfx.wBitsPerSample, 16) << c.name;
            continue;
        }
        std::string text;
        EXPECT_TRUE(d.describe(&out.wfx, sizeof out, &text));
        EXPECT_EQ(text, c.description) << c.name;
        // One frame's size, and the fields players read.
        const uint32_t kbps = out.wfx.nAvgBytesPerSec / 125, rate = out.wfx.nSamplesPerSec;
        EXPECT_EQ(out.nBlockSize, (rate >= 32000 ? 144 : 72) * kbps * 1000 / rate) << c.name;
        EXPECT_EQ(out.wfx.nBlockAlign, 1);
        EXPECT_EQ(out.wID, MPEGLAYER3_ID_MPEG);
        EXPECT_EQ(out.nCodecDelay, 1393);
    }
    // Opens only 16-bit PCM <-> MP3 at one rate and channel count.
    const WAVEFORMATEX p22s = pcmFormat(22050, 2), p22m = pcmFormat(22050, 1);
    EXPECT_EQ(d.open(&p22s, sizeof p22s, &mp3.wfx, sizeof mp3, 0, nullptr), MMSYSERR_NOERROR);
    EXPECT_EQ(d.open(&p22m, sizeof p22m, &mp3.wfx, sizeof mp3, 0, nullptr), ACMERR_NOTPOSSIBLE);
    EXPECT_EQ(d.open(&mp3.wfx, sizeof mp3, &p44s, sizeof p44s, 0, nullptr), ACMERR_NOTPOSSIBLE);
    EXPECT_EQ(d.open(&mp3.wfx, sizeof mp3, &mp3.wfx, sizeof mp3, 0, nullptr), ACMERR_NOTPOSSIBLE);
}

// Through the manager: the suggestion for an MP3 target, the description of
// another tool's record, and a NONREALTIME stream giving the same bytes as
// the driver's high-quality encoder.
TEST(Mp3Manager, SuggestDescribeAndConvert) {
    const WAVEFORMATEX src = pcmFormat(44100, 2);
    MPEGLAYER3WAVEFORMAT suggested{};
    suggested.wfx.wFormatTag = WAVE_FORMAT_MPEGLAYER3;
    ASSERT_EQ(acmFormatSuggest(nullptr, &src, &suggested.wfx, sizeof suggested,
                               ACM_FORMATSUGGESTF_WFORMATTAG),
              MMSYSERR_NOERROR);
    const MPEGLAYER3WAVEFORMAT expected = mp3Format(44100, 2, 128);
    EXPECT_EQ(std::memcmp(&suggested, &expected, sizeof expected), 0);

    Wave wave;
    ASSERT_TRUE(readWave(dataPath("mp3_ffmpeg_48000_vbr.wav"), &wave));
    ACMFORMATDETAILS details{};
    details.cbStruct = sizeof details;
    details.dwFormatTag = WAVE_FORMAT_MPEGLAYER3;
    details.pwfx = reinterpret_cast<WAVEFORMATEX*>(wave.fmt.data());
    details.cbwfx = static_cast<uint32_t>(wave.fmt.size());
    ASSERT_EQ(acmFormatDetails(nullptr, &details, ACM_FORMATDETAILSF_FORMAT), MMSYSERR_NOERROR);
    EXPECT_STREQ(details.szFormat, "VBR, 48,000Hz, Stereo");

    const Bytes in = toBytes(musicLike(44100, 0.2, 2));
    HACMSTREAM has = nullptr;
    ASSERT_EQ(acmStreamOpen(&has, nullptr, &src, &suggested.wfx, nullptr, 0, 0,
                            ACM_STREAMOPENF_NONREALTIME),
              MMSYSERR_NOERROR);
    uint32_t room = 0;
    ASSERT_EQ(acmStreamSize(has, static_cast<uint32_t>(in.size()), &room, ACM_STREAMSIZEF_SOURCE),
              MMSYSERR_NOERROR);
    Bytes src8 = in, out(room);
    ACMSTREAMHEADER h{};
    h.cbStruct = sizeof h;
    h.pbSrc = src8.data();
    h.cbSrcLength = static_cast<uint32_t>(src8.size());
    h.pbDst = out.data();
    h.cbDstLength = room;
    ASSERT_EQ(acmStreamPrepareHeader(has, &h, 0), MMSYSERR_NOERROR);
    ASSERT_EQ(acmStreamConvert(has, &h, ACM_STREAMCONVERTF_END), MMSYSERR_NOERROR);
    EXPECT_EQ(h.cbSrcLengthUsed, in.size());
    out.resize(h.cbDstLengthUsed);
    ASSERT_EQ(acmStreamUnprepareHeader(has, &h, 0), MMSYSERR_NOERROR);
    EXPECT_EQ(acmStreamClose(has, 0), MMSYSERR_NOERROR);
    EXPECT_EQ(out, encode(toSamples(in), expected, ACM_STREAMOPENF_NONREALTIME));
}

}  // namespace

// SPDX-License-Identifier: GPL-3.0-or-later
// Every codec's files as four decoders other than ours read them: ffmpeg, sox (where it knows
// the format), GStreamer (the media framework of the desktop's players) and libsndfile. Each
// must find the whole tone, to its last sample, in files whose audio is an odd and an even
// number of bytes long, mono and stereo, of 1 to 3 seconds. A decoder that is not installed
// is skipped; scripts/install-deps --test installs them all. The files carry metadata chunks
// before and after their audio.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "streams/factory_util.h"

using namespace convtest;

namespace {

struct Decoder {
    const char* tool;
    // sndfile-convert scales what its library decodes to floating point (MP3) to full scale.
    bool scales;
    // The shell command that decodes IN into 16-bit little-endian samples in OUT, at the
    // file's own rate and channel count.
    std::function<std::string(const std::string& In, const std::string& Out)> command;
};

const std::vector<Decoder>& AllDecoders() {
    static const std::vector<Decoder> decoders = {
        {"ffmpeg", false,
         [](const std::string& In, const std::string& Out) {
             return "ffmpeg -nostdin -v error -y -i '" + In + "' -f s16le -acodec pcm_s16le '" +
                    Out + "'";
         }},
        {"sox", false,
         [](const std::string& In, const std::string& Out) {
             return "sox -V1 '" + In + "' -t raw -e signed -b 16 -L '" + Out + "'";
         }},
        // filesrc lets the WAVE parser pull, the way players open files.
        {"gst-launch-1.0", false,
         [](const std::string& In, const std::string& Out) {
             return "gst-launch-1.0 -q filesrc location='" + In +
                    "' ! decodebin ! audioconvert ! audio/x-raw,format=S16LE,layout=interleaved ! "
                    "filesink "
                    "location='" +
                    Out + "'";
         }},
        {"sndfile-convert", true,
         [](const std::string& In, const std::string& Out) {
             return "sndfile-convert -pcm16 '" + In + "' '" + Out + "'";
         }},
    };
    return decoders;
}

constexpr size_t kMp3 = 1105 + 2 * 1152;  // encoder delay and a frame

struct Row {
    const char* name;
    uint16_t tag;
    uint16_t bits;  // PCM only
    uint32_t rate;
    uint16_t channels;
    size_t frames;  // of the 16-bit tone at the same rate and channel count
    double minSnr;  // dB against the ideal tone
    size_t extra;   // frames a decoder may give beyond the tone (blocks, codec delay)
    size_t maxLag = 0;
    uint32_t kbps = 0;
    bool sox = true;  // sox reads the format
};

void PrintTo(const Row& r, std::ostream* os) {
    *os << r.name;
}

// Rows named odd have audio of an odd byte count before the writer evens it (for MP3, as
// measured with the evening switched off: without it GStreamer decodes none of those files,
// nor any other odd row). An odd count of
// 1- or 3-byte frames gains one frame of silence: their extra of 1 is that frame.
std::vector<Row> Rows() {
    return {
        {"pcm8_mono_odd", 1, 8, 8000, 1, 8001, 35, 1},
        {"pcm8_stereo", 1, 8, 11025, 2, 22050, 35, 0},
        {"pcm24_mono_odd", 1, 24, 22050, 1, 33075, 80, 1},
        {"pcm16_stereo", 1, 16, 44100, 2, 44100, 80, 0},
        {"alaw_mono_odd", 6, 0, 8000, 1, 20001, 35, 1},
        {"alaw_stereo", 6, 0, 22050, 2, 44100, 35, 0},
        {"ulaw_mono_odd", 7, 0, 8000, 1, 24001, 34, 1},
        {"ima_mono", 17, 0, 22050, 1, 22050, 28, 1017},
        {"ima_stereo", 17, 0, 44100, 2, 88200, 32, 2041},
        {"msadpcm_mono", 2, 0, 22050, 1, 33075, 33, 2036},
        {"msadpcm_stereo", 2, 0, 44100, 2, 44100, 35, 2036},
        {"gsm_odd_blocks", 49, 0, 8000, 1, 8000, 13, 320},   // 25 blocks of 65 bytes
        {"gsm_even_blocks", 49, 0, 8000, 1, 8320, 13, 320},  // 26 blocks
        {"mp3_stereo_1_3s_odd", 85, 0, 44100, 2, 57330, 23, kMp3, 2400, 128, false},
        {"mp3_stereo_2_7s_odd", 85, 0, 44100, 2, 119070, 23, kMp3, 2400, 128, false},
        {"mp3_stereo_2s", 85, 0, 44100, 2, 88200, 23, kMp3, 2400, 128, false},
        {"mp3_mono_22k_odd", 85, 0, 22050, 1, 22050, 21, kMp3, 2400, 0, false},
    };
}

std::unique_ptr<TKoWaveFormat> Wanted(const Row& r) {
    if (r.tag == 1) return TKoWaveFormat::CreatePCM(r.rate, r.bits, r.channels);
    return Enumerated(r.tag, r.rate, r.channels, r.kbps);
}

// The RIFF layout players stumble over: the `data` chunk must be even and, where it ends the
// file, not followed by a pad byte. Returns the data size.
uint32_t CheckDataChunk(const std::vector<uint8_t>& File) {
    size_t at = 12;
    uint32_t dataSize = 0;
    while (at + 8 <= File.size()) {
        uint32_t size = 0;
        std::memcpy(&size, File.data() + at + 4, 4);
        if (std::memcmp(File.data() + at, "data", 4) == 0) dataSize = size;
        at += 8 + size + (size & 1);
    }
    EXPECT_EQ(at, File.size()) << "chunks do not end where the file ends";
    EXPECT_EQ(dataSize % 2, 0u) << "odd data chunk";
    return dataSize;
}

// Tags before the audio and an odd-sized chunk after it, as the targets carry them: the
// decoders must still find the audio and its end.
std::shared_ptr<const TWaveMetadata> SourceMetadata() {
    auto m = std::make_shared<TWaveMetadata>();
    const std::string info(
        "INFO"
        "INAM\x06\0\0\0Title\0",
        18);
    m->Chunks.push_back({FOURCC_LIST, TWaveChunkPlace::BeforeData, {info.begin(), info.end()}});
    const std::string xml = "<BWFXML/>";  // 9 bytes: a pad byte ends the file
    m->Chunks.push_back(
        {MakeFourCC('i', 'X', 'M', 'L'), TWaveChunkPlace::AfterData, {xml.begin(), xml.end()}});
    return m;
}

// Brings Got to the level of Ref (Got taken from sample Lag on) by the gain that fits best.
void Rescale(std::vector<int16_t>& Got, const std::vector<int16_t>& Ref, size_t Lag) {
    double cross = 0, power = 0;
    for (size_t i = 0; i < Ref.size() && i + Lag < Got.size(); ++i) {
        cross += double(Ref[i]) * Got[i + Lag];
        power += double(Got[i + Lag]) * Got[i + Lag];
    }
    const double gain = power > 0 ? cross / power : 1;
    for (int16_t& v : Got)
        v = int16_t(std::clamp(std::lround(v * gain), long(INT16_MIN), long(INT16_MAX)));
}

}  // namespace

class Decoders : public testing::TestWithParam<Row> {};

TEST_P(Decoders, ReadTheWholeToneFromEveryCodec) {
    const Row& row = GetParam();
    TempDir dir;
    const std::string in = dir.file("tone.wav"), out = dir.file("out.wav");
    WriteToneFile(in, row.rate, 16, row.channels, row.frames, SourceMetadata());
    auto wanted = Wanted(row);
    ASSERT_TRUE(wanted);
    ASSERT_EQ(ConvertFile(in, out, *wanted), Outcome::Converted);
    auto file = HKoWaveStreamFactory::ReadFileFormat(out);
    ASSERT_TRUE(file);
    ASSERT_EQ(file->Format().FormatTag(), row.tag);
    // Where a `fact` chunk is written it keeps the true count; PCM without one may count the
    // frame of silence.
    EXPECT_NEAR(double(file->Fact().SampleCount), double(row.frames), 1.0);
    const Bytes written = readFile(out);
    const uint32_t dataSize = CheckDataChunk(written);
    ASSERT_EQ(std::string(written.end() - 18, written.end() - 1),
              std::string("iXML\x09\0\0\0<BWFXML/>", 17));
    if (row.tag == 1 || row.tag == 6 || row.tag == 7) {
        EXPECT_EQ(dataSize, (row.frames + row.extra) * file->Format().BlockAlign());
    }

    const auto ideal = IdealTone(row.rate, row.channels, row.channels, row.frames);
    const size_t edge = row.rate / 200 * row.channels;
    const std::vector<int16_t> mid(ideal.begin() + long(edge), ideal.end() - long(edge));
    const size_t tail = ideal.size() / 10 / row.channels * row.channels;
    const std::vector<int16_t> lastIdeal(ideal.end() - long(edge + tail), ideal.end() - long(edge));
    int ran = 0;
    for (const Decoder& decoder : AllDecoders()) {
        if (!row.sox && std::string(decoder.tool) == "sox") continue;
        if (!HaveTool(decoder.tool)) continue;
        SCOPED_TRACE(decoder.tool);
        ++ran;
        const std::string raw = dir.file(std::string(decoder.tool) + ".raw");
        ASSERT_EQ(std::system(decoder.command(out, raw).c_str()), 0);
        const auto bytes = readFile(raw);
        std::vector<int16_t> decoded;
        if (!bytes.empty()) decoded = AsSamples(bytes);
        const size_t frames = decoded.size() / row.channels;
        EXPECT_GE(frames + 1, row.frames) << "the end of the tone is missing";
        EXPECT_LE(frames, row.frames + 1 + row.extra);
        if (frames < row.frames / 2) continue;
        const size_t lag =
            row.maxLag ? BestLag(ideal, decoded, row.channels, row.maxLag * row.channels) : 0;
        if (decoder.scales) Rescale(decoded, ideal, lag);
        const std::vector<int16_t> got(decoded.begin() + long(edge), decoded.end());
        EXPECT_GE(Snr(mid, got, mid.size(), lag), row.minSnr) << "lag " << lag;
        // The last tenth alone: a lost or silent tail fails here.
        const std::vector<int16_t> lastGot(decoded.begin() + long(ideal.size() - edge - tail),
                                           decoded.end());
        EXPECT_GE(Snr(lastIdeal, lastGot, tail, lag), row.minSnr) << "tail, lag " << lag;
    }
    if (ran == 0) GTEST_SKIP() << "no decoder installed";
}

INSTANTIATE_TEST_SUITE_P(Codecs, Decoders, testing::ValuesIn(Rows()),
                         [](const auto& row) { return std::string(row.param.name); });

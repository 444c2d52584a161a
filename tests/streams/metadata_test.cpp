// SPDX-License-Identifier: GPL-3.0-or-later
// Metadata chunks recoded into every target format: sources made by ffmpeg and by hand (a
// bext with a known TimeReference and CodingHistory, cue points with labels, sampler loops,
// odd-sized chunks, chunks before `fmt ` and after `data`), checked byte for byte in the
// target's RIFF layout and as ffprobe and sndfile-info read them.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "streams/factory_util.h"

using namespace convtest;

namespace {

constexpr uint32_t kRate = 22050;
constexpr size_t kFrames = 22050;
constexpr uint64_t kTimeReference = 3'600ull * kRate + 7;  // one hour after midnight, and a bit
const std::string kHistory = "A=ANALOGUE,M=mono,T=Studer A80\r\nA=PCM,F=22050,W=16,M=mono\r\n";

struct Chunk {
    std::string id;  // LIST chunks as LIST-TYPE
    Bytes body;
};

// The top-level chunks of a RIFF/WAVE image; each must be padded so the walk ends exactly at
// the end of the file.
std::vector<Chunk> Chunks(const Bytes& file) {
    std::vector<Chunk> out;
    size_t at = 12;
    while (at + 8 <= file.size()) {
        uint32_t size = 0;
        std::memcpy(&size, &file[at + 4], 4);
        Chunk c{std::string(file.begin() + long(at), file.begin() + long(at) + 4), {}};
        if (at + 8 + size > file.size()) break;
        c.body.assign(file.begin() + long(at) + 8, file.begin() + long(at + 8 + size));
        if (c.id == "LIST") c.id.append("-").append(c.body.begin(), c.body.begin() + 4);
        out.push_back(std::move(c));
        at += 8 + size + (size & 1);
    }
    EXPECT_EQ(at, file.size()) << "chunks do not end where the file ends";
    return out;
}

const Chunk* Find(const std::vector<Chunk>& chunks, const std::string& id) {
    for (const Chunk& c : chunks)
        if (c.id == id) return &c;
    return nullptr;
}

uint32_t Le32(const Bytes& b, size_t at) {
    uint32_t v = 0;
    std::memcpy(&v, &b[at], 4);
    return v;
}

// The metadata chunks in order, each with where it stands: 0 before `fmt `, 1 between `fmt `
// and `data`, 2 after `data`.
std::vector<std::string> Layout(const std::vector<Chunk>& chunks) {
    std::vector<std::string> out;
    int place = 0;
    for (const Chunk& c : chunks) {
        if (c.id == "fmt ") place = 1;
        if (c.id == "data") place = 2;
        if (c.id != "fmt " && c.id != "data" && c.id != "fact")
            out.push_back(std::to_string(place) + c.id);
    }
    return out;
}

Bytes Padded(const std::string& text, size_t size) {
    Bytes b = bytesOf(text);
    b.resize(size, 0);
    return b;
}

Bytes BextBody() {
    Bytes b = Padded("Interview, take 3", 256) + Padded("Sonbar test", 32) +
              Padded("REF-0042", 32) + bytesOf("2026-12-08") + bytesOf("10:00:00");
    appendLe(b, kTimeReference, 8);
    appendLe(b, 1, 2);  // version 1
    b.resize(602, 0);
    return b + bytesOf(kHistory);
}

Bytes InfoBody() {
    Bytes b = bytesOf("INFO");
    // Odd-sized texts: each sub-chunk has its pad byte inside the LIST.
    b = b + chunk("INAM", bytesOf(std::string("Title1\0", 7))) +
        chunk("IART", bytesOf(std::string("An Artist\0", 10))) +
        chunk("ICMT", bytesOf(std::string("Comment\0", 8)));
    return b;
}

// Three cue points, with labels 1 and 3 in adtl.
const uint32_t kCues[3] = {0, 10000, 22049};
Bytes CueBody() {
    Bytes b;
    appendLe(b, 3, 4);
    for (uint32_t i = 0; i < 3; ++i) {
        appendLe(b, i + 1, 4);
        appendLe(b, kCues[i], 4);
        appendText(b, "data");
        appendLe(b, 0, 4);
        appendLe(b, 0, 4);
        appendLe(b, kCues[i], 4);
    }
    return b;
}
Bytes AdtlBody() {
    Bytes one, three;
    appendLe(one, 1, 4);
    appendText(one, std::string("Start\0", 6));
    appendLe(three, 3, 4);
    appendText(three, std::string("End\0", 4));
    return bytesOf("adtl") + chunk("labl", one) + chunk("labl", three);
}
Bytes SmplBody() {
    Bytes b;
    for (uint32_t v : {0u, 0u, 1000000000u / kRate, 60u, 0u, 0u, 0u, 1u, 0u}) appendLe(b, v, 4);
    for (uint32_t v : {1u, 0u, 5000u, 15000u, 0u, 0u}) appendLe(b, v, 4);
    return b;
}

// bext before `fmt `, INFO and an unknown chunk between, cue, labels, loops, an instrument
// and an odd-sized iXML after `data`.
void WriteHandMadeSource(const std::string& Name) {
    const Bytes audio = AsBytes(Sine16(kRate, 1, kFrames));
    const Bytes body = chunk("bext", BextBody()) + chunk("fmt ", pcmFmt(1, kRate, 16)) +
                       chunk("JUNK", Bytes(28, 0)) + chunk("LIST", InfoBody()) +
                       chunk("data", audio) + chunk("cue ", CueBody()) + chunk("LIST", AdtlBody()) +
                       chunk("smpl", SmplBody()) + chunk("inst", Bytes{60, 0, 0, 0, 127, 1, 127}) +
                       chunk("iXML", bytesOf("<BWFXML><PROJECT>p</PROJECT></BWFXML>"));
    writeFile(Name, riff("WAVE", body));
}

bool WriteFfmpegSource(const std::string& Name) {
    const std::string command =
        "ffmpeg -nostdin -v error -y -f lavfi -i 'sine=frequency=440:sample_rate=22050:"
        "duration=1' -metadata title='Title' -metadata artist='An Artist' -metadata "
        "comment='Comment' -write_bext 1 -metadata time_reference=" +
        std::to_string(kTimeReference) + " -metadata coding_history='A=PCM,F=22050,W=16,M=mono' '" +
        Name + "'";
    return std::system(command.c_str()) == 0;
}

std::string Output(const std::string& Command) {
    std::string out;
    if (FILE* pipe = ::popen(Command.c_str(), "r")) {
        char buffer[512];
        while (size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) out.append(buffer, n);
        ::pclose(pipe);
    }
    return out;
}

struct Target {
    const char* name;
    uint16_t tag;
    uint32_t rate;
    uint16_t bits;  // PCM only
};

const Target kTargets[] = {
    {"pcm16_44100", 1, 44100, 16},  {"pcm8_8000", 1, 8000, 8}, {"float", 3, 22050, 32},
    {"alaw_8000", 6, 8000, 0},      {"ulaw", 7, 22050, 0},     {"ima", 17, 22050, 0},
    {"msadpcm_11025", 2, 11025, 0}, {"gsm_8000", 49, 8000, 0}, {"mp3", 85, 22050, 0},
};

std::unique_ptr<TKoWaveFormat> Wanted(const Target& t) {
    if (t.tag == 1) return TKoWaveFormat::CreatePCM(t.rate, t.bits, 1);
    if (t.tag == 3) return Template(3, t.rate, 1, 32);
    return Enumerated(t.tag, t.rate, 1);
}

}  // namespace

class CarriedMetadata : public testing::TestWithParam<Target> {};

TEST_P(CarriedMetadata, HandMadeSourceKeepsChunksInPlaceAndRescaled) {
    const Target& t = GetParam();
    TempDir dir;
    const std::string in = dir.file("in.wav"), out = dir.file("out.wav");
    WriteHandMadeSource(in);
    auto wanted = Wanted(t);
    ASSERT_TRUE(wanted);
    ASSERT_EQ(ConvertFile(in, out, *wanted), Outcome::Converted);
    const auto source = Chunks(readFile(in));
    const auto target = Chunks(readFile(out));

    // The same chunks in the same places, less the unknown one.
    auto expected = Layout(source);
    std::erase(expected, "1JUNK");
    EXPECT_EQ(Layout(target), expected);
    for (const char* id : {"LIST-INFO", "LIST-adtl", "inst", "iXML"}) {
        ASSERT_TRUE(Find(target, id)) << id;
        EXPECT_EQ(Find(target, id)->body, Find(source, id)->body) << id;
    }

    const double ratio = double(t.rate) / kRate;
    for (const char* id : {"cue ", "smpl", "bext"}) ASSERT_TRUE(Find(target, id)) << id;
    const Bytes& cue = Find(target, "cue ")->body;
    ASSERT_EQ(cue.size(), CueBody().size());
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_NEAR(Le32(cue, 4 + 24 * i + 4), kCues[i] * ratio, 1.0) << "position " << i;
        EXPECT_NEAR(Le32(cue, 4 + 24 * i + 20), kCues[i] * ratio, 1.0) << "offset " << i;
    }
    const Bytes& smpl = Find(target, "smpl")->body;
    EXPECT_NEAR(Le32(smpl, 8), 1e9 / t.rate, 1.0);
    EXPECT_NEAR(Le32(smpl, 36 + 8), 5000 * ratio, 1.0);
    EXPECT_NEAR(Le32(smpl, 36 + 12), 15000 * ratio, 1.0);

    // Broadcast fields as libsndfile reads them: the rescaled TimeReference, the source's
    // history and one line for the target.
    auto file = HKoWaveStreamFactory::ReadFileFormat(out);
    ASSERT_TRUE(file);
    const std::string line = CodingHistoryLine(file->Format());
    const Bytes& bext = Find(target, "bext")->body;
    EXPECT_EQ(std::string(bext.begin() + 602, bext.end()), kHistory + line);
    uint64_t timeReference = 0;
    std::memcpy(&timeReference, &bext[338], 8);
    EXPECT_NEAR(double(timeReference), kTimeReference * ratio, 1.0);
    if (HaveTool("sndfile-info")) {
        const std::string info = Output("sndfile-info --broadcast '" + out + "'");
        EXPECT_NE(info.find("Interview, take 3"), std::string::npos) << info;
        EXPECT_NE(info.find(line.substr(0, line.size() - 2)), std::string::npos) << info;
    }
}

TEST_P(CarriedMetadata, FfmpegTagsReadBackByFfprobe) {
    if (!HaveTool("ffmpeg") || !HaveTool("ffprobe")) GTEST_SKIP() << "needs ffmpeg";
    const Target& t = GetParam();
    TempDir dir;
    const std::string in = dir.file("in.wav"), out = dir.file("out.wav");
    ASSERT_TRUE(WriteFfmpegSource(in));
    auto wanted = Wanted(t);
    ASSERT_TRUE(wanted);
    ASSERT_EQ(ConvertFile(in, out, *wanted), Outcome::Converted);
    const std::string tags =
        Output("ffprobe -v error -show_entries format_tags -of default=nw=1 '" + out + "'");
    for (const std::string& want : std::vector<std::string>{
             "TAG:title=Title\n", "TAG:artist=An Artist\n", "TAG:comment=Comment\n",
             "TAG:time_reference=" +
                 std::to_string(uint64_t(std::llround(kTimeReference * double(t.rate) / kRate))) +
                 "\n"})
        EXPECT_NE(tags.find(want), std::string::npos) << want << " in\n" << tags;
    EXPECT_NE(tags.find("T=Sonbar"), std::string::npos) << tags;
}

INSTANTIATE_TEST_SUITE_P(Formats, CarriedMetadata, testing::ValuesIn(kTargets),
                         [](const auto& row) { return std::string(row.param.name); });

// A metadata chunk that runs past the end of the file is left behind; the audio before it
// is read as always.
TEST(ReadMetadata, BrokenChunkAfterDataLosesNoAudio) {
    TempDir dir;
    const std::string in = dir.file("in.wav");
    const Bytes audio = pattern(400);
    const Bytes info = chunk("LIST", InfoBody());
    writeFile(in, riff("WAVE", chunk("fmt ", pcmFmt(1, 8000, 16)) + info + chunk("data", audio) +
                                   chunkWithSize("cue ", 1000, Bytes(24, 0))));
    auto stream = TKoMMIOWaveStream::OpenReadFile(in);
    ASSERT_TRUE(stream);
    EXPECT_EQ(readAll(*stream), audio);
    const auto& metadata = stream->GetFormat()->Metadata();
    ASSERT_TRUE(metadata);
    ASSERT_EQ(metadata->Chunks.size(), 1u);
    EXPECT_EQ(metadata->InfoFields().size(), 3u);
}

// Tag texts of unknown code page, and an ID3 tag standing in for missing INFO fields.
TEST(ReadMetadata, InfoTextsAndId3TitleArtist) {
    TWaveMetadata m;
    Bytes info = bytesOf("INFO") + chunk("INAM", Bytes{'C', 'a', 'f', 0xE9, 0}) +
                 chunk("ICMT", bytesOf("Caf\xC3\xA9"));
    m.Chunks.push_back({FOURCC_LIST, TWaveChunkPlace::BeforeData, info});
    // ID3v2.4: TIT2 in UTF-8 (ignored: INFO has a title), TPE1 in UTF-16 with a BOM.
    Bytes frames;
    appendText(frames, "TIT2");
    appendLe(frames, 0x05000000, 4);  // syncsafe size 5, big-endian
    appendLe(frames, 0, 2);
    appendText(frames, std::string("\3Id3T", 5));
    appendText(frames, "TPE1");
    appendLe(frames, 0x07000000, 4);
    appendLe(frames, 0, 2);
    frames = frames + Bytes{1, 0xFF, 0xFE, 'M', 0, 'e', 0};
    Bytes tag = bytesOf("ID3") + Bytes{4, 0, 0, 0, 0, 0, uint8_t(frames.size())} + frames;
    m.Chunks.push_back({MakeFourCC('i', 'd', '3', ' '), TWaveChunkPlace::AfterData, tag});
    const std::vector<TWaveTag> want = {
        {"INAM", "Caf\xC3\xA9"}, {"ICMT", "Caf\xC3\xA9"}, {"IART", "Me"}};
    EXPECT_EQ(m.InfoFields(), want);
}

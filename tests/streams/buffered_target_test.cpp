// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include "UKoMMIO.h"
#include "UKoWaveStreamFactory.h"
#include "streams/conversion_util.h"

namespace {

using acmtest::Codec;
using acmtest::Pcm;

class TCountingStream : public TMemoryStream {
  public:
    int writes = 0;
    int32_t Write(const TKoArea& Area) override {
        ++writes;
        return TMemoryStream::Write(Area);
    }
};

// Source audio in Source's format written through a write chain to Target over Device.
void Encode(TKoStreamFactory& Device, const TKoWaveFormat& Source, const TKoWaveFormat& Target,
            const std::vector<uint8_t>& Audio) {
    TKoWaveStreamFactory factory;
    factory.SetWantedFormat(Target);
    auto header = TKoWaveStreamFormat::CreateForFormat(&Source);
    auto chain = factory.BuildWriteChain(Device, *header);
    ASSERT_TRUE(chain);
    ASSERT_TRUE(convtest::WriteInPieces(*chain, Audio));
    ASSERT_TRUE(chain->Close());
}

}  // namespace

// A target written through the buffered handle has the bytes of one written block by block,
// whether it ends inside the first buffer or long after it (the sizes patched behind the
// data then go out on their own), and with a pad byte after odd data.
TEST(BufferedTarget, SameBytesAsUnbufferedWrites) {
    struct Row {
        const char* name;
        std::unique_ptr<TKoWaveFormat> target;
        uint16_t channels;
        size_t frames;
    } rows[] = {
        {"PCM past several buffers", Pcm(44100, 16, 2), 2, 200000},
        {"PCM 8-bit, odd data", Pcm(22050, 8, 1), 1, 1001},
        {"A-law", Codec(WAVE_FORMAT_ALAW, 44100, 2), 2, 100000},
        {"IMA ADPCM", Codec(WAVE_FORMAT_IMA_ADPCM, 22050, 1), 1, 90001},
        {"MS ADPCM", Codec(WAVE_FORMAT_ADPCM, 44100, 2), 2, 70000},
        {"GSM: 65-byte blocks", Codec(WAVE_FORMAT_GSM610, 8000, 1), 1, 48123},
        {"MP3", Codec(WAVE_FORMAT_MPEGLAYER3, 44100, 2, 128), 2, 44100},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const auto source = Pcm(row.target->SamplesPerSec(), 16, row.channels);
        const auto audio =
            convtest::AsBytes(convtest::Sine16(source->SamplesPerSec(), row.channels, row.frames));

        TCountingStream buffered;
        TKoWriteStreamFactory overBuffered(buffered);
        Encode(overBuffered, *source, *row.target, audio);

        TCountingStream unbuffered;
        {
            auto mmio = std::make_unique<TKoMMIOStream>(
                TKoMMIO::OpenStream(unbuffered, momCreate, /*WriteBuffer=*/0));
            auto fileFormat = TKoWaveStreamFormat::CreateForFormat(row.target.get());
            auto file = TKoMMIOWaveStream::CreateWrite(std::move(mmio), *fileFormat);
            ASSERT_TRUE(file);
            TKoWriteStreamFactory overFile(*file);
            Encode(overFile, *source, *row.target, audio);
            ASSERT_TRUE(file->Close());
        }
        EXPECT_GT(buffered.bytes.size(), 100u);
        EXPECT_EQ(buffered.bytes, unbuffered.bytes);
        // One write per buffer, plus the two patched sizes (and a pad byte).
        const int buffers = int(buffered.bytes.size() / TKoMMIO::kStreamWriteBuffer) + 1;
        EXPECT_LE(buffered.writes, buffers + 3);
        EXPECT_GT(unbuffered.writes, buffered.writes);
    }
}

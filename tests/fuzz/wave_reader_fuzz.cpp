// SPDX-License-Identifier: GPL-3.0-or-later
// Feeds arbitrary bytes to the WAVE reader as a file held in memory and reads all its data.
// Any crash, sanitizer report, hang or exception is a fault (memory never fails to read, so
// a damaged layout must give a refusal, not an error); a refused file is not.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "UKoWaveStream.h"
#include "streams/memory_stream.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    TMemoryStream memory(std::vector<uint8_t>(data, data + size));
    {
        auto stream = TKoMMIOWaveStream::OpenReadStream(memory);
        if (!stream) return 0;
        // The format must be complete and its fields readable whatever the file said.
        const TKoWaveStreamFormat* format = stream->GetFormat();
        const TKoWaveFormat& f = format->Format();
        volatile uint32_t sink = f.FormatTag() + f.Channels() + f.SamplesPerSec() +
                                 f.BitsPerSample() + f.AvgBytesPerSec() + f.BlockAlign() +
                                 f.ExtraSize() + format->Fact().SampleCount;
        (void)sink;
        std::vector<uint8_t> block(4096);
        // A data chunk may claim up to 4 GiB; the reads end at the file's end, then the
        // position runs on to the chunk's end in empty reads, so cap the loop at the data read.
        for (int64_t total = 0; total <= int64_t(size);) {
            const int32_t n = stream->Read(MakeArea(block.data(), int32_t(block.size())));
            if (n <= 0) break;
            total += n;
        }
        stream->GetSize();
        stream->Seek(SeekFromBeginning(0));
        stream->Close();
    }
    return 0;
}

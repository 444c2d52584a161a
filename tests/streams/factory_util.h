// SPDX-License-Identifier: GPL-3.0-or-later
// Conversions of files through the stream factories, and checks of the files they write: the
// format asked for, the sample count, and the audio as an independent decoder (ffmpeg)
// reads it.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "UKoWaveStreamFactory.h"
#include "streams/conversion_util.h"
#include "streams/wave_test_util.h"

namespace convtest {

enum class Outcome { Converted, NoChain, Failed };

// IN -> OUT through a read chain (no wanted format) and a write chain to Wanted, the way the
// recoder runs a file.
inline Outcome ConvertFile(const std::string& In, const std::string& Out,
                           const TKoWaveFormat& Wanted, bool Speed = false, bool Bare = false) {
    TKoWaveStreamFactory factory;
    factory.BareStream = Bare;
    auto in = factory.OpenReadChain(In);
    if (!in) return Outcome::NoChain;
    factory.SetWantedFormat(Wanted);
    factory.HighSpeed = Speed;
    auto* source = dynamic_cast<TKoWaveStreamFormat*>(in->GetFormat());
    if (!source) return Outcome::Failed;
    auto out = factory.OpenWriteChain(Out, *source);
    if (!out) return Outcome::NoChain;
    std::vector<uint8_t> block(32 * 1024);
    for (;;) {
        const int32_t n = in->Read(MakeArea(block.data(), int32_t(block.size())));
        if (n < 0) return Outcome::Failed;
        if (n == 0) break;
        if (out->Write(MakeArea(block.data(), n)) != n) return Outcome::Failed;
    }
    const bool closed = out->Close();
    return closed && in->Close() ? Outcome::Converted : Outcome::Failed;
}

// A WAVE file of the test tone at that rate, sample size and channel count, with the given
// metadata chunks.
inline void WriteToneFile(const std::string& Name, uint32_t Rate, uint16_t Bits, uint16_t Channels,
                          size_t Frames, std::shared_ptr<const TWaveMetadata> Metadata = nullptr) {
    auto format = TKoWaveFormat::CreatePCM(Rate, Bits, Channels);
    auto streamFormat = TKoWaveStreamFormat::CreateForFormat(format.get());
    streamFormat->SetMetadata(std::move(Metadata));
    auto stream = TKoMMIOWaveStream::CreateWriteFile(Name, *streamFormat);
    ASSERT_TRUE(stream);
    const auto samples = Sine16(Rate, Channels, Frames);
    std::vector<uint8_t> bytes;
    for (int16_t s : samples) {
        if (Bits == 8) {
            bytes.push_back(uint8_t((s + 32768 + 128) >> 8 > 255 ? 255 : (s + 32768 + 128) >> 8));
        } else {
            bytes.push_back(uint8_t(s & 0xFF));
            bytes.push_back(uint8_t(uint16_t(s) >> 8));
        }
    }
    ASSERT_EQ(stream->Write(MakeArea(bytes.data(), int32_t(bytes.size()))), int32_t(bytes.size()));
    ASSERT_TRUE(stream->Close());
}

// The file's audio as ffmpeg decodes it, at the file's own rate and channel count; empty
// when ffmpeg fails.
inline std::vector<int16_t> DecodeWithFfmpeg(const std::string& Name) {
    const std::string raw = Name + ".s16";
    const std::string command =
        "ffmpeg -nostdin -v error -y -i '" + Name + "' -f s16le -acodec pcm_s16le '" + raw + "'";
    if (std::system(command.c_str()) != 0) return {};
    const auto bytes = readFile(raw);
    return AsSamples(std::vector<uint8_t>(bytes.begin(), bytes.end()));
}

// The tone as it should sound in a file of that rate and channel count, made from a tone of
// SourceChannels channels.
inline std::vector<int16_t> IdealTone(uint32_t Rate, uint16_t Channels, uint16_t SourceChannels,
                                      size_t Frames) {
    std::vector<int16_t> out(Frames * Channels);
    for (size_t i = 0; i < Frames; ++i)
        for (int c = 0; c < Channels; ++c)
            out[i * Channels + c] =
                int16_t(std::lround(32767 * Ideal(Rate, Channels, SourceChannels, i, c)));
    return out;
}

}  // namespace convtest

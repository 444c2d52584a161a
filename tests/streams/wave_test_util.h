// SPDX-License-Identifier: GPL-3.0-or-later
// Shared pieces of the WAVE stream tests: `fmt ` payloads, temporary files, reading a stream out.
#pragma once

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "UKoWaveStream.h"
#include "mmio/riff_builder.h"

// A `fmt ` payload; withExtraSize false gives the 16-byte PCM form that omits cbSize.
inline Bytes fmtRecord(uint16_t tag, uint16_t channels, uint32_t rate, uint16_t bits,
                       const Bytes& extra = {}, bool withExtraSize = true) {
    const uint16_t align = uint16_t(channels * (bits / 8));
    Bytes out;
    appendLe(out, tag, 2);
    appendLe(out, channels, 2);
    appendLe(out, rate, 4);
    appendLe(out, uint64_t(align) * rate, 4);
    appendLe(out, align, 2);
    appendLe(out, bits, 2);
    if (withExtraSize) appendLe(out, extra.size(), 2);
    return out + extra;
}

inline Bytes pcmFmt(uint16_t channels = 2, uint32_t rate = 44100, uint16_t bits = 16) {
    return fmtRecord(1, channels, rate, bits, {}, false);
}

inline Bytes factChunk(uint32_t count) {
    Bytes payload;
    appendLe(payload, count, 4);
    return chunk("fact", payload);
}

class TempDir {
  public:
    TempDir() {
        static int counter = 0;
        path_ = std::filesystem::temp_directory_path() /
                ("sonbar-streams-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
        std::filesystem::create_directories(path_);
    }
    ~TempDir() { std::filesystem::remove_all(path_); }
    std::string file(const std::string& name) const { return (path_ / name).string(); }
    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

inline Bytes readFile(const std::string& name) {
    std::ifstream in(name, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

inline void writeFile(const std::string& name, const Bytes& bytes) {
    std::ofstream out(name, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

// Reads a stream to its end in blocks of the given size; stops at a failure or after a bound
// well past what any test file holds (a stream that never ends is a fault too).
inline Bytes readAll(TKoStream& stream, int32_t block = 7, bool* failed = nullptr) {
    Bytes out;
    Bytes buffer(static_cast<size_t>(block));
    for (int rounds = 0; rounds < 1 << 20; ++rounds) {
        int32_t n = stream.Read(MakeArea(buffer.data(), block));
        if (n < 0 && failed) *failed = true;
        if (n <= 0) break;
        out.insert(out.end(), buffer.begin(), buffer.begin() + n);
    }
    return out;
}

inline std::unique_ptr<TKoWaveStreamFormat> pcmStreamFormat(uint32_t rate, uint16_t bits,
                                                            uint16_t channels, uint32_t count) {
    auto format = TKoWaveFormat::CreatePCM(rate, bits, channels);
    TKoWaveFact fact(count);
    return TKoWaveStreamFormat::CreateForFormatAndFact(format.get(), &fact);
}

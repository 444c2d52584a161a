// SPDX-License-Identifier: GPL-3.0-or-later
// A byte stream over a vector, for feeding and catching format records.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "UKoTStream.h"

class TVectorStream : public TStream {
  public:
    std::vector<uint8_t> bytes;
    size_t position = 0;
    // Transfers stop after this many bytes in total, to act out short reads and writes.
    size_t limit = SIZE_MAX;
    size_t requested = 0;

    TVectorStream() = default;
    explicit TVectorStream(std::vector<uint8_t> data) : bytes(std::move(data)) {}

    int32_t Read(void* Buffer, int32_t Count) override {
        requested += static_cast<size_t>(Count);
        const size_t n = std::min({static_cast<size_t>(Count), bytes.size() - position, Room()});
        if (n > 0) std::memcpy(Buffer, bytes.data() + position, n);
        position += n;
        return static_cast<int32_t>(n);
    }
    int32_t Write(const void* Buffer, int32_t Count) override {
        const size_t n = std::min(static_cast<size_t>(Count), Room());
        if (position + n > bytes.size()) bytes.resize(position + n);
        if (n > 0) std::memcpy(bytes.data() + position, Buffer, n);
        position += n;
        return static_cast<int32_t>(n);
    }
    int64_t Seek(int64_t Offset, uint16_t Origin) override {
        const int64_t base = Origin == tsFromBeginning ? 0
                             : Origin == tsFromCurrent ? static_cast<int64_t>(position)
                                                       : static_cast<int64_t>(bytes.size());
        if (base + Offset < 0) return -1;
        position = static_cast<size_t>(base + Offset);
        return base + Offset;
    }

  private:
    size_t Room() const { return position >= limit ? 0 : limit - position; }
};

// Little-endian record bytes: tag, channels, rate, avg, align, bits, then what follows.
inline std::vector<uint8_t> RecordBytes(uint16_t tag, uint16_t channels, uint32_t rate,
                                        uint32_t avg, uint16_t align, uint16_t bits,
                                        std::vector<uint8_t> tail = {}) {
    std::vector<uint8_t> out;
    auto put = [&](uint32_t v, int n) {
        for (int i = 0; i < n; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
    };
    put(tag, 2);
    put(channels, 2);
    put(rate, 4);
    put(avg, 4);
    put(align, 2);
    put(bits, 2);
    out.insert(out.end(), tail.begin(), tail.end());
    return out;
}

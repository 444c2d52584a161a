// SPDX-License-Identifier: GPL-3.0-or-later
// A TKoStream over a byte vector, for tests and the fuzz target; can be told to fail writes.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "UKoStream.h"

class TMemoryStream : public TKoStream {
  public:
    std::vector<uint8_t> bytes;
    int64_t position = 0;
    int64_t writeLimit = -1;  // writes that would pass this length fail (a full disk)
    int seeks = 0;
    int reads = 0;

    TMemoryStream() = default;
    explicit TMemoryStream(std::vector<uint8_t> data) : bytes(std::move(data)) {}

    int64_t GetPosition() override { return position; }

    int32_t Read(const TKoArea& Area) override {
        ++reads;
        if (Area.Size < 0) return -1;
        const int64_t n = std::clamp<int64_t>(int64_t(bytes.size()) - position, 0, Area.Size);
        if (n > 0) std::memcpy(AreaData(Area), bytes.data() + position, size_t(n));
        position += n;
        return int32_t(n);
    }

    int32_t Write(const TKoArea& Area) override {
        if (Area.Size < 0) return -1;
        if (writeLimit >= 0 && position + Area.Size > writeLimit) return -1;
        if (position + Area.Size > int64_t(bytes.size()))
            bytes.resize(size_t(position + Area.Size));
        if (Area.Size > 0) std::memcpy(bytes.data() + position, AreaData(Area), size_t(Area.Size));
        position += Area.Size;
        return Area.Size;
    }

    bool Seek(const TKoSeekRequest& Request) override {
        ++seeks;
        const int64_t size = int64_t(bytes.size());
        int64_t target = Request.Origin == koFromBeginning ? Request.Offset
                         : Request.Origin == koFromEnd     ? size + Request.Offset
                                                           : position + Request.Offset;
        if (target < 0 || target > size) return false;
        position = target;
        return true;
    }
};

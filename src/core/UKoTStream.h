// SPDX-License-Identifier: GPL-3.0-or-later
// A minimal byte stream: what format records are read from and written to.
#pragma once

#include <cstdint>

// Seek origins of TStream, in the order of the C library (not that of TKoSeekOrigin).
enum : uint16_t { tsFromBeginning = 0, tsFromCurrent = 1, tsFromEnd = 2 };

class TStream {
  public:
    TStream() = default;
    virtual ~TStream() = default;
    TStream(const TStream&) = delete;
    TStream& operator=(const TStream&) = delete;

    // Both return the number of bytes transferred (fewer than Count at the end or on failure).
    virtual int32_t Read(void* Buffer, int32_t Count) = 0;
    virtual int32_t Write(const void* Buffer, int32_t Count) = 0;
    // Returns the new position from the beginning, or -1 when the move failed.
    virtual int64_t Seek(int64_t Offset, uint16_t Origin) = 0;
};

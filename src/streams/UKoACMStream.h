// SPDX-License-Identifier: GPL-3.0-or-later
// The codec manager's stream calls as small objects with strict state checks: a conversion
// header and its prepared state, the two buffers a conversion works between, and an open
// conversion stream with its buffer sizing rule.
#pragma once

#include <cstdint>
#include <memory>

#include "UKoArea.h"
#include "UKoMemory.h"
#include "UKoObject.h"
#include "UKoWaveFormat.h"
#include "acm.h"

// One ACMSTREAMHEADER and the lengths it was prepared with. Misuse (converting unprepared,
// preparing twice, changing buffers while prepared) raises EKoError.
class TKoACMStreamHeader : public TKoObject {
  public:
    TKoACMStreamHeader();
    // Unprepares a header that is still prepared, ignoring the result: the owner that cares
    // unprepares it through the stream first.
    ~TKoACMStreamHeader() override;

    bool IsPrepared() const { return (header_.fdwStatus & ACMSTREAMHEADER_STATUSF_PREPARED) != 0; }
    void RequirePrepared() const;
    void RequireUnprepared() const;

    // The area must be non-empty and the header unprepared.
    void SetSource(const TKoArea& Area);
    void SetDestination(const TKoArea& Area);
    // While prepared the length may not grow past the prepared one.
    void SetSourceLength(int32_t N);

    int32_t SourceLength() const { return static_cast<int32_t>(header_.cbSrcLength); }
    int32_t SourceLengthUsed() const;
    int32_t DestinationLengthUsed() const;

    void SaveLengths();
    void RestoreLengths();

    ACMSTREAMHEADER* HeaderAddress() { return &header_; }

  private:
    friend class TKoACMStream;

    ACMSTREAMHEADER header_;
    int32_t preparedSourceLength_ = 0;
    int32_t preparedDestinationLength_ = 0;
    // The stream it was prepared on, for the destructor's last-resort unprepare.
    HACMSTREAM preparedOn_ = nullptr;
};

// A fixed block of memory and the stretch of it that holds valid bytes.
class TKoACMStreamBuffer : public TKoObject {
  public:
    explicit TKoACMStreamBuffer(int32_t Size) : memory_(TKoMemChunk::CreateSized(Size)) {}

    // The caller has placed N bytes behind the valid ones.
    virtual void Append(int32_t N) = 0;
    // N bytes at the front of the valid ones are used up.
    virtual void Consume(int32_t N) = 0;

    const TKoArea& GetData() const { return data_; }
    TKoArea GetMemory() const { return memory_.Area(); }
    // The room behind the valid bytes (the whole block when none are valid).
    TKoArea GetFree() const;
    // A non-empty area must lie inside the block; raises otherwise.
    void SetData(const TKoArea& Area);

  protected:
    TKoArea data_;
    TKoMemChunk memory_;
};

// Keeps its valid bytes at the block start, where the header's source pointer points.
class TKoACMStreamSourceBuffer : public TKoACMStreamBuffer {
  public:
    using TKoACMStreamBuffer::TKoACMStreamBuffer;
    static std::unique_ptr<TKoACMStreamSourceBuffer> CreateSized(int32_t Size) {
        return std::make_unique<TKoACMStreamSourceBuffer>(Size);
    }

    // N <= 0 or past the block end raises.
    void Append(int32_t N) override;
    // N <= 0 or more than the valid bytes raises; the rest moves to the block start.
    void Consume(int32_t N) override;
};

// Filled in one piece from the block start, then read off from the front.
class TKoACMStreamDestinationBuffer : public TKoACMStreamBuffer {
  public:
    using TKoACMStreamBuffer::TKoACMStreamBuffer;
    static std::unique_ptr<TKoACMStreamDestinationBuffer> CreateSized(int32_t Size) {
        return std::make_unique<TKoACMStreamDestinationBuffer>(Size);
    }

    // Takes new output only when empty; N <= 0 does nothing.
    void Append(int32_t N) override;
    // Outside 1 .. valid bytes does nothing.
    void Consume(int32_t N) override;
};

// An open conversion between two formats.
class TKoACMStream : public TKoObject {
  public:
    TKoACMStream(HACMSTREAM Handle, int32_t SourceBlockAlign)
        : handle_(Handle), sourceBlockAlign_(SourceBlockAlign) {}
    // Closes the handle if Close was not called, ignoring the result.
    ~TKoACMStream() override;

    // nullptr when no codec converts Source into Destination.
    template <class T = TKoACMStream>
    static std::unique_ptr<T> Open(const TKoWaveFormat& Source, const TKoWaveFormat& Destination,
                                   bool NonRealtime) {
        HACMSTREAM handle = OpenHandle(Source, Destination, NonRealtime);
        if (!handle) return nullptr;
        return std::make_unique<T>(handle, static_cast<int32_t>(Source.BlockAlign()));
    }
    static bool CanConvert(const TKoWaveFormat& Source, const TKoWaveFormat& Destination,
                           bool NonRealtime);

    // False when already prepared or the codec manager refuses.
    bool Prepare(TKoACMStreamHeader& Header);
    // False when not prepared or the codec manager refuses.
    bool Unprepare(TKoACMStreamHeader& Header);
    // One conversion step; false when the codec failed. Without End: whole source blocks,
    // and when that takes nothing, the trailing partial block too. With End (the source
    // length may be 0): everything, then whatever the codec still holds, as far as it fits.
    bool Convert(TKoACMStreamHeader& Header, bool End = false);

    // Raise when the codec manager fails.
    int32_t DestinationSizeFor(int32_t N) const;
    int32_t SourceSizeFor(int32_t N) const;
    // Buffer sizes for a conversion from Source to Destination (both complete): about 8 KiB
    // each, at least two blocks of their format, and a full source buffer's output fits the
    // destination buffer as far as the codec's size answers say. A codec whose output for
    // the source would pass the 8 KiB ceiling gets a smaller source buffer, but never less
    // than SourceFloor bytes while the destination stays within DestinationLimit.
    int32_t SourceBufferSize(const TKoWaveFormat& Source, const TKoWaveFormat& Destination) const;
    int32_t DestinationBufferSize(const TKoWaveFormat& Source,
                                  const TKoWaveFormat& Destination) const;

    // Closes the handle; false when the codec manager reports a failure. Later calls return
    // the same answer.
    bool Close();

    HACMSTREAM Handle() const { return handle_; }
    int32_t SourceBlockAlign() const { return sourceBlockAlign_; }

    static constexpr int32_t BufferCeiling = 8192;
    static constexpr int32_t SourceFloor = 2048;
    static constexpr int32_t DestinationLimit = 1 << 20;

  private:
    struct Sizes {
        int32_t source;
        int32_t destination;
    };
    static HACMSTREAM OpenHandle(const TKoWaveFormat& Source, const TKoWaveFormat& Destination,
                                 bool NonRealtime);
    Sizes BufferSizes(const TKoWaveFormat& Source, const TKoWaveFormat& Destination) const;
    int32_t StreamSize(int32_t N, uint32_t Flags) const;
    void RequireOpen() const;

    HACMSTREAM handle_;
    int32_t sourceBlockAlign_;
    bool closed_ = false;
    bool closeResult_ = true;
};

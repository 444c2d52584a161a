// SPDX-License-Identifier: GPL-3.0-or-later
// The wave format record with known-field tracking, the fact sample count, and an owning
// list of formats.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "UKoACM.h"
#include "UKoFormat.h"
#include "UKoTStream.h"
#include "acm.h"

// Bits of TKoWaveFormat::KnownFields. The primary fields are what a partial format (a
// template for the codec manager) may give; the derived ones are known together or not at all.
namespace KoWaveFields {
inline constexpr uint32_t FormatTag = 0x01;
inline constexpr uint32_t Channels = 0x02;
inline constexpr uint32_t SamplesPerSec = 0x04;
inline constexpr uint32_t BitsPerSample = 0x08;
inline constexpr uint32_t AvgBytesPerSec = 0x10;
inline constexpr uint32_t BlockAlign = 0x20;
inline constexpr uint32_t ExtraSize = 0x40;
inline constexpr uint32_t Primary = 0x0F;
inline constexpr uint32_t Derived = 0x70;
inline constexpr uint32_t Complete = 0x7F;
}  // namespace KoWaveFields

inline constexpr uint16_t koWaveFormatPCM = WAVE_FORMAT_PCM;

// An owned WAVEFORMATEX record (at least 18 bytes once it has a buffer) and the set of its
// fields that hold values. Field reads raise EKoError when the field is not known.
class TKoWaveFormat : public TKoFormat {
  public:
    static constexpr int32_t MinRecordSize = static_cast<int32_t>(sizeof(WAVEFORMATEX));
    // Fewer bytes than tag, channels, rates and block align make no usable record; the
    // 14-byte form without bits per sample and cbSize is still read (zero-filled).
    static constexpr int32_t MinReadSize = 14;
    // The largest record cbSize can describe; longer chunks are not format records.
    static constexpr int32_t MaxRecordSize = MinRecordSize + 0xFFFF;

    // No buffer until Assign or EnsureCapacity gives it one (what Clone builds on).
    TKoWaveFormat() = default;
    // A zeroed buffer of Size bytes, at least MinRecordSize; no field known.
    explicit TKoWaveFormat(int32_t Size);

    template <class T = TKoWaveFormat>
    static std::unique_ptr<T> CreateDefault() {
        return std::make_unique<T>(MinRecordSize);
    }
    // Sized for whatever record the codec manager may write.
    template <class T = TKoWaveFormat>
    static std::unique_ptr<T> CreateMaxSize() {
        return std::make_unique<T>(HKoACM::MaxFormatSize());
    }
    static std::unique_ptr<TKoWaveFormat> CreatePCM(uint32_t Rate, uint16_t Bits,
                                                    uint16_t Channels);
    static std::unique_ptr<TKoWaveFormat> CreatePCM16(uint32_t Rate, uint16_t Channels) {
        return CreatePCM(Rate, 16, Channels);
    }
    // 22,050 Hz, 16 bits, mono.
    static std::unique_ptr<TKoWaveFormat> CreateDefaultPCM() { return CreatePCM16(22050, 1); }

    std::unique_ptr<TKoPersistent> CreateSame() const override {
        return std::make_unique<TKoWaveFormat>();
    }
    // nullptr clears the known fields; another wave format is copied with its whole buffer.
    void Assign(const TKoPersistent* Source) override;

    int32_t Capacity() const { return capacity_; }
    // Grows the buffer to N bytes keeping its contents; never shrinks.
    void EnsureCapacity(int32_t N);
    void EnsureMaxCapacity() { EnsureCapacity(HKoACM::MaxFormatSize()); }

    uint32_t KnownFields() const { return known_; }
    // The record, for handing to the codec manager (the writable one completes PCM first).
    WAVEFORMATEX* Data();
    const WAVEFORMATEX* Data() const;

    // 18 for PCM whatever cbSize says, otherwise 18 + cbSize.
    static int32_t RecordSizeOf(const WAVEFORMATEX& Record);
    // Requires a complete format whose record fits its buffer.
    int32_t RecordSize() const;

    bool HasFormatTag() const { return (known_ & KoWaveFields::FormatTag) != 0; }
    uint32_t FormatTag() const;
    uint32_t Channels() const;
    uint32_t SamplesPerSec() const;
    uint32_t BitsPerSample() const;
    uint32_t AvgBytesPerSec() const;
    uint32_t BlockAlign() const;
    uint32_t ExtraSize() const;
    // The cbSize bytes after the fixed fields (requires a complete format).
    const uint8_t* ExtraBytes() const;

    // Each setter marks its field known and forgets the derived fields.
    void SetFormatTag(uint16_t Value);
    void SetChannels(uint16_t Value);
    void SetSamplesPerSec(uint32_t Value);
    void SetBitsPerSample(uint16_t Value);
    void ClearDerived() { known_ &= ~KoWaveFields::Derived; }

    bool IsSpecified() const { return known_ != 0; }
    bool IsComplete() const;
    void RequireComplete() const;
    // After an outside writer has filled the whole record: every field becomes known.
    void MarkComplete();

    // Bytes of Ms milliseconds of data; raises when the result does not fit 32 bits.
    int32_t BytesForMilliseconds(int32_t Ms) const;
    // Same known fields and the same values in them (no completion runs first).
    bool SameAs(const TKoWaveFormat& Other) const;

    bool WriteTo(TStream& Stream) const;
    // Reads a record of Size bytes (a `fmt ` chunk's length); nullptr on a short read or a
    // record that is not a sound format record.
    static std::unique_ptr<TKoWaveFormat> ReadFrom(TStream& Stream, int64_t Size);

  private:
    WAVEFORMATEX& Record() const;
    uint32_t Field(uint32_t Bit, uint32_t Value) const;
    void Set(uint32_t Bit);
    void CompletePCM();

    int32_t capacity_ = 0;
    std::unique_ptr<uint8_t[]> data_;
    uint32_t known_ = 0;
};

// The sample count (per channel) of a WAVE file's `fact` chunk; 0 means none given.
class TKoWaveFact : public TKoPersistent {
  public:
    uint32_t SampleCount = 0;

    TKoWaveFact() = default;
    explicit TKoWaveFact(uint32_t Count) : SampleCount(Count) {}

    std::unique_ptr<TKoPersistent> CreateSame() const override {
        return std::make_unique<TKoWaveFact>();
    }
    void Assign(const TKoPersistent* Source) override;

    bool IsValid() const { return SampleCount != 0; }
    void RequireValid() const;

    bool WriteTo(TStream& Stream) const;
    // Reads the 4-byte count at the front of a chunk of Size bytes; nullptr when short.
    static std::unique_ptr<TKoWaveFact> ReadFrom(TStream& Stream, int64_t Size);
};

// An ordered list owning its formats; destroyed first item first.
class TKoWaveFormatList {
  public:
    TKoWaveFormatList() = default;
    ~TKoWaveFormatList();
    TKoWaveFormatList(const TKoWaveFormatList&) = delete;
    TKoWaveFormatList& operator=(const TKoWaveFormatList&) = delete;

    // Appends a copy of Format; the caller keeps its own object.
    TKoWaveFormat* AddCopy(const TKoWaveFormat& Format);
    TKoWaveFormat* Add(std::unique_ptr<TKoWaveFormat> Format);
    // Raises EKoError for an index outside the list.
    void Delete(std::size_t Index);
    TKoWaveFormat* Items(std::size_t Index) const;
    TKoWaveFormat* operator[](std::size_t Index) const { return Items(Index); }
    // nullptr when the list is empty.
    TKoWaveFormat* Last() const;
    std::size_t Count() const { return items_.size(); }

  private:
    std::vector<std::unique_ptr<TKoWaveFormat>> items_;
};

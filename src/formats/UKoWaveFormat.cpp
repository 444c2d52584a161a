// SPDX-License-Identifier: GPL-3.0-or-later
#include "UKoWaveFormat.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "UKoException.h"

TKoWaveFormat::TKoWaveFormat(int32_t Size)
    : capacity_(std::max(Size, MinRecordSize)),
      data_(std::make_unique<uint8_t[]>(static_cast<size_t>(capacity_))) {}

std::unique_ptr<TKoWaveFormat> TKoWaveFormat::CreatePCM(uint32_t Rate, uint16_t Bits,
                                                        uint16_t Channels) {
    auto format = CreateDefault();
    format->SetFormatTag(koWaveFormatPCM);
    format->SetChannels(Channels);
    format->SetSamplesPerSec(Rate);
    format->SetBitsPerSample(Bits);
    return format;
}

void TKoWaveFormat::Assign(const TKoPersistent* Source) {
    if (Source == nullptr) {
        known_ = 0;
        return;
    }
    if (auto* other = dynamic_cast<const TKoWaveFormat*>(Source)) {
        if (other == this) return;
        EnsureCapacity(other->capacity_);
        if (other->capacity_ > 0)
            std::memcpy(data_.get(), other->data_.get(), static_cast<size_t>(other->capacity_));
        known_ = other->known_;
        return;
    }
    TKoFormat::Assign(Source);
}

void TKoWaveFormat::EnsureCapacity(int32_t N) {
    if (N <= capacity_) return;
    auto grown = std::make_unique<uint8_t[]>(static_cast<size_t>(N));
    if (capacity_ > 0) std::memcpy(grown.get(), data_.get(), static_cast<size_t>(capacity_));
    data_ = std::move(grown);
    capacity_ = N;
}

// A format built without a buffer holds no record: using it is a broken precondition.
WAVEFORMATEX& TKoWaveFormat::Record() const {
    if (capacity_ < MinRecordSize) throw EKoError();
    return *reinterpret_cast<WAVEFORMATEX*>(data_.get());
}

WAVEFORMATEX* TKoWaveFormat::Data() {
    CompletePCM();
    return &Record();
}

const WAVEFORMATEX* TKoWaveFormat::Data() const {
    return &Record();
}

int32_t TKoWaveFormat::RecordSizeOf(const WAVEFORMATEX& Record) {
    if (Record.wFormatTag == koWaveFormatPCM) return MinRecordSize;
    return MinRecordSize + Record.cbSize;
}

int32_t TKoWaveFormat::RecordSize() const {
    RequireComplete();
    const int32_t size = RecordSizeOf(Record());
    // cbSize must never lead a reader or writer past the buffer.
    if (size > capacity_) throw EKoError();
    return size;
}

uint32_t TKoWaveFormat::Field(uint32_t Bit, uint32_t Value) const {
    if ((known_ & Bit) == 0) throw EKoError();
    return Value;
}

uint32_t TKoWaveFormat::FormatTag() const {
    return Field(KoWaveFields::FormatTag, Record().wFormatTag);
}
uint32_t TKoWaveFormat::Channels() const {
    return Field(KoWaveFields::Channels, Record().nChannels);
}
uint32_t TKoWaveFormat::SamplesPerSec() const {
    return Field(KoWaveFields::SamplesPerSec, Record().nSamplesPerSec);
}
uint32_t TKoWaveFormat::BitsPerSample() const {
    return Field(KoWaveFields::BitsPerSample, Record().wBitsPerSample);
}
// Completion must run before the derived field is read.
uint32_t TKoWaveFormat::AvgBytesPerSec() const {
    RequireComplete();
    return Record().nAvgBytesPerSec;
}
uint32_t TKoWaveFormat::BlockAlign() const {
    RequireComplete();
    return Record().nBlockAlign;
}
uint32_t TKoWaveFormat::ExtraSize() const {
    RequireComplete();
    return Field(KoWaveFields::ExtraSize, Record().cbSize);
}

const uint8_t* TKoWaveFormat::ExtraBytes() const {
    RecordSize();  // completeness and bounds
    return data_.get() + MinRecordSize;
}

void TKoWaveFormat::Set(uint32_t Bit) {
    known_ |= Bit;
    ClearDerived();
    CompletePCM();
}

void TKoWaveFormat::SetFormatTag(uint16_t Value) {
    Record().wFormatTag = Value;
    Set(KoWaveFields::FormatTag);
}
void TKoWaveFormat::SetChannels(uint16_t Value) {
    Record().nChannels = Value;
    Set(KoWaveFields::Channels);
}
void TKoWaveFormat::SetSamplesPerSec(uint32_t Value) {
    Record().nSamplesPerSec = Value;
    Set(KoWaveFields::SamplesPerSec);
}
void TKoWaveFormat::SetBitsPerSample(uint16_t Value) {
    Record().wBitsPerSample = Value;
    Set(KoWaveFields::BitsPerSample);
}

// PCM is the one tag whose derived fields follow from the primary ones. It runs whenever the
// record changes, never in a const accessor, so threads may share a const format.
void TKoWaveFormat::CompletePCM() {
    if (known_ == KoWaveFields::Complete ||
        (known_ & KoWaveFields::Primary) != KoWaveFields::Primary)
        return;
    WAVEFORMATEX& record = Record();
    if (record.wFormatTag != koWaveFormatPCM) return;
    record.nBlockAlign = static_cast<uint16_t>(record.nChannels * (record.wBitsPerSample / 8u));
    record.nAvgBytesPerSec = uint32_t{record.nBlockAlign} * record.nSamplesPerSec;
    record.cbSize = 0;
    known_ |= KoWaveFields::Derived;
}

bool TKoWaveFormat::IsComplete() const {
    return known_ == KoWaveFields::Complete;
}

void TKoWaveFormat::RequireComplete() const {
    if (!IsComplete()) throw EKoError();
}

void TKoWaveFormat::MarkComplete() {
    WAVEFORMATEX& record = Record();
    if (record.wFormatTag == koWaveFormatPCM) record.cbSize = 0;
    // A writer that claims more extra bytes than the buffer holds has not made a record.
    if (RecordSizeOf(record) > capacity_) throw EKoError();
    known_ = KoWaveFields::Complete;
}

int32_t TKoWaveFormat::BytesForMilliseconds(int32_t Ms) const {
    if (!IsComplete() || (known_ & KoWaveFields::AvgBytesPerSec) == 0) throw EKoError();
    const int64_t bytes = int64_t{Record().nAvgBytesPerSec} * Ms / 1000;
    if (bytes > std::numeric_limits<int32_t>::max() || bytes < std::numeric_limits<int32_t>::min())
        throw EKoError();
    return static_cast<int32_t>(bytes);
}

bool TKoWaveFormat::SameAs(const TKoWaveFormat& Other) const {
    if (known_ != Other.known_) return false;
    if (known_ == 0) return true;
    const WAVEFORMATEX& a = Record();
    const WAVEFORMATEX& b = Other.Record();
    struct FieldPair {
        uint32_t bit, left, right;
    };
    const FieldPair fields[] = {
        {KoWaveFields::FormatTag, a.wFormatTag, b.wFormatTag},
        {KoWaveFields::Channels, a.nChannels, b.nChannels},
        {KoWaveFields::SamplesPerSec, a.nSamplesPerSec, b.nSamplesPerSec},
        {KoWaveFields::BitsPerSample, a.wBitsPerSample, b.wBitsPerSample},
        {KoWaveFields::AvgBytesPerSec, a.nAvgBytesPerSec, b.nAvgBytesPerSec},
        {KoWaveFields::BlockAlign, a.nBlockAlign, b.nBlockAlign},
        {KoWaveFields::ExtraSize, a.cbSize, b.cbSize},
    };
    for (const FieldPair& f : fields)
        if ((known_ & f.bit) != 0 && f.left != f.right) return false;
    if ((known_ & KoWaveFields::ExtraSize) == 0 || a.cbSize == 0) return true;
    const int32_t end = MinRecordSize + a.cbSize;
    if (end > capacity_ || end > Other.capacity_) throw EKoError();
    return std::memcmp(data_.get() + MinRecordSize, Other.data_.get() + MinRecordSize, a.cbSize) ==
           0;
}

bool TKoWaveFormat::WriteTo(TStream& Stream) const {
    const int32_t size = RecordSize();
    return Stream.Write(data_.get(), size) == size;
}

std::unique_ptr<TKoWaveFormat> TKoWaveFormat::ReadFrom(TStream& Stream, int64_t Size) {
    if (Size < MinReadSize || Size > MaxRecordSize) return nullptr;
    const auto size = static_cast<int32_t>(Size);
    // The buffer starts zeroed, so a record shorter than 18 bytes reads as cbSize 0.
    auto format = std::make_unique<TKoWaveFormat>(size);
    if (Stream.Read(format->data_.get(), size) != size) return nullptr;
    const WAVEFORMATEX& record = format->Record();
    // Extra bytes the record claims must have come from the chunk.
    // A record cut inside cbSize keeps the byte it has, so it must fit the buffer too.
    if (record.wFormatTag != koWaveFormatPCM &&
        RecordSizeOf(record) > std::max<int32_t>(size, MinRecordSize))
        return nullptr;
    format->MarkComplete();
    return format;
}

// ---- TKoWaveFact

void TKoWaveFact::Assign(const TKoPersistent* Source) {
    if (Source == nullptr) {
        SampleCount = 0;
        return;
    }
    if (auto* other = dynamic_cast<const TKoWaveFact*>(Source)) {
        SampleCount = other->SampleCount;
        return;
    }
    TKoPersistent::Assign(Source);
}

void TKoWaveFact::RequireValid() const {
    if (!IsValid()) throw EKoError();
}

bool TKoWaveFact::WriteTo(TStream& Stream) const {
    RequireValid();
    const uint8_t bytes[4] = {
        static_cast<uint8_t>(SampleCount), static_cast<uint8_t>(SampleCount >> 8),
        static_cast<uint8_t>(SampleCount >> 16), static_cast<uint8_t>(SampleCount >> 24)};
    return Stream.Write(bytes, 4) == 4;
}

std::unique_ptr<TKoWaveFact> TKoWaveFact::ReadFrom(TStream& Stream, int64_t Size) {
    if (Size < 4) return nullptr;
    uint8_t bytes[4] = {};
    if (Stream.Read(bytes, 4) != 4) return nullptr;
    return std::make_unique<TKoWaveFact>(uint32_t{bytes[0]} | uint32_t{bytes[1]} << 8 |
                                         uint32_t{bytes[2]} << 16 | uint32_t{bytes[3]} << 24);
}

// ---- TKoWaveFormatList

TKoWaveFormatList::~TKoWaveFormatList() {
    for (auto& item : items_) item.reset();
}

TKoWaveFormat* TKoWaveFormatList::AddCopy(const TKoWaveFormat& Format) {
    auto copy = std::make_unique<TKoWaveFormat>();
    copy->Assign(&Format);
    return Add(std::move(copy));
}

TKoWaveFormat* TKoWaveFormatList::Add(std::unique_ptr<TKoWaveFormat> Format) {
    if (!Format) throw EKoError();
    items_.push_back(std::move(Format));
    return items_.back().get();
}

void TKoWaveFormatList::Delete(std::size_t Index) {
    if (Index >= items_.size()) throw EKoError();
    items_.erase(items_.begin() + static_cast<std::ptrdiff_t>(Index));
}

TKoWaveFormat* TKoWaveFormatList::Items(std::size_t Index) const {
    if (Index >= items_.size()) throw EKoError();
    return items_[Index].get();
}

TKoWaveFormat* TKoWaveFormatList::Last() const {
    return items_.empty() ? nullptr : items_.back().get();
}

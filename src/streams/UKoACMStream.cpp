// SPDX-License-Identifier: GPL-3.0-or-later
#include "UKoACMStream.h"

#include <cstring>
#include <limits>

// ---- TKoACMStreamHeader

TKoACMStreamHeader::TKoACMStreamHeader() {
    std::memset(&header_, 0, sizeof header_);
    header_.cbStruct = sizeof header_;
}

TKoACMStreamHeader::~TKoACMStreamHeader() {
    if (!IsPrepared() || !preparedOn_) return;
    RestoreLengths();
    acmStreamUnprepareHeader(preparedOn_, &header_, 0);
}

void TKoACMStreamHeader::RequirePrepared() const {
    if (!IsPrepared()) throw EKoError();
}

void TKoACMStreamHeader::RequireUnprepared() const {
    if (IsPrepared()) throw EKoError();
}

void TKoACMStreamHeader::SetSource(const TKoArea& Area) {
    RequireNotEmpty(Area);
    RequireUnprepared();
    header_.pbSrc = AreaData(Area);
    header_.cbSrcLength = static_cast<uint32_t>(Area.Size);
}

void TKoACMStreamHeader::SetDestination(const TKoArea& Area) {
    RequireNotEmpty(Area);
    RequireUnprepared();
    header_.pbDst = AreaData(Area);
    header_.cbDstLength = static_cast<uint32_t>(Area.Size);
}

void TKoACMStreamHeader::SetSourceLength(int32_t N) {
    // A negative length would reach the codec as a huge unsigned one.
    if (N < 0) throw EKoError();
    if (IsPrepared() && N > preparedSourceLength_) throw EKoError();
    header_.cbSrcLength = static_cast<uint32_t>(N);
}

int32_t TKoACMStreamHeader::SourceLengthUsed() const {
    RequirePrepared();
    return static_cast<int32_t>(header_.cbSrcLengthUsed);
}

int32_t TKoACMStreamHeader::DestinationLengthUsed() const {
    RequirePrepared();
    return static_cast<int32_t>(header_.cbDstLengthUsed);
}

void TKoACMStreamHeader::SaveLengths() {
    RequirePrepared();
    preparedSourceLength_ = static_cast<int32_t>(header_.cbSrcLength);
    preparedDestinationLength_ = static_cast<int32_t>(header_.cbDstLength);
}

void TKoACMStreamHeader::RestoreLengths() {
    RequirePrepared();
    header_.cbSrcLength = static_cast<uint32_t>(preparedSourceLength_);
    header_.cbDstLength = static_cast<uint32_t>(preparedDestinationLength_);
}

// ---- Buffers

TKoArea TKoACMStreamBuffer::GetFree() const {
    const TKoArea block = GetMemory();
    if (!AreaNotEmpty(data_)) return block;
    const uintptr_t end = AreaEnd(data_);
    if (end > AreaEnd(block)) throw EKoError();
    return AreaFromTo(end, AreaEnd(block));
}

void TKoACMStreamBuffer::SetData(const TKoArea& Area) {
    if (AreaNotEmpty(Area)) {
        const TKoArea block = GetMemory();
        if (block.Start == 0 || !AreaContains(block, Area)) throw EKoError();
    }
    data_ = Area;
}

void TKoACMStreamSourceBuffer::Append(int32_t N) {
    if (N <= 0) throw EKoError();
    const int64_t size = int64_t{data_.Size} + N;
    if (size > memory_.Size()) throw EKoError();
    SetData(MakeArea(memory_.Start(), static_cast<int32_t>(size)));
}

void TKoACMStreamSourceBuffer::Consume(int32_t N) {
    if (N <= 0 || N > data_.Size) throw EKoError();
    const int32_t rest = data_.Size - N;
    HKoMemory::Move(AreaData(data_) + N, AreaData(data_), rest);
    data_.Size = rest;
    if (rest == 0) data_ = EmptyArea();
}

void TKoACMStreamDestinationBuffer::Append(int32_t N) {
    if (N <= 0 || AreaNotEmpty(data_)) return;
    if (N > memory_.Size()) throw EKoError();
    SetData(MakeArea(memory_.Start(), N));
}

void TKoACMStreamDestinationBuffer::Consume(int32_t N) {
    if (N < 1 || N > data_.Size) return;
    AreaConsume(data_, N);
    if (data_.Size == 0) data_ = EmptyArea();
}

// ---- TKoACMStream

TKoACMStream::~TKoACMStream() {
    if (!closed_) Close();
}

HACMSTREAM TKoACMStream::OpenHandle(const TKoWaveFormat& Source, const TKoWaveFormat& Destination,
                                    bool NonRealtime) {
    HACMSTREAM handle = nullptr;
    const MMRESULT r = acmStreamOpen(&handle, nullptr, Source.Data(), Destination.Data(), nullptr,
                                     0, 0, NonRealtime ? ACM_STREAMOPENF_NONREALTIME : 0);
    return r == MMSYSERR_NOERROR ? handle : nullptr;
}

bool TKoACMStream::CanConvert(const TKoWaveFormat& Source, const TKoWaveFormat& Destination,
                              bool NonRealtime) {
    const uint32_t flags = ACM_STREAMOPENF_QUERY | (NonRealtime ? ACM_STREAMOPENF_NONREALTIME : 0u);
    return acmStreamOpen(nullptr, nullptr, Source.Data(), Destination.Data(), nullptr, 0, 0,
                         flags) == MMSYSERR_NOERROR;
}

void TKoACMStream::RequireOpen() const {
    if (closed_) throw EKoError();
}

bool TKoACMStream::Prepare(TKoACMStreamHeader& Header) {
    RequireOpen();
    if (Header.IsPrepared()) return false;
    if (acmStreamPrepareHeader(handle_, Header.HeaderAddress(), 0) != MMSYSERR_NOERROR)
        return false;
    Header.SaveLengths();
    Header.preparedOn_ = handle_;
    return true;
}

bool TKoACMStream::Unprepare(TKoACMStreamHeader& Header) {
    if (!Header.IsPrepared()) return false;
    Header.RestoreLengths();
    if (acmStreamUnprepareHeader(handle_, Header.HeaderAddress(), 0) != MMSYSERR_NOERROR)
        return false;
    Header.preparedOn_ = nullptr;
    return true;
}

bool TKoACMStream::Convert(TKoACMStreamHeader& Header, bool End) {
    RequireOpen();
    Header.RequirePrepared();
    ACMSTREAMHEADER* h = Header.HeaderAddress();
    if (End) return acmStreamConvert(handle_, h, ACM_STREAMCONVERTF_END) == MMSYSERR_NOERROR;
    if (h->cbSrcLength == 0) throw EKoError();
    MMRESULT r = acmStreamConvert(handle_, h, ACM_STREAMCONVERTF_BLOCKALIGN);
    // Less than one whole block: take the partial one, which the codec keeps until more
    // arrives. A codec may also hand out output held from before without taking input;
    // that is progress too and needs no second call.
    if (r == MMSYSERR_NOERROR && h->cbSrcLengthUsed == 0 && h->cbDstLengthUsed == 0)
        r = acmStreamConvert(handle_, h, 0);
    return r == MMSYSERR_NOERROR;
}

int32_t TKoACMStream::StreamSize(int32_t N, uint32_t Flags) const {
    RequireOpen();
    if (N < 0) throw EKoError();
    uint32_t result = 0;
    if (acmStreamSize(handle_, static_cast<uint32_t>(N), &result, Flags) != MMSYSERR_NOERROR)
        throw EKoError();
    if (result > static_cast<uint32_t>(std::numeric_limits<int32_t>::max())) throw EKoError();
    return static_cast<int32_t>(result);
}

int32_t TKoACMStream::DestinationSizeFor(int32_t N) const {
    return StreamSize(N, ACM_STREAMSIZEF_SOURCE);
}

int32_t TKoACMStream::SourceSizeFor(int32_t N) const {
    return StreamSize(N, ACM_STREAMSIZEF_DESTINATION);
}

TKoACMStream::Sizes TKoACMStream::BufferSizes(const TKoWaveFormat& Source,
                                              const TKoWaveFormat& Destination) const {
    const int32_t sourceBlocks = 2 * static_cast<int32_t>(Source.BlockAlign());
    const int32_t destinationBlocks = 2 * static_cast<int32_t>(Destination.BlockAlign());
    int32_t s = BufferCeiling;
    int32_t d = DestinationSizeFor(s);
    if (d > BufferCeiling) {
        d = BufferCeiling;
        s = SourceSizeFor(d);
        // Where the ceiling leaves the codec crumbs (an MP3 frame decodes into more than half
        // of it; the MP3 encoder's size answer reserves 14 KB for its flush), feeding it a few
        // bytes per call costs far more than a larger destination block.
        if (s < SourceFloor) {
            const int32_t grown = DestinationSizeFor(SourceFloor);
            if (grown <= DestinationLimit) {
                s = SourceFloor;
                d = grown;
            }
        }
    }
    if (s < sourceBlocks) {
        s = sourceBlocks;
        d = DestinationSizeFor(s);
    }
    if (d < destinationBlocks) {
        d = destinationBlocks;
        s = SourceSizeFor(d);
        if (s < sourceBlocks) s = sourceBlocks;
    }
    return {s, d};
}

int32_t TKoACMStream::SourceBufferSize(const TKoWaveFormat& Source,
                                       const TKoWaveFormat& Destination) const {
    return BufferSizes(Source, Destination).source;
}

int32_t TKoACMStream::DestinationBufferSize(const TKoWaveFormat& Source,
                                            const TKoWaveFormat& Destination) const {
    return BufferSizes(Source, Destination).destination;
}

bool TKoACMStream::Close() {
    if (closed_) return closeResult_;
    closed_ = true;
    closeResult_ = acmStreamClose(handle_, 0) == MMSYSERR_NOERROR;
    return closeResult_;
}

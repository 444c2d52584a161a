// SPDX-License-Identifier: GPL-3.0-or-later
#include "UKoACMConversionStream.h"

#include <algorithm>
#include <exception>

#include "UKoACMFormat.h"

namespace {

// A codec that keeps answering END with output forever is broken; this bounds the drain
// far above what any codec holds (a few MP3 frames, a resampler's filter length).
constexpr int kMaxDrainSteps = 1 << 16;

const TKoWaveStreamFormat* WaveStreamFormatOf(TKoStream& Stream) {
    return dynamic_cast<const TKoWaveStreamFormat*>(Stream.GetFormat());
}

}  // namespace

// ---- TKoACMConversionParts

bool TKoACMConversionParts::Free() {
    bool ok = true;
    if (ACMStream && Header && Header->IsPrepared()) ok = ACMStream->Unprepare(*Header);
    SourceBuffer.reset();
    DestinationBuffer.reset();
    Header.reset();
    if (ACMStream && !ACMStream->Close()) ok = false;
    ACMStream.reset();
    return ok;
}

TKoACMConversionParts::~TKoACMConversionParts() {
    try {
        Free();
    } catch (...) {
        // Nothing is left to tell; the converter's Close reports.
    }
}

// ---- Creation

std::unique_ptr<TKoACMConversionParts> TKoACMConversionStream::BuildParts(
    std::unique_ptr<TKoACMConversionParts> Parts, const TKoWaveFormat& Source,
    const TKoWaveFormat& Destination, bool NonRealtime) {
    Parts->ACMStream = TKoACMStream::Open(Source, Destination, NonRealtime);
    if (!Parts->ACMStream) return nullptr;
    const TKoACMStream& acm = *Parts->ACMStream;
    Parts->SourceBuffer =
        TKoACMStreamSourceBuffer::CreateSized(acm.SourceBufferSize(Source, Destination));
    Parts->DestinationBuffer =
        TKoACMStreamDestinationBuffer::CreateSized(acm.DestinationBufferSize(Source, Destination));
    Parts->Header = std::make_unique<TKoACMStreamHeader>();
    Parts->Header->SetSource(Parts->SourceBuffer->GetMemory());
    Parts->Header->SetDestination(Parts->DestinationBuffer->GetMemory());
    if (!Parts->ACMStream->Prepare(*Parts->Header)) return nullptr;
    return Parts;
}

std::unique_ptr<TKoACMConversionParts> TKoACMConversionStream::ReadParts(
    TKoStream& Source, const TKoWaveFormat& Target, bool NonRealtime) {
    const TKoWaveStreamFormat* sourceFormat = WaveStreamFormatOf(Source);
    if (!sourceFormat) return nullptr;
    auto parts = std::make_unique<TKoACMConversionParts>(false);
    const TKoWaveFormat& s = sourceFormat->Format();
    // A complete target is what the caller wants, down to the fields a suggestion does not
    // constrain (an MP3 bit rate, a block size); only a template needs the codec's choice.
    std::unique_ptr<TKoWaveFormat> suggested;
    if (!Target.IsComplete()) {
        suggested = HKoACMFormat::SuggestFormat(s, Target);
        if (!suggested) return nullptr;
    }
    parts->Stream = &Source;
    parts->Format->Assign(suggested ? suggested.get() : &Target);
    const TKoWaveFormat& own = *parts->Format;
    return BuildParts(std::move(parts), s, own, NonRealtime);
}

std::unique_ptr<TKoACMConversionParts> TKoACMConversionStream::WriteParts(
    const TKoWaveFormat& Input, TKoStream& Destination, bool NonRealtime) {
    const TKoWaveStreamFormat* destinationFormat = WaveStreamFormatOf(Destination);
    if (!destinationFormat) return nullptr;
    Input.RequireComplete();
    auto parts = std::make_unique<TKoACMConversionParts>(true);
    parts->Stream = &Destination;
    parts->Format->Assign(&Input);
    const TKoWaveFormat& own = *parts->Format;
    return BuildParts(std::move(parts), own, destinationFormat->Format(), NonRealtime);
}

TKoACMConversionStream::TKoACMConversionStream(std::unique_ptr<TKoACMConversionParts> Parts)
    : parts_(std::move(Parts)) {
    if (!parts_ || !parts_->Stream || !parts_->Header || !parts_->Header->IsPrepared())
        throw EKoError();
    streamFormat_ = TKoWaveStreamFormat::CreateForFormat(parts_->Format.get());
}

TKoACMConversionStream::~TKoACMConversionStream() {
    if (closed_) return;
    try {
        Close();
    } catch (...) {
        // Whoever needed the result called Close.
    }
}

// ---- Conversion steps

TKoACMConversionStream::Step TKoACMConversionStream::ConvertOnce(bool End) {
    TKoACMConversionParts& p = *parts_;
    // The codec writes from the start of the destination block: what is still there would
    // be overwritten.
    if (AreaNotEmpty(p.DestinationBuffer->GetData())) throw EKoError();
    p.Header->SetSourceLength(p.SourceBuffer->GetData().Size);
    if (!p.ACMStream->Convert(*p.Header, End)) return Step::Failed;
    const int32_t used = p.Header->SourceLengthUsed();
    const int32_t produced = p.Header->DestinationLengthUsed();
    if (used < 0 || used > p.SourceBuffer->GetData().Size || produced < 0 ||
        produced > p.DestinationBuffer->GetMemory().Size)
        throw EKoError();
    if (used == 0 && produced == 0) {
        // Without END the codec always takes something (a partial block at least).
        if (!End) throw EKoError();
        return Step::Nothing;
    }
    if (used > 0) p.SourceBuffer->Consume(used);
    p.DestinationBuffer->Append(produced);
    return Step::Progress;
}

bool TKoACMConversionStream::Refill() {
    TKoACMConversionParts& p = *parts_;
    // Conversions that only take input (a partial block the codec keeps) give nothing to
    // deliver yet: go on reading until output comes or everything has been given out.
    while (!AreaNotEmpty(p.DestinationBuffer->GetData())) {
        if (!sourceEnded_) {
            const TKoArea free = p.SourceBuffer->GetFree();
            if (AreaNotEmpty(free)) {
                const int32_t r = p.Stream->Read(free);
                if (r < 0) return false;
                if (r == 0)
                    sourceEnded_ = true;
                else
                    p.SourceBuffer->Append(r);
            }
        }
        if (!sourceEnded_) {
            if (ConvertOnce(false) == Step::Failed) return false;
            continue;
        }
        if (drained_) return true;
        const Step step = ConvertOnce(true);
        if (step == Step::Failed) return false;
        if (step == Step::Nothing) {
            if (AreaNotEmpty(p.SourceBuffer->GetData())) throw EKoError();
            drained_ = true;
        }
    }
    return true;
}

bool TKoACMConversionStream::WriteOut() {
    TKoACMConversionParts& p = *parts_;
    const TKoArea data = p.DestinationBuffer->GetData();
    if (!AreaNotEmpty(data)) return true;
    // A short write leaves the bytes where they are.
    if (p.Stream->Write(data) != data.Size) return false;
    p.DestinationBuffer->Consume(data.Size);
    return true;
}

bool TKoACMConversionStream::Flush() {
    if (!WriteOut()) return false;
    if (ConvertOnce(false) == Step::Failed) return false;
    return WriteOut();
}

bool TKoACMConversionStream::Drain() {
    if (!WriteOut()) return false;
    for (int i = 0; i < kMaxDrainSteps; ++i) {
        const Step step = ConvertOnce(true);
        if (step == Step::Failed) return false;
        if (step == Step::Nothing) return !AreaNotEmpty(parts_->SourceBuffer->GetData());
        if (!WriteOut()) return false;
    }
    return false;
}

// ---- Transfers

// A step that raised has left the buffers in no known state: the stream stays failed.
bool TKoACMConversionStream::FlushOrFail() {
    try {
        return Flush();
    } catch (...) {
        failed_ = true;
        throw;
    }
}

bool TKoACMConversionStream::RefillOrFail() {
    try {
        return Refill();
    } catch (...) {
        failed_ = true;
        throw;
    }
}

int32_t TKoACMConversionStream::Read(const TKoArea& Area) {
    if (parts_->IsWriter || Area.Start == 0 || Area.Size < 0) throw EKoError();
    if (closed_ || failed_) return -1;
    TKoACMStreamDestinationBuffer& out = *parts_->DestinationBuffer;
    int32_t total = 0;
    while (total < Area.Size) {
        if (!AreaNotEmpty(out.GetData()) && !RefillOrFail()) {
            failed_ = true;
            return -1;
        }
        const TKoArea data = out.GetData();
        if (!AreaNotEmpty(data)) break;
        const int32_t n = std::min(data.Size, Area.Size - total);
        HKoMemory::Copy(AreaData(data), AreaData(Area) + total, n);
        out.Consume(n);
        total += n;
    }
    return total;
}

int32_t TKoACMConversionStream::Write(const TKoArea& Area) {
    if (!parts_->IsWriter || Area.Start == 0 || Area.Size < 0) throw EKoError();
    if (closed_ || failed_) return -1;
    TKoACMStreamSourceBuffer& in = *parts_->SourceBuffer;
    int32_t total = 0;
    while (total < Area.Size) {
        TKoArea free = in.GetFree();
        if (!AreaNotEmpty(free)) {
            if (!FlushOrFail()) {
                // What was converted cannot reach the file any more: the stream is broken.
                failed_ = true;
                return -1;
            }
            continue;
        }
        const int32_t n = std::min(free.Size, Area.Size - total);
        HKoMemory::Copy(AreaData(Area) + total, AreaData(free), n);
        in.Append(n);
        total += n;
    }
    return total;
}

bool TKoACMConversionStream::Close() {
    if (closed_) return closeResult_;
    closed_ = true;
    closeResult_ = false;  // stays so if a step below raises
    bool ok = !failed_;
    std::exception_ptr error;
    if (ok && parts_->IsWriter) {
        try {
            ok = Drain();
        } catch (...) {
            ok = false;
            error = std::current_exception();
        }
    }
    // The codec stream is released whatever happened before.
    if (!parts_->Free()) ok = false;
    closeResult_ = ok;
    if (error) std::rethrow_exception(error);
    return ok;
}

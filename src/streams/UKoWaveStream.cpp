// SPDX-License-Identifier: GPL-3.0-or-later
#include "UKoWaveStream.h"

#include <cstring>
#include <typeinfo>
#include <vector>

namespace {

// What brings audio data of odd length to an even one, so that the `data` chunk needs no pad
// byte. Players exist that, when a pad byte ends the file, look for one more chunk header in
// it and play nothing at all. Sample formats of 1- or 3-byte frames get one more frame of
// silence; codecs whose data are blocks get one zero byte, a partial block that decoders
// skip. The `fact` chunk keeps the true count either way.
std::vector<uint8_t> EvenFiller(const TKoWaveFormat& Format) {
    const uint32_t align = Format.BlockAlign();
    uint8_t silence = 0;
    switch (Format.FormatTag()) {
        case WAVE_FORMAT_PCM:
        case WAVE_FORMAT_EXTENSIBLE:
            // 8-bit samples are unsigned, centred on 0x80; wider ones are signed.
            silence = Format.BitsPerSample() <= 8 ? 0x80 : 0x00;
            break;
        case WAVE_FORMAT_IEEE_FLOAT:
            break;
        case WAVE_FORMAT_ALAW:
            silence = 0xD5;  // what the A-law encoder makes of sample 0
            break;
        case WAVE_FORMAT_MULAW:
            silence = 0xFF;  // and the u-law encoder
            break;
        default:
            return {0};
    }
    // An even frame size with odd data means a partial frame: one byte evens it as well.
    if (align % 2 == 0) return {0};
    return std::vector<uint8_t>(align, silence);
}

// Metadata is read whole into memory; a chunk larger than this (or more in all) is not
// metadata a recording carries but a file that is not what it claims.
constexpr uint32_t kMaxMetadataChunk = 16u << 20;
constexpr std::size_t kMaxMetadata = 64u << 20;

// The carried metadata chunks of the RIFF form, in file order, each with its place relative
// to `fmt ` and `data`. A chunk that runs past the form or the file ends the walk: the audio
// may still be readable. The file position is put back where it was.
std::shared_ptr<const TWaveMetadata> ScanMetadata(TKoMMIO& MMIO, const MMCKINFO& Riff) {
    const int64_t start = MMIO.Seek(SeekFromCurrent(0));
    const int64_t end = int64_t{Riff.dwDataOffset} + Riff.cksize;
    auto metadata = std::make_shared<TWaveMetadata>();
    std::size_t total = 0;
    bool seenFormat = false, seenData = false;
    try {
        for (int64_t at = start; at + 8 <= end;) {
            uint8_t header[8];
            if (MMIO.Seek(SeekFromBeginning(at)) != at || MMIO.Read(MakeArea(header, 8)) != 8)
                break;
            FOURCC id = 0;
            uint32_t size = 0;
            std::memcpy(&id, header, 4);
            std::memcpy(&size, header + 4, 4);
            if (id == TKoMMIO::StringToFourCC("fmt ")) seenFormat = true;
            if (id == TKoMMIO::StringToFourCC("data")) seenData = true;
            if (at + 8 + int64_t{size} > end) break;
            if (size <= kMaxMetadataChunk && total + size <= kMaxMetadata &&
                (id == FOURCC_LIST || TWaveMetadata::IsCarried(id, nullptr, 0))) {
                std::vector<uint8_t> body(size);
                const auto count = static_cast<int32_t>(size);
                if (MMIO.Read(MakeArea(body.data(), count)) != count) break;
                if (TWaveMetadata::IsCarried(id, body.data(), body.size())) {
                    const auto place = !seenFormat ? TWaveChunkPlace::BeforeFormat
                                       : !seenData ? TWaveChunkPlace::BeforeData
                                                   : TWaveChunkPlace::AfterData;
                    total += size;
                    metadata->Chunks.push_back({id, place, std::move(body)});
                }
            }
            at += 8 + int64_t{size} + (size & 1);
        }
    } catch (const EKoError&) {
        // What was found so far stands; the search for the audio starts over below.
    }
    MMIO.Seek(SeekFromBeginning(start));
    if (metadata->Empty()) return nullptr;
    return metadata;
}

// Writes each chunk of Metadata that stands at Place; false when one could not be written.
bool WriteMetadata(TKoMMIOStream& Stream, const TKoRiffChunk& Riff, const TWaveMetadata* Metadata,
                   TWaveChunkPlace Place) {
    if (!Metadata) return true;
    TKoMMIO& mmio = Stream.MMIO();
    for (const TWaveChunk& chunk : Metadata->Chunks) {
        if (chunk.Place != Place) continue;
        std::unique_ptr<TKoRiffChunk> created;
        std::size_t skip = 0;
        if (chunk.Id == FOURCC_LIST) {
            // The RIFF layer writes a LIST chunk's form type itself.
            FOURCC type = 0;
            std::memcpy(&type, chunk.Body.data(), 4);
            created = std::make_unique<TKoRiffChunk>(FOURCC_LIST, type);
            if (mmioCreateChunk(mmio.Handle(), created->Info(), MMIO_CREATELIST) != 0) return false;
            skip = 4;
        } else {
            created = mmio.CreateChunk(Riff, chunk.Id);
            if (!created) return false;
        }
        const auto size = static_cast<int32_t>(chunk.Body.size() - skip);
        const bool written =
            size == 0 || mmio.Write(MakeArea(chunk.Body.data() + skip, size)) == size;
        // Ascend pads an odd body with one zero byte.
        if (!mmio.Ascend(std::move(created)) || !written) return false;
    }
    return true;
}

}  // namespace

// ---- TKoWaveStreamFormat

TKoWaveStreamFormat::TKoWaveStreamFormat()
    : format_(TKoWaveFormat::CreateDefault()), fact_(std::make_unique<TKoWaveFact>()) {}

void TKoWaveStreamFormat::Assign(const TKoPersistent* Source) {
    if (auto* other = dynamic_cast<const TKoWaveStreamFormat*>(Source)) {
        format_->Assign(&other->Format());
        fact_->Assign(&other->Fact());
        metadata_ = other->metadata_;
        return;
    }
    if (auto* format = dynamic_cast<const TKoWaveFormat*>(Source)) {
        format->RequireComplete();
        format_->Assign(format);
        fact_->Assign(nullptr);
        metadata_.reset();
        return;
    }
    TKoPersistent::Assign(Source);
}

void TKoWaveStreamFormat::AssignTo(TKoPersistent& Dest) const {
    const TKoWaveFormat& format = *format_;
    if (typeid(Dest) == typeid(format)) {
        Dest.Assign(format_.get());
        return;
    }
    TKoPersistent::AssignTo(Dest);
}

void TKoWaveStreamFormat::AssignFormat(const TKoWaveFormat* Format) {
    if (!Format) throw EKoError();
    Format->RequireComplete();
    format_->Assign(Format);
}

void TKoWaveStreamFormat::AssignFact(const TKoWaveFact* Fact) {
    fact_->Assign(Fact);
}

// ---- TKoMMIOWaveStream: construction and transfers

TKoMMIOWaveStream::TKoMMIOWaveStream(std::unique_ptr<TKoMMIOStream> MMIOStream,
                                     const TKoWaveStreamFormat& Format,
                                     std::unique_ptr<TKoRiffChunk> DataChunk,
                                     std::unique_ptr<TKoRiffChunk> RiffChunk)
    : mmioStream_(std::move(MMIOStream)),
      riffChunk_(std::move(RiffChunk)),
      dataChunk_(std::move(DataChunk)),
      streamFormat_(KoClone(Format)) {
    if (!mmioStream_ || !riffChunk_ || !dataChunk_) throw EKoError();
    dataStream_ = mmioStream_->CreateChunkStream(*dataChunk_);
    dataInfo_ = dataChunk_->Record();
}

TKoMMIOWaveStream::~TKoMMIOWaveStream() {
    if (closed_) return;
    try {
        Close();
    } catch (...) {
        // Nobody is left to tell; writers that care have called Close themselves.
    }
}

int64_t TKoMMIOWaveStream::GetPosition() {
    return dataStream_ ? dataStream_->GetPosition() : -1;
}

int32_t TKoMMIOWaveStream::Read(const TKoArea& Area) {
    return dataStream_ ? dataStream_->Read(Area) : -1;
}

int32_t TKoMMIOWaveStream::Write(const TKoArea& Area) {
    return dataStream_ ? dataStream_->Write(Area) : -1;
}

bool TKoMMIOWaveStream::Seek(const TKoSeekRequest& Request) {
    return dataStream_ && dataStream_->Seek(Request);
}

bool TKoMMIOWaveStream::Close() {
    if (closed_) return closeResult_;
    closed_ = true;
    bool ok = true;
    // Each step runs whatever happened before it, so the file is closed in every case.
    auto step = [&ok](auto&& action) {
        try {
            if (!action()) ok = false;
        } catch (...) {
            ok = false;
        }
    };
    TKoMMIO& mmio = mmioStream_->MMIO();
    const bool written = (dataChunk_->Record().dwFlags & MMIO_DIRTY) != 0;
    if (written) {
        // The chunk ends at the furthest byte written, even if the last write went elsewhere.
        const int64_t size = dataStream_->Window().Size;
        const int64_t end = int64_t(dataChunk_->Record().dwDataOffset) + size;
        step([&] { return mmio.Seek(SeekFromBeginning(end)) == end; });
        if (size % 2 != 0) {
            std::vector<uint8_t> filler = EvenFiller(streamFormat_->Format());
            const auto count = static_cast<int32_t>(filler.size());
            step([&] { return mmio.Write(MakeArea(filler.data(), count)) == count; });
        }
    }
    dataStream_.reset();
    step([&] { return mmio.Ascend(std::move(dataChunk_)); });
    if (written)
        step([&] {
            return WriteMetadata(*mmioStream_, *riffChunk_, streamFormat_->Metadata().get(),
                                 TWaveChunkPlace::AfterData);
        });
    step([&] { return mmio.Ascend(std::move(riffChunk_)); });
    step([&] { return mmioStream_->Close(); });
    mmioStream_.reset();
    closeResult_ = ok;
    return ok;
}

// ---- Reading

std::unique_ptr<TKoMMIOWaveStream::Parts> TKoMMIOWaveStream::ParseRead(
    std::unique_ptr<TKoMMIOStream> MMIOStream) {
    if (!MMIOStream) return nullptr;
    TKoMMIO& mmio = MMIOStream->MMIO();
    auto parts = std::make_unique<Parts>();
    parts->riff = mmio.DescendRiff(FourCC("WAVE"));
    if (!parts->riff) return nullptr;
    const TKoRiffChunk& riff = *parts->riff;
    auto fail = [&]() -> std::unique_ptr<Parts> {
        mmio.Ascend(std::move(parts->riff));
        return nullptr;
    };
    auto metadata = ScanMetadata(mmio, riff.Record());

    auto fmtChunk = mmio.Descend(riff, FourCC("fmt "));
    if (!fmtChunk) return fail();
    std::unique_ptr<TKoWaveFormat> format;
    try {
        format = TKoWaveFormat::ReadFrom(MMIOStream->AsStream(), fmtChunk->Record().cksize);
    } catch (const EKoError&) {
        // A record that contradicts itself (extra bytes it cannot hold) is no format either.
    }
    // A chunk that cannot be left lies about its size: the file cannot be read on from there.
    if (!mmio.Ascend(std::move(fmtChunk)) || !format) return fail();

    // `fact` may come before or after `data`: both searches start behind `fmt `.
    const int64_t afterFormat = mmio.Seek(SeekFromCurrent(0));
    std::unique_ptr<TKoWaveFact> fact;
    if (auto factChunk = mmio.Descend(riff, FourCC("fact"))) {
        fact = TKoWaveFact::ReadFrom(MMIOStream->AsStream(), factChunk->Record().cksize);
        if (!mmio.Ascend(std::move(factChunk))) return fail();
    }
    if (mmio.Seek(SeekFromBeginning(afterFormat)) != afterFormat) return fail();

    parts->data = mmio.Descend(riff, FourCC("data"));
    if (!parts->data) return fail();

    if (!fact && format->FormatTag() == koWaveFormatPCM) {
        // Without a fact chunk, PCM says its length through the block size; a record whose
        // block size is 0 gives no count rather than a division by zero.
        const uint32_t frame = format->Channels() * (format->BitsPerSample() / 8);
        fact = std::make_unique<TKoWaveFact>(frame ? parts->data->Record().cksize / frame : 0);
    }
    parts->format = TKoWaveStreamFormat::CreateForFormatAndFact(format.get(), fact.get());
    parts->format->SetMetadata(std::move(metadata));
    parts->mmio = std::move(MMIOStream);
    return parts;
}

std::unique_ptr<TKoWaveStreamFormat> TKoMMIOWaveStream::ReadFileFormat(
    const std::string& FileName) {
    auto stream = OpenReadFile(FileName);
    if (!stream) return nullptr;
    auto result = std::make_unique<TKoWaveStreamFormat>();
    result->Assign(stream->GetFormat());
    return result;
}

// ---- Writing

std::unique_ptr<TKoMMIOWaveStream::Parts> TKoMMIOWaveStream::WriteHeader(
    std::unique_ptr<TKoMMIOStream> MMIOStream, const TKoWaveStreamFormat& Format) {
    if (!MMIOStream) return nullptr;
    auto work = KoClone(Format);
    TKoMMIO& mmio = MMIOStream->MMIO();
    auto parts = std::make_unique<Parts>();
    parts->riff = mmio.CreateRiff(FourCC("WAVE"));

    auto writeChunk = [&](const char* id, auto&& write) {
        auto chunk = mmio.CreateChunk(*parts->riff, FourCC(id));
        if (!chunk) return false;
        const bool written = write(MMIOStream->AsStream());
        return mmio.Ascend(std::move(chunk)) && written;
    };
    const TWaveMetadata* metadata = work->Metadata().get();
    bool ok = WriteMetadata(*MMIOStream, *parts->riff, metadata, TWaveChunkPlace::BeforeFormat);
    ok = ok && writeChunk("fmt ", [&](TStream& s) { return work->Format().WriteTo(s); });
    // A zero count means "not given": no fact chunk, whatever the format tag.
    if (ok && work->Fact().IsValid())
        ok = writeChunk("fact", [&](TStream& s) { return work->Fact().WriteTo(s); });
    ok = ok && WriteMetadata(*MMIOStream, *parts->riff, metadata, TWaveChunkPlace::BeforeData);
    if (ok) {
        parts->data = mmio.CreateChunk(*parts->riff, FourCC("data"));
        ok = parts->data != nullptr;
    }
    if (!ok) {
        mmio.Ascend(std::move(parts->riff));
        return nullptr;
    }
    parts->format = std::move(work);
    parts->mmio = std::move(MMIOStream);
    return parts;
}

// SPDX-License-Identifier: GPL-3.0-or-later
#include "UKoWaveStreamFactory.h"

#include <limits>

#include "UKoACMConversionStream.h"
#include "UKoACMFormat.h"
#include "UKoThreadStream.h"
#include "barestream.h"
#include "splitencoder.h"

namespace {

// The sample count of the same audio at another rate: a file written at the target rate
// must not claim the source's count of samples.
TKoWaveFact FactAtRate(const TKoWaveFact& Fact, const TKoWaveFormat& From,
                       const TKoWaveFormat& To) {
    const uint64_t from = From.SamplesPerSec();
    const uint64_t to = To.SamplesPerSec();
    if (!Fact.IsValid() || from == to || from == 0) return TKoWaveFact(Fact.SampleCount);
    const uint64_t count = (uint64_t{Fact.SampleCount} * to + from / 2) / from;
    return TKoWaveFact(count > std::numeric_limits<uint32_t>::max()
                           ? std::numeric_limits<uint32_t>::max()
                           : static_cast<uint32_t>(count));
}

}  // namespace

// ---- TKoStreamFactory

TKoStreamFactory::TKoStreamFactory(std::string FileName)
    : currentFormat_(TKoWaveFormat::CreateDefault()), fileName_(std::move(FileName)) {}

TKoStreamFactory::TKoStreamFactory(TKoStream& SourceStream)
    : currentFormat_(TKoWaveFormat::CreateDefault()), sourceStream_(&SourceStream) {}

TKoStreamFactory::~TKoStreamFactory() {
    Clear();
}

void TKoStreamFactory::Push(std::unique_ptr<TKoStream> S) {
    if (!S) throw EKoError();
    auto* format = dynamic_cast<const TKoWaveStreamFormat*>(S->GetFormat());
    if (!format) throw EKoError();
    currentFormat_->Assign(&format->Format());
    top_ = S.get();
    topFormat_ = format;
    streams_.push_back(std::move(S));
}

void TKoStreamFactory::Clear() {
    // Outer end first: a stage may still hand what it holds to the one below it.
    while (!streams_.empty()) streams_.pop_back();
    top_ = nullptr;
    topFormat_ = nullptr;
}

void TKoStreamFactory::AddThreadStream(int32_t Ms) {
    if (Count() == 0) return;
    const int32_t bytes = currentFormat_->BytesForMilliseconds(Ms);
    if (auto thread = CreateThreadStream(*top_, bytes)) Push(std::move(thread));
}

std::unique_ptr<TKoStream> TKoStreamFactory::GetResult() {
    if (streams_.empty()) return nullptr;
    top_ = nullptr;
    topFormat_ = nullptr;
    if (streams_.size() == 1) {
        auto only = std::move(streams_.front());
        streams_.clear();
        return only;
    }
    auto chain = std::make_unique<TKoCombinedStream>(std::move(streams_));
    streams_.clear();
    return chain;
}

std::unique_ptr<TKoStream> TKoStreamFactory::OpenBaseForRead() {
    if (sourceStream_) {
        if (HKoStream::HasFormat(*sourceStream_))
            return std::make_unique<TKoProxyStream>(*sourceStream_);
        return TKoMMIOWaveStream::OpenReadStream(*sourceStream_);
    }
    return TKoMMIOWaveStream::OpenReadFile(fileName_);
}

std::unique_ptr<TKoStream> TKoStreamFactory::CreateBaseForWrite(const TKoWaveStreamFormat& Format,
                                                                bool Bare, bool* MadeBare) {
    if (MadeBare) *MadeBare = false;
    if (sourceStream_ && HKoStream::HasFormat(*sourceStream_))
        return std::make_unique<TKoProxyStream>(*sourceStream_);
    if (Bare) {
        auto bare = sourceStream_ ? TKoBareStream::Create(*sourceStream_, Format)
                                  : TKoBareStream::CreateFile(fileName_, Format);
        if (MadeBare) *MadeBare = bare != nullptr;
        return bare;
    }
    if (sourceStream_) return TKoMMIOWaveStream::CreateWriteStream(*sourceStream_, Format);
    return TKoMMIOWaveStream::CreateWriteFile(fileName_, Format);
}

std::unique_ptr<TKoStream> TKoReadStreamFactory::CreateThreadStream(TKoStream& Stream,
                                                                    int32_t Bytes) {
    return TKoThreadStream::CreateReadAhead(Stream, Bytes);
}

std::unique_ptr<TKoStream> TKoWriteStreamFactory::CreateThreadStream(TKoStream& Stream,
                                                                     int32_t Bytes) {
    return TKoThreadStream::CreateWriteBehind(Stream, Bytes);
}

// ---- TKoWaveStreamFactory

TKoWaveStreamFactory::TKoWaveStreamFactory() : wantedFormat_(TKoWaveFormat::CreateDefault()) {
    Reset();
}

void TKoWaveStreamFactory::Reset() {
    wantedFormat_->Assign(nullptr);
    HighSpeed = false;
    Threaded = false;
    BufferTime = 3000;
    Threads = 1;
}

void TKoWaveStreamFactory::SetWantedFormat(const TKoWaveFormat& Format) {
    wantedFormat_->Assign(&Format);
}

std::unique_ptr<TKoStream> TKoWaveStreamFactory::OpenReadChain(const std::string& FileName) {
    TKoReadStreamFactory factory(FileName);
    return BuildReadChain(factory);
}

std::unique_ptr<TKoStream> TKoWaveStreamFactory::OpenWriteChain(const std::string& FileName,
                                                                const TKoWaveStreamFormat& Source,
                                                                TKoFileStage* FileStage) {
    TKoWriteStreamFactory factory(FileName);
    return BuildWriteChain(factory, Source, FileStage);
}

std::unique_ptr<TKoStream> TKoWaveStreamFactory::BuildReadChain(
    TKoStreamFactory& Factory, std::unique_ptr<TKoWaveStreamFormat>* Format) {
    if (Format) Format->reset();
    auto base = Factory.OpenBaseForRead();
    if (!base) return nullptr;
    Factory.Push(std::move(base));
    if (wantedFormat_->IsSpecified()) {
        auto path = HKoACMFormat::ConversionPath(Factory.CurrentFormat(), *wantedFormat_);
        if (!path) {
            Factory.Clear();
        } else {
            for (std::size_t i = 0; i < path->Count(); ++i) {
                auto stage = TKoACMConversionStream::CreateReadConverter(
                    *Factory.Top(), *path->Items(i), HighQuality());
                if (!stage) {
                    Factory.Clear();
                    break;
                }
                Factory.Push(std::move(stage));
            }
        }
    }
    if (Threaded) Factory.AddThreadStream(BufferTime);
    if (Format && Factory.TopFormat()) *Format = KoClone(*Factory.TopFormat());
    return Factory.GetResult();
}

std::unique_ptr<TKoStream> TKoWaveStreamFactory::BuildWriteChain(TKoStreamFactory& Factory,
                                                                 const TKoWaveStreamFormat& Source,
                                                                 TKoFileStage* FileStage) {
    TKoFileStage file;
    const TKoWaveStreamFormat* written = nullptr;  // the file stage's own format
    if (FileStage) *FileStage = {};
    auto sf = KoClone(Source);
    const TKoWaveFormat& src = sf->Format();
    src.RequireComplete();

    std::unique_ptr<TKoWaveFormatList> path;
    const TKoWaveFormat* fileFormat = &src;
    if (wantedFormat_->IsSpecified()) {
        path = HKoACMFormat::ConversionPath(src, *wantedFormat_);
        if (!path) return nullptr;
        if (path->Count() == 0)
            path.reset();
        else
            fileFormat = path->Last();
    }

    {
        const TKoWaveFact fact = FactAtRate(sf->Fact(), src, *fileFormat);
        auto header = TKoWaveStreamFormat::CreateForFormatAndFact(fileFormat, &fact);
        // The source's metadata, its frame counts at the file's rate.
        if (const auto& metadata = sf->Metadata())
            header->SetMetadata(
                std::make_shared<const TWaveMetadata>(metadata->ForTarget(src, *fileFormat)));
        auto base =
            Factory.CreateBaseForWrite(*header, BareStream && HasBareForm(*fileFormat), &file.Bare);
        if (!base) return nullptr;
        file.Stream = base.get();
        Factory.Push(std::move(base));
        written = Factory.TopFormat();
    }

    if (path && Threads > 1) {
        auto plan = TKoSplitWriteStream::Plan(src, *path, HighQuality());
        if (plan && plan->Pays) {
            Factory.Push(std::make_unique<TKoSplitWriteStream>(src, *path, HighQuality(), *plan,
                                                               Threads, *Factory.Top()));
            path.reset();
        }
    }
    if (path) {
        // From the file upwards: the converter into the last format sits right on the file.
        for (std::size_t i = path->Count(); i-- > 0;) {
            const TKoWaveFormat& input = i > 0 ? *path->Items(i - 1) : src;
            auto stage =
                TKoACMConversionStream::CreateWriteConverter(input, *Factory.Top(), HighQuality());
            if (!stage) {
                Factory.Clear();
                break;
            }
            Factory.Push(std::move(stage));
        }
    }
    if (Threaded) Factory.AddThreadStream(BufferTime);
    auto chain = Factory.GetResult();
    if (chain && FileStage) {
        file.Format = KoClone(*written);
        *FileStage = std::move(file);
    }
    return chain;
}

// ---- HKoWaveStreamFactory

std::unique_ptr<TKoWaveStreamFormat> HKoWaveStreamFactory::ReadFileFormat(
    const std::string& FileName) {
    return TKoMMIOWaveStream::ReadFileFormat(FileName);
}

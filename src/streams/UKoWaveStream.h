// SPDX-License-Identifier: GPL-3.0-or-later
// WAVE files as streams: the stream format (wave format and sample count) of every audio
// stream, and a stream over the `data` chunk of a WAVE file, read or written.
#pragma once

#include <memory>
#include <string>

#include "UKoMMIO.h"
#include "UKoStream.h"
#include "UKoWaveFormat.h"
#include "wavemeta.h"

// A complete wave format and the sample count that goes with it (0: none given), and the
// metadata chunks of the file it describes (none for a format that describes no file).
class TKoWaveStreamFormat : public TKoFormat {
  public:
    // The default 18-byte format record (no field known) and sample count 0.
    TKoWaveStreamFormat();

    std::unique_ptr<TKoPersistent> CreateSame() const override {
        return std::make_unique<TKoWaveStreamFormat>();
    }
    // From a stream format: format and count. From a wave format: the format (which must be
    // complete) with count 0. Anything else: the copy protocol's default.
    void Assign(const TKoPersistent* Source) override;
    // Gives the format to a destination of the format's own class (a plain TKoWaveFormat).
    void AssignTo(TKoPersistent& Dest) const override;

    // Raises EKoError when Format is missing or incomplete.
    void AssignFormat(const TKoWaveFormat* Format);
    // nullptr empties the count.
    void AssignFact(const TKoWaveFact* Fact);

    template <class T = TKoWaveStreamFormat>
    static std::unique_ptr<T> CreateForFormat(const TKoWaveFormat* Format) {
        if (!Format) throw EKoError();
        auto result = std::make_unique<T>();
        result->AssignFormat(Format);
        return result;
    }
    template <class T = TKoWaveStreamFormat>
    static std::unique_ptr<T> CreateForFormatAndFact(const TKoWaveFormat* Format,
                                                     const TKoWaveFact* Fact) {
        auto result = CreateForFormat<T>(Format);
        result->AssignFact(Fact);
        return result;
    }

    TKoWaveFormat& Format() const { return *format_; }
    TKoWaveFact& Fact() const { return *fact_; }
    // Shared between copies: metadata is never changed once read.
    const std::shared_ptr<const TWaveMetadata>& Metadata() const { return metadata_; }
    void SetMetadata(std::shared_ptr<const TWaveMetadata> Metadata) {
        metadata_ = std::move(Metadata);
    }

  private:
    // Declared in this order so the fact goes first when the object is destroyed.
    std::unique_ptr<TKoWaveFormat> format_;
    std::unique_ptr<TKoWaveFact> fact_;
    std::shared_ptr<const TWaveMetadata> metadata_;
};

// A stream over the audio bytes of a WAVE file: positions count from the first data byte and
// GetSize is the data length. Opened for reading it presents the `data` chunk; created for
// writing it has written `fmt `, `fact` (only for a non-zero sample count) and the `data`
// header, and Close patches the sizes. Metadata chunks of the format are read with the file
// and written in their places: before `fmt `, between it and `data`, or (by Close) after `data`.
class TKoMMIOWaveStream : public TKoStream {
  public:
    // Takes over the open file and both entered chunks; keeps a copy of Format.
    TKoMMIOWaveStream(std::unique_ptr<TKoMMIOStream> MMIOStream, const TKoWaveStreamFormat& Format,
                      std::unique_ptr<TKoRiffChunk> DataChunk,
                      std::unique_ptr<TKoRiffChunk> RiffChunk);
    // Closes the file if nobody did, ignoring the result.
    ~TKoMMIOWaveStream() override;

    int64_t GetPosition() override;
    TKoWaveStreamFormat* GetFormat() override { return streamFormat_.get(); }
    int32_t Read(const TKoArea& Area) override;
    int32_t Write(const TKoArea& Area) override;
    bool Seek(const TKoSeekRequest& Request) override;
    // Completes the file: for a written one, the `data` chunk is closed at the furthest byte
    // written and both sizes are patched; then the file is closed. False when any step
    // failed (a full disk, a failed write-out); the file is closed in every case. Transfers
    // fail after Close.
    bool Close() override;

    // The file's `data` chunk as found or created (its size is patched only by Close).
    const MMCKINFO& DataChunk() const { return dataInfo_; }

    // nullptr when the file is not a WAVE file this stream can read: no RIFF/WAVE form, no
    // readable `fmt ` or no `data` chunk where the search finds it. On success the stream owns
    // the file; on failure it is closed.
    template <class T = TKoMMIOWaveStream>
    static std::unique_ptr<T> OpenRead(std::unique_ptr<TKoMMIOStream> MMIOStream) {
        auto parts = ParseRead(std::move(MMIOStream));
        return parts ? parts->template Make<T>() : nullptr;
    }
    template <class T = TKoMMIOWaveStream>
    static std::unique_ptr<T> OpenReadFile(const std::string& FileName) {
        auto mmio = TKoMMIOStream::OpenFile(FileName, momRead);
        return mmio ? OpenRead<T>(std::move(mmio)) : nullptr;
    }
    // A WAVE file held in Stream (not owned), from its position 0.
    template <class T = TKoMMIOWaveStream>
    static std::unique_ptr<T> OpenReadStream(TKoStream& Stream) {
        auto mmio = TKoMMIOStream::OpenStream(Stream, momRead);
        return mmio ? OpenRead<T>(std::move(mmio)) : nullptr;
    }

    // Writes the header for Format (which must be complete) and returns the stream at the
    // first data byte; nullptr when a chunk could not be written.
    template <class T = TKoMMIOWaveStream>
    static std::unique_ptr<T> CreateWrite(std::unique_ptr<TKoMMIOStream> MMIOStream,
                                          const TKoWaveStreamFormat& Format) {
        auto parts = WriteHeader(std::move(MMIOStream), Format);
        return parts ? parts->template Make<T>() : nullptr;
    }
    template <class T = TKoMMIOWaveStream>
    static std::unique_ptr<T> CreateWriteFile(const std::string& FileName,
                                              const TKoWaveStreamFormat& Format) {
        auto mmio = TKoMMIOStream::OpenFile(FileName, momCreate);
        return mmio ? CreateWrite<T>(std::move(mmio), Format) : nullptr;
    }
    template <class T = TKoMMIOWaveStream>
    static std::unique_ptr<T> CreateWriteStream(TKoStream& Stream,
                                                const TKoWaveStreamFormat& Format) {
        auto mmio = TKoMMIOStream::OpenStream(Stream, momCreate);
        return mmio ? CreateWrite<T>(std::move(mmio), Format) : nullptr;
    }

    // The format and sample count of a WAVE file, or nullptr.
    static std::unique_ptr<TKoWaveStreamFormat> ReadFileFormat(const std::string& FileName);
    static FOURCC FourCC(const char* Text) { return TKoMMIO::StringToFourCC(Text); }

  private:
    // What opening or creating a file yields, before the stream object is built.
    struct Parts {
        std::unique_ptr<TKoMMIOStream> mmio;
        std::unique_ptr<TKoWaveStreamFormat> format;
        std::unique_ptr<TKoRiffChunk> data;
        std::unique_ptr<TKoRiffChunk> riff;

        template <class T>
        std::unique_ptr<T> Make() {
            return std::make_unique<T>(std::move(mmio), *format, std::move(data), std::move(riff));
        }
    };
    static std::unique_ptr<Parts> ParseRead(std::unique_ptr<TKoMMIOStream> MMIOStream);
    static std::unique_ptr<Parts> WriteHeader(std::unique_ptr<TKoMMIOStream> MMIOStream,
                                              const TKoWaveStreamFormat& Format);

    std::unique_ptr<TKoMMIOStream> mmioStream_;
    std::unique_ptr<TKoRiffChunk> riffChunk_;
    std::unique_ptr<TKoRiffChunk> dataChunk_;
    std::unique_ptr<TKoWaveStreamFormat> streamFormat_;
    std::unique_ptr<TKoChildStream> dataStream_;
    MMCKINFO dataInfo_;
    bool closed_ = false;
    bool closeResult_ = true;
};

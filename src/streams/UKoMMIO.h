// SPDX-License-Identifier: GPL-3.0-or-later
// RIFF files as objects and streams: chunk descriptors, an open RIFF file with chunk
// navigation, a stream reading and writing through it, and the I/O procedure that lets the
// RIFF layer work on any TKoStream instead of a disk file.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "UKoStream.h"
#include "mmio.h"

// A chunk descriptor; its record is handed to the RIFF layer as it is.
class TKoRiffChunk {
  public:
    explicit TKoRiffChunk(FOURCC ckid = 0, FOURCC fccType = 0) {
        info_.ckid = ckid;
        info_.fccType = fccType;
    }

    MMCKINFO* Info() { return &info_; }
    const MMCKINFO& Record() const { return info_; }
    // The chunk's data as a stretch of the file (sizes beyond 2 GiB included).
    TKoWindow DataWindow() const { return MakeWindowSpan(info_.dwDataOffset, info_.cksize); }

  private:
    MMCKINFO info_;
};

// Open modes, as a set: combine with |.
enum TKoMMIOOpenMode : uint8_t { momRead = 1 << 0, momCreate = 1 << 1, momReadWrite = 1 << 2 };
// The RIFF layer's open flags for a set of modes.
uint32_t MMIOOpenFlags(uint8_t Modes);

// An open RIFF file. Reads, writes and seeks that fail raise EKoError, as does CreateRiff;
// CreateChunk reports a chunk it could not write, and the searches a missing chunk, as nullptr.
class TKoMMIO : public TKoObject {
  public:
    static constexpr int32_t kStreamWriteBuffer = 256 * 1024;

    explicit TKoMMIO(HMMIO Handle) : handle_(Handle) {}
    // Closes the file if Close was not called, ignoring the result.
    ~TKoMMIO() override;

    static std::unique_ptr<TKoMMIO> OpenFile(const std::string& FileName, uint8_t Modes);
    // Over a stream (not owned) holding a RIFF file from its position 0. Opened for writing,
    // the handle gathers writes in a buffer of WriteBuffer bytes (0: none), sent to the
    // stream when full, before a seek to its end, and by Close.
    static std::unique_ptr<TKoMMIO> OpenStream(TKoStream& Stream, uint8_t Modes,
                                               int32_t WriteBuffer = kStreamWriteBuffer);

    int32_t Read(const TKoArea& Area);
    int32_t Write(const TKoArea& Area);
    // Returns the new file position.
    int64_t Seek(const TKoSeekRequest& Request);

    // Writes and enters a RIFF chunk of that form type; raises on failure.
    std::unique_ptr<TKoRiffChunk> CreateRiff(FOURCC FormType);
    // Writes and enters a chunk within Parent; nullptr on failure.
    std::unique_ptr<TKoRiffChunk> CreateChunk(const TKoRiffChunk& Parent, FOURCC ckid);
    std::unique_ptr<TKoRiffChunk> DescendRiff(FOURCC FormType);
    // Searches within Parent from the current position; when the chunk is not found the
    // position is put back, so the next search starts from the same place.
    std::unique_ptr<TKoRiffChunk> Descend(const TKoRiffChunk& Parent, FOURCC ckid);
    // Leaves the chunk (a created one gets its size patched and its pad byte) and destroys it.
    bool Ascend(std::unique_ptr<TKoRiffChunk> Chunk);

    // Writes out what is buffered and closes the file; false when either failed. Later
    // calls return the same answer; other operations raise once the file is closed.
    bool Close();

    static FOURCC StringToFourCC(const char* Text) { return mmioStringToFOURCC(Text, 0); }
    HMMIO Handle() const { return handle_; }

  private:
    HMMIO Open() const;

    HMMIO handle_;
    bool closeResult_ = true;
};

// Serves one handle opened over a stream: the RIFF layer's reads, writes and seeks become the
// stream's. Destroyed when the handle is closed; the stream is left to its owner.
class TKoMMIOIOProc {
  public:
    explicit TKoMMIOIOProc(TKoStream& Stream) : stream_(Stream) {}
    static int64_t IOProcedure(MMIOINFO* Info, uint32_t Message, int64_t Param1, int64_t Param2);
    TKoStream& Stream() const { return stream_; }

  private:
    TKoStream& stream_;
};

// A stream reading and writing through a TKoMMIO. It keeps no position of its own (-1).
class TKoMMIOStream : public TKoStream {
  public:
    explicit TKoMMIOStream(TKoMMIO& MMIO) : mmio_(&MMIO) {}
    explicit TKoMMIOStream(std::unique_ptr<TKoMMIO> MMIO)
        : owned_(std::move(MMIO)), mmio_(owned_.get()) {}
    ~TKoMMIOStream() override;

    template <class T = TKoMMIOStream>
    static std::unique_ptr<T> OpenFile(const std::string& FileName, uint8_t Modes) {
        auto mmio = TKoMMIO::OpenFile(FileName, Modes);
        return mmio ? std::make_unique<T>(std::move(mmio)) : nullptr;
    }
    template <class T = TKoMMIOStream>
    static std::unique_ptr<T> OpenStream(TKoStream& Stream, uint8_t Modes) {
        auto mmio = TKoMMIO::OpenStream(Stream, Modes);
        return mmio ? std::make_unique<T>(std::move(mmio)) : nullptr;
    }

    // Stream transfers report failure as a negative count (a write past the 4 GiB
    // a RIFF file can address, a read error) and Seek as false, not as the handle's
    // exception.
    int32_t Read(const TKoArea& Area) override;
    int32_t Write(const TKoArea& Area) override;
    bool Seek(const TKoSeekRequest& Request) override;
    // Closes the file when this stream owns it; true otherwise.
    bool Close() override;

    // A child stream over the chunk's data, positions relative to its first byte.
    std::unique_ptr<TKoChildStream> CreateChunkStream(const TKoRiffChunk& Chunk);
    TKoMMIO& MMIO() const { return *mmio_; }
    bool OwnsMMIO() const { return owned_ != nullptr; }

  private:
    std::unique_ptr<TKoMMIO> owned_;
    TKoMMIO* mmio_;
};

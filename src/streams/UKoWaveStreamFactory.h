// SPDX-License-Identifier: GPL-3.0-or-later
// Assembles read and write chains of streams: a WAVE file at the bottom, conversion stages
// along the negotiated format path above it, and optionally a thread stage on top. The user
// of a chain sees one stream that owns every stage.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "UKoObject.h"
#include "UKoStream.h"
#include "UKoWaveFormat.h"
#include "UKoWaveStream.h"

// The stage at the file end of a write chain, as the factory built it: the stream that writes
// the file (owned by the chain), the format the file holds, and whether it is the format's
// bare stream rather than a WAVE file.
struct TKoFileStage {
    TKoStream* Stream = nullptr;
    std::unique_ptr<TKoWaveStreamFormat> Format;
    bool Bare = false;
};

// One chain while it is being built, bottom (file end) first. The chain outlives it.
class TKoStreamFactory : public TKoObject {
  public:
    // The bottom stream is opened on or created as this file.
    explicit TKoStreamFactory(std::string FileName);
    // The bottom stream is built on this stream (not owned) instead of a file.
    explicit TKoStreamFactory(TKoStream& SourceStream);
    // Destroys the stages not handed out by GetResult, top first.
    ~TKoStreamFactory() override;

    template <class T>
    static std::unique_ptr<T> CreateForFile(const std::string& FileName) {
        return std::make_unique<T>(FileName);
    }
    template <class T>
    static std::unique_ptr<T> CreateForStream(TKoStream& Stream) {
        return std::make_unique<T>(Stream);
    }

    // A stage that runs the chain's transfers on a thread of its own, holding Bytes of
    // audio; nullptr when the chain is to go without one.
    virtual std::unique_ptr<TKoStream> CreateThreadStream(TKoStream& Stream, int32_t Bytes) = 0;

    std::size_t Count() const { return streams_.size(); }
    // Adds S on top; it must report a wave stream format, which becomes the current format.
    void Push(std::unique_ptr<TKoStream> S);
    // Destroys every stage, top first.
    void Clear();
    // Puts a thread stage holding Ms milliseconds of the current format on top, when the
    // factory makes one. Raises when the current format is not complete.
    void AddThreadStream(int32_t Ms);
    // The format of the stage on top (that of the last Push), or nullptr when empty.
    const TKoWaveStreamFormat* TopFormat() const { return topFormat_; }
    // Hands the chain over: nullptr when empty, the stage itself when there is one, else a
    // combined stream over all of them.
    std::unique_ptr<TKoStream> GetResult();

    // The WAVE reader (or, over a stream that already has a format, a proxy of it).
    std::unique_ptr<TKoStream> OpenBaseForRead();
    // The WAVE writer for Format (or a proxy of a stream that already has a format); with
    // Bare, the writer of the format's bare stream instead. MadeBare, when given, tells
    // whether a bare writer came back (a proxy is never one).
    std::unique_ptr<TKoStream> CreateBaseForWrite(const TKoWaveStreamFormat& Format,
                                                  bool Bare = false, bool* MadeBare = nullptr);

    TKoStream* Top() const { return top_; }
    const TKoWaveFormat& CurrentFormat() const { return *currentFormat_; }
    const std::string& FileName() const { return fileName_; }
    TKoStream* SourceStream() const { return sourceStream_; }

  private:
    std::vector<std::unique_ptr<TKoStream>> streams_;
    TKoStream* top_ = nullptr;
    const TKoWaveStreamFormat* topFormat_ = nullptr;
    std::unique_ptr<TKoWaveFormat> currentFormat_;
    std::string fileName_;
    TKoStream* sourceStream_ = nullptr;
};

// Builds read chains; the thread stage reads ahead.
class TKoReadStreamFactory : public TKoStreamFactory {
  public:
    using TKoStreamFactory::TKoStreamFactory;
    // A read-ahead thread stream over Stream with a FIFO of Bytes.
    std::unique_ptr<TKoStream> CreateThreadStream(TKoStream& Stream, int32_t Bytes) override;
};

// Builds write chains; the thread stage writes behind.
class TKoWriteStreamFactory : public TKoStreamFactory {
  public:
    using TKoStreamFactory::TKoStreamFactory;
    // A write-behind thread stream in front of Stream with a FIFO of Bytes.
    std::unique_ptr<TKoStream> CreateThreadStream(TKoStream& Stream, int32_t Bytes) override;
};

// What a user configures: the wanted format and how the stages work.
class TKoWaveStreamFactory : public TKoObject {
  public:
    TKoWaveStreamFactory();

    // Prefer speed to quality in the conversion stages.
    bool HighSpeed = false;
    // End each chain with a thread stage.
    bool Threaded = false;
    // Milliseconds of audio the thread stage holds.
    int32_t BufferTime = 3000;
    // Write the bare stream instead of a WAVE file where the file's format has one.
    bool BareStream = false;
    // Write chains whose conversion splits into exact ranges encode them on this many
    // threads at once (TKoSplitWriteStream); others convert on the caller's thread.
    int Threads = 1;

    // Empty wanted format, quality, unthreaded, 3 seconds, one thread.
    void Reset();
    void SetWantedFormat(const TKoWaveFormat& Format);
    // Complete, partial (only some fields known) or empty (no conversion).
    const TKoWaveFormat& WantedFormat() const { return *wantedFormat_; }
    // What the conversion stages are opened with.
    bool HighQuality() const { return !HighSpeed; }

    // The audio of a WAVE file, converted into the wanted format when one is set; nullptr
    // when the file cannot be read or no conversion reaches the wanted format.
    std::unique_ptr<TKoStream> OpenReadChain(const std::string& FileName);
    // A chain taking audio in Source's format and writing a WAVE file in the wanted format
    // (in Source's format when none is set); nullptr when no conversion reaches it or a stage
    // cannot be built. The file is created before the conversion stages are opened, so a
    // caller must remove it when nullptr comes back after the file was created. FileStage,
    // when given, receives the stage that writes the file (empty when nullptr comes back).
    std::unique_ptr<TKoStream> OpenWriteChain(const std::string& FileName,
                                              const TKoWaveStreamFormat& Source,
                                              TKoFileStage* FileStage = nullptr);

    // Format, when given, receives the format of the audio the chain delivers (nullptr with
    // the chain).
    std::unique_ptr<TKoStream> BuildReadChain(
        TKoStreamFactory& Factory, std::unique_ptr<TKoWaveStreamFormat>* Format = nullptr);
    std::unique_ptr<TKoStream> BuildWriteChain(TKoStreamFactory& Factory,
                                               const TKoWaveStreamFormat& Source,
                                               TKoFileStage* FileStage = nullptr);

  private:
    std::unique_ptr<TKoWaveFormat> wantedFormat_;
};

// Class operations of the factory unit.
class HKoWaveStreamFactory {
  public:
    HKoWaveStreamFactory() = delete;
    // The format and sample count of a WAVE file, or nullptr.
    static std::unique_ptr<TKoWaveStreamFormat> ReadFileFormat(const std::string& FileName);
};

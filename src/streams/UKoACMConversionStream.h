// SPDX-License-Identifier: GPL-3.0-or-later
// A stream that converts audio between two formats through one codec manager stream: a
// reader on top of a source stream, or a writer in front of a destination stream.
#pragma once

#include <cstdint>
#include <memory>

#include "UKoACMStream.h"
#include "UKoStream.h"
#include "UKoWaveStream.h"

// What a converter is built from and then holds.
struct TKoACMConversionParts {
    bool IsWriter = false;
    // The source (reader) or destination (writer); not owned.
    TKoStream* Stream = nullptr;
    // This stream's own side: what Read delivers or what Write expects.
    std::unique_ptr<TKoWaveFormat> Format;
    std::unique_ptr<TKoACMStream> ACMStream;
    std::unique_ptr<TKoACMStreamSourceBuffer> SourceBuffer;
    std::unique_ptr<TKoACMStreamDestinationBuffer> DestinationBuffer;
    // Prepared over the whole source block and the whole destination block.
    std::unique_ptr<TKoACMStreamHeader> Header;

    explicit TKoACMConversionParts(bool Writer)
        : IsWriter(Writer), Format(TKoWaveFormat::CreateDefault()) {}
    // Unprepares the header and closes the codec stream; false when either failed. The
    // parts are released in every case; Stream is left alone.
    bool Free();
    ~TKoACMConversionParts();
};

// Neither position nor size is known in the converted domain.
class TKoACMConversionStream : public TKoStream {
  public:
    explicit TKoACMConversionStream(std::unique_ptr<TKoACMConversionParts> Parts);
    // Closes the converter if nobody did, ignoring the result.
    ~TKoACMConversionStream() override;

    // The own-side format with sample count 0.
    TKoWaveStreamFormat* GetFormat() override { return streamFormat_.get(); }
    // Reader only: converted bytes placed in the area; 0 once the source has ended and the
    // codec has given out everything; -1 when the source or a conversion failed.
    int32_t Read(const TKoArea& Area) override;
    // Writer only: Area.Size, or -1 when a conversion or the writing of its output failed.
    int32_t Write(const TKoArea& Area) override;
    // A writer converts what it still holds, tells the codec the data have ended and writes
    // everything that comes out into its destination (which it does not close). Both
    // directions then release the codec stream. False when a conversion, a write or the
    // release failed, or an earlier Write had failed. Later calls return the same answer;
    // transfers fail after Close.
    bool Close() override;

    // Source must report a TKoWaveStreamFormat; Target may be partial: the converter
    // delivers the complete format the codec manager suggests for it. nullptr when no format
    // is suggested or the conversion cannot be set up.
    template <class T = TKoACMConversionStream>
    static std::unique_ptr<T> CreateReadConverter(TKoStream& Source, const TKoWaveFormat& Target,
                                                  bool NonRealtime) {
        auto parts = ReadParts(Source, Target, NonRealtime);
        return parts ? std::make_unique<T>(std::move(parts)) : nullptr;
    }
    // Destination must report a TKoWaveStreamFormat; Input must be complete and is taken as
    // it is. nullptr when the conversion cannot be set up.
    template <class T = TKoACMConversionStream>
    static std::unique_ptr<T> CreateWriteConverter(const TKoWaveFormat& Input,
                                                   TKoStream& Destination, bool NonRealtime) {
        auto parts = WriteParts(Input, Destination, NonRealtime);
        return parts ? std::make_unique<T>(std::move(parts)) : nullptr;
    }

    bool IsWriter() const { return parts_->IsWriter; }
    const TKoACMConversionParts& Parts() const { return *parts_; }

  private:
    enum class Step { Failed, Progress, Nothing };

    static std::unique_ptr<TKoACMConversionParts> ReadParts(TKoStream& Source,
                                                            const TKoWaveFormat& Target,
                                                            bool NonRealtime);
    static std::unique_ptr<TKoACMConversionParts> WriteParts(const TKoWaveFormat& Input,
                                                             TKoStream& Destination,
                                                             bool NonRealtime);
    static std::unique_ptr<TKoACMConversionParts> BuildParts(
        std::unique_ptr<TKoACMConversionParts> Parts, const TKoWaveFormat& Source,
        const TKoWaveFormat& Destination, bool NonRealtime);

    Step ConvertOnce(bool End);
    bool Refill();
    bool Flush();
    bool RefillOrFail();
    bool FlushOrFail();
    bool WriteOut();
    bool Drain();

    std::unique_ptr<TKoACMConversionParts> parts_;
    std::unique_ptr<TKoWaveStreamFormat> streamFormat_;
    bool sourceEnded_ = false;  // reader: the source stream has returned 0
    bool drained_ = false;      // reader: the codec has given out everything after the end
    bool failed_ = false;
    bool closed_ = false;
    bool closeResult_ = true;
};

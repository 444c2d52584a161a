// SPDX-License-Identifier: GPL-3.0-or-later
// Audio written without the WAVE container, for the formats whose bare form other programs
// read: A-law and u-law as plain 8-bit streams, GSM 6.10 as 33-byte frames (.gsm), and MPEG
// Layer-3 as an .mp3 file with an ID3v2.4 tag made from the source's INFO fields and an
// Info/LAME frame giving the exact length, so players show the duration and play gaplessly.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "UKoStream.h"
#include "UKoWaveStream.h"

// Whether the format has a bare form a target can take instead of a WAVE file.
bool HasBareForm(const TKoWaveFormat& Format);

class TKoBareStream : public TKoStream {
  public:
    // Over Target (not owned, at its position 0); Format is the audio handed to Write (for GSM
    // the 65-byte blocks of the WAVE form) and its sample count and metadata. nullptr when
    // the format has no bare form or the start of the file could not be written.
    static std::unique_ptr<TKoBareStream> Create(TKoStream& Target,
                                                 const TKoWaveStreamFormat& Format);
    // The same over a file it creates and owns.
    static std::unique_ptr<TKoBareStream> CreateFile(const std::string& FileName,
                                                     const TKoWaveStreamFormat& Format);
    ~TKoBareStream() override;

    // Bytes handed to Write so far.
    int64_t GetPosition() override { return position_; }
    TKoWaveStreamFormat* GetFormat() override { return format_.get(); }
    int32_t Write(const TKoArea& Area) override;
    // Completes the file (the MP3 Info frame); false when a write failed.
    bool Close() override;

    // The bytes a complete bare file of Format must hold for DataBytes of audio handed to
    // Write, or -1 when it cannot be told (MP3: its tag and frames are checked instead).
    static int64_t ExpectedSize(const TKoWaveFormat& Format, int64_t DataBytes);
    // Whether the file at Path is a whole bare file of Format for DataBytes handed to Write:
    // its length, and for MP3 a tag, then frames of its rate that end where the file ends.
    static bool Verify(const std::string& Path, const TKoWaveFormat& Format, int64_t DataBytes);

    TKoBareStream(TKoStream& Target, const TKoWaveStreamFormat& Format);

  private:
    bool Start();
    bool Put(const uint8_t* Data, int32_t Size);
    void CountMp3(const uint8_t* Data, std::size_t Size);
    std::vector<uint8_t> InfoFrame() const;

    std::unique_ptr<TKoStream> owned_;
    TKoStream& target_;
    std::unique_ptr<TKoWaveStreamFormat> format_;
    uint16_t tag_;
    int64_t position_ = 0;
    bool failed_ = false;
    bool closed_ = false;
    // GSM: the part of a 65-byte block not yet repacked.
    std::vector<uint8_t> pending_;
    // MP3: where the Info frame goes, its size, and what it must say about the frames.
    int64_t infoAt_ = 0;
    std::size_t infoSize_ = 0;
    uint32_t frames_ = 0;
    int64_t frameBytes_ = 0;
    uint16_t musicCrc_ = 0;
    // MP3: the next frame header, collected across writes, and the bytes to skip before it.
    std::vector<uint8_t> header_;
    int64_t skip_ = 0;
};

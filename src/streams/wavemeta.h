// SPDX-License-Identifier: GPL-3.0-or-later
// The metadata chunks of a WAVE file that travel with its audio into a recoded target: text
// tags, broadcast and production metadata, cue points and sampler loops. Chunks are kept as
// bytes and rewritten only where they count sample frames at the file's rate.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "UKoWaveFormat.h"
#include "mmio.h"

// Where a chunk stood, relative to the chunks every WAVE file has.
enum class TWaveChunkPlace : uint8_t { BeforeFormat, BeforeData, AfterData };

struct TWaveChunk {
    FOURCC Id = 0;
    TWaveChunkPlace Place = TWaveChunkPlace::BeforeData;
    // The chunk's data without header or pad byte; for LIST, the form type comes first.
    std::vector<uint8_t> Body;
};

using TWaveTag = std::pair<std::string, std::string>;

class TWaveMetadata {
  public:
    // In file order.
    std::vector<TWaveChunk> Chunks;

    // Whether a chunk is carried into targets: LIST INFO and adtl, bext, iXML, axml, cue,
    // smpl, inst, _PMX and id3. Others (JUNK, PEAK, vendor chunks) describe the source file
    // rather than the recording, or cannot be checked, and are left behind.
    static bool IsCarried(FOURCC Id, const uint8_t* Body, std::size_t Size);

    bool Empty() const { return Chunks.empty(); }
    const TWaveChunk* Find(FOURCC Id, FOURCC FormType = 0) const;

    // The chunks a target in format To gets from a source in format From: sample positions
    // and periods rescaled to the target's rate, cue block offsets recomputed for its block
    // layout, and (when To differs from From) a CodingHistory line describing To appended
    // to bext.
    TWaveMetadata ForTarget(const TKoWaveFormat& From, const TKoWaveFormat& To) const;

    // The LIST INFO fields in file order, as (ID, text) with the text in UTF-8. Where INFO
    // lacks a title or an artist, those of an ID3 tag in an id3 chunk stand in as INAM/IART.
    std::vector<TWaveTag> InfoFields() const;
    // The bext fields by name (Description, Originator, ..., one CodingHistory per line).
    std::vector<TWaveTag> BextFields() const;
    // Each cue point as ("cue.ID", sample offset), then the labels and notes of LIST adtl as
    // ("labl.ID", text) and ("note.ID", text).
    std::vector<TWaveTag> CueFields() const;
};

// The EBU R98 line that describes audio in Format, ended by CR LF.
std::string CodingHistoryLine(const TKoWaveFormat& Format);
// Text of a tag as stored (code page unknown): UTF-8 when it is valid UTF-8, else Latin-1.
std::string TagTextToUtf8(const uint8_t* Text, std::size_t Size);

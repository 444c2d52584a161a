// SPDX-License-Identifier: GPL-3.0-or-later
// RIFF file I/O: buffered reading and writing of files by name or through a caller's
// I/O procedure, and navigation of RIFF chunks (descend, ascend, create).
//
// The calls, records, flags and result codes keep the names and results that RIFF code
// written against the classic multimedia file I/O expects. Differences that matter here:
// positions are 64-bit (files between 2 and 4 GiB work), the pointer-sized adwInfo words can
// hold an object, and a RIFF file never grows past 4 GiB: a write that would take it there
// fails instead of wrapping a 32-bit size field. Integers on disk are little-endian.
#pragma once

#include <cstdint>

using FOURCC = uint32_t;
using MMRESULT = uint32_t;

struct MmioFile;
using HMMIO = MmioFile*;

struct MMIOINFO;
// An I/O procedure: answers the MMIOM_* messages for one open handle. Read and write get
// the buffer address in lParam1 and the byte count in lParam2; seek gets the offset in lParam1
// and the origin in lParam2. It keeps lDiskOffset in step with the device position.
using LPMMIOPROC = int64_t (*)(MMIOINFO* info, uint32_t message, int64_t lParam1, int64_t lParam2);

struct MMIOINFO {
    uint32_t dwFlags = 0;  // the open flags
    FOURCC fccIOProc = 0;  // unused: procedures are passed per open, never installed
    LPMMIOPROC pIOProc = nullptr;
    uint32_t wErrorRet = 0;     // why mmioOpen failed
    int32_t cchBuffer = 0;      // buffer size; 0 means the default (files) or none (procedures)
    int64_t lDiskOffset = 0;    // device position, maintained by the I/O procedure
    uintptr_t adwInfo[3] = {};  // the I/O procedure's own state
    HMMIO hmmio = nullptr;
};

// A chunk descriptor. dwDataOffset is the file offset of the chunk's data; for RIFF and LIST
// chunks that is the offset of the form type, which cksize includes.
struct MMCKINFO {
    FOURCC ckid = 0;
    uint32_t cksize = 0;
    FOURCC fccType = 0;
    uint32_t dwDataOffset = 0;
    uint32_t dwFlags = 0;
};

constexpr FOURCC MakeFourCC(char a, char b, char c, char d) {
    return static_cast<FOURCC>(static_cast<uint8_t>(a)) |
           static_cast<FOURCC>(static_cast<uint8_t>(b)) << 8 |
           static_cast<FOURCC>(static_cast<uint8_t>(c)) << 16 |
           static_cast<FOURCC>(static_cast<uint8_t>(d)) << 24;
}
constexpr FOURCC FOURCC_RIFF = MakeFourCC('R', 'I', 'F', 'F');
constexpr FOURCC FOURCC_LIST = MakeFourCC('L', 'I', 'S', 'T');

// Open flags.
constexpr uint32_t MMIO_READ = 0x0000;
constexpr uint32_t MMIO_WRITE = 0x0001;
constexpr uint32_t MMIO_READWRITE = 0x0002;
constexpr uint32_t MMIO_CREATE = 0x1000;

// Chunk flags.
constexpr uint32_t MMIO_TOUPPER = 0x0010;
constexpr uint32_t MMIO_FINDCHUNK = 0x0010;
constexpr uint32_t MMIO_FINDRIFF = 0x0020;
constexpr uint32_t MMIO_FINDLIST = 0x0040;
constexpr uint32_t MMIO_CREATERIFF = 0x0020;
constexpr uint32_t MMIO_CREATELIST = 0x0040;
constexpr uint32_t MMIO_DIRTY = 0x10000000;  // in MMCKINFO.dwFlags: the size needs patching

// Messages to an I/O procedure.
constexpr uint32_t MMIOM_READ = 0;
constexpr uint32_t MMIOM_WRITE = 1;
constexpr uint32_t MMIOM_SEEK = 2;
constexpr uint32_t MMIOM_OPEN = 3;
constexpr uint32_t MMIOM_CLOSE = 4;
constexpr uint32_t MMIOM_WRITEFLUSH = 5;

// Seek origins, as in the C library.
constexpr int MMIO_SEEK_SET = 0;
constexpr int MMIO_SEEK_CUR = 1;
constexpr int MMIO_SEEK_END = 2;

// Result codes.
constexpr MMRESULT MMIOERR_BASE = 256;
constexpr MMRESULT MMIOERR_FILENOTFOUND = MMIOERR_BASE + 1;
constexpr MMRESULT MMIOERR_OUTOFMEMORY = MMIOERR_BASE + 2;
constexpr MMRESULT MMIOERR_CANNOTOPEN = MMIOERR_BASE + 3;
constexpr MMRESULT MMIOERR_CANNOTCLOSE = MMIOERR_BASE + 4;
constexpr MMRESULT MMIOERR_CANNOTREAD = MMIOERR_BASE + 5;
constexpr MMRESULT MMIOERR_CANNOTWRITE = MMIOERR_BASE + 6;
constexpr MMRESULT MMIOERR_CANNOTSEEK = MMIOERR_BASE + 7;
constexpr MMRESULT MMIOERR_CHUNKNOTFOUND = MMIOERR_BASE + 9;
constexpr MMRESULT MMIOERR_INVALIDFILE = MMIOERR_BASE + 16;

// Largest position a RIFF file may reach: its size fields are 32-bit.
constexpr int64_t MMIO_MAX_FILE_SIZE = 0xFFFFFFFFll;

// Opens a file by name, or, when info->pIOProc is set, through that procedure (the name is
// then passed to it with MMIOM_OPEN and may be null). Returns null on failure and, when info
// is given, puts the reason into info->wErrorRet.
HMMIO mmioOpen(const char* fileName, MMIOINFO* info, uint32_t flags);
// Writes out buffered data and closes; the handle is gone even when the result is an error.
MMRESULT mmioClose(HMMIO h, uint32_t flags);
// Writes out buffered data; 0 or MMIOERR_CANNOTWRITE.
MMRESULT mmioFlush(HMMIO h, uint32_t flags);
// Return the byte count (0 at the end of the file) or -1 on failure.
int32_t mmioRead(HMMIO h, void* buffer, int32_t count);
int32_t mmioWrite(HMMIO h, const void* buffer, int32_t count);
// Returns the new position, or -1 (the position is then unchanged). As with lseek, a position
// past the end is allowed: reads there give 0 bytes, writes extend the file where the device can.
// SEEK_END asks the device for its end.
int64_t mmioSeek(HMMIO h, int64_t offset, int origin);

// Finds a chunk from the current position, within parent when given: MMIO_FINDCHUNK by
// ckid, MMIO_FINDRIFF / MMIO_FINDLIST by fccType, no flag takes the chunk at the current
// position. On success the position is at the chunk's data (after the form type of RIFF and
// LIST chunks); on MMIOERR_CHUNKNOTFOUND it is somewhere after the start of the search.
MMRESULT mmioDescend(HMMIO h, MMCKINFO* ck, const MMCKINFO* parent, uint32_t flags);
// Leaves a chunk: for a created (dirty) chunk writes the size reached by the current position
// and pads odd data with one zero byte; then moves past the chunk and its pad byte.
MMRESULT mmioAscend(HMMIO h, MMCKINFO* ck, uint32_t flags);
// Writes a chunk header at the current position (MMIO_CREATERIFF / MMIO_CREATELIST add the
// form type) and enters it.
MMRESULT mmioCreateChunk(HMMIO h, MMCKINFO* ck, uint32_t flags);
// The first four characters of text, padded with blanks; MMIO_TOUPPER upper-cases them.
FOURCC mmioStringToFOURCC(const char* text, uint32_t flags);

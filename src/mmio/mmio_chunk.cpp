// SPDX-License-Identifier: GPL-3.0-or-later
// RIFF chunk navigation on top of mmioRead/mmioWrite/mmioSeek.
#include <cctype>
#include <cstdint>
#include <limits>

#include "mmio.h"

namespace {

uint32_t le32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void putLe32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

bool hasFormType(FOURCC id) {
    return id == FOURCC_RIFF || id == FOURCC_LIST;
}

bool readLe32(HMMIO h, uint32_t& value) {
    uint8_t bytes[4];
    if (mmioRead(h, bytes, 4) != 4) return false;
    value = le32(bytes);
    return true;
}

bool writeLe32(HMMIO h, uint32_t value) {
    uint8_t bytes[4];
    putLe32(bytes, value);
    return mmioWrite(h, bytes, 4) == 4;
}

bool matches(const MMCKINFO& want, FOURCC id, FOURCC type, uint32_t flags) {
    if (flags & MMIO_FINDCHUNK) return id == want.ckid;
    if (flags & MMIO_FINDRIFF) return id == FOURCC_RIFF && type == want.fccType;
    if (flags & MMIO_FINDLIST) return id == FOURCC_LIST && type == want.fccType;
    return true;  // no search: the chunk at the current position
}

}  // namespace

MMRESULT mmioDescend(HMMIO h, MMCKINFO* ck, const MMCKINFO* parent, uint32_t flags) {
    if (!h || !ck) return MMIOERR_CHUNKNOTFOUND;
    // Sizes are taken as the file states them, but the walk stays bounded: every step moves at
    // least one header forward, and a header that cannot be read in full ends the search.
    const int64_t end = parent ? int64_t(parent->dwDataOffset) + parent->cksize
                               : std::numeric_limits<int64_t>::max();
    int64_t at = mmioSeek(h, 0, MMIO_SEEK_CUR);
    if (at < 0) return MMIOERR_CHUNKNOTFOUND;
    for (;;) {
        if (at + 8 > end) return MMIOERR_CHUNKNOTFOUND;
        uint32_t id = 0, size = 0, type = 0;
        if (!readLe32(h, id) || !readLe32(h, size)) return MMIOERR_CHUNKNOTFOUND;
        const int64_t data = at + 8;
        // dwDataOffset is 32-bit: nothing beyond 4 GiB can be entered.
        if (data > MMIO_MAX_FILE_SIZE) return MMIOERR_CHUNKNOTFOUND;
        if (hasFormType(id) && (size < 4 || !readLe32(h, type))) {
            if (flags & (MMIO_FINDRIFF | MMIO_FINDLIST)) return MMIOERR_CHUNKNOTFOUND;
            type = 0;
        }
        if (matches(*ck, id, type, flags)) {
            ck->ckid = id;
            ck->cksize = size;
            ck->fccType = hasFormType(id) ? type : 0;
            ck->dwDataOffset = static_cast<uint32_t>(data);
            ck->dwFlags = 0;
            int64_t inside = data + (hasFormType(id) && size >= 4 ? 4 : 0);
            return mmioSeek(h, inside, MMIO_SEEK_SET) == inside ? 0 : MMIOERR_CHUNKNOTFOUND;
        }
        at = data + size + (size & 1);
        if (at + 8 > end || mmioSeek(h, at, MMIO_SEEK_SET) != at) return MMIOERR_CHUNKNOTFOUND;
    }
}

MMRESULT mmioAscend(HMMIO h, MMCKINFO* ck, uint32_t) {
    if (!h || !ck) return MMIOERR_CANNOTSEEK;
    if (ck->dwFlags & MMIO_DIRTY) {
        int64_t at = mmioSeek(h, 0, MMIO_SEEK_CUR);
        int64_t size = at - int64_t(ck->dwDataOffset);
        if (at < 0 || size < 0 || size > MMIO_MAX_FILE_SIZE) return MMIOERR_CANNOTSEEK;
        if (size != ck->cksize) {
            if (mmioSeek(h, int64_t(ck->dwDataOffset) - 4, MMIO_SEEK_SET) < 0)
                return MMIOERR_CANNOTSEEK;
            if (!writeLe32(h, static_cast<uint32_t>(size))) return MMIOERR_CANNOTWRITE;
            ck->cksize = static_cast<uint32_t>(size);
        }
        if (size & 1) {
            const uint8_t pad = 0;
            if (mmioSeek(h, at, MMIO_SEEK_SET) != at) return MMIOERR_CANNOTSEEK;
            if (mmioWrite(h, &pad, 1) != 1) return MMIOERR_CANNOTWRITE;
        }
        ck->dwFlags &= ~MMIO_DIRTY;
    }
    int64_t next = int64_t(ck->dwDataOffset) + ck->cksize + (ck->cksize & 1);
    return mmioSeek(h, next, MMIO_SEEK_SET) == next ? 0 : MMIOERR_CANNOTSEEK;
}

MMRESULT mmioCreateChunk(HMMIO h, MMCKINFO* ck, uint32_t flags) {
    if (!h || !ck) return MMIOERR_CANNOTWRITE;
    int64_t at = mmioSeek(h, 0, MMIO_SEEK_CUR);
    if (at < 0) return MMIOERR_CANNOTSEEK;
    if (flags & MMIO_CREATERIFF) ck->ckid = FOURCC_RIFF;
    if (flags & MMIO_CREATELIST) ck->ckid = FOURCC_LIST;
    const bool typed = hasFormType(ck->ckid);
    if (!writeLe32(h, ck->ckid) || !writeLe32(h, ck->cksize) ||
        (typed && !writeLe32(h, ck->fccType)))
        return MMIOERR_CANNOTWRITE;
    ck->dwDataOffset = static_cast<uint32_t>(at + 8);
    ck->dwFlags = MMIO_DIRTY;
    return 0;
}

FOURCC mmioStringToFOURCC(const char* text, uint32_t flags) {
    char c[4] = {' ', ' ', ' ', ' '};
    for (int i = 0; text && i < 4 && text[i] != '\0'; ++i) {
        c[i] = text[i];
        if (flags & MMIO_TOUPPER)
            c[i] = static_cast<char>(std::toupper(static_cast<uint8_t>(c[i])));
    }
    return MakeFourCC(c[0], c[1], c[2], c[3]);
}

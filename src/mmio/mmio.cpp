// SPDX-License-Identifier: GPL-3.0-or-later
// Open, close, buffered read/write/seek of RIFF files, and the I/O procedure for disk files.
#include "mmio.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

struct MmioFile {
    MMIOINFO info;
    // One buffer serves either reading (a cache of the device bytes at bufStart) or writing
    // (bytes not yet sent to the device, to go to bufStart), never both at once.
    std::vector<char> buffer;
    int64_t bufStart = 0;
    size_t bufLen = 0;
    bool dirty = false;
    int64_t pos = 0;           // the position the caller sees
    bool writeFailed = false;  // a lost buffered write, reported by mmioClose
};

namespace {

constexpr int32_t kDefaultFileBuffer = 64 * 1024;

int64_t send(HMMIO h, uint32_t message, int64_t p1, int64_t p2) {
    return h->info.pIOProc(&h->info, message, p1, p2);
}

// ---- The I/O procedure for disk files; the descriptor lives in adwInfo[0] (+1, so 0 is none).

int fileDescriptor(const MMIOINFO* info) {
    return static_cast<int>(info->adwInfo[0]) - 1;
}

int64_t fileOpen(MMIOINFO* info, const char* name) {
    if (name == nullptr) return MMIOERR_CANNOTOPEN;
    int oflags = O_RDONLY;
    switch (info->dwFlags & 3) {
        case MMIO_WRITE:
            oflags = O_WRONLY;
            break;
        case MMIO_READWRITE:
            oflags = O_RDWR;
            break;
        default:
            break;
    }
    if (info->dwFlags & MMIO_CREATE) oflags |= O_CREAT | O_TRUNC;
    int fd = ::open(name, oflags | O_CLOEXEC, 0666);
    if (fd < 0) return errno == ENOENT ? MMIOERR_FILENOTFOUND : MMIOERR_CANNOTOPEN;
    info->adwInfo[0] = static_cast<uintptr_t>(fd) + 1;
    info->lDiskOffset = 0;
    return 0;
}

int64_t fileTransfer(MMIOINFO* info, bool writing, char* data, int64_t count) {
    int fd = fileDescriptor(info);
    int64_t done = 0;
    while (done < count) {
        ssize_t n = writing ? ::write(fd, data + done, static_cast<size_t>(count - done))
                            : ::read(fd, data + done, static_cast<size_t>(count - done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 || (writing && n == 0)) {
            // Resynchronise the recorded offset with what actually happened.
            off_t at = ::lseek(fd, 0, SEEK_CUR);
            if (at >= 0) info->lDiskOffset = at;
            return -1;
        }
        if (n == 0) break;
        done += n;
    }
    info->lDiskOffset += done;
    return done;
}

int64_t fileIOProc(MMIOINFO* info, uint32_t message, int64_t p1, int64_t p2) {
    switch (message) {
        case MMIOM_OPEN:
            return fileOpen(info, reinterpret_cast<const char*>(p1));
        case MMIOM_CLOSE: {
            int fd = fileDescriptor(info);
            info->adwInfo[0] = 0;
            return fd >= 0 && ::close(fd) != 0 ? MMIOERR_CANNOTCLOSE : 0;
        }
        case MMIOM_READ:
            return fileTransfer(info, false, reinterpret_cast<char*>(p1), p2);
        case MMIOM_WRITE:
        case MMIOM_WRITEFLUSH:
            return fileTransfer(info, true, reinterpret_cast<char*>(p1), p2);
        case MMIOM_SEEK: {
            int whence = p2 == MMIO_SEEK_SET ? SEEK_SET : p2 == MMIO_SEEK_CUR ? SEEK_CUR : SEEK_END;
            off_t at = ::lseek(fileDescriptor(info), static_cast<off_t>(p1), whence);
            if (at < 0) return -1;
            info->lDiskOffset = at;
            return at;
        }
        default:
            return 0;
    }
}

// ---- Buffer management

bool deviceSeek(HMMIO h, int64_t position) {
    if (h->info.lDiskOffset == position) return true;
    return send(h, MMIOM_SEEK, position, MMIO_SEEK_SET) == position;
}

// Sends count bytes to the device at position; true when all of them went.
bool deviceWrite(HMMIO h, int64_t position, const char* data, int64_t count) {
    if (count == 0) return true;
    if (!deviceSeek(h, position)) return false;
    return send(h, MMIOM_WRITE, reinterpret_cast<intptr_t>(data), count) == count;
}

bool flushBuffer(HMMIO h) {
    if (!h->dirty) return true;
    bool ok = deviceWrite(h, h->bufStart, h->buffer.data(), static_cast<int64_t>(h->bufLen));
    h->dirty = false;
    h->bufLen = 0;
    if (!ok) h->writeFailed = true;
    return ok;
}

void dropReadCache(HMMIO h) {
    if (!h->dirty) h->bufLen = 0;
}

bool cacheHolds(HMMIO h, int64_t position) {
    return !h->dirty && h->bufLen > 0 && position >= h->bufStart &&
           position < h->bufStart + static_cast<int64_t>(h->bufLen);
}

// Reads straight from the device at the current position; -1 on failure.
int64_t deviceRead(HMMIO h, char* data, int64_t count) {
    if (!deviceSeek(h, h->pos)) {
        // A device that cannot move past its end (a stream) has nothing to read there.
        int64_t end = send(h, MMIOM_SEEK, 0, MMIO_SEEK_END);
        return end >= 0 && h->pos >= end ? 0 : -1;
    }
    return send(h, MMIOM_READ, reinterpret_cast<intptr_t>(data), count);
}

}  // namespace

HMMIO mmioOpen(const char* fileName, MMIOINFO* info, uint32_t flags) {
    std::unique_ptr<MmioFile> h;
    try {
        h = std::make_unique<MmioFile>();
    } catch (const std::bad_alloc&) {
        if (info) info->wErrorRet = MMIOERR_OUTOFMEMORY;
        return nullptr;
    }
    if (info) h->info = *info;
    h->info.dwFlags = flags;
    h->info.wErrorRet = 0;
    h->info.lDiskOffset = 0;
    h->info.hmmio = h.get();
    int32_t bufferSize = h->info.cchBuffer;
    if (!h->info.pIOProc) {
        h->info.pIOProc = fileIOProc;
        h->info.adwInfo[0] = 0;
        if (bufferSize <= 0) bufferSize = kDefaultFileBuffer;
    }
    h->info.cchBuffer = std::max(bufferSize, 0);
    h->buffer.resize(static_cast<size_t>(h->info.cchBuffer));

    int64_t result = send(h.get(), MMIOM_OPEN, reinterpret_cast<intptr_t>(fileName), 0);
    if (result != 0) {
        if (info) info->wErrorRet = result > 0 ? static_cast<uint32_t>(result) : MMIOERR_CANNOTOPEN;
        return nullptr;
    }
    if (info) info->wErrorRet = 0;
    return h.release();
}

MMRESULT mmioFlush(HMMIO h, uint32_t) {
    if (!h) return MMIOERR_CANNOTWRITE;
    return flushBuffer(h) ? 0 : MMIOERR_CANNOTWRITE;
}

MMRESULT mmioClose(HMMIO h, uint32_t) {
    if (!h) return MMIOERR_CANNOTCLOSE;
    std::unique_ptr<MmioFile> owned(h);
    bool flushed = flushBuffer(h) && !h->writeFailed;
    int64_t closed = send(h, MMIOM_CLOSE, 0, 0);
    if (!flushed) return MMIOERR_CANNOTWRITE;
    return closed == 0 ? 0 : MMIOERR_CANNOTCLOSE;
}

int32_t mmioRead(HMMIO h, void* buffer, int32_t count) {
    if (!h || count < 0 || (count > 0 && !buffer)) return -1;
    if (!flushBuffer(h)) return -1;
    char* out = static_cast<char*>(buffer);
    int32_t total = 0;
    const int64_t capacity = static_cast<int64_t>(h->buffer.size());
    while (total < count) {
        int64_t want = count - total;
        if (cacheHolds(h, h->pos)) {
            int64_t offset = h->pos - h->bufStart;
            int64_t n = std::min<int64_t>(want, static_cast<int64_t>(h->bufLen) - offset);
            std::memcpy(out + total, h->buffer.data() + offset, static_cast<size_t>(n));
            total += static_cast<int32_t>(n);
            h->pos += n;
            continue;
        }
        if (want >= capacity) {
            int64_t n = deviceRead(h, out + total, want);
            if (n < 0) return -1;
            total += static_cast<int32_t>(n);
            h->pos += n;
            if (n == 0) break;
            continue;
        }
        int64_t n = deviceRead(h, h->buffer.data(), capacity);
        if (n < 0) {
            h->bufLen = 0;
            return -1;
        }
        h->bufStart = h->pos;
        h->bufLen = static_cast<size_t>(n);
        if (n == 0) break;
    }
    return total;
}

int32_t mmioWrite(HMMIO h, const void* buffer, int32_t count) {
    if (!h || count < 0 || (count > 0 && !buffer)) return -1;
    if (count == 0) return 0;
    // A RIFF file cannot describe more than 4 GiB; refuse rather than wrap a size field.
    if (h->pos + count > MMIO_MAX_FILE_SIZE) return -1;
    const char* in = static_cast<const char*>(buffer);
    dropReadCache(h);
    const int64_t capacity = static_cast<int64_t>(h->buffer.size());
    if (count >= capacity) {
        if (!flushBuffer(h)) return -1;
        if (!deviceWrite(h, h->pos, in, count)) {
            h->writeFailed = true;
            return -1;
        }
    } else {
        // Writes anywhere inside the pending stretch (a chunk size patched behind the data)
        // stay in the buffer; anything else sends the stretch out first.
        const int64_t end = h->bufStart + static_cast<int64_t>(h->bufLen);
        const bool fits =
            h->pos >= h->bufStart && h->pos <= end && h->pos + count <= h->bufStart + capacity;
        if (h->dirty && !fits && !flushBuffer(h)) return -1;
        if (!h->dirty) {
            h->dirty = true;
            h->bufStart = h->pos;
            h->bufLen = 0;
        }
        const size_t offset = static_cast<size_t>(h->pos - h->bufStart);
        std::memcpy(h->buffer.data() + offset, in, static_cast<size_t>(count));
        h->bufLen = std::max(h->bufLen, offset + static_cast<size_t>(count));
    }
    h->pos += count;
    return count;
}

int64_t mmioSeek(HMMIO h, int64_t offset, int origin) {
    if (!h) return -1;
    int64_t target;
    switch (origin) {
        case MMIO_SEEK_SET:
            target = offset;
            break;
        case MMIO_SEEK_CUR:
            target = h->pos + offset;
            break;
        case MMIO_SEEK_END: {
            if (!flushBuffer(h)) return -1;
            int64_t at = send(h, MMIOM_SEEK, offset, MMIO_SEEK_END);
            if (at < 0) return -1;
            h->pos = at;
            return at;
        }
        default:
            return -1;
    }
    if (target < 0) return -1;
    // Like lseek, moving is only recorded; the device is positioned by the next transfer, so
    // a position past the end is allowed and reads there give nothing.
    h->pos = target;
    return target;
}

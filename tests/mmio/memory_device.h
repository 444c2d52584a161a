// SPDX-License-Identifier: GPL-3.0-or-later
// An I/O procedure over a byte vector, so RIFF code can be tested without files.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "mmio.h"

struct MemoryDevice {
    std::vector<uint8_t> bytes;
    int opens = 0;
    int closes = 0;
    int seeks = 0;

    static MemoryDevice* of(MMIOINFO* info) {
        return reinterpret_cast<MemoryDevice*>(info->adwInfo[0]);
    }

    static int64_t proc(MMIOINFO* info, uint32_t message, int64_t p1, int64_t p2) {
        MemoryDevice* d = of(info);
        int64_t& at = info->lDiskOffset;
        switch (message) {
            case MMIOM_OPEN:
                ++d->opens;
                at = 0;
                return 0;
            case MMIOM_CLOSE:
                ++d->closes;
                return 0;
            case MMIOM_READ: {
                int64_t n = std::clamp<int64_t>(int64_t(d->bytes.size()) - at, 0, p2);
                if (n > 0)
                    std::memcpy(reinterpret_cast<void*>(p1), d->bytes.data() + at, size_t(n));
                at += n;
                return n;
            }
            case MMIOM_WRITE:
            case MMIOM_WRITEFLUSH:
                if (at + p2 > int64_t(d->bytes.size())) d->bytes.resize(size_t(at + p2));
                std::memcpy(d->bytes.data() + at, reinterpret_cast<const void*>(p1), size_t(p2));
                at += p2;
                return p2;
            case MMIOM_SEEK: {
                ++d->seeks;
                int64_t target = p2 == MMIO_SEEK_SET   ? p1
                                 : p2 == MMIO_SEEK_CUR ? at + p1
                                                       : int64_t(d->bytes.size()) + p1;
                // Like a stream, the device cannot move outside what it holds.
                if (target < 0 || target > int64_t(d->bytes.size())) return -1;
                at = target;
                return at;
            }
            default:
                return 0;
        }
    }

    // Opens a handle on this device; bufferSize 0 leaves it unbuffered.
    HMMIO open(uint32_t flags, int32_t bufferSize = 0) {
        MMIOINFO info;
        info.pIOProc = &MemoryDevice::proc;
        info.adwInfo[0] = reinterpret_cast<uintptr_t>(this);
        info.cchBuffer = bufferSize;
        return mmioOpen(nullptr, &info, flags);
    }
};

// SPDX-License-Identifier: GPL-3.0-or-later
// The codec manager's stream calls: open a conversion on the first driver of
// the table that takes it, then size, prepare and convert on its codec.
#include <cstring>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "acm.h"
#include "acm_internal.h"
#include "driver.h"

struct AcmStream {
    const acm::Driver* driver;
    std::unique_ptr<acm::Codec> codec;
};

namespace {

using acm::detail::addressed;
using acm::detail::checkRecord;
using acm::detail::guarded;

// Live stream handles, so that a stale or foreign handle is refused
// instead of followed. A call holds its own reference for as long as it
// runs, so a close on another thread frees the stream only after that call.
std::mutex streamsLock;
std::unordered_map<const AcmStream*, std::shared_ptr<AcmStream>>& liveStreams() {
    static std::unordered_map<const AcmStream*, std::shared_ptr<AcmStream>> map;
    return map;
}

std::shared_ptr<AcmStream> findStream(HACMSTREAM has) {
    std::lock_guard lock(streamsLock);
    const auto it = has ? liveStreams().find(has) : liveStreams().end();
    return it != liveStreams().end() ? it->second : nullptr;
}

// What acmStreamPrepareHeader records in the driver-reserved words, so that
// later calls can tell whether the caller moved or grew the buffers.
enum Reserved { kOwner, kSrc, kSrcLength, kDst, kDstLength };

}  // namespace

MMRESULT acmStreamOpen(HACMSTREAM* phas, HACMDRIVER had, const WAVEFORMATEX* pwfxSrc,
                       const WAVEFORMATEX* pwfxDst, const WAVEFILTER* pwfltr, uintptr_t, uintptr_t,
                       uint32_t fdwOpen) {
    const bool query = fdwOpen & ACM_STREAMOPENF_QUERY;
    if (phas) *phas = nullptr;
    std::span<const AcmDriverEntry> list;
    if (!addressed(had, &list)) return MMSYSERR_INVALHANDLE;
    if (fdwOpen & ~(ACM_STREAMOPENF_QUERY | ACM_STREAMOPENF_ASYNC | ACM_STREAMOPENF_NONREALTIME))
        return MMSYSERR_INVALFLAG;
    if ((!phas && !query) || !pwfxSrc || !pwfxDst) return MMSYSERR_INVALPARAM;
    // Conversions run synchronously and no driver filters.
    if ((fdwOpen & ACM_STREAMOPENF_ASYNC) || pwfltr) return MMSYSERR_NOTSUPPORTED;
    if (MMRESULT r = checkRecord(pwfxSrc)) return r;
    if (MMRESULT r = checkRecord(pwfxDst)) return r;

    return guarded([&]() -> MMRESULT {
        const uint32_t cbSrc = acm::recordSize(pwfxSrc);
        const uint32_t cbDst = acm::recordSize(pwfxDst);
        MMRESULT result = ACMERR_NOTPOSSIBLE;
        for (const AcmDriverEntry& e : list) {
            std::unique_ptr<acm::Codec> codec;
            const MMRESULT r =
                e.driver->open(pwfxSrc, cbSrc, pwfxDst, cbDst, fdwOpen, query ? nullptr : &codec);
            if (r != MMSYSERR_NOERROR) {
                // A driver that took the formats but failed to set up says why.
                if (result == ACMERR_NOTPOSSIBLE) result = r;
                continue;
            }
            if (query) return MMSYSERR_NOERROR;
            if (!codec) return MMSYSERR_ERROR;
            auto stream = std::make_shared<AcmStream>(AcmStream{e.driver, std::move(codec)});
            std::lock_guard lock(streamsLock);
            liveStreams().emplace(stream.get(), stream);
            *phas = stream.get();
            return MMSYSERR_NOERROR;
        }
        return result;
    });
}

MMRESULT acmStreamClose(HACMSTREAM has, uint32_t fdwClose) {
    if (fdwClose != 0) return MMSYSERR_INVALFLAG;
    // Destroyed outside the lock, by whichever call lets go of it last.
    std::shared_ptr<AcmStream> stream;
    {
        std::lock_guard lock(streamsLock);
        const auto it = has ? liveStreams().find(has) : liveStreams().end();
        if (it == liveStreams().end()) return MMSYSERR_INVALHANDLE;
        stream = std::move(it->second);
        liveStreams().erase(it);
    }
    return MMSYSERR_NOERROR;
}

MMRESULT acmStreamSize(HACMSTREAM has, uint32_t cbInput, uint32_t* pdwOutputBytes,
                       uint32_t fdwSize) {
    const std::shared_ptr<AcmStream> s = findStream(has);
    if (!s) return MMSYSERR_INVALHANDLE;
    if (!pdwOutputBytes) return MMSYSERR_INVALPARAM;
    if (fdwSize != ACM_STREAMSIZEF_SOURCE && fdwSize != ACM_STREAMSIZEF_DESTINATION)
        return MMSYSERR_INVALFLAG;
    return guarded([&] { return s->codec->size(cbInput, pdwOutputBytes, fdwSize); });
}

namespace {

bool prepared(const ACMSTREAMHEADER* h) {
    return h->fdwStatus & ACMSTREAMHEADER_STATUSF_PREPARED;
}

// The header must be prepared on this stream and point at the buffers it
// was prepared with; lengths may shrink but not grow.
MMRESULT checkPrepared(HACMSTREAM has, const ACMSTREAMHEADER* h) {
    if (!prepared(h)) return ACMERR_UNPREPARED;
    const uintptr_t* r = h->dwReservedDriver;
    if (r[kOwner] != reinterpret_cast<uintptr_t>(has)) return MMSYSERR_INVALPARAM;
    if (r[kSrc] != reinterpret_cast<uintptr_t>(h->pbSrc) ||
        r[kDst] != reinterpret_cast<uintptr_t>(h->pbDst) || h->cbSrcLength > r[kSrcLength] ||
        h->cbDstLength > r[kDstLength])
        return MMSYSERR_INVALPARAM;
    return MMSYSERR_NOERROR;
}

}  // namespace

MMRESULT acmStreamPrepareHeader(HACMSTREAM has, ACMSTREAMHEADER* pash, uint32_t fdwPrepare) {
    if (!findStream(has)) return MMSYSERR_INVALHANDLE;
    if (!pash || pash->cbStruct < sizeof(ACMSTREAMHEADER)) return MMSYSERR_INVALPARAM;
    if (fdwPrepare != 0) return MMSYSERR_INVALFLAG;
    if (prepared(pash)) {
        // Preparing twice has no effect, as long as it is the same stream.
        return pash->dwReservedDriver[kOwner] == reinterpret_cast<uintptr_t>(has)
                   ? MMSYSERR_NOERROR
                   : MMSYSERR_INVALPARAM;
    }
    if ((!pash->pbSrc && pash->cbSrcLength) || !pash->pbDst || pash->cbDstLength == 0)
        return MMSYSERR_INVALPARAM;
    uintptr_t* r = pash->dwReservedDriver;
    r[kOwner] = reinterpret_cast<uintptr_t>(has);
    r[kSrc] = reinterpret_cast<uintptr_t>(pash->pbSrc);
    r[kSrcLength] = pash->cbSrcLength;
    r[kDst] = reinterpret_cast<uintptr_t>(pash->pbDst);
    r[kDstLength] = pash->cbDstLength;
    pash->fdwStatus =
        (pash->fdwStatus & ~ACMSTREAMHEADER_STATUSF_DONE) | ACMSTREAMHEADER_STATUSF_PREPARED;
    return MMSYSERR_NOERROR;
}

MMRESULT acmStreamUnprepareHeader(HACMSTREAM has, ACMSTREAMHEADER* pash, uint32_t fdwUnprepare) {
    if (!findStream(has)) return MMSYSERR_INVALHANDLE;
    if (!pash || pash->cbStruct < sizeof(ACMSTREAMHEADER)) return MMSYSERR_INVALPARAM;
    if (fdwUnprepare != 0) return MMSYSERR_INVALFLAG;
    if (MMRESULT r = checkPrepared(has, pash)) return r;
    // The lengths must be back to what they were when prepared.
    const uintptr_t* r = pash->dwReservedDriver;
    if (pash->cbSrcLength != r[kSrcLength] || pash->cbDstLength != r[kDstLength])
        return MMSYSERR_INVALPARAM;
    pash->fdwStatus &= ~ACMSTREAMHEADER_STATUSF_PREPARED;
    std::memset(pash->dwReservedDriver, 0, sizeof pash->dwReservedDriver);
    return MMSYSERR_NOERROR;
}

MMRESULT acmStreamConvert(HACMSTREAM has, ACMSTREAMHEADER* pash, uint32_t fdwConvert) {
    const std::shared_ptr<AcmStream> s = findStream(has);
    if (!s) return MMSYSERR_INVALHANDLE;
    if (!pash || pash->cbStruct < sizeof(ACMSTREAMHEADER)) return MMSYSERR_INVALPARAM;
    if (fdwConvert &
        ~(ACM_STREAMCONVERTF_BLOCKALIGN | ACM_STREAMCONVERTF_START | ACM_STREAMCONVERTF_END))
        return MMSYSERR_INVALFLAG;
    if (MMRESULT r = checkPrepared(has, pash)) return r;
    if (pash->fdwStatus & ACMSTREAMHEADER_STATUSF_INQUEUE) return ACMERR_BUSY;

    pash->fdwStatus &= ~ACMSTREAMHEADER_STATUSF_DONE;
    acm::Codec::Buffers io{pash->pbSrc, pash->cbSrcLength, 0, pash->pbDst, pash->cbDstLength, 0};
    MMRESULT r = guarded([&] {
        return s->codec->convert(
            io, fdwConvert & (ACM_STREAMCONVERTF_BLOCKALIGN | ACM_STREAMCONVERTF_END));
    });
    if (io.srcUsed > io.srcLength || io.dstUsed > io.dstLength) {
        // A driver that claims more than it was given is broken; report
        // nothing rather than lengths the caller would trust.
        io.srcUsed = io.dstUsed = 0;
        r = MMSYSERR_ERROR;
    }
    pash->cbSrcLengthUsed = io.srcUsed;
    pash->cbDstLengthUsed = io.dstUsed;
    pash->fdwStatus |= ACMSTREAMHEADER_STATUSF_DONE;
    return r;
}

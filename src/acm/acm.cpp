// SPDX-License-Identifier: GPL-3.0-or-later
// The codec manager calls: argument checks, then the drivers of the table
// in priority order (or the one driver a handle names).
#include "acm.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "driver.h"

struct AcmDriverEntry {
    const acm::Driver* driver;
};

struct AcmStream {
    const acm::Driver* driver;
    std::unique_ptr<acm::Codec> codec;
};

namespace {

using acm::Driver;

std::span<const AcmDriverEntry> entries() {
    static const std::vector<AcmDriverEntry> table = [] {
        std::vector<AcmDriverEntry> t;
        for (const Driver* d : acm::drivers()) t.push_back({d});
        return t;
    }();
    return table;
}

// The drivers a call addresses: all of them for a null handle, else the one
// it names. False for a handle that is not one of ours.
bool addressed(const void* handle, std::span<const AcmDriverEntry>* out) {
    const auto all = entries();
    if (!handle) {
        *out = all;
        return true;
    }
    for (size_t i = 0; i < all.size(); ++i) {
        if (handle == &all[i]) {
            *out = all.subspan(i, 1);
            return true;
        }
    }
    return false;
}

uint32_t largestRecord(std::span<const AcmDriverEntry> list) {
    uint32_t size = sizeof(WAVEFORMATEX);
    for (const AcmDriverEntry& e : list) {
        for (const acm::TagInfo& t : e.driver->tags()) size = std::max(size, t.formatSize);
        for (const acm::FormatEntry& f : e.driver->formats())
            size = std::max(size, static_cast<uint32_t>(f.record.size()));
    }
    return size;
}

uint32_t maxFormatSize() {
    static const uint32_t size = largestRecord(entries());
    return size;
}

// Checks a record handed in by a caller before any driver reads it: the
// size its header claims must be one some driver could have, and the
// fields every format needs must be set.
MMRESULT checkRecord(const WAVEFORMATEX* wfx) {
    if (!wfx) return MMSYSERR_INVALPARAM;
    if (acm::recordSize(wfx) > maxFormatSize()) return MMSYSERR_INVALPARAM;
    if (wfx->nChannels == 0 || wfx->nSamplesPerSec == 0 || wfx->nBlockAlign == 0)
        return ACMERR_NOTPOSSIBLE;
    return MMSYSERR_NOERROR;
}

// Drivers may throw (allocation, library set-up); no exception crosses the
// C-style interface.
template <typename F>
MMRESULT guarded(F&& f) {
    try {
        return f();
    } catch (const std::bad_alloc&) {
        return MMSYSERR_NOMEM;
    } catch (...) {
        return MMSYSERR_ERROR;
    }
}

struct TagRef {
    const AcmDriverEntry* entry;
    const acm::TagInfo* info;
    uint32_t index;  // position among the enumerated tags, or UINT32_MAX
};

// Every tag of the addressed drivers, first driver first, each tag once.
std::vector<TagRef> collectTags(std::span<const AcmDriverEntry> list) {
    std::vector<TagRef> tags;
    uint32_t index = 0;
    for (const AcmDriverEntry& e : list) {
        for (const acm::TagInfo& t : e.driver->tags()) {
            const bool seen = std::any_of(tags.begin(), tags.end(),
                                          [&](const TagRef& r) { return r.info->tag == t.tag; });
            if (seen) continue;
            tags.push_back({&e, &t, t.enumerated ? index++ : UINT32_MAX});
        }
    }
    return tags;
}

void fillTagDetails(const TagRef& ref, ACMFORMATTAGDETAILS* d) {
    const Driver* drv = ref.entry->driver;
    d->dwFormatTagIndex = ref.index == UINT32_MAX ? 0 : ref.index;
    d->dwFormatTag = ref.info->tag;
    d->cbFormatSize = ref.info->formatSize;
    for (const acm::FormatEntry& f : drv->formats())
        if (f.wfx()->wFormatTag == ref.info->tag)
            d->cbFormatSize = std::max(d->cbFormatSize, static_cast<uint32_t>(f.record.size()));
    d->fdwSupport = drv->support();
    d->cStandardFormats = static_cast<uint32_t>(std::count_if(
        drv->formats().begin(), drv->formats().end(),
        [&](const acm::FormatEntry& f) { return f.wfx()->wFormatTag == ref.info->tag; }));
    acm::copyText(d->szFormatTag, sizeof d->szFormatTag, ref.info->name);
}

bool enumeratedTag(const Driver* d, uint16_t tag) {
    for (const acm::TagInfo& t : d->tags())
        if (t.tag == tag) return t.enumerated;
    return false;
}

void fillFormatDetails(const Driver* d, const acm::FormatEntry& f, uint32_t index,
                       ACMFORMATDETAILS* out) {
    std::memcpy(out->pwfx, f.record.data(), f.record.size());
    out->dwFormatIndex = index;
    out->dwFormatTag = f.wfx()->wFormatTag;
    out->fdwSupport = d->support();
    acm::copyText(out->szFormat, sizeof out->szFormat, f.description);
}

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

MMRESULT acmMetrics(HACMOBJ hao, uint32_t uMetric, void* pMetric) {
    std::span<const AcmDriverEntry> list;
    if (!addressed(hao, &list)) return MMSYSERR_INVALHANDLE;
    if (!pMetric) return MMSYSERR_INVALPARAM;
    uint32_t value;
    switch (uMetric) {
        case ACM_METRIC_COUNT_DRIVERS:
            value = static_cast<uint32_t>(list.size());
            break;
        case ACM_METRIC_MAX_SIZE_FORMAT:
            value = largestRecord(list);
            break;
        default:
            return MMSYSERR_NOTSUPPORTED;
    }
    std::memcpy(pMetric, &value, sizeof value);
    return MMSYSERR_NOERROR;
}

MMRESULT acmFormatTagDetails(HACMDRIVER had, ACMFORMATTAGDETAILS* paftd, uint32_t fdwDetails) {
    std::span<const AcmDriverEntry> list;
    if (!addressed(had, &list)) return MMSYSERR_INVALHANDLE;
    if (!paftd || paftd->cbStruct < sizeof(ACMFORMATTAGDETAILS)) return MMSYSERR_INVALPARAM;
    const std::vector<TagRef> tags = collectTags(list);
    const TagRef* found = nullptr;
    switch (fdwDetails) {
        case ACM_FORMATTAGDETAILSF_INDEX:
            for (const TagRef& t : tags)
                if (t.index == paftd->dwFormatTagIndex) found = &t;
            break;
        case ACM_FORMATTAGDETAILSF_FORMATTAG:
            for (const TagRef& t : tags)
                if (t.info->tag == paftd->dwFormatTag && !found) found = &t;
            break;
        case ACM_FORMATTAGDETAILSF_LARGESTSIZE:
            // Tag 0 asks for the largest tag of all.
            for (const TagRef& t : tags) {
                if (paftd->dwFormatTag != 0 && t.info->tag != paftd->dwFormatTag) continue;
                if (!found || t.info->formatSize > found->info->formatSize) found = &t;
            }
            break;
        default:
            return MMSYSERR_INVALFLAG;
    }
    if (!found) return ACMERR_NOTPOSSIBLE;
    fillTagDetails(*found, paftd);
    return MMSYSERR_NOERROR;
}

MMRESULT acmFormatDetails(HACMDRIVER had, ACMFORMATDETAILS* pafd, uint32_t fdwDetails) {
    std::span<const AcmDriverEntry> list;
    if (!addressed(had, &list)) return MMSYSERR_INVALHANDLE;
    if (!pafd || pafd->cbStruct < sizeof(ACMFORMATDETAILS) || !pafd->pwfx ||
        pafd->cbwfx < sizeof(WAVEFORMATEX))
        return MMSYSERR_INVALPARAM;
    return guarded([&]() -> MMRESULT {
        if (fdwDetails == ACM_FORMATDETAILSF_FORMAT) {
            if (MMRESULT r = checkRecord(pafd->pwfx)) return r;
            if (acm::recordSize(pafd->pwfx) > pafd->cbwfx) return MMSYSERR_INVALPARAM;
            for (const AcmDriverEntry& e : list) {
                std::string text;
                if (!e.driver->describe(pafd->pwfx, pafd->cbwfx, &text)) continue;
                pafd->dwFormatTag = pafd->pwfx->wFormatTag;
                pafd->fdwSupport = e.driver->support();
                acm::copyText(pafd->szFormat, sizeof pafd->szFormat, text);
                return MMSYSERR_NOERROR;
            }
            return ACMERR_NOTPOSSIBLE;
        }
        if (fdwDetails != ACM_FORMATDETAILSF_INDEX) return MMSYSERR_INVALFLAG;
        if (pafd->dwFormatTag == 0 || pafd->dwFormatTag > 0xFFFF) return MMSYSERR_INVALPARAM;
        uint32_t index = 0;
        for (const AcmDriverEntry& e : list) {
            for (const acm::FormatEntry& f : e.driver->formats()) {
                if (f.wfx()->wFormatTag != pafd->dwFormatTag) continue;
                if (index++ != pafd->dwFormatIndex) continue;
                if (f.record.size() > pafd->cbwfx) return MMSYSERR_INVALPARAM;
                fillFormatDetails(e.driver, f, pafd->dwFormatIndex, pafd);
                return MMSYSERR_NOERROR;
            }
        }
        return ACMERR_NOTPOSSIBLE;
    });
}

MMRESULT acmFormatTagEnum(HACMDRIVER had, ACMFORMATTAGDETAILS* paftd, const ACMFORMATTAGENUMCB& cb,
                          uint32_t fdwEnum) {
    std::span<const AcmDriverEntry> list;
    if (!addressed(had, &list)) return MMSYSERR_INVALHANDLE;
    if (!paftd || paftd->cbStruct < sizeof(ACMFORMATTAGDETAILS) || !cb) return MMSYSERR_INVALPARAM;
    if (fdwEnum != 0) return MMSYSERR_INVALFLAG;
    for (const TagRef& t : collectTags(list)) {
        if (t.index == UINT32_MAX) continue;
        fillTagDetails(t, paftd);
        if (!cb(t.entry, *paftd, paftd->fdwSupport)) break;
    }
    return MMSYSERR_NOERROR;
}

namespace {

constexpr uint32_t kFieldFlags = ACM_FORMATENUMF_WFORMATTAG | ACM_FORMATENUMF_NCHANNELS |
                                 ACM_FORMATENUMF_NSAMPLESPERSEC | ACM_FORMATENUMF_WBITSPERSAMPLE;
constexpr uint32_t kEnumFlags = kFieldFlags | ACM_FORMATENUMF_CONVERT | ACM_FORMATENUMF_SUGGEST |
                                ACM_FORMATENUMF_HARDWARE | ACM_FORMATENUMF_INPUT |
                                ACM_FORMATENUMF_OUTPUT;

// The restrictions of one acmFormatEnum call, taken from the caller's
// record before that record is overwritten by the enumerated formats.
struct EnumFilter {
    uint32_t flags = 0;
    uint32_t tag = 0;  // 0: any
    WAVEFORMATEX fields{};
    std::vector<uint8_t> source;  // CONVERT / SUGGEST: the format to convert
    HACMDRIVER driver = nullptr;  // the driver asked to convert, null for all
    std::span<const AcmDriverEntry> converters;

    const WAVEFORMATEX* src() const { return reinterpret_cast<const WAVEFORMATEX*>(source.data()); }

    bool fieldsMatch(const WAVEFORMATEX* f) const {
        if (tag && f->wFormatTag != tag) return false;
        if (!source.empty()) return true;  // the record was the source, not a template
        return acm::meetsTemplate(*f, fields, flags & ~ACM_FORMATENUMF_WFORMATTAG);
    }

    bool convertible(const acm::FormatEntry& f) const {
        if (flags & ACM_FORMATENUMF_CONVERT) {
            const bool any = std::any_of(converters.begin(), converters.end(), [&](auto& e) {
                return e.driver->open(src(), acm::recordSize(src()), f.wfx(),
                                      static_cast<uint32_t>(f.record.size()), ACM_STREAMOPENF_QUERY,
                                      nullptr) == MMSYSERR_NOERROR;
            });
            if (!any) return false;
        }
        if (flags & ACM_FORMATENUMF_SUGGEST) {
            // Listed when asking for a format with its primary fields gives
            // exactly this format.
            std::vector<uint8_t> out(maxFormatSize());
            auto* tmpl = reinterpret_cast<WAVEFORMATEX*>(out.data());
            std::memcpy(tmpl, f.record.data(), sizeof(WAVEFORMATEX));
            const MMRESULT r = acmFormatSuggest(driver, src(), tmpl,
                                                static_cast<uint32_t>(out.size()), kFieldFlags);
            if (r != MMSYSERR_NOERROR || acm::recordSize(tmpl) != f.record.size() ||
                std::memcmp(tmpl, f.record.data(), f.record.size()) != 0)
                return false;
        }
        return true;
    }
};

}  // namespace

MMRESULT acmFormatEnum(HACMDRIVER had, ACMFORMATDETAILS* pafd, const ACMFORMATENUMCB& cb,
                       uint32_t fdwEnum) {
    std::span<const AcmDriverEntry> list;
    if (!addressed(had, &list)) return MMSYSERR_INVALHANDLE;
    if (!pafd || pafd->cbStruct < sizeof(ACMFORMATDETAILS) || !pafd->pwfx ||
        pafd->cbwfx < sizeof(WAVEFORMATEX) || !cb)
        return MMSYSERR_INVALPARAM;
    if (fdwEnum & ~kEnumFlags) return MMSYSERR_INVALFLAG;
    // No wave devices and no hardware codecs stand behind this manager.
    if (fdwEnum & (ACM_FORMATENUMF_HARDWARE | ACM_FORMATENUMF_INPUT | ACM_FORMATENUMF_OUTPUT))
        return MMSYSERR_NOERROR;

    return guarded([&]() -> MMRESULT {
        EnumFilter filter;
        filter.flags = fdwEnum;
        filter.converters = list;
        filter.driver = had;
        if (fdwEnum & (ACM_FORMATENUMF_CONVERT | ACM_FORMATENUMF_SUGGEST)) {
            // The record is the source here, so a destination tag comes from
            // the details.
            if (MMRESULT r = checkRecord(pafd->pwfx)) return r;
            const uint32_t size = acm::recordSize(pafd->pwfx);
            if (size > pafd->cbwfx) return MMSYSERR_INVALPARAM;
            const auto* bytes = reinterpret_cast<const uint8_t*>(pafd->pwfx);
            filter.source.assign(bytes, bytes + size);
            if (fdwEnum & ACM_FORMATENUMF_WFORMATTAG) {
                if (pafd->dwFormatTag == 0 || pafd->dwFormatTag > 0xFFFF)
                    return MMSYSERR_INVALPARAM;
                filter.tag = pafd->dwFormatTag;
            }
        } else {
            filter.fields = *pafd->pwfx;
            if (fdwEnum & ACM_FORMATENUMF_WFORMATTAG) filter.tag = filter.fields.wFormatTag;
        }

        // The caller's buffer must hold every format that may be listed.
        for (const AcmDriverEntry& e : list)
            for (const acm::FormatEntry& f : e.driver->formats())
                if ((!filter.tag || f.wfx()->wFormatTag == filter.tag) &&
                    f.record.size() > pafd->cbwfx)
                    return MMSYSERR_INVALPARAM;

        for (const AcmDriverEntry& e : list) {
            std::vector<uint32_t> perTag;  // running index within each tag
            std::vector<uint16_t> tagsSeen;
            for (const acm::FormatEntry& f : e.driver->formats()) {
                const uint16_t tag = f.wfx()->wFormatTag;
                auto it = std::find(tagsSeen.begin(), tagsSeen.end(), tag);
                if (it == tagsSeen.end()) {
                    tagsSeen.push_back(tag);
                    perTag.push_back(0);
                    it = tagsSeen.end() - 1;
                }
                const uint32_t index = perTag[static_cast<size_t>(it - tagsSeen.begin())]++;
                if (!enumeratedTag(e.driver, tag) || !filter.fieldsMatch(f.wfx()) ||
                    !filter.convertible(f))
                    continue;
                fillFormatDetails(e.driver, f, index, pafd);
                if (!cb(&e, *pafd, pafd->fdwSupport)) return MMSYSERR_NOERROR;
            }
        }
        return MMSYSERR_NOERROR;
    });
}

MMRESULT acmFormatSuggest(HACMDRIVER had, const WAVEFORMATEX* pwfxSrc, WAVEFORMATEX* pwfxDst,
                          uint32_t cbwfxDst, uint32_t fdwSuggest) {
    std::span<const AcmDriverEntry> list;
    if (!addressed(had, &list)) return MMSYSERR_INVALHANDLE;
    if (!pwfxSrc || !pwfxDst || cbwfxDst < sizeof(WAVEFORMATEX)) return MMSYSERR_INVALPARAM;
    if (fdwSuggest & ~ACM_FORMATSUGGESTF_TYPEMASK) return MMSYSERR_INVALFLAG;
    if (MMRESULT r = checkRecord(pwfxSrc)) return r;

    return guarded([&]() -> MMRESULT {
        // Each driver works on its own copy of the template, so that one that
        // fails half-way cannot spoil it for the next.
        const uint32_t capacity = std::max(cbwfxDst, maxFormatSize());
        std::vector<uint8_t> tmpl(capacity, 0);
        std::memcpy(tmpl.data(), pwfxDst, std::min(cbwfxDst, capacity));
        MMRESULT result = ACMERR_NOTPOSSIBLE;
        for (const AcmDriverEntry& e : list) {
            std::vector<uint8_t> work = tmpl;
            auto* out = reinterpret_cast<WAVEFORMATEX*>(work.data());
            if (e.driver->suggest(pwfxSrc, out, capacity, fdwSuggest) != MMSYSERR_NOERROR) continue;
            const auto* want = reinterpret_cast<const WAVEFORMATEX*>(tmpl.data());
            const bool meets = (!(fdwSuggest & ACM_FORMATSUGGESTF_WFORMATTAG) ||
                                out->wFormatTag == want->wFormatTag) &&
                               (!(fdwSuggest & ACM_FORMATSUGGESTF_NCHANNELS) ||
                                out->nChannels == want->nChannels) &&
                               (!(fdwSuggest & ACM_FORMATSUGGESTF_NSAMPLESPERSEC) ||
                                out->nSamplesPerSec == want->nSamplesPerSec) &&
                               (!(fdwSuggest & ACM_FORMATSUGGESTF_WBITSPERSAMPLE) ||
                                out->wBitsPerSample == want->wBitsPerSample);
            if (!meets || checkRecord(out) != MMSYSERR_NOERROR) continue;
            const uint32_t size = acm::recordSize(out);
            if (size > cbwfxDst) {
                // The caller's buffer is too small for this driver's answer.
                result = MMSYSERR_INVALPARAM;
                continue;
            }
            std::memcpy(pwfxDst, work.data(), size);
            return MMSYSERR_NOERROR;
        }
        return result;
    });
}

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

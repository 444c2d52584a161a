// SPDX-License-Identifier: GPL-3.0-or-later
// The codec manager's format calls: argument checks, then the drivers of the
// table in priority order (or the one driver a handle names).
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "acm.h"
#include "acm_internal.h"
#include "driver.h"

namespace acm::detail {

std::span<const AcmDriverEntry> entries() {
    static const std::vector<AcmDriverEntry> table = [] {
        std::vector<AcmDriverEntry> t;
        for (const Driver* d : acm::drivers()) t.push_back({d});
        return t;
    }();
    return table;
}

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

namespace {

uint32_t largestRecord(std::span<const AcmDriverEntry> list) {
    uint32_t size = sizeof(WAVEFORMATEX);
    for (const AcmDriverEntry& e : list) {
        for (const acm::TagInfo& t : e.driver->tags()) size = std::max(size, t.formatSize);
        for (const acm::FormatEntry& f : e.driver->formats())
            size = std::max(size, static_cast<uint32_t>(f.record.size()));
    }
    return size;
}

}  // namespace

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

}  // namespace acm::detail

namespace {

using acm::Driver;
using acm::detail::addressed;
using acm::detail::checkRecord;
using acm::detail::guarded;
using acm::detail::maxFormatSize;

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
            value = acm::detail::largestRecord(list);
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

// SPDX-License-Identifier: GPL-3.0-or-later
// The codec manager: format queries, enumeration, suggestion and conversion
// streams over a fixed table of codec drivers (see drivers.cpp).
//
// The calls, records, fields, flags and result codes keep the names callers
// of a codec manager expect; record sizes are sizeof of these records.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <functional>

using MMRESULT = uint32_t;

// Result codes.
constexpr MMRESULT MMSYSERR_NOERROR = 0;
constexpr MMRESULT MMSYSERR_ERROR = 1;
constexpr MMRESULT MMSYSERR_BADDEVICEID = 2;
constexpr MMRESULT MMSYSERR_NOTSUPPORTED = 8;
constexpr MMRESULT MMSYSERR_INVALHANDLE = 5;
constexpr MMRESULT MMSYSERR_NOMEM = 7;
constexpr MMRESULT MMSYSERR_INVALFLAG = 10;
constexpr MMRESULT MMSYSERR_INVALPARAM = 11;
constexpr MMRESULT ACMERR_BASE = 512;
constexpr MMRESULT ACMERR_NOTPOSSIBLE = ACMERR_BASE + 0;
constexpr MMRESULT ACMERR_BUSY = ACMERR_BASE + 1;
constexpr MMRESULT ACMERR_UNPREPARED = ACMERR_BASE + 2;
constexpr MMRESULT ACMERR_CANCELED = ACMERR_BASE + 3;

// Format tags.
constexpr uint16_t WAVE_FORMAT_PCM = 1;
constexpr uint16_t WAVE_FORMAT_ADPCM = 2;
constexpr uint16_t WAVE_FORMAT_IEEE_FLOAT = 3;
constexpr uint16_t WAVE_FORMAT_ALAW = 6;
constexpr uint16_t WAVE_FORMAT_MULAW = 7;
constexpr uint16_t WAVE_FORMAT_IMA_ADPCM = 17;
constexpr uint16_t WAVE_FORMAT_GSM610 = 49;
constexpr uint16_t WAVE_FORMAT_MPEGLAYER3 = 85;
constexpr uint16_t WAVE_FORMAT_EXTENSIBLE = 0xFFFE;

#pragma pack(push, 1)
// The wave format record, exactly as it lies in a `fmt ` chunk (18 bytes).
struct WAVEFORMATEX {
    uint16_t wFormatTag;
    uint16_t nChannels;
    uint32_t nSamplesPerSec;
    uint32_t nAvgBytesPerSec;
    uint16_t nBlockAlign;
    uint16_t wBitsPerSample;
    uint16_t cbSize;
};

struct ADPCMCOEFSET {
    int16_t iCoef1;
    int16_t iCoef2;
};

struct ADPCMWAVEFORMAT {  // tag 2, cbSize 32
    WAVEFORMATEX wfx;
    uint16_t wSamplesPerBlock;
    uint16_t wNumCoef;
    ADPCMCOEFSET aCoef[7];
};

struct IMAADPCMWAVEFORMAT {  // tag 17, cbSize 2
    WAVEFORMATEX wfx;
    uint16_t wSamplesPerBlock;
};

struct GSM610WAVEFORMAT {  // tag 49, cbSize 2
    WAVEFORMATEX wfx;
    uint16_t wSamplesPerBlock;
};

constexpr uint16_t MPEGLAYER3_ID_MPEG = 1;
constexpr uint32_t MPEGLAYER3_FLAG_PADDING_ISO = 0;
constexpr uint32_t MPEGLAYER3_FLAG_PADDING_ON = 1;
constexpr uint32_t MPEGLAYER3_FLAG_PADDING_OFF = 2;

struct MPEGLAYER3WAVEFORMAT {  // tag 85, cbSize 12
    WAVEFORMATEX wfx;
    uint16_t wID;
    uint32_t fdwFlags;
    uint16_t nBlockSize;
    uint16_t nFramesPerBlock;
    uint16_t nCodecDelay;
};

struct GUID_ {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
};

struct WAVEFORMATEXTENSIBLE {  // tag 0xFFFE, cbSize 22
    WAVEFORMATEX Format;
    uint16_t wValidBitsPerSample;
    uint32_t dwChannelMask;
    GUID_ SubFormat;  // Data1 = 1 (PCM) or 3 (IEEE float), rest the standard suffix
};
#pragma pack(pop)

// The records overlay the bytes of `fmt ` chunks, and the codecs read samples in place:
// both take the host to be little-endian, as the files are.
static_assert(std::endian::native == std::endian::little, "Sonbar needs a little-endian host");
static_assert(sizeof(WAVEFORMATEX) == 18);
static_assert(sizeof(ADPCMWAVEFORMAT) == 50);
static_assert(sizeof(IMAADPCMWAVEFORMAT) == 20);
static_assert(sizeof(GSM610WAVEFORMAT) == 20);
static_assert(sizeof(MPEGLAYER3WAVEFORMAT) == 30);
static_assert(sizeof(WAVEFORMATEXTENSIBLE) == 40);

// Handles. A driver id names one entry of the driver table; null means
// "any driver, in table order".
struct AcmDriverEntry;
using HACMDRIVERID = const AcmDriverEntry*;
using HACMDRIVER = const AcmDriverEntry*;
struct AcmStream;
using HACMSTREAM = AcmStream*;
using HACMOBJ = const void*;

// acmMetrics
constexpr uint32_t ACM_METRIC_COUNT_DRIVERS = 1;
constexpr uint32_t ACM_METRIC_MAX_SIZE_FORMAT = 50;
MMRESULT acmMetrics(HACMOBJ hao, uint32_t uMetric, void* pMetric);

// Driver support flags (fdwSupport).
constexpr uint32_t ACMDRIVERDETAILS_SUPPORTF_CODEC = 0x01;
constexpr uint32_t ACMDRIVERDETAILS_SUPPORTF_CONVERTER = 0x02;
constexpr uint32_t ACMDRIVERDETAILS_SUPPORTF_FILTER = 0x04;
constexpr uint32_t ACMDRIVERDETAILS_SUPPORTF_HARDWARE = 0x08;
constexpr uint32_t ACMDRIVERDETAILS_SUPPORTF_ASYNC = 0x10;

constexpr size_t ACMFORMATTAGDETAILS_FORMATTAG_CHARS = 48;
constexpr size_t ACMFORMATDETAILS_FORMAT_CHARS = 128;

struct ACMFORMATTAGDETAILS {
    uint32_t cbStruct;
    uint32_t dwFormatTagIndex;
    uint32_t dwFormatTag;
    uint32_t cbFormatSize;  // largest record of this tag
    uint32_t fdwSupport;
    uint32_t cStandardFormats;
    char szFormatTag[ACMFORMATTAGDETAILS_FORMATTAG_CHARS];
};

struct ACMFORMATDETAILS {
    uint32_t cbStruct;
    uint32_t dwFormatIndex;
    uint32_t dwFormatTag;
    uint32_t fdwSupport;
    WAVEFORMATEX* pwfx;
    uint32_t cbwfx;
    char szFormat[ACMFORMATDETAILS_FORMAT_CHARS];
};

constexpr uint32_t ACM_FORMATTAGDETAILSF_INDEX = 0;
constexpr uint32_t ACM_FORMATTAGDETAILSF_FORMATTAG = 1;
constexpr uint32_t ACM_FORMATTAGDETAILSF_LARGESTSIZE = 2;
MMRESULT acmFormatTagDetails(HACMDRIVER had, ACMFORMATTAGDETAILS* paftd, uint32_t fdwDetails);

constexpr uint32_t ACM_FORMATDETAILSF_INDEX = 0;
constexpr uint32_t ACM_FORMATDETAILSF_FORMAT = 1;
MMRESULT acmFormatDetails(HACMDRIVER had, ACMFORMATDETAILS* pafd, uint32_t fdwDetails);

// Enumeration. The callback returns false to stop the enumeration.
using ACMFORMATTAGENUMCB = std::function<bool(
    HACMDRIVERID hadid, const ACMFORMATTAGDETAILS& details, uint32_t fdwSupport)>;
MMRESULT acmFormatTagEnum(HACMDRIVER had, ACMFORMATTAGDETAILS* paftd, const ACMFORMATTAGENUMCB& cb,
                          uint32_t fdwEnum);

constexpr uint32_t ACM_FORMATENUMF_WFORMATTAG = 0x00010000;
constexpr uint32_t ACM_FORMATENUMF_NCHANNELS = 0x00020000;
constexpr uint32_t ACM_FORMATENUMF_NSAMPLESPERSEC = 0x00040000;
constexpr uint32_t ACM_FORMATENUMF_WBITSPERSAMPLE = 0x00080000;
constexpr uint32_t ACM_FORMATENUMF_CONVERT = 0x00100000;
constexpr uint32_t ACM_FORMATENUMF_SUGGEST = 0x00200000;
constexpr uint32_t ACM_FORMATENUMF_HARDWARE = 0x00400000;
constexpr uint32_t ACM_FORMATENUMF_INPUT = 0x00800000;
constexpr uint32_t ACM_FORMATENUMF_OUTPUT = 0x01000000;

// pafd->pwfx / cbwfx name a buffer that receives each format (and, with
// the WFORMATTAG/NCHANNELS/... flags, holds the restricting template).
// Inside the callback `details.pwfx` points at the enumerated format.
using ACMFORMATENUMCB =
    std::function<bool(HACMDRIVERID hadid, const ACMFORMATDETAILS& details, uint32_t fdwSupport)>;
MMRESULT acmFormatEnum(HACMDRIVER had, ACMFORMATDETAILS* pafd, const ACMFORMATENUMCB& cb,
                       uint32_t fdwEnum);

constexpr uint32_t ACM_FORMATSUGGESTF_WFORMATTAG = 0x00010000;
constexpr uint32_t ACM_FORMATSUGGESTF_NCHANNELS = 0x00020000;
constexpr uint32_t ACM_FORMATSUGGESTF_NSAMPLESPERSEC = 0x00040000;
constexpr uint32_t ACM_FORMATSUGGESTF_WBITSPERSAMPLE = 0x00080000;
constexpr uint32_t ACM_FORMATSUGGESTF_TYPEMASK = 0x00FF0000;
// pwfxDst holds the template fields named by the flags on entry and the
// complete suggested format (at most cbwfxDst bytes) on return.
MMRESULT acmFormatSuggest(HACMDRIVER had, const WAVEFORMATEX* pwfxSrc, WAVEFORMATEX* pwfxDst,
                          uint32_t cbwfxDst, uint32_t fdwSuggest);

// Streams.
constexpr uint32_t ACM_STREAMOPENF_QUERY = 0x00000001;
constexpr uint32_t ACM_STREAMOPENF_ASYNC = 0x00000002;
constexpr uint32_t ACM_STREAMOPENF_NONREALTIME = 0x00000004;

struct WAVEFILTER;
// With QUERY, phas may be null and nothing is opened.
MMRESULT acmStreamOpen(HACMSTREAM* phas, HACMDRIVER had, const WAVEFORMATEX* pwfxSrc,
                       const WAVEFORMATEX* pwfxDst, const WAVEFILTER* pwfltr, uintptr_t dwCallback,
                       uintptr_t dwInstance, uint32_t fdwOpen);
MMRESULT acmStreamClose(HACMSTREAM has, uint32_t fdwClose);

constexpr uint32_t ACM_STREAMSIZEF_SOURCE = 0x00000000;
constexpr uint32_t ACM_STREAMSIZEF_DESTINATION = 0x00000001;
MMRESULT acmStreamSize(HACMSTREAM has, uint32_t cbInput, uint32_t* pdwOutputBytes,
                       uint32_t fdwSize);

constexpr uint32_t ACMSTREAMHEADER_STATUSF_DONE = 0x00010000;
constexpr uint32_t ACMSTREAMHEADER_STATUSF_PREPARED = 0x00020000;
constexpr uint32_t ACMSTREAMHEADER_STATUSF_INQUEUE = 0x00100000;

struct ACMSTREAMHEADER {
    uint32_t cbStruct;
    uint32_t fdwStatus;
    uintptr_t dwUser;
    uint8_t* pbSrc;
    uint32_t cbSrcLength;
    uint32_t cbSrcLengthUsed;
    uintptr_t dwSrcUser;
    uint8_t* pbDst;
    uint32_t cbDstLength;
    uint32_t cbDstLengthUsed;
    uintptr_t dwDstUser;
    uintptr_t dwReservedDriver[10];
};

MMRESULT acmStreamPrepareHeader(HACMSTREAM has, ACMSTREAMHEADER* pash, uint32_t fdwPrepare);
MMRESULT acmStreamUnprepareHeader(HACMSTREAM has, ACMSTREAMHEADER* pash, uint32_t fdwUnprepare);

constexpr uint32_t ACM_STREAMCONVERTF_BLOCKALIGN = 0x00000004;
constexpr uint32_t ACM_STREAMCONVERTF_START = 0x00000010;
constexpr uint32_t ACM_STREAMCONVERTF_END = 0x00000020;
// BLOCKALIGN: consume whole source blocks only. Without it a trailing
// partial block is consumed too (kept by the codec). END: after the input,
// deliver everything still held; repeated END calls without input deliver
// what did not fit before, then nothing. Output never exceeds cbDstLength.
MMRESULT acmStreamConvert(HACMSTREAM has, ACMSTREAMHEADER* pash, uint32_t fdwConvert);

// SPDX-License-Identifier: GPL-3.0-or-later
// Codec manager format services: the details of a format or a format tag, and the
// negotiation of the intermediate formats between a source and a target format.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "UKoObject.h"
#include "UKoWaveFormat.h"

// What the driver behind a format offers; each property is one bit of TKoACMSupportSet.
enum TKoACMSupport : uint8_t { asAsync, asCodec, asConverter, asFilter, asHardware };
using TKoACMSupportSet = uint8_t;

constexpr TKoACMSupportSet KoSupportBit(TKoACMSupport Support) {
    return static_cast<TKoACMSupportSet>(1u << Support);
}

// The support set of a driver's ACMDRIVERDETAILS_SUPPORTF_* flags; other bits are ignored.
TKoACMSupportSet SupportFromFlags(uint32_t fdwSupport);

// What the codec manager tells about one format. Tag 0 and empty texts when no driver knows it.
class TKoACMFormatDetails : public TKoObject {
  public:
    int32_t FormatTag = 0;
    TKoACMSupportSet Support = 0;
    std::string Name;  // the codec's description of the format

    // Raises EKoError when Format is incomplete; never returns nullptr.
    static std::unique_ptr<TKoACMFormatDetails> FromFormat(const TKoWaveFormat& Format);
};

// What the codec manager tells about one format tag; Name is the tag's name.
class TKoACMFormatTagDetails : public TKoACMFormatDetails {
  public:
    int32_t FormatSize = 0;  // the largest record of the tag, in bytes

    // Never returns nullptr.
    static std::unique_ptr<TKoACMFormatTagDetails> FromTag(uint32_t Tag);
};

// Class operations of the format negotiation; never instantiated.
class HKoACMFormat {
  public:
    HKoACMFormat() = delete;

    // A complete format the codec manager suggests for converting Source, constrained by
    // Template's known primary fields (tag, channels, rate, bits); nullptr when no codec
    // offers one or Template knows none of them (the codec manager is then not asked).
    // Raises EKoError when Source is incomplete.
    static std::unique_ptr<TKoWaveFormat> SuggestFormat(const TKoWaveFormat& Source,
                                                        const TKoWaveFormat& Template);

    // The formats the data passes through after Source, the last one matching Target
    // (which may be a partial template). Empty when no conversion is needed; nullptr when
    // no path was found. Raises EKoError when Source is incomplete.
    static std::unique_ptr<TKoWaveFormatList> ConversionPath(const TKoWaveFormat& Source,
                                                             const TKoWaveFormat& Target);
};

// The steps the negotiation is built from. Exposed for tests; a broken precondition raises
// EKoError carrying the routine's name (an incomplete format, or reading the tag of a format
// without one, raises with an empty message first).
namespace KoACMFormatDetail {

// PCM steps through the standard rates (8,000 / 11,025 / 22,050 / 44,100 Hz), 8 and 16 bits,
// mono and stereo. Each changes at most one field and says whether it did.
bool IncreaseFrequency(TKoWaveFormat& F);
bool DecreaseFrequency(TKoWaveFormat& F);
bool IncreaseBitsPerSample(TKoWaveFormat& F);
bool DecreaseBitsPerSample(TKoWaveFormat& F);
bool IncreaseChannels(TKoWaveFormat& F);
bool DecreaseChannels(TKoWaveFormat& F);
// Channels first, then bits, then rate.
bool IncreasePCMFormat(TKoWaveFormat& F);
bool DecreasePCMFormat(TKoWaveFormat& F);

// SuggestFormat for a PCM or partial Template (a complete codec format needs no suggestion).
std::unique_ptr<TKoWaveFormat> Suggest(const TKoWaveFormat& Source, const TKoWaveFormat& Template);
// Any PCM format the codec of the non-PCM Source decodes into.
std::unique_ptr<TKoWaveFormat> SuggestPCM(const TKoWaveFormat& Source);
// The PCM format matching Template's known fields that Source decodes into, else any PCM.
std::unique_ptr<TKoWaveFormat> MultiSuggestPCM(const TKoWaveFormat& Source,
                                               const TKoWaveFormat& Template);
// A PCM format near Pcm from which a codec produces a format matching the partial non-PCM
// Target: steps upwards from Pcm first, then downwards. Returns the PCM format, or nullptr.
std::unique_ptr<TKoWaveFormat> QueryPCM(const TKoWaveFormat& Target, const TKoWaveFormat& Pcm);
// Appends a copy of the complete F unless the list already ends with an equal format.
void AddUnique(TKoWaveFormatList& List, const TKoWaveFormat& F);

}  // namespace KoACMFormatDetail

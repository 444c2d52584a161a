// Codec manager format services: the details of a format or a format tag, and the
// negotiation of the intermediate formats between a source and a target format.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "UKoObject.h"
#include "UKoWaveFormat.h"

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

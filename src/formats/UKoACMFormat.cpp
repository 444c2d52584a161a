// SPDX-License-Identifier: GPL-3.0-or-later
// Negotiation of a path of intermediate formats. Codecs mostly convert only between their own
// format and some PCM variants, so the path goes through PCM formats that the codec manager
// suggests, stepping PCM through the standard rates, sizes and channel counts where needed.
#include "UKoACMFormat.h"

#include <string>

#include "UKoException.h"
#include "acm.h"

namespace KoACMFormatDetail {

namespace {

bool IsPCM(const TKoWaveFormat& F) {
    return F.FormatTag() == koWaveFormatPCM;
}

void RequirePCM(const TKoWaveFormat& F, const char* Routine) {
    if (!IsPCM(F)) throw EKoError(Routine);
}

std::unique_ptr<TKoWaveFormat> CopyOf(const TKoWaveFormat& F) {
    auto copy = TKoWaveFormat::CreateDefault();
    copy->Assign(&F);
    return copy;
}

// One step along a ladder of values; values off the ladder never move.
template <class T, std::size_t N>
bool Step(const T (&Ladder)[N], T Value, int Direction, T* Next) {
    for (std::size_t i = 0; i < N; ++i) {
        if (Ladder[i] != Value) continue;
        const std::ptrdiff_t j = static_cast<std::ptrdiff_t>(i) + Direction;
        if (j < 0 || j >= static_cast<std::ptrdiff_t>(N)) return false;
        *Next = Ladder[j];
        return true;
    }
    return false;
}

constexpr uint32_t kRates[] = {8000, 11025, 22050, 44100};
constexpr uint16_t kBits[] = {8, 16};
constexpr uint16_t kChannels[] = {1, 2};

bool StepFrequency(TKoWaveFormat& F, int Direction) {
    uint32_t next = 0;
    if (!Step(kRates, F.SamplesPerSec(), Direction, &next)) return false;
    F.SetSamplesPerSec(next);
    return true;
}

bool StepBits(TKoWaveFormat& F, int Direction) {
    uint16_t next = 0;
    if (!Step(kBits, static_cast<uint16_t>(F.BitsPerSample()), Direction, &next)) return false;
    F.SetBitsPerSample(next);
    return true;
}

bool StepChannels(TKoWaveFormat& F, int Direction) {
    uint16_t next = 0;
    if (!Step(kChannels, static_cast<uint16_t>(F.Channels()), Direction, &next)) return false;
    F.SetChannels(next);
    return true;
}

}  // namespace

bool IncreaseFrequency(TKoWaveFormat& F) {
    RequirePCM(F, "_IncreaseFrequency");
    return StepFrequency(F, +1);
}

bool DecreaseFrequency(TKoWaveFormat& F) {
    RequirePCM(F, "_DecreaseFrequency");
    return StepFrequency(F, -1);
}

bool IncreaseBitsPerSample(TKoWaveFormat& F) {
    RequirePCM(F, "_IncreaseBitsPerSample");
    return StepBits(F, +1);
}

bool DecreaseBitsPerSample(TKoWaveFormat& F) {
    RequirePCM(F, "_DecreaseBitsPerSample");
    return StepBits(F, -1);
}

bool IncreaseChannels(TKoWaveFormat& F) {
    RequirePCM(F, "_IncreaseChannels");
    return StepChannels(F, +1);
}

bool DecreaseChannels(TKoWaveFormat& F) {
    RequirePCM(F, "_DecreaseChannels");
    return StepChannels(F, -1);
}

bool IncreasePCMFormat(TKoWaveFormat& F) {
    RequirePCM(F, "_IncreasePCMFormat");
    return IncreaseChannels(F) || IncreaseBitsPerSample(F) || IncreaseFrequency(F);
}

bool DecreasePCMFormat(TKoWaveFormat& F) {
    RequirePCM(F, "_DecreasePCMFormat");
    return DecreaseChannels(F) || DecreaseBitsPerSample(F) || DecreaseFrequency(F);
}

std::unique_ptr<TKoWaveFormat> Suggest(const TKoWaveFormat& Source, const TKoWaveFormat& Template) {
    Source.RequireComplete();
    if (Template.IsComplete() && !IsPCM(Template)) throw EKoError("_Suggest");
    return HKoACMFormat::SuggestFormat(Source, Template);
}

std::unique_ptr<TKoWaveFormat> SuggestPCM(const TKoWaveFormat& Source) {
    Source.RequireComplete();
    if (IsPCM(Source)) throw EKoError("_SuggestPCM");
    auto pcm = TKoWaveFormat::CreateDefault();
    pcm->SetFormatTag(koWaveFormatPCM);
    return Suggest(Source, *pcm);
}

std::unique_ptr<TKoWaveFormat> MultiSuggestPCM(const TKoWaveFormat& Source,
                                               const TKoWaveFormat& Template) {
    Source.RequireComplete();
    if (IsPCM(Source) || !IsPCM(Template)) throw EKoError("_MultiSuggestPCM");
    auto result = Suggest(Source, Template);
    if (!result) result = SuggestPCM(Source);
    return result;
}

std::unique_ptr<TKoWaveFormat> QueryPCM(const TKoWaveFormat& Target, const TKoWaveFormat& Pcm) {
    Pcm.RequireComplete();
    if (!IsPCM(Pcm) || IsPCM(Target) || Target.IsComplete()) throw EKoError("_QueryPCM");

    auto work = CopyOf(Pcm);
    auto result = Suggest(*work, Target);
    while (!result && IncreasePCMFormat(*work)) result = Suggest(*work, Target);
    if (!result) {
        // Downwards from the start again; the start itself has been tried.
        work = CopyOf(Pcm);
        while (!result && DecreasePCMFormat(*work)) result = Suggest(*work, Target);
    }
    // The caller wants the PCM format that worked, not the codec format it gave.
    if (result) result->Assign(work.get());
    return result;
}

void AddUnique(TKoWaveFormatList& List, const TKoWaveFormat& F) {
    F.RequireComplete();
    const TKoWaveFormat* last = List.Last();
    if (last != nullptr && last->SameAs(F)) return;
    List.AddCopy(F);
}

}  // namespace KoACMFormatDetail

namespace {

using namespace KoACMFormatDetail;

// Each case appends the formats after the last one in L and says whether it found them all.

bool PcmToPartialCodec(TKoWaveFormatList& L, const TKoWaveFormat& Source, const TKoWaveFormat& T) {
    if (auto direct = Suggest(Source, T)) {
        AddUnique(L, *direct);
        return true;
    }
    auto pcm = QueryPCM(T, Source);
    if (!pcm) return false;
    AddUnique(L, *pcm);
    auto result = Suggest(*pcm, T);
    if (!result) return false;
    AddUnique(L, *result);
    return true;
}

bool FromPcm(TKoWaveFormatList& L, const TKoWaveFormat& Source, const TKoWaveFormat& T) {
    if (T.IsComplete()) {
        if (!IsPCM(T)) {
            // The PCM that T decodes into, matching Source where the codec can.
            auto pcm = MultiSuggestPCM(T, Source);
            if (!pcm) return false;
            AddUnique(L, *pcm);
        }
        AddUnique(L, T);
        return true;
    }
    if (!IsPCM(T)) return PcmToPartialCodec(L, Source, T);
    auto result = Suggest(Source, T);
    if (!result) return false;
    AddUnique(L, *result);
    return true;
}

bool FromCodec(TKoWaveFormatList& L, const TKoWaveFormat& Source, const TKoWaveFormat& T) {
    if (T.IsComplete()) {
        if (IsPCM(T)) {
            auto pcm = MultiSuggestPCM(Source, T);
            if (!pcm) return false;
            AddUnique(L, *pcm);
        } else {
            auto targetPcm = SuggestPCM(T);
            if (!targetPcm) return false;
            auto pcm = MultiSuggestPCM(Source, *targetPcm);
            if (!pcm) return false;
            AddUnique(L, *pcm);
            AddUnique(L, *targetPcm);
        }
        AddUnique(L, T);
        return true;
    }
    if (IsPCM(T)) {
        auto pcm = MultiSuggestPCM(Source, T);
        if (!pcm) return false;
        AddUnique(L, *pcm);
        auto result = Suggest(*pcm, T);
        if (!result) return false;
        AddUnique(L, *result);
        return true;
    }
    if (auto direct = Suggest(Source, T)) {
        AddUnique(L, *direct);
        return true;
    }
    auto pcm = SuggestPCM(Source);
    if (!pcm) return false;
    AddUnique(L, *pcm);
    return PcmToPartialCodec(L, *pcm, T);
}

}  // namespace

std::unique_ptr<TKoWaveFormat> HKoACMFormat::SuggestFormat(const TKoWaveFormat& Source,
                                                           const TKoWaveFormat& Template) {
    Source.RequireComplete();
    auto result = TKoWaveFormat::CreateDefault();
    result->Assign(&Template);
    result->EnsureMaxCapacity();

    // Only the primary fields constrain; the derived ones follow from the codec's choice.
    const uint32_t known = result->KnownFields();
    uint32_t flags = 0;
    if (known & KoWaveFields::FormatTag) flags |= ACM_FORMATSUGGESTF_WFORMATTAG;
    if (known & KoWaveFields::Channels) flags |= ACM_FORMATSUGGESTF_NCHANNELS;
    if (known & KoWaveFields::BitsPerSample) flags |= ACM_FORMATSUGGESTF_WBITSPERSAMPLE;
    if (known & KoWaveFields::SamplesPerSec) flags |= ACM_FORMATSUGGESTF_NSAMPLESPERSEC;
    if (flags == 0) return nullptr;

    WAVEFORMATEX* record = result->Data();
    if (acmFormatSuggest(nullptr, Source.Data(), record, static_cast<uint32_t>(result->Capacity()),
                         flags) != MMSYSERR_NOERROR)
        return nullptr;
    result->MarkComplete();
    return result;
}

std::unique_ptr<TKoWaveFormatList> HKoACMFormat::ConversionPath(const TKoWaveFormat& Source,
                                                                const TKoWaveFormat& Target) {
    Source.RequireComplete();
    auto path = std::make_unique<TKoWaveFormatList>();
    AddUnique(*path, Source);

    auto target = CopyOf(Target);
    if (!target->HasFormatTag()) target->SetFormatTag(static_cast<uint16_t>(Source.FormatTag()));

    bool found = false;
    if (target->IsComplete() && target->SameAs(Source)) {
        // Data already in the target format is copied, never decoded and encoded again.
        found = true;
    } else {
        found = IsPCM(Source) ? FromPcm(*path, Source, *target) : FromCodec(*path, Source, *target);
    }
    if (!found) return nullptr;
    path->Delete(0);
    return path;
}

// SPDX-License-Identifier: GPL-3.0-or-later
// Finding formats by what people type: tags by number, name or short name, complete formats
// by their description or by the fields given, and descriptions of formats for messages.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "UKoWaveFormat.h"
#include "acm.h"

// The tag a number, a name as the codec manager gives it (any letter case) or one of the
// short names mp3, ima, msadpcm, alaw, ulaw, gsm, pcm and float stands for.
std::optional<ACMFORMATTAGDETAILS> FindTag(const std::string& Text);
// The complete format of that tag whose description is Text, as `formats TAG` lists it.
std::unique_ptr<TKoWaveFormat> FindAttributes(uint32_t Tag, const std::string& Text);
// The complete format of Template's tag nearest to it: the fields Template knows must
// match, the others follow Source where the tag offers that, else come as close as they
// can. nullptr when no format of the tag has the fields Template knows.
std::unique_ptr<TKoWaveFormat> NearestFormat(const TKoWaveFormat& Template,
                                             const TKoWaveFormat& Source);
// The rate a codec is made for, which a template without a rate takes rather than the
// source's (8,000 Hz for GSM 6.10); nothing for codecs that follow the source.
std::optional<uint32_t> PreferredRate(uint32_t Tag);
// "MPEG Layer-3 128 kBit/s, 44,100Hz, Stereo" for a complete format the codec manager knows;
// the known fields otherwise.
std::string Describe(const TKoWaveFormat& Format);
// Text as one shell word.
std::string Quoted(const std::string& Text);
// The number parsed from Text when it lies in 1..Max.
std::optional<uint32_t> ParseNumber(const std::string& Text, uint32_t Max);

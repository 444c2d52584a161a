// SPDX-License-Identifier: GPL-3.0-or-later
// The PCM converter's stream: sample width, channel and rate conversion
// between two PCM / IEEE float layouts.
#pragma once

#include <memory>

#include "pcmsamples.h"

namespace acm::pcm {

// highQuality: the slow resampler and dither when reducing to 8 or 16 bits.
// Null when the resampler cannot be set up.
std::unique_ptr<Codec> makeCodec(const Layout& in, const Layout& out, bool highQuality);

}  // namespace acm::pcm

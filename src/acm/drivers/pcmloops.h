// SPDX-License-Identifier: GPL-3.0-or-later
// Conversion loops of the PCM converter, one instance per combination of
// layouts, chosen once when a stream opens (no per-sample dispatch).
#pragma once

#include <cstddef>
#include <cstdint>

#include "pcmsamples.h"

namespace acm::pcm {

// Same rate: frames straight from the input layout to the output layout.
using DirectFn = void (*)(const uint8_t* in, uint8_t* out, size_t frames, Tpdf& rng);
// Rate change: frames to interleaved doubles with the output channel
// count, and resampled doubles to the output layout.
using DecodeFn = void (*)(const uint8_t* in, size_t frames, double* out);
using EncodeFn = void (*)(const double* in, size_t samples, uint8_t* out, Tpdf& rng);

DirectFn directLoop(Kind in, int inChannels, Kind out, int outChannels, bool dither);
DecodeFn decodeLoop(Kind in, int inChannels, int outChannels);
EncodeFn encodeLoop(Kind out, bool dither);

}  // namespace acm::pcm

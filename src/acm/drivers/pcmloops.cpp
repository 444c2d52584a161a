// SPDX-License-Identifier: GPL-3.0-or-later
#include "pcmloops.h"

namespace acm::pcm {

namespace {

// One output frame from one input frame: mono to stereo duplicates,
// stereo to mono averages.
template <Kind I, int IC, int OC, typename Emit>
inline void mapFrame(const uint8_t* in, Emit&& emit) {
    constexpr int b = bytesOf(I);
    const double l = load<I>(in);
    if constexpr (IC == 1) {
        emit(0, l);
        if constexpr (OC == 2) emit(1, l);
    } else {
        const double r = load<I>(in + b);
        if constexpr (OC == 1) {
            emit(0, (l + r) * 0.5);
        } else {
            emit(0, l);
            emit(1, r);
        }
    }
}

template <Kind I, Kind O, int IC, int OC, bool D>
void direct(const uint8_t* in, uint8_t* out, size_t frames, Tpdf& rng) {
    constexpr int ib = bytesOf(I) * IC, ob = bytesOf(O);
    for (size_t f = 0; f < frames; ++f, in += ib, out += ob * OC)
        mapFrame<I, IC, OC>(in, [&](int c, double v) { store<O, D>(out + c * ob, v, rng); });
}

template <Kind I, int IC, int OC>
void decode(const uint8_t* in, size_t frames, double* out) {
    constexpr int ib = bytesOf(I) * IC;
    for (size_t f = 0; f < frames; ++f, in += ib, out += OC)
        mapFrame<I, IC, OC>(in, [&](int c, double v) { out[c] = v; });
}

template <Kind O, bool D>
void encode(const double* in, size_t samples, uint8_t* out, Tpdf& rng) {
    for (size_t i = 0; i < samples; ++i, out += bytesOf(O)) store<O, D>(out, in[i], rng);
}

template <Kind I, Kind O, int IC, int OC>
DirectFn pickDither(bool dither) {
    // Dither only ever applies to 8- and 16-bit output.
    if constexpr (O == Kind::U8 || O == Kind::S16)
        if (dither) return &direct<I, O, IC, OC, true>;
    return &direct<I, O, IC, OC, false>;
}

template <Kind I, Kind O>
DirectFn pickChannels(int ic, int oc, bool dither) {
    if (ic == 1) return oc == 1 ? pickDither<I, O, 1, 1>(dither) : pickDither<I, O, 1, 2>(dither);
    return oc == 1 ? pickDither<I, O, 2, 1>(dither) : pickDither<I, O, 2, 2>(dither);
}

template <Kind I>
DirectFn pickOutput(Kind o, int ic, int oc, bool dither) {
    switch (o) {
        case Kind::U8:
            return pickChannels<I, Kind::U8>(ic, oc, dither);
        case Kind::S16:
            return pickChannels<I, Kind::S16>(ic, oc, dither);
        case Kind::S24:
            return pickChannels<I, Kind::S24>(ic, oc, dither);
        case Kind::S32:
            return pickChannels<I, Kind::S32>(ic, oc, dither);
        case Kind::F32:
            return pickChannels<I, Kind::F32>(ic, oc, dither);
    }
    return nullptr;
}

template <Kind I>
DecodeFn pickDecode(int ic, int oc) {
    if (ic == 1) return oc == 1 ? &decode<I, 1, 1> : &decode<I, 1, 2>;
    return oc == 1 ? &decode<I, 2, 1> : &decode<I, 2, 2>;
}

template <Kind O>
EncodeFn pickEncode(bool dither) {
    if constexpr (O == Kind::U8 || O == Kind::S16)
        if (dither) return &encode<O, true>;
    return &encode<O, false>;
}

}  // namespace

DirectFn directLoop(Kind in, int inChannels, Kind out, int outChannels, bool dither) {
    switch (in) {
        case Kind::U8:
            return pickOutput<Kind::U8>(out, inChannels, outChannels, dither);
        case Kind::S16:
            return pickOutput<Kind::S16>(out, inChannels, outChannels, dither);
        case Kind::S24:
            return pickOutput<Kind::S24>(out, inChannels, outChannels, dither);
        case Kind::S32:
            return pickOutput<Kind::S32>(out, inChannels, outChannels, dither);
        case Kind::F32:
            return pickOutput<Kind::F32>(out, inChannels, outChannels, dither);
    }
    return nullptr;
}

DecodeFn decodeLoop(Kind in, int inChannels, int outChannels) {
    switch (in) {
        case Kind::U8:
            return pickDecode<Kind::U8>(inChannels, outChannels);
        case Kind::S16:
            return pickDecode<Kind::S16>(inChannels, outChannels);
        case Kind::S24:
            return pickDecode<Kind::S24>(inChannels, outChannels);
        case Kind::S32:
            return pickDecode<Kind::S32>(inChannels, outChannels);
        case Kind::F32:
            return pickDecode<Kind::F32>(inChannels, outChannels);
    }
    return nullptr;
}

EncodeFn encodeLoop(Kind out, bool dither) {
    switch (out) {
        case Kind::U8:
            return pickEncode<Kind::U8>(dither);
        case Kind::S16:
            return pickEncode<Kind::S16>(dither);
        case Kind::S24:
            return pickEncode<Kind::S24>(dither);
        case Kind::S32:
            return pickEncode<Kind::S32>(dither);
        case Kind::F32:
            return pickEncode<Kind::F32>(dither);
    }
    return nullptr;
}

}  // namespace acm::pcm

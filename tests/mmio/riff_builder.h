// SPDX-License-Identifier: GPL-3.0-or-later
// Builds RIFF byte images by hand, so tests state exactly what lies on disk.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

inline void appendLe(Bytes& out, uint64_t value, int width) {
    for (int i = 0; i < width; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

inline void appendText(Bytes& out, const std::string& text) {
    out.insert(out.end(), text.begin(), text.end());
}

inline Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A chunk with an explicit size field (which may lie), the payload, and a pad byte when the
// payload is odd and pad is true.
inline Bytes chunkWithSize(const std::string& id, uint32_t size, const Bytes& payload,
                           bool pad = true) {
    Bytes out;
    appendText(out, id);
    appendLe(out, size, 4);
    out.insert(out.end(), payload.begin(), payload.end());
    if (pad && payload.size() % 2) out.push_back(0);
    return out;
}

inline Bytes chunk(const std::string& id, const Bytes& payload, bool pad = true) {
    return chunkWithSize(id, static_cast<uint32_t>(payload.size()), payload, pad);
}

// A RIFF form; size < 0 writes the true size.
inline Bytes riff(const std::string& form, const Bytes& body, int64_t size = -1) {
    Bytes inner;
    appendText(inner, form);
    inner = inner + body;
    return chunkWithSize("RIFF", size < 0 ? static_cast<uint32_t>(inner.size()) : uint32_t(size),
                         inner);
}

inline Bytes bytesOf(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

inline Bytes pattern(size_t n, uint8_t seed = 1) {
    Bytes out(n);
    for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(seed + i * 7);
    return out;
}

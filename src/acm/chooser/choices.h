// SPDX-License-Identifier: GPL-3.0-or-later
// What the format chooser offers: the enumerated formats grouped under their tags.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "acm.h"

namespace acm::chooser {

struct Choice {
    std::vector<uint8_t> record;
    std::string description;

    const WAVEFORMATEX* wfx() const { return reinterpret_cast<const WAVEFORMATEX*>(record.data()); }
};

struct TagChoices {
    uint16_t tag;
    std::string name;
    std::vector<Choice> formats;
};

// Tags in the manager's order, each with its formats that pass the restriction; tags without
// such formats are left out.
MMRESULT collectChoices(uint32_t fdwEnum, const WAVEFORMATEX* pwfxEnum,
                        std::vector<TagChoices>* out);

struct Position {
    std::size_t tag = 0, format = 0;
};

// The entry to preselect for `initial` (may be null): the identical record, else the same tag
// with the same rate, channels, bits and data rate, else the tag's first format, else the very
// first entry.
Position initialPosition(const std::vector<TagChoices>& choices, const WAVEFORMATEX* initial);

}  // namespace acm::chooser

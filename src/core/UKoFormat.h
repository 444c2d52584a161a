// SPDX-License-Identifier: GPL-3.0-or-later
// Common base of format descriptors: marks a class as describing the data in a stream.
#pragma once

#include "UKoPersistent.h"

class TKoFormat : public TKoPersistent {
  public:
    std::unique_ptr<TKoPersistent> CreateSame() const override {
        return std::make_unique<TKoFormat>();
    }
};

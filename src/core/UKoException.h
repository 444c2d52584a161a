// SPDX-License-Identifier: GPL-3.0-or-later
// The class library's one general exception type.
#pragma once

#include <stdexcept>
#include <string>

class EKoError : public std::runtime_error {
  public:
    explicit EKoError(const std::string& message = std::string()) : std::runtime_error(message) {}
};

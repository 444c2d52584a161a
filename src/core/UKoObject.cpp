// SPDX-License-Identifier: GPL-3.0-or-later
#include "UKoObject.h"

#include <cxxabi.h>

#include <cstdlib>

std::string KoClassName(const std::type_info& type) {
    int status = 0;
    char* demangled = abi::__cxa_demangle(type.name(), nullptr, nullptr, &status);
    if (status != 0 || demangled == nullptr) return type.name();
    std::string name(demangled);
    std::free(demangled);
    return name;
}

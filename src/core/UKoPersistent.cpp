// SPDX-License-Identifier: GPL-3.0-or-later
#include "UKoPersistent.h"

#include <typeinfo>

namespace {

std::string AssignMessage(const TKoPersistent* source, const TKoPersistent& dest) {
    const std::string from = source ? source->ClassName() : std::string("(none)");
    return "Cannot assign " + from + " to " + dest.ClassName();
}

}  // namespace

void TKoPersistent::RaiseAssignError(const TKoPersistent* Source) const {
    throw EKoConvertError(AssignMessage(Source, *this));
}

void TKoPersistent::AssignTo(TKoPersistent& Dest) const {
    throw EKoConvertError(AssignMessage(this, Dest));
}

void TKoPersistent::Assign(const TKoPersistent* Source) {
    if (Source == nullptr) RaiseAssignError(nullptr);
    Source->AssignTo(*this);
}

std::unique_ptr<TKoPersistent> TKoPersistent::CreateSame() const {
    return std::make_unique<TKoPersistent>();
}

std::unique_ptr<TKoPersistent> TKoPersistent::Clone() const {
    std::unique_ptr<TKoPersistent> copy = CreateSame();
    // A class that forgot to override CreateSame would silently clone as its base.
    if (!copy || typeid(*copy) != typeid(*this))
        throw EKoError("CreateSame of " + ClassName() + " builds another class");
    copy->Assign(this);
    return copy;
}

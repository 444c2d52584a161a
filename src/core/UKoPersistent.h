// SPDX-License-Identifier: GPL-3.0-or-later
// Root of value-like descriptors: the Assign/AssignTo copy protocol and Clone.
#pragma once

#include <memory>
#include <string>

#include "UKoException.h"
#include "UKoObject.h"

// Raised when a value cannot be assigned between two classes; names both of them.
class EKoConvertError : public EKoError {
  public:
    using EKoError::EKoError;
};

class TKoPersistent {
  public:
    TKoPersistent() = default;
    virtual ~TKoPersistent() = default;
    // Values move between descriptors only through Assign, never by slicing copies.
    TKoPersistent(const TKoPersistent&) = delete;
    TKoPersistent& operator=(const TKoPersistent&) = delete;

    // Pushes this object's value into Dest when this class knows Dest's class.
    // The base knows none and raises EKoConvertError.
    virtual void AssignTo(TKoPersistent& Dest) const;

    // Takes the value of Source. Overrides copy what they know and otherwise call this base,
    // which hands over to Source->AssignTo(*this); Source == nullptr raises EKoConvertError.
    virtual void Assign(const TKoPersistent* Source);

    // Virtual constructor: a new object of this object's own concrete class, holding no value.
    // Every concrete class overrides it.
    virtual std::unique_ptr<TKoPersistent> CreateSame() const;

    // A new object of the same concrete class with the same value; the caller owns it.
    std::unique_ptr<TKoPersistent> Clone() const;

    std::string ClassName() const { return KoClassName(typeid(*this)); }

  protected:
    [[noreturn]] void RaiseAssignError(const TKoPersistent* Source) const;
};

// Clone typed as the static class of the object.
template <class T>
std::unique_ptr<T> KoClone(const T& object) {
    std::unique_ptr<TKoPersistent> copy = object.Clone();
    // Clone guarantees the dynamic class matches object's, so the cast is safe.
    return std::unique_ptr<T>(static_cast<T*>(copy.release()));
}

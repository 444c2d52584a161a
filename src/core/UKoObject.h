// SPDX-License-Identifier: GPL-3.0-or-later
// Root of the plain library objects, and the class identity used to construct them.
#pragma once

#include <memory>
#include <string>
#include <type_traits>
#include <typeinfo>

#include "UKoException.h"

// Readable name of a class (demangled where the runtime can).
std::string KoClassName(const std::type_info& type);

class TKoObject {
  public:
    TKoObject() = default;
    virtual ~TKoObject() = default;
    TKoObject(const TKoObject&) = delete;
    TKoObject& operator=(const TKoObject&) = delete;

    std::string ClassName() const { return KoClassName(typeid(*this)); }
};

// A class identity chosen at run time: holds the no-argument constructor of one concrete
// class derived from Base, so a factory can build whatever class it was handed.
template <class Base>
class TKoClassRef {
  public:
    constexpr TKoClassRef() noexcept = default;

    template <class T>
    static TKoClassRef Of() noexcept {
        static_assert(std::is_base_of_v<Base, T>, "the class must derive from the base");
        return TKoClassRef(&Make<T>, &typeid(T));
    }

    explicit operator bool() const noexcept { return creator_ != nullptr; }

    // Raises EKoError on an empty identity.
    std::unique_ptr<Base> Create() const {
        if (!creator_) throw EKoError();
        return creator_();
    }

    // Only valid on a non-empty identity.
    const std::type_info& Type() const noexcept { return *type_; }

    friend bool operator==(const TKoClassRef& a, const TKoClassRef& b) noexcept {
        return a.creator_ == b.creator_;
    }

  private:
    using Creator = std::unique_ptr<Base> (*)();

    constexpr TKoClassRef(Creator creator, const std::type_info* type) noexcept
        : creator_(creator), type_(type) {}

    template <class T>
    static std::unique_ptr<Base> Make() {
        return std::make_unique<T>();
    }

    Creator creator_ = nullptr;
    const std::type_info* type_ = nullptr;
};

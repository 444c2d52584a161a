// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "UKoFormat.h"
#include "UKoObject.h"
#include "UKoPersistent.h"

namespace {

class TCount : public TKoPersistent {
  public:
    int Value = 0;
    void Assign(const TKoPersistent* Source) override {
        if (auto* other = dynamic_cast<const TCount*>(Source)) {
            Value = other->Value;
            return;
        }
        TKoPersistent::Assign(Source);
    }
    std::unique_ptr<TKoPersistent> CreateSame() const override {
        return std::make_unique<TCount>();
    }
};

// Knows how to push its value into a TCount, but TCount does not know it.
class TPair : public TKoFormat {
  public:
    int First = 0, Second = 0;
    void AssignTo(TKoPersistent& Dest) const override {
        if (auto* count = dynamic_cast<TCount*>(&Dest)) {
            count->Value = First + Second;
            return;
        }
        TKoFormat::AssignTo(Dest);
    }
    void Assign(const TKoPersistent* Source) override {
        if (auto* other = dynamic_cast<const TPair*>(Source)) {
            First = other->First;
            Second = other->Second;
            return;
        }
        TKoFormat::Assign(Source);
    }
    std::unique_ptr<TKoPersistent> CreateSame() const override { return std::make_unique<TPair>(); }
};

// Forgot to override CreateSame.
class TForgetful : public TCount {};

TEST(Persistent, DoubleDispatch) {
    TPair pair;
    pair.First = 2;
    pair.Second = 3;
    TCount count;
    count.Assign(&pair);  // TCount falls back to pair.AssignTo
    EXPECT_EQ(count.Value, 5);

    try {
        pair.Assign(&count);
        FAIL() << "no conversion from TCount to TPair";
    } catch (const EKoConvertError& e) {
        const std::string message = e.what();
        EXPECT_NE(message.find("TCount"), std::string::npos) << message;
        EXPECT_NE(message.find("TPair"), std::string::npos) << message;
    }
    try {
        count.Assign(nullptr);
        FAIL() << "assigning none raises";
    } catch (const EKoConvertError& e) {
        EXPECT_NE(std::string(e.what()).find("TCount"), std::string::npos);
    }
}

TEST(Persistent, CloneKeepsClassAndValue) {
    TPair pair;
    pair.First = 7;
    pair.Second = 9;
    const TKoFormat& asFormat = pair;
    std::unique_ptr<TKoFormat> copy = KoClone(asFormat);
    auto* typed = dynamic_cast<TPair*>(copy.get());
    ASSERT_NE(typed, nullptr);
    EXPECT_EQ(typed->First, 7);
    EXPECT_EQ(typed->Second, 9);
    EXPECT_NE(typed, &pair);

    TForgetful forgetful;
    EXPECT_THROW(forgetful.Clone(), EKoError);
    // A bare root has no value to copy: the copy protocol itself refuses.
    EXPECT_THROW(TKoPersistent().Clone(), EKoConvertError);
}

class TLeaf : public TKoObject {
  public:
    int Tag = 42;
};

TEST(Object, ClassIdentityBuildsTheConcreteClass) {
    const auto ref = TKoClassRef<TKoObject>::Of<TLeaf>();
    ASSERT_TRUE(ref);
    std::unique_ptr<TKoObject> made = ref.Create();
    auto* leaf = dynamic_cast<TLeaf*>(made.get());
    ASSERT_NE(leaf, nullptr);
    EXPECT_EQ(leaf->Tag, 42);
    EXPECT_EQ(made->ClassName(), "(anonymous namespace)::TLeaf");
    EXPECT_TRUE(ref.Type() == typeid(TLeaf));
    EXPECT_THROW(TKoClassRef<TKoObject>().Create(), EKoError);
}

}  // namespace

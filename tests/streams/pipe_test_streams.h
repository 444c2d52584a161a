// SPDX-License-Identifier: GPL-3.0-or-later
// Streams for the FIFO and thread stream tests: a source of numbered bytes and a sink that
// checks them, both able to deliver short transfers and to fail after a given byte count.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "UKoException.h"
#include "UKoStream.h"

// Byte I of every test sequence. Mixing in the higher bits makes a block that is lost,
// repeated or moved by a multiple of 256 bytes show up too.
inline uint8_t PatternByte(uint64_t I) {
    return uint8_t(I ^ (I >> 8) * 7 ^ (I >> 16) * 13 ^ (I >> 24) * 29);
}

inline std::vector<uint8_t> PatternBytes(uint64_t From, size_t Count) {
    std::vector<uint8_t> bytes(Count);
    for (size_t i = 0; i < Count; ++i) bytes[i] = PatternByte(From + i);
    return bytes;
}

// Index of the first byte of Data that is not the pattern from From on, or Data.size().
inline size_t PatternMismatch(const uint8_t* Data, size_t Count, uint64_t From) {
    for (size_t i = 0; i < Count; ++i)
        if (Data[i] != PatternByte(From + i)) return i;
    return Count;
}

// How a stream behaves once it reaches its failure point.
enum class TFailure { None, MinusOne, Zero, Raise };

// Delivers Size pattern bytes, at most MaxPerCall per Read (0: no limit).
class TPatternSource : public TKoStream {
  public:
    explicit TPatternSource(int64_t Size, int32_t MaxPerCall = 0)
        : size_(Size), maxPerCall_(MaxPerCall) {}

    // The read that would pass FailAt bytes returns what lies before it; the next one fails.
    void FailAt(int64_t At, TFailure How) {
        failAt_ = At;
        failure_ = How;
    }

    int64_t GetPosition() override { return position_; }
    bool Seek(const TKoSeekRequest& Request) override {
        if (Request.Origin != koFromBeginning || Request.Offset < 0 || Request.Offset > size_)
            return false;
        position_ = Request.Offset;
        return true;
    }
    int32_t Read(const TKoArea& Area) override {
        ++reads;
        if (Area.Size < 0) return -1;
        int64_t n = std::min<int64_t>(Area.Size, size_ - position_);
        if (maxPerCall_ > 0) n = std::min<int64_t>(n, maxPerCall_);
        if (failure_ != TFailure::None) {
            if (position_ >= failAt_) return Fail();
            n = std::min(n, failAt_ - position_);
        }
        for (int64_t i = 0; i < n; ++i) AreaData(Area)[i] = PatternByte(uint64_t(position_ + i));
        position_ += n;
        return int32_t(n);
    }
    bool Close() override {
        ++closes;
        return true;
    }

    int reads = 0;
    int closes = 0;

  private:
    int32_t Fail() {
        if (failure_ == TFailure::Raise) throw EKoError("source broke");
        return failure_ == TFailure::Zero ? 0 : -1;
    }

    int64_t size_;
    int32_t maxPerCall_;
    int64_t position_ = 0;
    int64_t failAt_ = 0;
    TFailure failure_ = TFailure::None;
};

// Takes bytes and checks on the fly that they continue the pattern; accepts at most
// MaxPerCall per Write (0: no limit).
class TPatternSink : public TKoStream {
  public:
    explicit TPatternSink(int32_t MaxPerCall = 0) : maxPerCall_(MaxPerCall) {}

    void FailAt(int64_t At, TFailure How) {
        failAt_ = At;
        failure_ = How;
    }

    int64_t GetPosition() override { return received; }
    int32_t Write(const TKoArea& Area) override {
        ++writes;
        if (Area.Size < 0) return -1;
        int64_t n = Area.Size;
        if (maxPerCall_ > 0) n = std::min<int64_t>(n, maxPerCall_);
        if (failure_ != TFailure::None) {
            if (received >= failAt_ && n > 0) return Fail();
            n = std::min(n, failAt_ - received);
        }
        if (intact && PatternMismatch(AreaData(Area), size_t(n), uint64_t(received)) != size_t(n))
            intact = false;
        received += n;
        return int32_t(n);
    }
    bool Close() override {
        ++closes;
        return true;
    }

    int64_t received = 0;
    bool intact = true;  // every byte so far continued the pattern
    int writes = 0;
    int closes = 0;

  private:
    int32_t Fail() {
        if (failure_ == TFailure::Raise) throw EKoError("sink broke");
        return failure_ == TFailure::Zero ? 0 : -1;
    }

    int32_t maxPerCall_;
    int64_t failAt_ = 0;
    TFailure failure_ = TFailure::None;
};

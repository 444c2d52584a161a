// SPDX-License-Identifier: GPL-3.0-or-later
// A bounded circular byte buffer between exactly one producer thread and one consumer thread.
// Each side blocks only when it cannot progress (full / empty); a sticky end condition releases
// both for good, after which the consumer still receives every byte already buffered.
#pragma once

#include <cstdint>
#include <memory>

#include "UKoArea.h"
#include "UKoCriticalSection.h"
#include "UKoEvent.h"
#include "UKoMemory.h"

class TKoStream;

class TKoFIFO {
  public:
    static constexpr int32_t MinCapacity = 1024;

    // A smaller or negative Capacity gives MinCapacity bytes.
    explicit TKoFIFO(int32_t Capacity);
    // Both sides must have stopped.
    virtual ~TKoFIFO();
    TKoFIFO(const TKoFIFO&) = delete;
    TKoFIFO& operator=(const TKoFIFO&) = delete;

    int32_t Capacity() const { return buffer_.Size(); }

    // Producer side; each returns the bytes added. Blocks while the buffer is full and the FIFO
    // has not ended; a call that adds nothing ends the FIFO.
    int32_t PutMemory(const TKoArea& Area);
    // Reads from Stream straight into the free space, at most Limit bytes in at most two calls.
    // A read failure (-1) counts as nothing read, which ends the FIFO.
    int32_t FillFromStream(TKoStream& Stream, int32_t Limit);

    // Consumer side; each returns the bytes removed, 0 once the FIFO is ended and empty.
    // Removing nothing from a non-empty FIFO (an empty area, a stream that accepts nothing)
    // raises EKoError "<class>.Consumed(0)" and leaves the FIFO as it was.
    int32_t GetMemory(const TKoArea& Area);
    int32_t DrainToStream(TKoStream& Stream, int32_t Limit);

    // Ends the FIFO from outside (the owner stopping both sides). Irreversible.
    void End() { endEvent_->Signal(); }

    // Bytes waiting for the consumer; a snapshot.
    int32_t FilledSize();

  protected:
    // True when there is room (or SpaceEvent says so); false when the FIFO ended first.
    bool WaitForSpace();
    // True when there are bytes (or DataEvent says so); data wins over the end.
    bool WaitForData();
    void Produced(int32_t N);
    void Consumed(int32_t N);
    TKoRing FreeSnapshot();
    TKoRing FilledSnapshot();

    TKoEvent& EndEvent() { return *endEvent_; }
    TKoEvent& DataEvent() { return *dataEvent_; }
    TKoEvent& SpaceEvent() { return *spaceEvent_; }

  private:
    TKoMemChunk buffer_;
    TKoRing freeRing_;
    TKoRing filledRing_;
    TKoCriticalSection lock_;
    std::unique_ptr<TKoEvent> endEvent_;
    std::unique_ptr<TKoEvent> dataEvent_;
    std::unique_ptr<TKoEvent> spaceEvent_;
};

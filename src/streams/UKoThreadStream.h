// SPDX-License-Identifier: GPL-3.0-or-later
// Streams that move the work of an inner stream onto a thread of their own through a FIFO:
// read-ahead (the thread keeps reading the inner stream, the user reads buffered bytes) and
// write-behind (the user's writes are buffered, the thread writes them to the inner stream).
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <memory>
#include <thread>

#include "UKoFIFO.h"
#include "UKoStream.h"

// Moves bytes between an inner stream and a FIFO until the FIFO tells it to stop: a filler
// reads until the inner stream ends or the FIFO is full and ended, a drainer writes until the
// FIFO is empty and ended. A failure of the inner stream ends the FIFO, so neither side of it
// waits for ever, and is kept for the owner.
class TKoStreamCopyThread {
  public:
    // Starts running at once. Neither Inner nor FIFO is owned; both must outlive the thread.
    TKoStreamCopyThread(bool Draining, TKoStream& Inner, TKoFIFO& FIFO);
    static std::unique_ptr<TKoStreamCopyThread> CreateFiller(TKoStream& Inner, TKoFIFO& FIFO) {
        return std::make_unique<TKoStreamCopyThread>(false, Inner, FIFO);
    }
    static std::unique_ptr<TKoStreamCopyThread> CreateDrainer(TKoStream& Inner, TKoFIFO& FIFO) {
        return std::make_unique<TKoStreamCopyThread>(true, Inner, FIFO);
    }
    // Stops the thread as Stop does.
    virtual ~TKoStreamCopyThread();
    TKoStreamCopyThread(const TKoStreamCopyThread&) = delete;
    TKoStreamCopyThread& operator=(const TKoStreamCopyThread&) = delete;

    // Ends the FIFO and waits for the thread: a drainer first writes out every buffered byte.
    void Stop();

    bool Draining() const { return draining_; }
    // True from the moment the inner stream failed (a failed transfer or an exception).
    bool Failed() const { return failed_.load(std::memory_order_acquire); }
    // After Stop: true when the inner stream reported a failed transfer (-1 on a read, nothing
    // accepted on a write).
    bool TransferFailed() const { return transferFailed_; }
    // After Stop: the exception that ended the copy, if one did.
    std::exception_ptr Error() const { return error_; }

  private:
    class TWatch;
    void Run() noexcept;
    void Fail() noexcept;

    const bool draining_;
    TKoStream& inner_;
    TKoFIFO& fifo_;
    std::atomic<bool> failed_{false};
    bool transferFailed_ = false;  // written by the thread, read after join
    std::exception_ptr error_;     // likewise
    std::thread thread_;           // last: starts when everything above is in place
};

enum class TKoThreadDirection { ReadAhead, WriteBehind };

// A stream in front of Inner (not owned) with a FIFO of Capacity bytes (at least 1,024) and a
// copy thread. It has no position and cannot seek. Close stops the thread (after writing out
// every buffered byte, when writing behind) but does not close Inner: in a chain the stage
// below closes after this one.
class TKoThreadStream : public TKoStream {
  public:
    TKoThreadStream(TKoStream& Inner, int32_t Capacity, TKoThreadDirection Direction);
    static std::unique_ptr<TKoThreadStream> CreateReadAhead(TKoStream& Inner, int32_t Capacity) {
        return std::make_unique<TKoThreadStream>(Inner, Capacity, TKoThreadDirection::ReadAhead);
    }
    static std::unique_ptr<TKoThreadStream> CreateWriteBehind(TKoStream& Inner, int32_t Capacity) {
        return std::make_unique<TKoThreadStream>(Inner, Capacity, TKoThreadDirection::WriteBehind);
    }
    // Closes if nobody did, ignoring the result; a write-behind stream has written everything
    // it accepted into Inner (unless Inner failed) when this returns.
    ~TKoThreadStream() override;

    TKoFormat* GetFormat() override { return inner_.GetFormat(); }
    // Read-ahead only: waits until Area is filled or the input has ended and nothing is left
    // buffered. A failed input ends early like a complete one; Close tells them apart.
    // -1 on a write-behind stream and after Close.
    int32_t Read(const TKoArea& Area) override;
    // Write-behind only: returns Area.Size unless the inner stream failed (then the bytes
    // accepted before that, possibly 0). -1 on a read-ahead stream and after Close.
    int32_t Write(const TKoArea& Area) override;
    // Stops the copy thread; false when the inner stream failed a transfer. An exception the
    // inner stream raised on the copy thread is passed on here, once.
    bool Close() override;

    // True once the inner stream has failed on the copy thread; Close reports it in any case.
    bool Failed() const { return copyThread_->Failed(); }
    TKoThreadDirection Direction() const { return direction_; }
    int32_t Capacity() const { return fifo_->Capacity(); }
    TKoStream& Inner() const { return inner_; }

  private:
    TKoStream& inner_;
    const TKoThreadDirection direction_;
    std::unique_ptr<TKoFIFO> fifo_;
    std::unique_ptr<TKoStreamCopyThread> copyThread_;  // after fifo_: stopped before it goes
    bool closed_ = false;
    bool closeResult_ = true;
};

// SPDX-License-Identifier: GPL-3.0-or-later
#include "UKoThreadStream.h"

// ---- TKoStreamCopyThread

// Stands between the FIFO and the inner stream to notice failed transfers, which the FIFO
// itself cannot tell from the end of input (a read of -1) or reports only as its own error
// (a write that accepts nothing).
class TKoStreamCopyThread::TWatch : public TKoProxyStream {
  public:
    TWatch(TKoStreamCopyThread& Owner, TKoStream& Inner) : TKoProxyStream(Inner), owner_(Owner) {}

    int32_t Read(const TKoArea& Area) override {
        const int32_t n = TKoProxyStream::Read(Area);
        if (n < 0) Failed();
        return n;
    }
    int32_t Write(const TKoArea& Area) override {
        const int32_t n = TKoProxyStream::Write(Area);
        if (n <= 0 && Area.Size > 0) Failed();
        return n;
    }

  private:
    void Failed() {
        owner_.transferFailed_ = true;
        owner_.failed_.store(true, std::memory_order_release);
    }
    TKoStreamCopyThread& owner_;
};

TKoStreamCopyThread::TKoStreamCopyThread(bool Draining, TKoStream& Inner, TKoFIFO& FIFO)
    : draining_(Draining), inner_(Inner), fifo_(FIFO), thread_([this] { Run(); }) {}

TKoStreamCopyThread::~TKoStreamCopyThread() {
    Stop();
}

void TKoStreamCopyThread::Stop() {
    if (!thread_.joinable()) return;
    fifo_.End();
    thread_.join();
}

// The loop ends only through the FIFO; see the class comment.
void TKoStreamCopyThread::Run() noexcept {
    TWatch watch(*this, inner_);
    try {
        const int32_t limit = fifo_.Capacity();
        if (draining_) {
            while (fifo_.DrainToStream(watch, limit) != 0) {
            }
        } else {
            while (fifo_.FillFromStream(watch, limit) != 0) {
            }
        }
    } catch (...) {
        error_ = std::current_exception();
        Fail();
        return;
    }
    // A failed read has already ended the FIFO (it counts as the end of input).
    if (transferFailed_) Fail();
}

void TKoStreamCopyThread::Fail() noexcept {
    failed_.store(true, std::memory_order_release);
    try {
        fifo_.End();
    } catch (...) {
        // Signalling cannot fail with the events this program uses; nothing is left to do.
    }
}

// ---- TKoThreadStream

TKoThreadStream::TKoThreadStream(TKoStream& Inner, int32_t Capacity, TKoThreadDirection Direction)
    : inner_(Inner), direction_(Direction), fifo_(std::make_unique<TKoFIFO>(Capacity)) {
    copyThread_ = Direction == TKoThreadDirection::WriteBehind
                      ? TKoStreamCopyThread::CreateDrainer(inner_, *fifo_)
                      : TKoStreamCopyThread::CreateFiller(inner_, *fifo_);
}

TKoThreadStream::~TKoThreadStream() {
    if (!closed_) {
        try {
            Close();
        } catch (...) {
            // A destructor cannot report; whoever needed the result called Close.
        }
    }
    copyThread_.reset();
    fifo_.reset();
}

int32_t TKoThreadStream::Read(const TKoArea& Area) {
    if (closed_ || direction_ != TKoThreadDirection::ReadAhead) return -1;
    if (Area.Size <= 0) return 0;
    TKoArea rest = Area;
    int32_t total = 0;
    while (total < Area.Size) {
        const int32_t n = fifo_->GetMemory(rest);
        if (n <= 0) break;
        total += n;
        AreaConsume(rest, n);
    }
    return total;
}

int32_t TKoThreadStream::Write(const TKoArea& Area) {
    if (closed_ || direction_ != TKoThreadDirection::WriteBehind) return -1;
    if (Area.Size <= 0) return 0;
    TKoArea rest = Area;
    int32_t total = 0;
    // A failed drainer no longer empties the FIFO: stop accepting bytes that would go nowhere.
    while (total < Area.Size && !copyThread_->Failed()) {
        const int32_t n = fifo_->PutMemory(rest);
        if (n <= 0) break;
        total += n;
        AreaConsume(rest, n);
    }
    return total;
}

bool TKoThreadStream::Close() {
    if (closed_) return closeResult_;
    closed_ = true;
    copyThread_->Stop();
    closeResult_ = !copyThread_->Failed();
    // A failed transfer explains itself as false; only a raised exception carries more.
    if (!copyThread_->TransferFailed() && copyThread_->Error())
        std::rethrow_exception(copyThread_->Error());
    return closeResult_;
}

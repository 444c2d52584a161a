// SPDX-License-Identifier: GPL-3.0-or-later
// The byte stream interface of the framework and the streams composed of other streams:
// a proxy, a window onto a parent (child), and an owning chain (combined). TStreamStream
// lets code written against TStream read and write any TKoStream.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "UKoArea.h"
#include "UKoFormat.h"
#include "UKoObject.h"
#include "UKoTStream.h"

class TStreamStream;

class TKoStream : public TKoObject {
  public:
    TKoStream();
    ~TKoStream() override;

    // Bytes from the stream's start, or -1 when the stream keeps no position.
    virtual int64_t GetPosition();
    // The format of the data, owned by the stream; nullptr when it has none.
    virtual TKoFormat* GetFormat();
    // Always raises EKoError: formats are fixed at creation. The message is the stream's class
    // name run straight into "Can't set a format in TKoStream", with no separator
    // ("TKoProxyStreamCan't set ..."), the text callers have always matched.
    virtual void SetFormat(const TKoFormat* Format);
    // Bytes placed at Area.Start (0 .. Area.Size); 0 at the end; negative on failure.
    virtual int32_t Read(const TKoArea& Area);
    // Bytes taken from Area.Start; negative on failure.
    virtual int32_t Write(const TKoArea& Area);
    // Memory of the stream's own, up to Wanted bytes, that a writer may fill and then pass to
    // Write, saving the copy out of a buffer of its own; an empty area when the stream offers
    // none. It is good until the next call on the stream.
    virtual TKoArea WritableArea(int32_t Wanted);
    // True when the stream moved; false (position unchanged) when it cannot.
    virtual bool Seek(const TKoSeekRequest& Request);
    // Completes the stream: flushes what is pending, finishes and closes files. Returns false
    // when anything did not reach its destination. Calling it again returns the same answer.
    // Destructors run it only when nobody did and cannot report a failure, so owners that
    // care about the result (every writer) call it themselves.
    virtual bool Close();

    // The stream's length, or -1; leaves the position where it was.
    int64_t GetSize();
    // The adapter over this stream, the same object on every call.
    TStreamStream& AsStream();

  private:
    std::unique_ptr<TStreamStream> adapter_;
};

// Class-level operations on streams.
class HKoStream {
  public:
    HKoStream() = delete;
    static bool HasFormat(TKoStream& Stream) { return Stream.GetFormat() != nullptr; }
};

// Forwards everything to an inner stream it does not own.
class TKoProxyStream : public TKoStream {
  public:
    explicit TKoProxyStream(TKoStream& Inner) : inner_(Inner) {}

    int64_t GetPosition() override { return inner_.GetPosition(); }
    TKoFormat* GetFormat() override { return inner_.GetFormat(); }
    int32_t Read(const TKoArea& Area) override { return inner_.Read(Area); }
    int32_t Write(const TKoArea& Area) override { return inner_.Write(Area); }
    bool Seek(const TKoSeekRequest& Request) override { return inner_.Seek(Request); }

    TKoStream& Inner() const { return inner_; }

  private:
    TKoStream& inner_;
};

// A window of a parent stream (not owned): positions count from the window's start, reads stop
// at its end, and writes past its end grow it. The parent is positioned on every transfer.
class TKoChildStream : public TKoStream {
  public:
    TKoChildStream(TKoStream& Parent, int64_t Start, int64_t Size);
    TKoChildStream(TKoStream& Parent, const TKoArea& Area)
        : TKoChildStream(Parent, static_cast<int64_t>(Area.Start), Area.Size) {}

    int64_t GetPosition() override { return window_.Position; }
    int32_t Read(const TKoArea& Area) override;
    int32_t Write(const TKoArea& Area) override;
    // Moves within the window only; raises EKoError on an unknown origin.
    bool Seek(const TKoSeekRequest& Request) override;

    const TKoWindow& Window() const { return window_; }

  private:
    TKoStream& parent_;
    TKoWindow window_;
};

// Owns a chain of streams and forwards to its last member, the outer end of the chain.
// Members are closed and destroyed from the outer end inwards, so a stage that flushes into
// the one below it still finds it alive.
class TKoCombinedStream : public TKoStream {
  public:
    // Takes over the streams; raises EKoError when the list is empty.
    explicit TKoCombinedStream(std::vector<std::unique_ptr<TKoStream>> Streams);
    ~TKoCombinedStream() override;

    int64_t GetPosition() override { return last_->GetPosition(); }
    TKoFormat* GetFormat() override { return last_->GetFormat(); }
    int32_t Read(const TKoArea& Area) override { return last_->Read(Area); }
    int32_t Write(const TKoArea& Area) override { return last_->Write(Area); }
    TKoArea WritableArea(int32_t Wanted) override { return last_->WritableArea(Wanted); }
    bool Seek(const TKoSeekRequest& Request) override { return last_->Seek(Request); }
    // Closes every member, outer end first, even after a failure; false when any failed.
    // An exception from a member is passed on (the first one) once all have been closed.
    bool Close() override;

    std::size_t Count() const { return streams_.size(); }
    TKoStream& Member(std::size_t Index) const { return *streams_.at(Index); }

  private:
    std::vector<std::unique_ptr<TKoStream>> streams_;
    TKoStream* last_;
    bool closed_ = false;
    bool closeResult_ = true;
};

// A TStream over a TKoStream (not owned). Its seek origins are the C library's (0 beginning,
// 1 current, 2 end); an unknown origin raises EKoError.
class TStreamStream : public TStream {
  public:
    explicit TStreamStream(TKoStream& Stream) : stream_(Stream) {}

    int32_t Read(void* Buffer, int32_t Count) override;
    int32_t Write(const void* Buffer, int32_t Count) override;
    int64_t Seek(int64_t Offset, uint16_t Origin) override;

    TKoStream& Stream() const { return stream_; }

  private:
    TKoStream& stream_;
};

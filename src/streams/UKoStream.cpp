// SPDX-License-Identifier: GPL-3.0-or-later
#include "UKoStream.h"

#include <algorithm>
#include <exception>

// ---- TKoStream

TKoStream::TKoStream() = default;
TKoStream::~TKoStream() = default;

int64_t TKoStream::GetPosition() {
    return -1;
}
TKoFormat* TKoStream::GetFormat() {
    return nullptr;
}

void TKoStream::SetFormat(const TKoFormat*) {
    throw EKoError(ClassName() + "Can't set a format in TKoStream");
}

int32_t TKoStream::Read(const TKoArea&) {
    return -1;
}
int32_t TKoStream::Write(const TKoArea&) {
    return -1;
}
TKoArea TKoStream::WritableArea(int32_t) {
    return {};
}
bool TKoStream::Seek(const TKoSeekRequest&) {
    return false;
}
bool TKoStream::Close() {
    return true;
}

int64_t TKoStream::GetSize() {
    const int64_t position = GetPosition();
    if (position == -1) return -1;
    if (!Seek(SeekFromEnd(0))) {
        Seek(SeekFromBeginning(position));
        return -1;
    }
    const int64_t size = GetPosition();
    return Seek(SeekFromBeginning(position)) ? size : -1;
}

TStreamStream& TKoStream::AsStream() {
    if (!adapter_) adapter_ = std::make_unique<TStreamStream>(*this);
    return *adapter_;
}

// ---- TKoChildStream

TKoChildStream::TKoChildStream(TKoStream& Parent, int64_t Start, int64_t Size)
    : parent_(Parent), window_(MakeWindowSpan(Start, Size)) {}

int32_t TKoChildStream::Read(const TKoArea& Area) {
    // A request of no bytes, or of a negative count, reads nothing: the buffer has no room.
    if (Area.Size <= 0) return 0;
    const int64_t at = WindowAddress(window_);
    const int32_t n =
        static_cast<int32_t>(std::min<int64_t>(Area.Size, window_.Size - window_.Position));
    // The window moves by what was asked even when the parent delivers less, so reading a
    // window that overstates its parent still comes to an end.
    window_.Position += n;
    if (n == 0) return 0;
    if (!parent_.Seek(SeekFromBeginning(at))) return -1;
    return parent_.Read(MakeArea(Area.Start, n));
}

int32_t TKoChildStream::Write(const TKoArea& Area) {
    if (Area.Size == 0) return 0;
    if (Area.Size < 0) return -1;
    const int64_t at = WindowAddress(window_);
    WindowAdvance(window_, Area.Size);
    if (!parent_.Seek(SeekFromBeginning(at))) return -1;
    return parent_.Write(Area);
}

bool TKoChildStream::Seek(const TKoSeekRequest& Request) {
    return WindowSeek(window_, Request);
}

// ---- TKoCombinedStream

TKoCombinedStream::TKoCombinedStream(std::vector<std::unique_ptr<TKoStream>> Streams)
    : streams_(std::move(Streams)) {
    if (streams_.empty() ||
        std::any_of(streams_.begin(), streams_.end(), [](const auto& s) { return s == nullptr; }))
        throw EKoError();
    last_ = streams_.back().get();
}

TKoCombinedStream::~TKoCombinedStream() {
    if (!closed_) {
        try {
            Close();
        } catch (...) {
            // A destructor cannot report; whoever needed the result called Close.
        }
    }
    last_ = nullptr;
    while (!streams_.empty()) streams_.pop_back();
}

bool TKoCombinedStream::Close() {
    if (closed_) return closeResult_;
    closed_ = true;
    bool ok = true;
    std::exception_ptr firstError;
    for (auto it = streams_.rbegin(); it != streams_.rend(); ++it) {
        try {
            if (!(*it)->Close()) ok = false;
        } catch (...) {
            ok = false;
            if (!firstError) firstError = std::current_exception();
        }
    }
    closeResult_ = ok;
    // Every member has had its chance to close; now the first error may speak.
    if (firstError) std::rethrow_exception(firstError);
    return ok;
}

// ---- TStreamStream

int32_t TStreamStream::Read(void* Buffer, int32_t Count) {
    return stream_.Read(MakeArea(Buffer, Count));
}

int32_t TStreamStream::Write(const void* Buffer, int32_t Count) {
    return stream_.Write(MakeArea(Buffer, Count));
}

int64_t TStreamStream::Seek(int64_t Offset, uint16_t Origin) {
    TKoSeekRequest request;
    switch (Origin) {
        case tsFromBeginning:
            request = SeekFromBeginning(Offset);
            break;
        case tsFromCurrent:
            request = SeekFromCurrent(Offset);
            break;
        case tsFromEnd:
            request = SeekFromEnd(Offset);
            break;
        default:
            throw EKoError();
    }
    return stream_.Seek(request) ? stream_.GetPosition() : -1;
}

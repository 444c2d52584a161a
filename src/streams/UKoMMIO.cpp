// SPDX-License-Identifier: GPL-3.0-or-later
#include "UKoMMIO.h"

#include <algorithm>

uint32_t MMIOOpenFlags(uint8_t Modes) {
    uint32_t flags = MMIO_READ;
    if (Modes & momCreate) flags |= MMIO_WRITE | MMIO_CREATE;
    if (Modes & momReadWrite) flags |= MMIO_READWRITE;
    return flags;
}

// ---- TKoMMIO

TKoMMIO::~TKoMMIO() {
    if (handle_) mmioClose(handle_, 0);
}

std::unique_ptr<TKoMMIO> TKoMMIO::OpenFile(const std::string& FileName, uint8_t Modes) {
    HMMIO handle = mmioOpen(FileName.c_str(), nullptr, MMIOOpenFlags(Modes));
    return handle ? std::make_unique<TKoMMIO>(handle) : nullptr;
}

std::unique_ptr<TKoMMIO> TKoMMIO::OpenStream(TKoStream& Stream, uint8_t Modes,
                                             int32_t WriteBuffer) {
    auto server = std::make_unique<TKoMMIOIOProc>(Stream);
    MMIOINFO info;
    info.pIOProc = &TKoMMIOIOProc::IOProcedure;
    // Codecs hand over one block at a time (a few hundred bytes for ADPCM and GSM); gathered
    // here, a target takes one write call per buffer instead of one per block. The chunk
    // sizes patched behind the data go through the same buffer, so the bytes are the same.
    if (Modes & (momCreate | momReadWrite)) info.cchBuffer = std::max(WriteBuffer, 0);
    info.adwInfo[0] = reinterpret_cast<uintptr_t>(server.get());
    HMMIO handle = mmioOpen(nullptr, &info, MMIOOpenFlags(Modes));
    if (!handle) return nullptr;
    server.release();  // the handle owns it now: MMIOM_CLOSE destroys it
    return std::make_unique<TKoMMIO>(handle);
}

HMMIO TKoMMIO::Open() const {
    if (!handle_) throw EKoError();
    return handle_;
}

int32_t TKoMMIO::Read(const TKoArea& Area) {
    int32_t n = mmioRead(Open(), AreaData(Area), Area.Size);
    if (n == -1) throw EKoError();
    return n;
}

int32_t TKoMMIO::Write(const TKoArea& Area) {
    int32_t n = mmioWrite(Open(), AreaData(Area), Area.Size);
    if (n == -1) throw EKoError();
    return n;
}

int32_t TKoMMIOStream::Read(const TKoArea& Area) {
    try {
        return mmio_->Read(Area);
    } catch (const EKoError&) {
        return -1;
    }
}

int32_t TKoMMIOStream::Write(const TKoArea& Area) {
    try {
        return mmio_->Write(Area);
    } catch (const EKoError&) {
        return -1;
    }
}

namespace {

// The RIFF layer's seek origin; an origin that is none of the three is the caller's error.
int MMIOSeekOrigin(TKoSeekOrigin Origin) {
    switch (Origin) {
        case koFromBeginning:
            return MMIO_SEEK_SET;
        case koFromCurrent:
            return MMIO_SEEK_CUR;
        case koFromEnd:
            return MMIO_SEEK_END;
    }
    throw EKoError();
}

}  // namespace

int64_t TKoMMIO::Seek(const TKoSeekRequest& Request) {
    int64_t at = mmioSeek(Open(), Request.Offset, MMIOSeekOrigin(Request.Origin));
    if (at == -1) throw EKoError();
    return at;
}

std::unique_ptr<TKoRiffChunk> TKoMMIO::CreateRiff(FOURCC FormType) {
    auto chunk = std::make_unique<TKoRiffChunk>(0, FormType);
    if (mmioCreateChunk(Open(), chunk->Info(), MMIO_CREATERIFF) != 0) throw EKoError();
    return chunk;
}

std::unique_ptr<TKoRiffChunk> TKoMMIO::CreateChunk(const TKoRiffChunk& Parent, FOURCC ckid) {
    auto chunk = std::make_unique<TKoRiffChunk>(ckid, Parent.Record().fccType);
    if (mmioCreateChunk(Open(), chunk->Info(), 0) != 0) return nullptr;
    return chunk;
}

std::unique_ptr<TKoRiffChunk> TKoMMIO::DescendRiff(FOURCC FormType) {
    auto chunk = std::make_unique<TKoRiffChunk>(0, FormType);
    if (mmioDescend(Open(), chunk->Info(), nullptr, MMIO_FINDRIFF) != 0) return nullptr;
    return chunk;
}

std::unique_ptr<TKoRiffChunk> TKoMMIO::Descend(const TKoRiffChunk& Parent, FOURCC ckid) {
    auto chunk = std::make_unique<TKoRiffChunk>(ckid, 0);
    const int64_t at = Seek(SeekFromCurrent(0));
    if (mmioDescend(Open(), chunk->Info(), &Parent.Record(), MMIO_FINDCHUNK) == 0) return chunk;
    if (Seek(SeekFromBeginning(at)) != at) throw EKoError();
    return nullptr;
}

bool TKoMMIO::Ascend(std::unique_ptr<TKoRiffChunk> Chunk) {
    if (!Chunk) return false;
    return mmioAscend(Open(), Chunk->Info(), 0) == 0;
}

bool TKoMMIO::Close() {
    if (handle_) {
        closeResult_ = mmioClose(handle_, 0) == 0;
        handle_ = nullptr;
    }
    return closeResult_;
}

// ---- TKoMMIOIOProc

int64_t TKoMMIOIOProc::IOProcedure(MMIOINFO* Info, uint32_t Message, int64_t Param1,
                                   int64_t Param2) {
    auto* server = reinterpret_cast<TKoMMIOIOProc*>(Info->adwInfo[0]);
    if (!server) return 0;
    TKoStream& stream = server->stream_;
    int64_t& offset = Info->lDiskOffset;
    try {
        switch (Message) {
            case MMIOM_READ:
            case MMIOM_WRITE:
            case MMIOM_WRITEFLUSH: {
                TKoArea area =
                    MakeArea(static_cast<uintptr_t>(Param1), static_cast<int32_t>(Param2));
                int32_t n = Message == MMIOM_READ ? stream.Read(area) : stream.Write(area);
                if (n < 0) return -1;
                offset += n;
                return n;
            }
            case MMIOM_SEEK:
                switch (Param2) {
                    case MMIO_SEEK_SET:
                        if (!stream.Seek(SeekFromBeginning(Param1))) return -1;
                        offset = Param1;
                        return offset;
                    case MMIO_SEEK_CUR:
                        if (!stream.Seek(SeekFromCurrent(Param1))) return -1;
                        offset += Param1;
                        return offset;
                    case MMIO_SEEK_END:
                        if (!stream.Seek(SeekFromEnd(Param1))) return -1;
                        offset = stream.GetPosition();
                        return offset;
                    default:
                        return 0;
                }
            case MMIOM_OPEN: {
                // File offsets are the stream's own positions; a stream that keeps none is
                // taken to stand at its start.
                int64_t at = stream.GetPosition();
                offset = at >= 0 ? at : 0;
                return 0;
            }
            case MMIOM_CLOSE:
                Info->adwInfo[0] = 0;
                delete server;
                return 0;
            default:
                return 0;
        }
    } catch (...) {
        // The RIFF layer speaks in result codes; a raising stream is a failed transfer.
        return -1;
    }
}

// ---- TKoMMIOStream

TKoMMIOStream::~TKoMMIOStream() {
    try {
        Close();
    } catch (...) {
    }
}

bool TKoMMIOStream::Seek(const TKoSeekRequest& Request) {
    const int origin = MMIOSeekOrigin(Request.Origin);
    // A closed file or a position before the start: the stream stays where it was.
    const HMMIO handle = mmio_->Handle();
    return handle && mmioSeek(handle, Request.Offset, origin) != -1;
}

bool TKoMMIOStream::Close() {
    return owned_ ? owned_->Close() : true;
}

std::unique_ptr<TKoChildStream> TKoMMIOStream::CreateChunkStream(const TKoRiffChunk& Chunk) {
    const TKoWindow window = Chunk.DataWindow();
    return std::make_unique<TKoChildStream>(*this, window.Start, window.Size);
}

// SPDX-License-Identifier: GPL-3.0-or-later
// One long stream encoded on several cores. The audio written is cut into ranges on block
// boundaries of the target codec; each range goes through a conversion chain of its own on a
// worker thread, and the results are written in order into the stream below, so the target
// gets the bytes a single chain would have written. Where the audio lies in a file, the workers
// read their ranges from it themselves, and the ranges are longer.
//
// Codecs whose blocks do not depend on one another (PCM, A-law, u-law, MS ADPCM) split
// without further ado. IMA carries its step index from block to block: each range is primed
// with the block before it and encodes a few blocks past its end; those are the true
// continuation and replace the next range's first blocks up to the first block where both
// encodings agree. A block's whole state is its header's step index, so from there on they
// are the same, and the target is exact.
//
// MPEG Layer-3 splits on frames, each range primed with the frames before it (the encoder's
// delay is the same in every range, so its frames line up with those of a single encoder),
// and encoded some frames past its end. Its frames are not a single encoder's: each range
// starts with an empty bit reservoir and the psychoacoustic model settles during the
// priming. What joins is laid out again (mp3join.h) so that every frame's main data is where
// it points; the join point goes as far into the previous range's overlap frames as gives the
// next range's first frame the room it needs and window shapes that follow on (the further,
// the longer the next range's encoder has settled), and a frame still short of room gets the
// next higher bit rate. The joins are inaudible and the
// length is exact, but the bytes are not those of a single chain.
//
// GSM 6.10 does not split: its state (the offset-compensation filter, a pole just below 1
// rounded at every sample, and the long-term predictor's history) is hidden in the encoder
// and, once two encoders differ, they stay apart through any amount of priming; a split GSM
// file would be valid but not the one a single chain writes.
#pragma once

#include <sys/mman.h>
#include <sys/types.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "UKoStream.h"
#include "UKoWaveFormat.h"
#include "UKoWaveStream.h"
#include "mp3join.h"

// Bytes that a resize leaves as they are: audio is read straight into them, and zeroing them
// first would cost as much as a copy. Large ones are mapped with their pages in place: faulted
// in one by one, a range's buffer took a few hundred faults, and a fault is dear under a
// hypervisor.
template <class T>
struct TKoUninitialised : std::allocator<T> {
    template <class U>
    struct rebind {
        using other = TKoUninitialised<U>;
    };
    template <class U>
    void construct(U* At) noexcept {
        ::new (static_cast<void*>(At)) U;
    }
    template <class U, class... Args>
    void construct(U* At, Args&&... Values) {
        ::new (static_cast<void*>(At)) U(std::forward<Args>(Values)...);
    }
    T* allocate(std::size_t N) {
        if (N * sizeof(T) < kMapped) return std::allocator<T>::allocate(N);
        void* p = ::mmap(nullptr, N * sizeof(T), PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
        if (p == MAP_FAILED) throw std::bad_alloc();
        return static_cast<T*>(p);
    }
    void deallocate(T* P, std::size_t N) {
        if (N * sizeof(T) < kMapped) return std::allocator<T>::deallocate(P, N);
        ::munmap(P, N * sizeof(T));
    }
    static constexpr std::size_t kMapped = 256 * 1024;
};
using TKoBytes = std::vector<uint8_t, TKoUninitialised<uint8_t>>;

// How a conversion path splits: sizes in blocks of the target codec.
struct TKoSplitPlan {
    uint32_t SourceUnit = 0;  // source bytes per target block
    uint32_t TargetUnit = 0;  // target bytes per block
    uint32_t RangeUnits = 0;  // blocks per range
    // Blocks per range when the workers read the source themselves and no range's audio is
    // held in memory: enough that priming and overlap cost next to nothing. The last ones
    // are shorter, down to RangeUnits, so that the workers end together.
    uint32_t LongRangeUnits = 0;
    uint32_t PrimeUnits = 0;    // blocks encoded before a range and dropped
    uint32_t OverlapUnits = 0;  // blocks encoded past a range to repair the next one's start
    // The encoding costs more than the copying of ranges that splitting adds (not so for
    // PCM and G.711, whose conversion is a table lookup per sample).
    bool Pays = true;
    // MPEG Layer-3: blocks are frames, joined by laying out their main data again.
    bool Mp3 = false;
};

class TKoSplitWriteStream : public TKoStream {
  public:
    // How Source converted along Path splits into exact ranges, or nothing when it does not:
    // a resampler or a dither on the way keeps state that no block boundary resets, and
    // only the codecs named above have known block boundaries.
    static std::optional<TKoSplitPlan> Plan(const TKoWaveFormat& Source,
                                            const TKoWaveFormatList& Path, bool HighQuality);

    // Takes audio in Source's format and writes it, converted along Path, into Destination
    // (not owned, not closed), using up to Threads worker threads.
    TKoSplitWriteStream(const TKoWaveFormat& Source, const TKoWaveFormatList& Path,
                        bool HighQuality, const TKoSplitPlan& Plan, int Threads,
                        TKoStream& Destination);
    // Closes if nobody did, ignoring the result; the workers are always joined.
    ~TKoSplitWriteStream() override;

    TKoWaveStreamFormat* GetFormat() override { return streamFormat_.get(); }
    // Area.Size, or -1 once a range or a write into the destination has failed.
    int32_t Write(const TKoArea& Area) override;
    // Room at the end of the range being filled, up to its end.
    TKoArea WritableArea(int32_t Wanted) override;
    // Encodes what is left, the end of the data included, and writes every range out.
    // False when any range or write failed. Later calls return the same answer.
    bool Close() override;

    // The audio is Size bytes at Offset in the file Fd (not owned; open until Close), and each
    // worker reads its ranges from there itself: the audio is neither copied by the writer
    // nor held for ranges that wait, so the ranges can be long. Advance then takes the place
    // of Write. Before any audio only.
    void ReadSource(int Fd, int64_t Offset, int64_t Size);
    // The next Bytes of the file's audio are to be encoded: Bytes, or -1 as Write.
    int32_t Advance(int32_t Bytes);
    // A worker's read came short or failed: the file changed or cannot be read.
    bool SourceFailed() const { return sourceFailed_; }
    // With ReadSource: the audio bytes whose target bytes have been written out (the ranges
    // handed over run ahead of them by several seconds of audio).
    int64_t SourceDone() const { return sourceDone_; }

    // Ranges joined so far, and joins at which the continuation of the previous range never
    // agreed with the next range's own start within the overlap (the blocks are valid, but
    // not those of a single chain; not seen with IMA, whose step index meets within a block
    // or two).
    int64_t Joins() const { return joins_; }
    int64_t InexactJoins() const { return inexactJoins_; }
    // MPEG Layer-3: joins moved into the previous range's overlap, and frames given a higher
    // bit rate to make room for their main data.
    int64_t MovedJoins() const { return movedJoins_; }
    int64_t Bumps() const { return bumps_; }
    // MPEG Layer-3: for each join, the index of the first frame of the next range's own.
    const std::vector<int64_t>& Mp3JoinFrames() const { return mp3Joins_; }
    // The workers' thread ids. They run at the scheduling policy and nice value of the thread
    // that writes into the stage (a job's priority may change while it runs), taken over
    // whenever it hands out a range.
    std::vector<pid_t> Workers() const { return workerIds_; }

  private:
    struct Range;

    void Dispatch(bool Last);
    // The next range, from the audio written, or from the file read by the worker.
    std::shared_ptr<Range> FromPending(bool Last);
    std::shared_ptr<Range> FromSource(bool Last);
    uint32_t SourceRangeUnits() const;
    void FollowPriority();
    void Work();
    void Encode(Range& R);
    // Writes finished ranges out in order, waiting until at most Keep are in flight.
    bool Collect(std::size_t Keep);
    bool Join(Range& R);
    bool JoinFrames(Range& R);
    // How many of the previous range's overlap frames go before R's frames: as many as fit
    // and lead into R's frames with window shapes that follow on.
    std::size_t JoinPoint(const mp3join::Frames& R, std::size_t From, std::size_t To) const;
    // Lays out frame At of F, at a higher bit rate if it must be.
    bool Lay(const mp3join::Frames& F, std::size_t At);
    bool WriteOut(const std::vector<uint8_t>& Bytes);
    // Takes back room handed out by WritableArea and not written.
    void DropRoom();
    void ReservePending();
    // Source bytes a range's chain is given past its priming: the range and its overlap.
    std::size_t WholeRange() const {
        return std::size_t{plan_.RangeUnits + plan_.OverlapUnits} * plan_.SourceUnit;
    }
    // What a range's input buffer holds: its priming, the range, its overlap, and room for a
    // write of the caller's beyond them. Every input buffer is this large, so any spare one
    // serves the next range.
    std::size_t InputCapacity() const;
    // Feeds a range's source bytes to the chain at Top, from memory or from the file.
    bool Feed(Range& R, TKoStream& Top);
    void StopWorkers();

    std::unique_ptr<TKoWaveStreamFormat> streamFormat_;
    std::vector<std::unique_ptr<TKoWaveFormat>> path_;
    const bool highQuality_;
    const TKoSplitPlan plan_;
    TKoStream& destination_;
    const std::size_t maxInFlight_;

    TKoBytes pending_;  // priming carried from the last range, then new audio
    std::size_t carry_ = 0;
    std::size_t room_ = 0;  // bytes at the end of pending_ handed out by WritableArea
    TKoBytes overlap_;      // the previous range's continuation, in target bytes
    // With ReadSource: the file, and the audio bytes handed over and dispatched so far.
    int sourceFd_ = -1;
    int64_t sourceOffset_ = 0, sourceSize_ = 0;
    int64_t advanced_ = 0, next_ = 0, sourceDone_ = 0;
    bool sourceFailed_ = false;
    std::deque<std::shared_ptr<Range>> inFlight_;
    int64_t joins_ = 0;
    int64_t inexactJoins_ = 0;
    // MPEG Layer-3: the frames laid out, the last of them, and the previous range's frames
    // with its usable overlap frames at [tailFrom_, tailTo_).
    mp3join::Layout layout_;
    mp3join::Frame lastLaid_;
    mp3join::Frames tail_;
    std::size_t tailFrom_ = 0, tailTo_ = 0;
    int64_t movedJoins_ = 0;
    int64_t bumps_ = 0;
    int64_t laid_ = 0;  // frames laid out so far
    std::vector<int64_t> mp3Joins_;
    bool first_ = true;
    bool failed_ = false;
    bool closed_ = false;
    bool closeResult_ = true;

    // Buffers of ranges done with, kept for the next ones: fresh ones would be faulted in
    // page by page for every range. Guarded by mutex_.
    TKoBytes TakeBuffer(std::size_t Capacity);
    void GiveBack(TKoBytes& Buffer);
    std::vector<TKoBytes> spare_;

    std::mutex mutex_;
    std::condition_variable work_, done_;
    std::deque<std::shared_ptr<Range>> queue_;
    bool stopping_ = false;
    std::vector<std::thread> workers_;
    std::vector<pid_t> workerIds_;  // complete once the constructor returns
    int policy_ = -1, nice_ = 0;    // what the workers were last given
};

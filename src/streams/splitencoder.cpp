// SPDX-License-Identifier: GPL-3.0-or-later
#include "splitencoder.h"

#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "UKoACMConversionStream.h"
#include "acm.h"

namespace {

// About this much source audio per range: large enough that priming and overlap cost
// little, small enough that the ranges in flight stay within a few megabytes per core.
constexpr uint32_t kRangeBytes = 512 * 1024;
// MPEG Layer-3 ranges are longer, as their priming is: at 44.1 kHz stereo, 227 frames to 24
// of priming and overlap (11 % more encoding). With two threads the audio of three ranges is
// held (two encoding, one filling): 14.2 MB at the peak for the whole process, under 8 MB per
// core. Ranges of 284 frames saved another 2 % of encoding for 1.5 MB more.
constexpr uint32_t kMp3RangeBytes = 1024 * 1024;
// Ranges read by the workers from the file hold no audio while they wait, only their output:
// a quarter of this for IMA, a tenth for MPEG. At this length priming and overlap are about
// 2 % more encoding for either.
constexpr uint32_t kSourceRangeBytes = 4 * 1024 * 1024;
// What a worker reads from the file at a time.
constexpr std::size_t kReadBytes = 256 * 1024;
// The encoder's bit reservoir and psychoacoustic model take about half a second to settle
// into the states a single encoder has there, mostly: at 64 kbit/s mono, 12 frames of
// priming left the joins 0.3 dB of signal-to-noise ratio short on average, 20 frames a few
// hundredths, with single joins up to 0.7 dB short where the states still differed. The
// joins therefore go as far into the previous range's overlap as they can, so that the next
// range's frames are taken only after up to 23 frames of priming: then no join of 240 fell
// more than 0.28 dB short, for the cost of 16 frames of priming and 8 of overlap (the same 24
// frames as 20 and 4, which left single joins 0.7 dB short). The last
// frames before the end of an encoder's input are computed from the flush's padding as well
// (its look-ahead is under a frame): all overlap frames but the last are real continuations.
constexpr uint32_t kMp3PrimeSamples = 16 * 1152;
constexpr uint32_t kMp3OverlapFrames = 8;
// Room for a write of the caller's beyond a range, so the buffer need not grow.
constexpr std::size_t kWriteSlack = 64 * 1024;

bool IsPcm(const TKoWaveFormat& F) {
    return F.FormatTag() == WAVE_FORMAT_PCM || F.FormatTag() == WAVE_FORMAT_IEEE_FLOAT;
}

// A PCM-to-PCM stage at one rate keeps no state, unless it dithers: the random chain runs on
// from sample to sample. It dithers in high quality when its store rounds, which it does
// into 8 or 16 bits unless the input is already on that grid.
bool StatelessPcmStage(const TKoWaveFormat& In, const TKoWaveFormat& Out, bool HighQuality) {
    if (!IsPcm(In) || !IsPcm(Out) || In.SamplesPerSec() != Out.SamplesPerSec()) return false;
    const bool rounds = Out.FormatTag() == WAVE_FORMAT_PCM && Out.BitsPerSample() <= 16;
    const bool onGrid = In.FormatTag() == WAVE_FORMAT_PCM &&
                        In.BitsPerSample() <= Out.BitsPerSample() &&
                        In.Channels() == Out.Channels();
    return !HighQuality || !rounds || onGrid;
}

uint32_t SamplesPerBlock(const TKoWaveFormat& F) {
    if (F.ExtraSize() < 2) return 0;
    const uint8_t* extra = F.ExtraBytes();
    return uint32_t{extra[0]} | uint32_t{extra[1]} << 8;
}

bool PriorityOfThisThread(int& Policy, int& Nice, sched_param& Param) {
    const pid_t self = ::gettid();
    Policy = ::sched_getscheduler(self);
    errno = 0;
    Nice = ::getpriority(PRIO_PROCESS, static_cast<id_t>(self));
    return Policy >= 0 && errno == 0 && ::sched_getparam(self, &Param) == 0;
}

// The audio a range's chain writes, in the target format.
class TSink : public TKoStream {
  public:
    explicit TSink(const TKoWaveFormat& Format)
        : format_(TKoWaveStreamFormat::CreateForFormat(&Format)) {}
    TKoWaveStreamFormat* GetFormat() override { return format_.get(); }
    int32_t Write(const TKoArea& Area) override {
        if (Area.Size < 0) return -1;
        // Room made without touching it, then one copy: an insert would construct byte by byte.
        const std::size_t at = bytes.size();
        bytes.resize(at + static_cast<std::size_t>(Area.Size));
        std::memcpy(bytes.data() + at, AreaData(Area), static_cast<std::size_t>(Area.Size));
        return Area.Size;
    }
    TKoBytes bytes;

  private:
    std::unique_ptr<TKoWaveStreamFormat> format_;
};

}  // namespace

struct TKoSplitWriteStream::Range {
    TKoBytes input;  // priming, the range, and the overlap, in source bytes
    // Read from the file instead: the same bytes, at this audio offset.
    int64_t from = -1;
    std::size_t length = 0;
    bool readFailed = false;
    uint32_t primeUnits = 0;
    uint32_t rangeUnits = 0;  // 0 for the last range: everything after the priming
    bool last = false;
    TKoBytes output;
    mp3join::Frames frames;  // MPEG Layer-3: the output taken apart
    bool finished = false;
    bool ok = false;
};

std::optional<TKoSplitPlan> TKoSplitWriteStream::Plan(const TKoWaveFormat& Source,
                                                      const TKoWaveFormatList& Path,
                                                      bool HighQuality) {
    if (Path.Count() == 0 || !Source.IsComplete() || !IsPcm(Source) || Source.BlockAlign() == 0)
        return std::nullopt;
    const TKoWaveFormat& target = *Path.Last();
    const TKoWaveFormat* in = &Source;
    for (std::size_t i = 0; i + 1 < Path.Count(); ++i) {
        if (!StatelessPcmStage(*in, *Path[i], HighQuality)) return std::nullopt;
        in = Path[i];
    }
    if (!IsPcm(*in) || in->SamplesPerSec() != target.SamplesPerSec() || target.BlockAlign() == 0)
        return std::nullopt;

    TKoSplitPlan plan;
    uint32_t samples = 0;
    switch (target.FormatTag()) {
        case WAVE_FORMAT_PCM:
        case WAVE_FORMAT_IEEE_FLOAT:
            if (!StatelessPcmStage(*in, target, HighQuality)) return std::nullopt;
            samples = 1;
            plan.Pays = false;
            break;
        case WAVE_FORMAT_ALAW:
        case WAVE_FORMAT_MULAW:
            samples = 1;
            plan.Pays = false;
            break;
        case WAVE_FORMAT_ADPCM:
            samples = SamplesPerBlock(target);
            break;
        case WAVE_FORMAT_IMA_ADPCM:
            // The step index runs on from block to block: one block before the range gets
            // it near, the overlap makes it right.
            samples = SamplesPerBlock(target);
            plan.PrimeUnits = 1;
            plan.OverlapUnits = 8;
            break;
        case WAVE_FORMAT_MPEGLAYER3:
            // 1,152 samples a frame at the MPEG-1 rates, 576 below them.
            samples = target.SamplesPerSec() >= 32000 ? 1152 : 576;
            plan.PrimeUnits = kMp3PrimeSamples / samples;
            plan.OverlapUnits = kMp3OverlapFrames;
            plan.Mp3 = true;
            break;
        default:
            return std::nullopt;
    }
    if (samples == 0) return std::nullopt;
    plan.SourceUnit = samples * Source.BlockAlign();
    // A frame's bytes vary (padding); this much is enough to size buffers by.
    plan.TargetUnit =
        plan.Mp3 ? static_cast<uint32_t>(
                       uint64_t{target.AvgBytesPerSec()} * samples / target.SamplesPerSec() + 1)
                 : target.BlockAlign();
    // Priming and overlap are encoded twice: keep them a small part of a range (an eighth of an
    // MPEG range at most: its priming is long, and the ranges in flight are large).
    plan.RangeUnits = plan.Mp3 ? std::max<uint32_t>(kMp3RangeBytes / plan.SourceUnit,
                                                    8 * (plan.PrimeUnits + plan.OverlapUnits))
                               : std::max<uint32_t>(kRangeBytes / plan.SourceUnit,
                                                    16 * (plan.PrimeUnits + plan.OverlapUnits) + 1);
    plan.LongRangeUnits = std::max(kSourceRangeBytes / plan.SourceUnit, plan.RangeUnits);
    return plan;
}

TKoSplitWriteStream::TKoSplitWriteStream(const TKoWaveFormat& Source, const TKoWaveFormatList& Path,
                                         bool HighQuality, const TKoSplitPlan& Plan, int Threads,
                                         TKoStream& Destination)
    : streamFormat_(TKoWaveStreamFormat::CreateForFormat(&Source)),
      highQuality_(HighQuality),
      plan_(Plan),
      destination_(Destination),
      // One range for each worker; the next is read while they encode, and handed over when
      // one of them is free.
      maxInFlight_(static_cast<std::size_t>(std::max(Threads, 1))) {
    for (std::size_t i = 0; i < Path.Count(); ++i) path_.push_back(KoClone(*Path[i]));
    for (int i = 0; i < std::max(Threads, 1); ++i) workers_.emplace_back([this] { Work(); });
    // Each worker starts with this thread's priority; later changes reach it by its id.
    sched_param param{};
    if (!PriorityOfThisThread(policy_, nice_, param)) policy_ = -1;
    std::unique_lock lock(mutex_);
    done_.wait(lock, [this] { return workerIds_.size() == workers_.size(); });
}

TKoSplitWriteStream::~TKoSplitWriteStream() {
    try {
        Close();
    } catch (...) {
    }
    StopWorkers();
}

void TKoSplitWriteStream::StopWorkers() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        queue_.clear();
    }
    work_.notify_all();
    for (auto& worker : workers_)
        if (worker.joinable()) worker.join();
    workers_.clear();
}

int32_t TKoSplitWriteStream::Write(const TKoArea& Area) {
    const auto* data = static_cast<const uint8_t*>(AreaData(Area));
    const auto size = static_cast<std::size_t>(std::max(Area.Size, 0));
    // Room is only handed out while open: filled in place, the bytes not filled go.
    if (room_ > 0 && data == pending_.data() + (pending_.size() - room_) && size <= room_) {
        pending_.resize(pending_.size() - room_ + size);
        room_ = 0;
    } else {
        DropRoom();
        if (closed_ || failed_ || Area.Size < 0 || sourceFd_ >= 0) return -1;
        ReservePending();
        pending_.insert(pending_.end(), data, data + size);
    }
    while (!failed_ && pending_.size() >= carry_ + WholeRange()) Dispatch(false);
    return failed_ ? -1 : Area.Size;
}

TKoArea TKoSplitWriteStream::WritableArea(int32_t Wanted) {
    DropRoom();
    if (closed_ || failed_ || Wanted <= 0 || sourceFd_ >= 0) return {};
    ReservePending();
    const std::size_t at = pending_.size();
    // Write dispatches a range as soon as it is full, so there is always room here.
    const std::size_t room =
        std::min<std::size_t>(carry_ + WholeRange() - at, static_cast<std::size_t>(Wanted));
    pending_.resize(at + room);
    room_ = room;
    return MakeArea(pending_.data() + at, static_cast<int32_t>(room));
}

std::size_t TKoSplitWriteStream::InputCapacity() const {
    return std::size_t{plan_.PrimeUnits} * plan_.SourceUnit + WholeRange() + kWriteSlack;
}

void TKoSplitWriteStream::ReservePending() {
    // Sized once, at the first audio written (none is, where the workers read the file):
    // grown read by read, the first range's buffer would end up to twice as large as a range,
    // and stay so in the pool.
    if (pending_.capacity() == 0) pending_.reserve(InputCapacity());
}

void TKoSplitWriteStream::DropRoom() {
    pending_.resize(pending_.size() - room_);
    room_ = 0;
}

void TKoSplitWriteStream::FollowPriority() {
    int policy = 0, nice = 0;
    sched_param param{};
    if (!PriorityOfThisThread(policy, nice, param) || (policy == policy_ && nice == nice_)) return;
    for (const pid_t worker : workerIds_) {
        ::sched_setscheduler(worker, policy, &param);
        ::setpriority(PRIO_PROCESS, static_cast<id_t>(worker), nice);
    }
    policy_ = policy;
    nice_ = nice;
}

void TKoSplitWriteStream::ReadSource(int Fd, int64_t Offset, int64_t Size) {
    if (closed_ || !pending_.empty() || advanced_ > 0 || Fd < 0) return;
    sourceFd_ = Fd;
    sourceOffset_ = Offset;
    sourceSize_ = Size;
}

int32_t TKoSplitWriteStream::Advance(int32_t Bytes) {
    if (closed_ || failed_ || Bytes < 0 || sourceFd_ < 0 || advanced_ + Bytes > sourceSize_)
        return -1;
    advanced_ += Bytes;
    const auto unit = int64_t{plan_.SourceUnit};
    while (!failed_ && advanced_ >= next_ + (SourceRangeUnits() + plan_.OverlapUnits) * unit)
        Dispatch(false);
    return failed_ ? -1 : Bytes;
}

uint32_t TKoSplitWriteStream::SourceRangeUnits() const {
    // What is left shared out among the workers, within the long and the plain length.
    const auto left = static_cast<uint64_t>(sourceSize_ - next_) / plan_.SourceUnit;
    const uint64_t share = (left + maxInFlight_ - 1) / maxInFlight_;
    return static_cast<uint32_t>(std::clamp<uint64_t>(
        share, plan_.RangeUnits, std::max(plan_.LongRangeUnits, plan_.RangeUnits)));
}

void TKoSplitWriteStream::Dispatch(bool Last) {
    FollowPriority();
    // A range is handed over when a worker is free to take it: queued, it would hold its
    // audio for nothing, and the buffer read into next besides. The free worker has given
    // back its input buffer, which the next range's reads then take. A range to be read from
    // the file holds nothing: one waits ready for the first worker to finish.
    const std::size_t most = maxInFlight_ + (sourceFd_ >= 0 ? 1 : 0);
    {
        std::unique_lock lock(mutex_);
        done_.wait(lock, [this, most] {
            const auto busy = std::count_if(inFlight_.begin(), inFlight_.end(),
                                            [](const auto& R) { return !R->finished; });
            return static_cast<std::size_t>(busy) < most;
        });
    }
    auto range = sourceFd_ >= 0 ? FromSource(Last) : FromPending(Last);
    {
        std::lock_guard lock(mutex_);
        queue_.push_back(range);
    }
    inFlight_.push_back(std::move(range));
    work_.notify_one();
    // Ranges finished behind a slow one wait for it, up to as many again.
    if (!Collect(2 * maxInFlight_)) failed_ = true;
}

std::shared_ptr<TKoSplitWriteStream::Range> TKoSplitWriteStream::FromSource(bool Last) {
    auto range = std::make_shared<Range>();
    const auto unit = int64_t{plan_.SourceUnit};
    // Every range but the first is primed with the blocks before it.
    range->primeUnits = next_ > 0 ? plan_.PrimeUnits : 0;
    range->from = next_ - range->primeUnits * unit;
    range->last = Last;
    if (Last) {
        next_ = advanced_;
    } else {
        range->rangeUnits = SourceRangeUnits();
        next_ += range->rangeUnits * unit;
    }
    const int64_t end = Last ? advanced_ : next_ + plan_.OverlapUnits * unit;
    range->length = static_cast<std::size_t>(end - range->from);
    return range;
}

std::shared_ptr<TKoSplitWriteStream::Range> TKoSplitWriteStream::FromPending(bool Last) {
    auto range = std::make_shared<Range>();
    range->primeUnits = static_cast<uint32_t>(carry_ / plan_.SourceUnit);
    range->last = Last;
    if (Last) {
        range->input = std::move(pending_);
        pending_.clear();
        carry_ = 0;
    } else {
        range->rangeUnits = plan_.RangeUnits;
        const std::size_t used = carry_ + std::size_t{plan_.RangeUnits} * plan_.SourceUnit;
        const std::size_t take = used + std::size_t{plan_.OverlapUnits} * plan_.SourceUnit;
        // The next range starts after this one, primed with this one's last blocks. The range
        // takes the whole buffer and gives back only what follows: the copy is the short one.
        const std::size_t prime = std::min(used, std::size_t{plan_.PrimeUnits} * plan_.SourceUnit);
        TKoBytes rest = TakeBuffer(InputCapacity());
        rest.assign(pending_.begin() + static_cast<std::ptrdiff_t>(used - prime), pending_.end());
        range->input = std::move(pending_);
        range->input.resize(take);
        pending_ = std::move(rest);
        carry_ = prime;
    }
    return range;
}

void TKoSplitWriteStream::Work() {
    {
        std::lock_guard lock(mutex_);
        workerIds_.push_back(::gettid());
    }
    done_.notify_all();
    for (;;) {
        std::shared_ptr<Range> range;
        {
            std::unique_lock lock(mutex_);
            work_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
            if (queue_.empty()) return;
            range = std::move(queue_.front());
            queue_.pop_front();
        }
        try {
            Encode(*range);
        } catch (...) {
            range->ok = false;
        }
        {
            std::lock_guard lock(mutex_);
            range->finished = true;
        }
        done_.notify_all();
    }
}

void TKoSplitWriteStream::Encode(Range& R) {
    TSink sink(*path_.back());
    const std::size_t length = R.from >= 0 ? R.length : R.input.size();
    sink.bytes = TakeBuffer(length / plan_.SourceUnit * plan_.TargetUnit + plan_.TargetUnit);
    // Built from the file upwards, as the factory builds a write chain.
    std::vector<std::unique_ptr<TKoStream>> stages;
    TKoStream* top = &sink;
    for (std::size_t i = path_.size(); i-- > 0;) {
        const TKoWaveFormat& input = i > 0 ? *path_[i - 1] : streamFormat_->Format();
        auto stage = TKoACMConversionStream::CreateWriteConverter(input, *top, highQuality_);
        if (!stage) return;
        top = stage.get();
        stages.push_back(std::move(stage));
    }
    bool ok = Feed(R, *top);
    // Top first: each stage hands what it holds to the one below.
    for (auto it = stages.rbegin(); it != stages.rend(); ++it) ok = (*it)->Close() && ok;
    while (!stages.empty()) stages.pop_back();
    if (R.from < 0) GiveBack(R.input);
    if (plan_.Mp3) {
        R.ok = ok && mp3join::Parse(sink.bytes.data(), sink.bytes.size(), R.frames);
        return;
    }
    R.output = std::move(sink.bytes);
    R.ok = ok;
}

bool TKoSplitWriteStream::Feed(Range& R, TKoStream& Top) {
    const auto write = [&Top](const uint8_t* From, std::size_t Size) {
        const int32_t n = static_cast<int32_t>(Size);
        return Top.Write(MakeArea(From, n)) == n;
    };
    if (R.from < 0) {
        for (std::size_t at = 0; at < R.input.size(); at += 1 << 16)
            if (!write(R.input.data() + at, std::min<std::size_t>(R.input.size() - at, 1 << 16)))
                return false;
        return true;
    }
    TKoBytes buffer = TakeBuffer(kReadBytes);
    buffer.resize(kReadBytes);
    bool ok = true;
    for (std::size_t at = 0; ok && at < R.length;) {
        const std::size_t want = std::min(R.length - at, kReadBytes);
        const ssize_t got = ::pread(sourceFd_, buffer.data(), want,
                                    sourceOffset_ + R.from + static_cast<int64_t>(at));
        if (got < 0 && errno == EINTR) continue;
        // The file held all of its audio when the job began: short now, it changed.
        if (got <= 0) {
            R.readFailed = true;
            ok = false;
            break;
        }
        ok = write(buffer.data(), static_cast<std::size_t>(got));
        at += static_cast<std::size_t>(got);
    }
    GiveBack(buffer);
    return ok;
}

bool TKoSplitWriteStream::Collect(std::size_t Keep) {
    while (!inFlight_.empty()) {
        Range& front = *inFlight_.front();
        {
            std::unique_lock lock(mutex_);
            if (!front.finished && inFlight_.size() <= Keep) break;
            done_.wait(lock, [&] { return front.finished; });
        }
        const bool ok = Join(front);
        sourceDone_ =
            front.last ? advanced_ : sourceDone_ + int64_t{front.rangeUnits} * plan_.SourceUnit;
        inFlight_.pop_front();
        if (!ok) return false;
    }
    return true;
}

bool TKoSplitWriteStream::Join(Range& R) {
    if (R.readFailed) sourceFailed_ = true;
    if (plan_.Mp3) return JoinFrames(R);
    if (!R.ok) return false;
    const std::size_t unit = plan_.TargetUnit;
    const std::size_t prime = std::size_t{R.primeUnits} * unit;
    if (R.output.size() < prime) return false;
    const std::size_t size = R.last ? R.output.size() - prime : std::size_t{R.rangeUnits} * unit;
    if (!R.last && R.output.size() != prime + size + std::size_t{plan_.OverlapUnits} * unit)
        return false;
    uint8_t* range = R.output.data() + prime;

    // The previous range's continuation is what a single chain wrote here. Its blocks stand
    // in for this range's until the two agree from some block on.
    const std::size_t blocks = std::min(overlap_.size() / unit, size / unit);
    std::size_t agree = blocks;
    while (agree > 0 &&
           std::memcmp(overlap_.data() + (agree - 1) * unit, range + (agree - 1) * unit, unit) == 0)
        --agree;
    if (agree > 0) std::memcpy(range, overlap_.data(), agree * unit);
    if (blocks > 0 && agree == blocks && blocks < size / unit) ++inexactJoins_;
    if (!first_) ++joins_;
    first_ = false;

    if (size > 0) {
        const int32_t n = static_cast<int32_t>(size);
        if (size > static_cast<std::size_t>(INT32_MAX) ||
            destination_.Write(MakeArea(range, n)) != n)
            return false;
    }
    overlap_.assign(range + size, R.output.data() + R.output.size());
    GiveBack(R.output);
    return true;
}

bool TKoSplitWriteStream::WriteOut(const std::vector<uint8_t>& Bytes) {
    if (Bytes.empty()) return true;
    if (Bytes.size() > static_cast<std::size_t>(INT32_MAX)) return false;
    const int32_t n = static_cast<int32_t>(Bytes.size());
    return destination_.Write(MakeArea(Bytes.data(), n)) == n;
}

bool TKoSplitWriteStream::Lay(const mp3join::Frames& F, std::size_t At) {
    mp3join::Frame frame = F.frames[At];
    while (!layout_.Append(frame, F.payload.data() + frame.mainAt)) {
        if (!frame.Bump()) return false;
        ++bumps_;
    }
    lastLaid_ = frame;
    ++laid_;
    return true;
}

std::size_t TKoSplitWriteStream::JoinPoint(const mp3join::Frames& R, std::size_t From,
                                           std::size_t To) const {
    const std::size_t most = std::min(tailTo_ - tailFrom_, To > From ? To - From - 1 : 0);
    std::optional<std::size_t> fitting, compatible;
    for (std::size_t shift = most + 1; shift-- > 0;) {
        mp3join::Layout::State at = layout_.Position();
        const mp3join::Frame* prev = &lastLaid_;
        bool fits = true;
        for (std::size_t i = 0; fits && i < shift; ++i) {
            prev = &tail_.frames[tailFrom_ + i];
            fits = mp3join::Layout::Place(at, *prev);
        }
        const bool follows =
            From + shift >= To || mp3join::Compatible(*prev, R.frames[From + shift]);
        // Once a frame's main data begins as far back as its encoder put it, the frames after
        // it fit as they did for the encoder.
        for (std::size_t j = From + shift; fits && j < To; ++j) {
            uint32_t begin = 0;
            fits = mp3join::Layout::Place(at, R.frames[j], &begin);
            if (begin >= R.frames[j].mainBegin) break;
        }
        if (fits && follows) return shift;
        if (fits && !fitting) fitting = shift;
        if (follows && !compatible) compatible = shift;
    }
    return fitting ? *fitting : compatible ? *compatible : 0;
}

bool TKoSplitWriteStream::JoinFrames(Range& R) {
    if (!R.ok) return false;
    const std::size_t count = R.frames.frames.size();
    const std::size_t from = R.primeUnits;
    const std::size_t to = R.last ? count : from + R.rangeUnits;
    if (from > to || count < to + (R.last ? 0 : plan_.OverlapUnits)) return false;
    std::size_t shift = 0;
    if (!first_) {
        ++joins_;
        shift = JoinPoint(R.frames, from, to);
        if (shift > 0) ++movedJoins_;
        for (std::size_t i = 0; i < shift; ++i)
            if (!Lay(tail_, tailFrom_ + i)) return false;
        mp3Joins_.push_back(laid_);
    }
    first_ = false;
    for (std::size_t j = from + shift; j < to; ++j)
        if (!Lay(R.frames, j)) return false;
    tail_ = std::move(R.frames);
    tailFrom_ = to;
    // The last overlap frame saw the flush's padding.
    tailTo_ = R.last ? to : to + plan_.OverlapUnits - 1;
    if (R.last) layout_.Finish();
    std::vector<uint8_t> bytes;
    layout_.Take(bytes);
    return WriteOut(bytes);
}

bool TKoSplitWriteStream::Close() {
    if (closed_) return closeResult_;
    DropRoom();
    closed_ = true;
    // An encoder of MPEG frames writes some even for no audio at all.
    const bool left = sourceFd_ >= 0 ? advanced_ > next_ : pending_.size() > carry_;
    if (!failed_ && (left || (plan_.Mp3 && first_ && inFlight_.empty()))) Dispatch(true);
    if (!Collect(0)) failed_ = true;
    // A failure leaves ranges behind; their results are of no use now.
    inFlight_.clear();
    StopWorkers();
    closeResult_ = !failed_;
    return closeResult_;
}

TKoBytes TKoSplitWriteStream::TakeBuffer(std::size_t Capacity) {
    TKoBytes buffer;
    {
        std::lock_guard lock(mutex_);
        // The smallest that holds Capacity. None is grown: the grown one would be faulted in
        // anew, and the buffers of inputs and of outputs differ in size.
        auto best = spare_.end();
        for (auto it = spare_.begin(); it != spare_.end(); ++it)
            if (it->capacity() >= Capacity &&
                (best == spare_.end() || it->capacity() < best->capacity()))
                best = it;
        if (best != spare_.end()) {
            buffer = std::move(*best);
            spare_.erase(best);
        }
    }
    buffer.clear();
    buffer.reserve(Capacity);
    return buffer;
}

void TKoSplitWriteStream::GiveBack(TKoBytes& Buffer) {
    TKoBytes buffer = std::move(Buffer);
    Buffer = {};
    std::lock_guard lock(mutex_);
    spare_.push_back(std::move(buffer));
    // As many as the ranges in flight use at once, an input and an output each, and the
    // range being filled; more would only hold memory. The smallest goes first.
    if (spare_.size() > 2 * maxInFlight_ + 1)
        spare_.erase(std::min_element(
            spare_.begin(), spare_.end(),
            [](const auto& A, const auto& B) { return A.capacity() < B.capacity(); }));
}

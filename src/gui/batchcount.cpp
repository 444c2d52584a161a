// SPDX-License-Identifier: GPL-3.0-or-later
#include "batchcount.h"

#include <algorithm>

#include "jobcontrol.h"

namespace {
constexpr int64_t kDayMs = 24 * 60 * 60 * 1000;
// Less than this gone by, or read, says too little of the rate.
constexpr int64_t kLeastMs = 1000;
}  // namespace

void TBatchCount::Start(int32_t NowMs) {
    *this = TBatchCount{};
    startMs_ = NowMs;
}

void TBatchCount::Found(const TSourceCount& Count) {
    files_ = std::max(files_, ended_ + Count.Files);
    bytes_ = std::max(bytes_, endedBytes_ + Count.Bytes);
}

void TBatchCount::Ended(int64_t Bytes) {
    ++ended_;
    endedBytes_ += std::max<int64_t>(0, Bytes);
    files_ = std::max(files_, ended_);
    bytes_ = std::max(bytes_, endedBytes_);
}

std::string TBatchCount::FileText(int Running) const {
    const int64_t n = ended_ + std::max(1, Running);
    return "File " + std::to_string(n) + " of " + std::to_string(std::max(files_, n));
}

std::string TBatchCount::RemainingText(int64_t BytesRead, int32_t NowMs) const {
    int64_t elapsed = int64_t{NowMs} - startMs_;
    if (elapsed < 0) elapsed += kDayMs;  // past midnight
    const int64_t done = endedBytes_ + std::max<int64_t>(0, BytesRead);
    if (!Known() || elapsed < kLeastMs || done <= 0) return {};
    const int64_t left = std::max<int64_t>(0, bytes_ - done);
    const double seconds = static_cast<double>(left) * static_cast<double>(elapsed) /
                           static_cast<double>(done) / 1000.0;
    return FormatTime(static_cast<int64_t>(seconds + 0.5));
}

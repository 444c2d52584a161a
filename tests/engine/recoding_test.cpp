// SPDX-License-Identifier: GPL-3.0-or-later
// One recoding job on its own: the read-back that refuses a .part damaged between its write
// and its rename, and a job suspended, resumed or stopped at each of its block boundaries.
#include "recoding.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "acm.h"
#include "engine_util.h"

namespace {

constexpr int32_t kBlock = 2048;

// Writes Bytes over the file at Offset.
void Patch(const std::string& Path, std::streamoff Offset, const std::string& Bytes) {
    std::fstream f(Path, std::ios::binary | std::ios::in | std::ios::out);
    f.seekp(Offset);
    f.write(Bytes.data(), static_cast<std::streamsize>(Bytes.size()));
}

// 8,000 Hz mono A-law: the layout of 8-bit PCM under its own tag.
std::unique_ptr<TKoWaveFormat> ALaw() {
    auto f = TKoWaveFormat::CreatePCM(8000, 8, 1);
    f->SetFormatTag(WAVE_FORMAT_ALAW);
    WAVEFORMATEX* w = f->Data();
    w->nBlockAlign = 1;
    w->nAvgBytesPerSec = 8000;
    w->cbSize = 0;
    f->MarkComplete();
    return f;
}

class Recoding : public ::testing::Test {
  protected:
    void SetUp() override {
        WriteWave(source, 2205);  // 8,820 bytes of audio: four whole blocks and a part
        fs::create_directories(out);
        sourceBytes = Slurp(source);
    }
    std::unique_ptr<TRecodingThread> Job(const TKoWaveFormat& Format, bool Bare = false) {
        auto job = std::make_unique<TRecodingThread>(source, target, kBlock, &Format, true);
        job->BareStream = Bare;
        return job;
    }
    // The source stays as it was, and nothing but Names is left in the target folder.
    void ExpectLeft(const std::vector<std::string>& Names) {
        EXPECT_EQ(Slurp(source), sourceBytes);
        std::vector<std::string> left;
        for (const auto& e : fs::directory_iterator(out)) left.push_back(e.path().filename());
        std::sort(left.begin(), left.end());
        EXPECT_EQ(left, Names);
    }

    TTempDir dir;
    const std::string source = dir / "in/a.wav";
    const std::string out = dir / "out/";
    const std::string target = out + "a.wav";
    const std::string part = out + "a.wav.part";
    std::string sourceBytes;
    std::unique_ptr<TKoWaveFormat> pcm = TKoWaveFormat::CreatePCM(22050, 8, 2);
};

TEST_F(Recoding, APartDamagedBeforeItsRenameIsRefused) {
    // Where the fmt record's sample rate lies in a WAVE file.
    auto rateOffset = [](const std::string& Path) {
        return static_cast<std::streamoff>(Slurp(Path).find("fmt ") + 12);
    };
    struct Row {
        const char* name;
        bool bare;
        std::function<void()> damage;
        bool refused;
        bool strangerLeft;  // the .part is no longer the job's file and stays
    } rows[] = {
        {"untouched", false, [] {}, false, false},
        {"cut short", false, [&] { fs::resize_file(part, fs::file_size(part) - 100); }, true,
         false},
        {"grown", false, [&] { std::ofstream(part, std::ios::app) << "x"; }, true, false},
        {"its RIFF header spoiled", false, [&] { Patch(part, 0, "RIFX"); }, true, false},
        {"another format in its header", false,
         [&] { Patch(part, rateOffset(part), std::string("\x11\x2b\0\0", 4)); }, true, false},
        // The same bytes, but not the file the job wrote and synced.
        {"replaced by a copy of itself", false,
         [&] {
             fs::copy_file(part, out + "copy");
             fs::rename(out + "copy", part);
         },
         true, true},
        {"bare, untouched", true, [] {}, false, false},
        {"bare, cut short", true, [&] { fs::resize_file(part, fs::file_size(part) - 1); }, true,
         false},
        {"bare, grown", true, [&] { std::ofstream(part, std::ios::app) << "x"; }, true, false},
    };
    const auto alaw = ALaw();
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        auto job = Job(r.bare ? *alaw : *pcm, r.bare);
        std::string damaged;
        job->BeforeReadBack = [&] {
            r.damage();
            damaged = Slurp(part);
        };
        job->Execute();
        if (!r.refused) {
            EXPECT_TRUE(job->Succeeded()) << job->ErrorText();
            EXPECT_EQ(Slurp(target), damaged);
            ExpectLeft({"a.wav"});
        } else {
            EXPECT_FALSE(job->Succeeded());
            EXPECT_EQ(job->FailedStep(), TRecodeStep::Complete);
            EXPECT_EQ(job->ErrorNumber(), EIO);
            if (r.strangerLeft) {
                EXPECT_EQ(Slurp(part), damaged);
                ExpectLeft({"a.wav.part"});
            } else {
                ExpectLeft({});
            }
        }
        fs::remove(target);
        fs::remove(part);
    }
}

TEST_F(Recoding, SuspendResumeOrStopAtEveryBlockBoundary) {
    // The uninterrupted run, and the bytes read at each of its block boundaries.
    std::vector<int64_t> boundaries;
    std::string reference;
    {
        auto job = Job(*pcm);
        job->AtBlockBoundary = [&](int64_t Bytes) { boundaries.push_back(Bytes); };
        job->Execute();
        ASSERT_TRUE(job->Succeeded()) << job->ErrorText();
        reference = Slurp(target);
        fs::remove(target);
    }
    ASSERT_EQ(boundaries.size(), 5u);
    enum class TAction { SuspendAndResume, Terminate, SuspendAndTerminate };
    for (const TAction action :
         {TAction::SuspendAndResume, TAction::Terminate, TAction::SuspendAndTerminate}) {
        for (std::size_t k = 0; k < boundaries.size(); ++k) {
            SCOPED_TRACE(testing::Message()
                         << "action " << static_cast<int>(action) << " at boundary " << k);
            auto job = Job(*pcm);
            std::promise<void> reached;
            std::size_t boundary = 0;
            job->AtBlockBoundary = [&](int64_t) {
                if (boundary++ != k) return;
                if (action == TAction::Terminate)
                    job->Terminate();
                else
                    job->Suspend();
                reached.set_value();
            };
            job->Start();
            reached.get_future().wait();
            if (action != TAction::Terminate) {
                // Held at the boundary until the next call.
                EXPECT_FALSE(job->Finished());
                EXPECT_EQ(job->BytesRead(), boundaries[k]);
                EXPECT_TRUE(job->IsSuspended());
            }
            if (action == TAction::SuspendAndResume) job->Resume();
            if (action == TAction::SuspendAndTerminate) job->Terminate();
            job->WaitFor();
            if (action == TAction::SuspendAndResume) {
                ASSERT_TRUE(job->Succeeded()) << job->ErrorText();
                EXPECT_EQ(Slurp(target), reference);
                ExpectLeft({"a.wav"});
                fs::remove(target);
                continue;
            }
            // A stopped job leaves its .part to the caller, who removes it.
            EXPECT_EQ(job->FailedStep(), TRecodeStep::Stopped);
            EXPECT_TRUE(fs::exists(part));
            EXPECT_TRUE(job->RemovePartFile());
            ExpectLeft({});
        }
    }
}

// Encoded on two threads, a long source's ranges are read by the threads that encode them. A
// source cut while they read it is a source that changed: the job fails as such and leaves
// neither target nor .part.
TEST_F(Recoding, ASourceCutWhileItsRangesAreReadIsASourceThatChanged) {
    WriteWave(source, 400000);
    const auto pcm16 = TKoWaveFormat::CreatePCM16(44100, 2);
    auto ima = TKoWaveFormat::CreateMaxSize();
    ima->Data()->wFormatTag = WAVE_FORMAT_IMA_ADPCM;
    ASSERT_EQ(
        acmFormatSuggest(nullptr, pcm16->Data(), ima->Data(),
                         static_cast<uint32_t>(ima->Capacity()), ACM_FORMATSUGGESTF_WFORMATTAG),
        MMSYSERR_NOERROR);
    ima->MarkComplete();
    for (const bool cut : {false, true}) {
        SCOPED_TRACE(cut ? "cut" : "whole");
        auto job = Job(*ima);
        job->Threads = 2;
        job->AtBlockBoundary = [&](int64_t Bytes) {
            if (cut && Bytes == 0) fs::resize_file(source, 400000);
        };
        job->Execute();
        if (!cut) {
            ASSERT_TRUE(job->Succeeded()) << job->ErrorText();
            fs::remove(target);
            continue;
        }
        EXPECT_EQ(job->FailedStep(), TRecodeStep::SourceChanged) << job->ErrorText();
        job.reset();
        EXPECT_TRUE(fs::is_empty(out));
    }
}

}  // namespace

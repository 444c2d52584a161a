// SPDX-License-Identifier: GPL-3.0-or-later
// Several recoding jobs at once, as a batch with several jobs runs them: conversions of
// different codecs on their own threads, codec streams opened and closed on many threads,
// and formats read by several threads. Built with -DSONBAR_TSAN=ON this is the race check;
// in the normal build the address sanitizer catches a stream used after another thread
// closed it.
#include <atomic>
#include <thread>

#include "acm.h"
#include "engine_util.h"

namespace {

// A target format of Tag that the codec manager suggests for 16-bit PCM of Rate and Channels.
std::unique_ptr<TKoWaveFormat> Suggested(uint16_t Tag, uint32_t Rate = 44100,
                                         uint16_t Channels = 2) {
    const auto pcm = TKoWaveFormat::CreatePCM16(Rate, Channels);
    auto format = TKoWaveFormat::CreateMaxSize();
    format->Data()->wFormatTag = Tag;
    if (acmFormatSuggest(nullptr, pcm->Data(), format->Data(),
                         static_cast<uint32_t>(format->Capacity()),
                         ACM_FORMATSUGGESTF_WFORMATTAG) != MMSYSERR_NOERROR)
        return nullptr;
    format->MarkComplete();
    return format;
}

TEST(Concurrency, JobsOfDifferentCodecsAtOnceMatchTheSameJobsOneAfterAnother) {
    TTempDir dir;
    const std::string source = dir / "source.wav", mono = dir / "mono8k.wav";
    WriteWave(source, 44100);
    WriteWave(mono, 8000, 1, 8000);
    // PCM, MS ADPCM, A-law, mu-law, IMA ADPCM and MP3 from CD audio; GSM from 8 kHz mono.
    const uint16_t tags[] = {1, 2, 6, 7, 17, 85, 49};
    std::vector<std::unique_ptr<TKoWaveFormat>> formats;
    for (const uint16_t tag : tags) {
        formats.push_back(tag == 49 ? Suggested(tag, 8000, 1) : Suggested(tag));
        ASSERT_TRUE(formats.back()) << "tag " << tag;
    }
    auto run = [&](const std::string& prefix, bool atOnce) {
        std::vector<std::unique_ptr<TRecodingThread>> jobs;
        for (std::size_t i = 0; i < formats.size(); ++i) {
            jobs.push_back(std::make_unique<TRecodingThread>(
                tags[i] == 49 ? mono : source, dir / (prefix + std::to_string(i) + ".wav"), 16384,
                formats[i].get(), true));
            jobs.back()->Threaded = true;
            jobs.back()->Start();
            if (!atOnce) jobs.back()->WaitFor();
        }
        for (auto& job : jobs) {
            job->WaitFor();
            EXPECT_TRUE(job->Succeeded()) << job->TargetFileName() << ": " << job->ErrorText();
        }
    };
    // Twice at once, so each codec also runs beside a second instance of itself.
    run("a", true);
    run("b", true);
    run("s", false);
    for (std::size_t i = 0; i < formats.size(); ++i) {
        const std::string serial = Slurp(dir / ("s" + std::to_string(i) + ".wav"));
        EXPECT_GT(serial.size(), 100u);
        EXPECT_EQ(Slurp(dir / ("a" + std::to_string(i) + ".wav")), serial) << "tag " << tags[i];
        EXPECT_EQ(Slurp(dir / ("b" + std::to_string(i) + ".wav")), serial) << "tag " << tags[i];
    }
}

TEST(Concurrency, StreamClosedOnOneThreadWhileOthersStillCallIt) {
    const auto pcm = TKoWaveFormat::CreatePCM16(44100, 2);
    const auto ima = Suggested(17);
    ASSERT_TRUE(ima);
    std::atomic<HACMSTREAM> current{nullptr};
    std::atomic<bool> done{false};
    std::atomic<int> answered{0};
    std::vector<std::thread> callers;
    for (int t = 0; t < 3; ++t)
        callers.emplace_back([&] {
            while (!done) {
                uint32_t bytes = 0;
                // Either the stream is still open and answers, or the handle is refused.
                const MMRESULT r =
                    acmStreamSize(current.load(), 4096, &bytes, ACM_STREAMSIZEF_SOURCE);
                if (r == MMSYSERR_NOERROR) ++answered;
                EXPECT_TRUE(r == MMSYSERR_NOERROR || r == MMSYSERR_INVALHANDLE) << r;
            }
        });
    std::vector<std::thread> openers;
    for (int t = 0; t < 2; ++t)
        openers.emplace_back([&] {
            for (int i = 0; i < 300; ++i) {
                HACMSTREAM has = nullptr;
                ASSERT_EQ(acmStreamOpen(&has, nullptr, pcm->Data(), ima->Data(), nullptr, 0, 0, 0),
                          MMSYSERR_NOERROR);
                current = has;
                std::this_thread::yield();
                ASSERT_EQ(acmStreamClose(has, 0), MMSYSERR_NOERROR);
            }
        });
    for (auto& t : openers) t.join();
    done = true;
    for (auto& t : callers) t.join();
    EXPECT_GT(answered.load(), 0);
}

TEST(Concurrency, ConstFormatReadOnManyThreads) {
    // Built field by field, as the settings build a target format, then only read.
    const std::unique_ptr<const TKoWaveFormat> format = TKoWaveFormat::CreatePCM(22050, 8, 2);
    std::vector<std::thread> readers;
    std::atomic<int> complete{0};
    for (int t = 0; t < 4; ++t)
        readers.emplace_back([&] {
            if (format->IsComplete() && format->AvgBytesPerSec() == 44100 &&
                format->BlockAlign() == 2 && format->Data()->nBlockAlign == 2)
                ++complete;
        });
    for (auto& t : readers) t.join();
    EXPECT_EQ(complete.load(), 4);
}

}  // namespace

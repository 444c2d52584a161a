// SPDX-License-Identifier: GPL-3.0-or-later
// Temporary directory trees, WAVE files and seams that answer for the user, for the
// engine's tests.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "batchrunner.h"
#include "jobcontrol.h"

namespace fs = std::filesystem;

// Makes a file older than the stability window, so the search takes it at once.
inline void Age(const std::string& Path) {
    const struct timespec old[2] = {{::time(nullptr) - 60, 0}, {::time(nullptr) - 60, 0}};
    ::utimensat(AT_FDCWD, Path.c_str(), old, 0);
}

// A 16-bit PCM WAVE file with a tone, older than the stability window.
inline void WriteWave(const std::string& Path, int Frames = 4410, int Channels = 2,
                      int Rate = 44100) {
    fs::create_directories(fs::path(Path).parent_path());
    const uint32_t data = static_cast<uint32_t>(Frames * Channels * 2);
    std::ofstream out(Path, std::ios::binary);
    auto u32 = [&](uint32_t v) { out.write(reinterpret_cast<const char*>(&v), 4); };
    auto u16 = [&](uint16_t v) { out.write(reinterpret_cast<const char*>(&v), 2); };
    out.write("RIFF", 4);
    u32(36 + data);
    out.write("WAVEfmt ", 8);
    u32(16);
    u16(1);
    u16(static_cast<uint16_t>(Channels));
    u32(static_cast<uint32_t>(Rate));
    u32(static_cast<uint32_t>(Rate * Channels * 2));
    u16(static_cast<uint16_t>(Channels * 2));
    u16(16);
    out.write("data", 4);
    u32(data);
    for (int i = 0; i < Frames; ++i)
        for (int c = 0; c < Channels; ++c)
            u16(static_cast<uint16_t>(static_cast<int16_t>(8000 * std::sin(i * 0.0627 * (c + 1)))));
    out.close();
    Age(Path);
}

inline std::string Slurp(const std::string& Path) {
    std::ifstream in(Path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Every seam, answering questions from a queue and recording what the user would see.
class TFakeUser : public IMessages, public IProgress, public IClock, public ISound {
  public:
    std::vector<std::string> Shown;  // "error: ...", "info: ...", "ask: ..."
    std::deque<TAnswer> Answers;
    std::vector<std::string> Done;  // "recoded SOURCE" / "skipped SOURCE"
    int32_t Now = 1000;
    int Beeps = 0;

    void ShowError(const std::string& Text) override { Shown.push_back("error: " + Text); }
    void ShowInformation(const std::string& Text) override { Shown.push_back("info: " + Text); }
    TAnswer Ask(const std::string& Text, bool) override {
        Shown.push_back("ask: " + Text);
        if (Answers.empty()) return TAnswer::Cancel;
        const TAnswer a = Answers.front();
        Answers.pop_front();
        return a;
    }
    void FileDone(const std::string& Source, const std::string&, bool Skipped, int64_t,
                  int32_t ElapsedMs) override {
        Done.push_back((Skipped ? "skipped " : "recoded ") + Source);
        LastElapsedMs = ElapsedMs;
    }
    void UpdateProgress(const TProgressFigures& F) override { Last = F; }
    TProgressFigures Last;
    int32_t LastElapsedMs = -1;
    int32_t MsSinceMidnight() override { return Now; }
    void Beep() override { ++Beeps; }
};

// A temporary folder that goes away with the test.
class TTempDir {
  public:
    TTempDir() {
        char pattern[] = "/tmp/sonbar-engine-XXXXXX";
        path_ = ::mkdtemp(pattern);
    }
    ~TTempDir() {
        std::error_code ec;
        fs::permissions(path_, fs::perms::owner_all, ec);
        fs::remove_all(path_, ec);
    }
    std::string operator/(const std::string& Name) const { return path_ + "/" + Name; }
    const std::string& Path() const { return path_; }

  private:
    std::string path_;
};

// Settings for a batch from the folder In to Out (both created): the stored defaults but
// overwriting and not waiting, targets named .wav in 22,050 Hz 8-bit stereo PCM.
inline void BatchSettings(TSettings& S, const std::string& In, const std::string& Out) {
    fs::create_directories(In);
    fs::create_directories(Out);
    S.UnpackOptions(TSettings::DefaultOptionBits);
    S.SourceDirs = {In};
    S.TargetDirs = {Out};
    S.Texts[EditTargetExt] = "wav";
    S.SetOption(RadioOverwrite, true);
    S.SetOption(CheckBoxTryAgain, false);
    S.SetTargetFormat(TKoWaveFormat::CreatePCM(22050, 8, 2).get());
}

// Runs Go and every job it chains until the batch stops; the jobs run on their threads.
inline void RunBatch(TJobControl& Control) {
    Control.ButtonGoClick();
    while (Control.JobState() == jsRecoding) {
        Control.RecodingThread()->WaitFor();
        Control.RecodingThreadDone();
        if (Control.GoWhenIdle) Control.ButtonGoClick();
    }
}

// Runs a batch of several jobs to its end; whether it ended without failure. WaitForYoung
// searches again, shortly, while files were passed over only for being young or changed.
inline bool RunToEnd(TBatchRunner& Batch, bool WaitForYoung = false) {
    if (!Batch.Check()) return false;
    for (;;) {
        const auto found = Batch.Stopping() ? TBatchRunner::TFill::Failed : Batch.Fill();
        if (Batch.Running() > 0) {
            while (!Batch.Reap(50)) Batch.UpdateProgress();
            continue;
        }
        if (WaitForYoung && found == TBatchRunner::TFill::NoMoreFiles && Batch.SawYoungFiles()) {
            ::poll(nullptr, 0, 100);
            continue;
        }
        return found == TBatchRunner::TFill::NoMoreFiles && !Batch.Failed();
    }
}

// SPDX-License-Identifier: GPL-3.0-or-later
// The hot folder's watch: what wakes it and what does not, subdirectories made while it
// watches, and the fall-back to polling. inotify queues an event before the call that caused
// it returns, so a wait of 0 ms after the act sees it: nothing here depends on timing.
#include "watch.h"

#include <fcntl.h>

#include "engine_util.h"

namespace {

class Watch : public ::testing::Test {
  protected:
    std::unique_ptr<TWatch> Make(bool Recursive) {
        return std::make_unique<TWatch>(
            std::vector<std::string>{dir.Path()}, Recursive,
            [](const std::string& Name) {
                return Name.size() > 4 && Name.substr(Name.size() - 4) == ".wav";
            },
            [this](const std::string& Why) { reports.push_back(Why); });
    }
    void Write(const std::string& Path) { std::ofstream(Path) << "data"; }
    TTempDir dir;
    std::vector<std::string> reports;
};

TEST_F(Watch, WhatWakesIt) {
    fs::create_directories(dir / "old/deeper");
    fs::create_directories(dir / ".hidden");
    TTempDir elsewhere;
    Write(elsewhere / "moved.wav");
    fs::create_directory_symlink(elsewhere.Path(), dir / "link");
    int open = -1;
    struct Row {
        const char* name;
        bool recursive;
        std::function<void()> act;
        TWatch::TWake wake;
    } rows[] = {
        {"a source closed after writing", true, [&] { Write(dir / "a.wav"); },
         TWatch::TWake::Arrived},
        {"a source created, still open for writing", true,
         [&] { open = ::open((dir / "b.wav").c_str(), O_WRONLY | O_CREAT, 0644); },
         TWatch::TWake::TimedOut},
        {"the same, closed", true, [&] { ::close(open); }, TWatch::TWake::Arrived},
        {"another kind of file", true, [&] { Write(dir / "notes.txt"); }, TWatch::TWake::TimedOut},
        {"a source moved in", true, [&] { fs::rename(elsewhere / "moved.wav", dir / "moved.wav"); },
         TWatch::TWake::Arrived},
        {"deep in an old subfolder", true, [&] { Write(dir / "old/deeper/c.wav"); },
         TWatch::TWake::Arrived},
        {"in a subfolder, not recursive", false, [&] { Write(dir / "old/d.wav"); },
         TWatch::TWake::TimedOut},
        {"a new subfolder", true, [&] { fs::create_directories(dir / "new"); },
         TWatch::TWake::Arrived},
        {"in a hidden folder", true, [&] { Write(dir / ".hidden/e.wav"); },
         TWatch::TWake::TimedOut},
        {"behind a link", true, [&] { Write(dir / "link/f.wav"); }, TWatch::TWake::TimedOut},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        auto watch = Make(r.recursive);
        ASSERT_TRUE(watch->Watching()) << watch->FallbackReason();
        EXPECT_EQ(watch->Wait(0), TWatch::TWake::TimedOut) << "quiet before the act";
        r.act();
        EXPECT_EQ(watch->Wait(0), r.wake);
        EXPECT_EQ(watch->Wait(0), TWatch::TWake::TimedOut) << "each event wakes it once";
    }
    // The subfolder made above is watched from its creation on.
    auto watch = Make(true);
    fs::create_directories(dir / "newer/sub");
    EXPECT_EQ(watch->Wait(0), TWatch::TWake::Arrived);
    Write(dir / "newer/sub/g.wav");
    EXPECT_EQ(watch->Wait(0), TWatch::TWake::Arrived) << "inside a folder made while watching";

    int pipe[2];
    ASSERT_EQ(::pipe(pipe), 0);
    ASSERT_EQ(::write(pipe[1], "x", 1), 1);
    EXPECT_EQ(watch->Wait(60000, pipe[0]), TWatch::TWake::Stopped);
    ::close(pipe[0]);
    ::close(pipe[1]);
    EXPECT_TRUE(reports.empty());
}

// More events than the kernel queues: the watch says so once and polls from then on.
TEST_F(Watch, OverflowFallsBackToPollingOnce) {
    int queued = 16384;
    std::ifstream("/proc/sys/fs/inotify/max_queued_events") >> queued;
    if (queued > 200000) GTEST_SKIP() << "event queue too long to fill: " << queued;
    auto watch = Make(false);
    ASSERT_TRUE(watch->Watching());
    // Two names in turn: the kernel merges an event with an equal one queued just before.
    const std::string files[2] = {dir / "x.wav", dir / "z.wav"};
    for (int i = 0; i <= queued; ++i)
        ::close(::open(files[i % 2].c_str(), O_WRONLY | O_CREAT, 0644));
    EXPECT_EQ(watch->Wait(0), TWatch::TWake::Arrived) << "a search must follow";
    EXPECT_FALSE(watch->Watching());
    EXPECT_NE(watch->FallbackReason().find("overflowed"), std::string::npos);
    Write(dir / "y.wav");
    EXPECT_EQ(watch->Wait(0), TWatch::TWake::TimedOut) << "polling only";
    EXPECT_EQ(reports.size(), 1u);
}

}  // namespace

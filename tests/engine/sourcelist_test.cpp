// SPDX-License-Identifier: GPL-3.0-or-later
// Sources from a list and shards of a search: where a listed file lies among the source
// directories, a listed batch run to its end, and how shards split a folder.
#include "sourcelist.h"

#include "batchrunner.h"
#include "engine_util.h"

namespace {

class TRecordingUser : public TFakeUser {
  public:
    std::vector<std::string> Passed;  // "SOURCE: REASON"
    void PassedOver(const std::string& Source, const std::string& Reason) override {
        Passed.push_back(Source + ": " + Reason);
    }
};

class Listed : public ::testing::Test {
  protected:
    void SetUp() override {
        in = dir / "in/";
        BatchSettings(settings, in, in + "out");
        settings.SourceDirs.push_back(dir / "in2");
        settings.SetOption(CheckBoxRDirs, true);
        ASSERT_FALSE(settings.CheckSourceExtensions());  // parses them
    }
    bool Run(TBatchRunner& Batch) { return RunToEnd(Batch); }
    TTempDir dir;
    std::string in;
    TSettings settings;
    TRecordingUser user;
};

TEST_F(Listed, WhereAListedFileLies) {
    for (const char* f : {"a.wav", "sub/b.WAV", ".hid/c.wav", "out/d.wav", "real/e.wav", "x.mp3",
                          ".h.wav", ".a.wav.sonbar-claim"})
        WriteWave(in + f);
    WriteWave(dir / "in2/g.wav");
    fs::create_directory_symlink(in + "real", in + "link");
    const std::vector<std::string> excluded = {fs::path(in + "out").lexically_normal().string()};
    settings.SetOption(CheckBoxHiddenFiles, true);
    struct Row {
        const char* name;
        std::string listed;
        bool recurse;
        int dirIndex;  // -1: refused
        const char* relOrReason;
    } rows[] = {
        {"in the first", in + "a.wav", true, 0, ""},
        {"dotted path, as the search names it", dir / "in/./sub/../a.wav", true, 0, ""},
        {"a subfolder", in + "sub/b.WAV", true, 0, "sub"},
        {"a subfolder, not searched", in + "sub/b.WAV", false, -1, "subfolders are not searched"},
        {"the second", dir / "in2/g.wav", true, 1, ""},
        {"a hidden folder", in + ".hid/c.wav", true, -1, "hidden folder"},
        {"the target folder inside", in + "out/d.wav", true, -1, "target or move folder"},
        {"below a link", in + "link/e.wav", true, -1, "symbolic link"},
        {"another extension", in + "x.mp3", true, -1, "not a source file of the settings (*.wav)"},
        {"a hidden file, hidden files on", in + ".h.wav", true, 0, ""},
        {"a claim", in + ".a.wav.sonbar-claim", true, -1, "claim file"},
        {"elsewhere", dir / "a.wav", true, -1, "none of the source folders"},
        {"a source folder itself", dir / "in2", true, -1, "none of the source folders"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        settings.SetOption(CheckBoxRDirs, r.recurse);
        std::string reason;
        const auto place = LocateSource(TJobSettings::From(settings), r.listed, excluded, reason);
        ASSERT_EQ(place.has_value(), r.dirIndex >= 0) << reason;
        if (place) {
            EXPECT_EQ(place->DirIndex, r.dirIndex);
            EXPECT_EQ(place->RelativeDir, r.relOrReason);
            EXPECT_TRUE(fs::equivalent(place->Path, r.listed));
        } else {
            EXPECT_NE(reason.find(r.relOrReason), std::string::npos) << reason;
        }
    }
}

// The listed sources in their order (not the directory's), each once; what cannot be taken
// named once; what was neither recoded nor gone left over.
TEST_F(Listed, ABatchTakesTheListInOrder) {
    for (const char* f : {"c.wav", "a.wav", "sub/b.wav", "empty.wav", "unlisted.wav"})
        WriteWave(in + f);
    std::ofstream(in + "empty.wav", std::ios::trunc).close();
    Age(in + "empty.wav");
    TSourceList list({in + "sub/b.wav", dir / "nowhere/x.wav", in + "c.wav", in + "missing.wav",
                      in + "sub/../c.wav", in + "a.wav", in + "empty.wav"},
                     user);
    TBatchRunner runner(settings, user, user, user, user, 1);
    runner.Search().List = &list;
    EXPECT_TRUE(Run(runner)) << testing::PrintToString(user.Shown);
    EXPECT_EQ(user.Done,
              (std::vector<std::string>{"recoded " + in + "sub/b.wav", "recoded " + in + "c.wav",
                                        "recoded " + in + "a.wav"}));
    EXPECT_TRUE(fs::exists(in + "out/sub/b.wav") && fs::exists(in + "out/a.wav"))
        << "the directory mode applies";
    EXPECT_TRUE(fs::exists(in + "unlisted.wav"));
    ASSERT_EQ(user.Passed.size(), 2u) << testing::PrintToString(user.Passed);
    EXPECT_NE(user.Passed[0].find("nowhere/x.wav: lies in none"), std::string::npos);
    EXPECT_NE(user.Passed[1].find("missing.wav: cannot be found"), std::string::npos);
    EXPECT_EQ(list.Left(), (std::vector<std::string>{dir / "nowhere/x.wav", in + "missing.wav",
                                                     in + "empty.wav"}));
}

// The count of "File n of m": as many files as the search hands out one by one, whatever the
// recursion, hidden files, folders kept out, files passed over and the shard.
TEST_F(Listed, ACountIsWhatTheSearchWouldTake) {
    for (const char* f : {"a.wav", "sub/b.WAV", "sub/deep/c.wav", ".h.wav", ".hid/e.wav", "x.mp3",
                          "out/d.wav", "a.wav.sonbar-claim", "skipped.wav"})
        WriteWave(in + f);
    WriteWave(dir / "in2/g.wav");
    std::ofstream(in + "empty.wav").close();
    Age(in + "empty.wav");
    struct Row {
        const char* name;
        bool recurse, hidden;
        const TShard* shard;
        int64_t files;
    };
    const TShard half(0, 2);
    const Row rows[] = {{"everything below", true, false, nullptr, 4},
                        {"the folders themselves", false, false, nullptr, 2},
                        {"hidden files too", true, true, nullptr, 5},
                        {"one shard", true, false, &half, -1}};
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        settings.SetOption(CheckBoxRDirs, r.recurse);
        settings.SetOption(CheckBoxHiddenFiles, r.hidden);
        const TJobSettings job = TJobSettings::From(settings);
        TSourceSearch search(user);
        search.Shard = r.shard;
        search.Skip.insert(in + "skipped.wav");
        const TSourceCount count = search.Count(job);
        int64_t taken = 0, bytes = 0;
        while (const auto found = search.Next(job, nullptr)) {
            ++taken;
            bytes += found->Size;
            search.Skip.insert(found->Path);
        }
        if (r.files >= 0) {
            EXPECT_EQ(count.Files, r.files);
        }
        EXPECT_EQ(count.Files, taken);
        EXPECT_EQ(count.Bytes, bytes);
    }
}

TEST(Shard, ParseAndSplit) {
    struct Row {
        const char* text;
        bool valid;
    } rows[] = {{"0/1", true},   {"3/4", true},  {"4/4", false}, {"1/0", false},
                {"-1/4", false}, {"1", false},   {"/4", false},  {"1/", false},
                {"1/4x", false}, {"a/b", false}, {" 1/4", false}};
    for (const Row& r : rows) EXPECT_EQ(TShard::Parse(r.text).has_value(), r.valid) << r.text;

    // FNV-1a: the same on every machine, so every shard agrees on the split.
    EXPECT_EQ(TShard::Hash("a"), 0xaf63dc4c8601ec8cull);
    TJobSettings one, other;
    one.SourceDirs = {"/srv/in/"};
    other.SourceDirs = {"/mnt/elsewhere/in"};
    std::vector<int> counts(3);
    for (int i = 0; i < 300; ++i) {
        std::string rel = "d";
        rel.append(std::to_string(i % 7)).append("/f").append(std::to_string(i)).append(".wav");
        int owners = 0;
        for (uint32_t k = 0; k < 3; ++k) {
            const bool here = TShard(k, 3).Contains(one, "/srv/in/" + rel);
            EXPECT_EQ(here, TShard(k, 3).Contains(other, "/mnt/elsewhere/in/" + rel))
                << "the path below the source folder decides, wherever it is mounted";
            owners += here;
            counts[k] += here;
        }
        EXPECT_EQ(owners, 1) << rel;
    }
    for (const int c : counts) EXPECT_GT(c, 60) << "roughly even";
}

}  // namespace

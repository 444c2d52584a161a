// SPDX-License-Identifier: GPL-3.0-or-later
// The batch record's lines: JSON strings for any file name, and whole lines from many writers.
#include "batchrecord.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace {

TEST(BatchRecord, JsonStrings) {
    struct Row {
        const char* name;
        std::string text;
        std::string json;
    } rows[] = {
        {"plain", "/srv/in/a.wav", R"("/srv/in/a.wav")"},
        {"quote and backslash", "a\"b\\c", R"("a\"b\\c")"},
        {"controls", "a\nb\tc\x01\x7f", R"("a\nb\tc\u0001\u007f")"},
        {"UTF-8 kept", "M\xc3\xbcller \xe2\x82\xac \xf0\x9f\x8e\xb5",
         "\"M\xc3\xbcller \xe2\x82\xac \xf0\x9f\x8e\xb5\""},
        // Names that are not UTF-8 stay distinguishable, byte for byte.
        {"Latin-1 byte", "M\xfcller", R"("M\udcfcller")"},
        {"cut sequence", "a\xe2\x82", R"("a\udce2\udc82")"},
        {"overlong slash", "\xc0\xaf", R"("\udcc0\udcaf")"},
        {"surrogate", "\xed\xa0\x80", R"("\udced\udca0\udc80")"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(JsonString(row.text), row.json);
    }
}

TEST(BatchRecord, LineHoldsEveryField) {
    TFileOutcome o;
    o.Kind = TFileOutcome::TKind::Failed;
    o.Source = "/in/a.wav";
    o.BytesIn = 44100;
    o.Seconds = 1.5;
    o.Message = "Error opening target file !";
    o.Reason = "Permission denied";
    const std::string line = RecordLine(o, 0);
    EXPECT_EQ(line.rfind("{\"time\":\"19", 0), 0u) << line;
    for (const char* part :
         {R"("outcome":"failed")", R"("source":"/in/a.wav")", R"("target":"")",
          R"("bytes_in":44100,"bytes_out":0)", R"("seconds":1.500)",
          R"("message":"Error opening target file !","reason":"Permission denied"})"})
        EXPECT_NE(line.find(part), std::string::npos) << part << " in " << line;
    EXPECT_EQ(line.find('\n'), line.size() - 1);
}

// Four processes append 200 lines each to one record: every line arrives whole.
TEST(BatchRecord, LinesOfSeveralProcessesStayWhole) {
    const auto file = std::filesystem::temp_directory_path() /
                      ("sonbar-record-" + std::to_string(::getpid()) + ".jsonl");
    std::filesystem::remove(file);
    TFileOutcome o;
    o.Source = std::string(3000, 'x');  // longer than a pipe's atomic write, to be sure
    std::vector<pid_t> children;
    for (int p = 0; p < 4; ++p) {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            TBatchRecord record;
            bool ok = record.Open(file.string()).empty();
            for (int i = 0; i < 200 && ok; ++i) ok = record.Write(o);
            ::_exit(ok ? 0 : 1);
        }
        children.push_back(child);
    }
    for (pid_t child : children) {
        int status = 0;
        ::waitpid(child, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    std::ifstream in(file);
    const std::string expected = RecordLine(o, 0).substr(RecordLine(o, 0).find(",\"outcome\""));
    int lines = 0;
    for (std::string line; std::getline(in, line); ++lines)
        ASSERT_EQ(line.substr(line.find(",\"outcome\"")) + "\n", expected);
    EXPECT_EQ(lines, 800);
    std::filesystem::remove(file);
}

TEST(BatchRecord, UnwritablePlaceIsReported) {
    TBatchRecord record;
    const std::string message = record.Open("/nonexistent-dir/record.jsonl");
    EXPECT_NE(message.find("/nonexistent-dir/record.jsonl: No such file or directory"),
              std::string::npos)
        << message;
    EXPECT_FALSE(record.Write(TFileOutcome{}));
}

}  // namespace

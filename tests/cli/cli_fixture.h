// SPDX-License-Identifier: GPL-3.0-or-later
// A test that runs sonbar-cli from the shell in a temporary directory of its own.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace clitest {

namespace fs = std::filesystem;

inline std::string Slurp(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

inline bool Have(const char* tool) {
    return std::system((std::string("command -v ") + tool + " >/dev/null 2>&1").c_str()) == 0;
}

// Makes its input files with sox, so it skips where sox is missing.
class CliTest : public ::testing::Test {
  protected:
    fs::path dir = fs::temp_directory_path() /
                   ("sonbar-cli-" + std::to_string(::getpid()) + "-" +
                    ::testing::UnitTest::GetInstance()->current_test_info()->test_suite_name() +
                    "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());

    void SetUp() override {
        if (!Have("sox")) GTEST_SKIP() << "needs sox";
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }

    std::string Path(const std::string& name) const { return (dir / name).string(); }

    // Exit code of a shell command line; its stderr is kept for Err().
    int Shell(const std::string& line) const {
        const int status = std::system((line + " 2>'" + Path("stderr.txt") + "'").c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::string Err() const { return Slurp(dir / "stderr.txt"); }
};

}  // namespace clitest

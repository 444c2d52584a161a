// SPDX-License-Identifier: GPL-3.0-or-later
// sonbar-cli batch --watch as a systemd notify service: this test is the service manager,
// listening on the notification socket. With a waiting time of an hour, only the watch can
// bring the files in; every wait is on a message, bounded only against a hang.
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <functional>
#include <vector>

#include "cli_fixture.h"

namespace {

using namespace clitest;

class Service : public CliTest {
  protected:
    void SetUp() override {
        CliTest::SetUp();
        if (IsSkipped()) return;
        socket_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const std::string path = Path("notify");
        ASSERT_LT(path.size(), sizeof address.sun_path);
        path.copy(address.sun_path, path.size());
        ASSERT_EQ(::bind(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        // Only against a hang: a message that never comes fails the test after this.
        const timeval bound{120, 0};
        ::setsockopt(socket_, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
    }
    void TearDown() override {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        if (socket_ >= 0) ::close(socket_);
        CliTest::TearDown();
    }
    void Start(const std::vector<std::string>& Args) {
        const std::string sock = Path("notify");
        const std::string out = Path("stdout.txt"), err = Path("stderr.txt");
        pid_ = ::fork();
        if (pid_ == 0) {
            ::setenv("NOTIFY_SOCKET", sock.c_str(), 1);
            ::setenv("WATCHDOG_USEC", "400000", 1);
            std::freopen(out.c_str(), "w", stdout);
            std::freopen(err.c_str(), "w", stderr);
            std::vector<char*> argv{const_cast<char*>(SONBAR_CLI)};
            for (const std::string& a : Args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            ::execv(SONBAR_CLI, argv.data());
            ::_exit(127);
        }
    }
    // Reads notifications until one has Text in it; false when none came.
    bool Await(const std::string& Text) {
        char buffer[4096];
        for (;;) {
            const ssize_t got = ::recv(socket_, buffer, sizeof buffer, 0);
            if (got <= 0) return false;
            const std::string message(buffer, static_cast<std::size_t>(got));
            heard_.push_back(message);
            if (message.find(Text) != std::string::npos) return true;
        }
    }
    int Stop() {
        ::kill(pid_, SIGTERM);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::string Heard() const {
        std::string all;
        for (const auto& m : heard_) all += "[" + m + "] ";
        return all;
    }

    int socket_ = -1;
    pid_t pid_ = -1;
    std::vector<std::string> heard_;
};

TEST_F(Service, ReadyStatusWatchdogAndFilesAtOnce) {
    fs::create_directories(dir / "in");
    fs::create_directories(dir / "out");
    fs::create_directories(dir / "elsewhere");
    ASSERT_EQ(Shell(std::string(SONBAR_CLI) + " settings --settings '" + Path("cfg") +
                    "' source-dirs='" + Path("in") + "' target-dirs='" + Path("out") +
                    "' target-ext=wav recurse=on relative-dirs=on wait-seconds=3600 "
                    "--tag ima --attributes '22,050 Hz, 4 Bit, Mono' >/dev/null"),
              0)
        << Err();
    ASSERT_EQ(
        Shell("sox -n -r 22050 -c 1 -b 16 '" + Path("elsewhere/moved.wav") +
              "' synth 0.2 sine 440 && touch -d '1 min ago' '" + Path("elsewhere/moved.wav") + "'"),
        0);
    Start({"batch", "--watch", "--settings", Path("cfg")});
    ASSERT_TRUE(Await("READY=1")) << Heard();
    ASSERT_TRUE(Await("waiting for files")) << Heard();

    // Written into a folder made after the start, then one renamed in.
    fs::create_directories(dir / "in/new");
    ASSERT_EQ(
        Shell("sox -n -r 22050 -c 1 -b 16 '" + Path("in/new/written.wav") + "' synth 0.2 sine 440"),
        0);
    EXPECT_TRUE(Await("1 recoded")) << Heard();
    fs::rename(dir / "elsewhere/moved.wav", dir / "in/moved.wav");
    EXPECT_TRUE(Await("2 recoded, 0 skipped, 0 failed")) << Heard();
    EXPECT_TRUE(fs::exists(dir / "out/new/written.wav"));
    EXPECT_TRUE(fs::exists(dir / "out/moved.wav"));
    EXPECT_FALSE(fs::exists(dir / "in/new/written.wav") || fs::exists(dir / "in/moved.wav"));

    // Idle, only the watchdog speaks.
    heard_.clear();
    EXPECT_TRUE(Await("WATCHDOG=1")) << Heard();
    EXPECT_TRUE(Await("WATCHDOG=1")) << Heard();

    EXPECT_EQ(Stop(), 0);
    EXPECT_TRUE(Await("STOPPING=1")) << Heard();
    const std::string out = Slurp(dir / "stdout.txt");
    EXPECT_NE(out.find("recoded " + Path("in/moved.wav")), std::string::npos) << out;
    for (const std::string& text : {out, Err()})
        EXPECT_EQ(text.find_first_of("\r\x1b"), std::string::npos) << text;
}

}  // namespace

// SPDX-License-Identifier: GPL-3.0-or-later
// The main window on the offscreen platform, with every box, chooser, clock tick and sound
// answered or recorded by the test, over a temporary directory tree.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QEventLoop>
#include <QTimer>
#include <chrono>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "FMain.h"
#include "UKoWaveFormat.h"

namespace guitest {

namespace fs = std::filesystem;

inline void EnsureApplication() {
    if (QApplication::instance()) return;
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "sonbar_gui_tests";
    static char* argv[] = {name, nullptr};
    // Kept to the end of the process: tearing Qt down in the exit handlers is not safe.
    static QApplication* app = new QApplication(argc, argv);
    (void)app;
}

// Spins the event loop (idle hook included) until Done holds or the time is up.
inline bool RunUntil(const std::function<bool()>& Done, int TimeoutMs = 20000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs);
    while (!Done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        QEventLoop loop;
        QTimer::singleShot(2, &loop, &QEventLoop::quit);
        loop.exec();  // blocks between events, so the idle hook fires as in the program
    }
    return true;
}

// Answers the questions in order and records every box as "error: ...", "info: ...",
// "ask: ...", "status: ..." lines.
class TScriptedMessages : public IMessages {
  public:
    std::vector<std::string> Log;
    std::deque<TAnswer> Answers;
    // Runs while the given question's box is "open" (1 = first question asked).
    std::function<void(int)> WhileAsking;
    int Asked = 0;

    void ShowError(const std::string& Text) override { Log.push_back("error: " + Text); }
    void ShowInformation(const std::string& Text) override { Log.push_back("info: " + Text); }
    TAnswer Ask(const std::string& Text, bool WithCancel) override {
        Log.push_back(std::string(WithCancel ? "ask3: " : "ask: ") + Text);
        ++Asked;
        if (WhileAsking) WhileAsking(Asked);
        if (Answers.empty()) {
            ADD_FAILURE() << "unexpected question: " << Text;
            return TAnswer::No;
        }
        const TAnswer answer = Answers.front();
        Answers.pop_front();
        return answer;
    }
    void ShowInfo(const std::string& Text) override { Log.push_back("status: " + Text); }
    // The file each box about a file named, in order; the box itself goes to Log.
    std::vector<std::string> About;
    TAnswer AskAbout(const std::string& File, const std::string& Text, bool WithCancel) override {
        About.push_back(File);
        return Ask(Text, WithCancel);
    }
    void ShowErrorAbout(const std::string& File, const std::string& Text) override {
        About.push_back(File);
        ShowError(Text);
    }
    std::vector<std::string> Boxes() const {  // without the status pop-ups
        std::vector<std::string> boxes;
        for (const auto& line : Log)
            if (line.rfind("status: ", 0) != 0) boxes.push_back(line);
        return boxes;
    }
};

// Answers the file and the directory dialogs alike, in order; records what the last one
// was opened with.
class TScriptedChooser : public IFileChooser {
  public:
    std::deque<std::optional<std::string>> Answers;
    std::string Title, Filter, Preset, Initial;
    bool Directory = false;  // the last was the directory dialog
    std::optional<std::string> ChooseDirectory(QWidget*, const std::string& T,
                                               const std::string& I) override {
        Title = T, Filter.clear(), Preset.clear(), Initial = I, Directory = true;
        if (Answers.empty()) return std::nullopt;
        auto answer = Answers.front();
        Answers.pop_front();
        return answer;
    }
    std::optional<std::string> Choose(QWidget*, const std::string& T, const std::string& F,
                                      const std::string& P, const std::string& I) override {
        Title = T, Filter = F, Preset = P, Initial = I, Directory = false;
        if (Answers.empty()) return std::nullopt;
        auto answer = Answers.front();
        Answers.pop_front();
        return answer;
    }
};

class TTestClock : public IClock {
  public:
    int32_t Now = 36000000;
    int32_t MsSinceMidnight() override { return Now; }
};

class TTestNotifier : public INotifier {
  public:
    std::vector<std::string> Sent;  // "summary: body"
    void Notify(const std::string& Summary, const std::string& Body) override {
        Sent.push_back(Summary + ": " + Body);
    }
};

class TTestSound : public ISound {
  public:
    int Beeps = 0;
    std::vector<std::string> Played;
    void Beep() override { ++Beeps; }
    void PlayWav(const std::string& File) override { Played.push_back(File); }
};

inline void Settle(const fs::path& Path) {
    fs::last_write_time(Path, fs::file_time_type::clock::now() - std::chrono::minutes(1));
}

// A canonical 16-bit PCM WAVE file of Frames frames, settled (written a minute ago), so that
// the search takes it at once.
inline void WriteWave(const fs::path& Path, uint32_t Frames, uint16_t Channels = 2,
                      uint32_t Rate = 44100) {
    fs::create_directories(Path.parent_path());
    std::ofstream out(Path, std::ios::binary);
    auto u32 = [&](uint32_t v) { out.write(reinterpret_cast<const char*>(&v), 4); };
    auto u16 = [&](uint16_t v) { out.write(reinterpret_cast<const char*>(&v), 2); };
    const uint32_t data = Frames * Channels * 2u;
    out.write("RIFF", 4), u32(36 + data), out.write("WAVEfmt ", 8), u32(16);
    u16(1), u16(Channels), u32(Rate), u32(Rate * Channels * 2u),
        u16(static_cast<uint16_t>(Channels * 2)), u16(16);
    out.write("data", 4), u32(data);
    std::vector<int16_t> block(4096);
    uint32_t phase = 0;
    for (uint32_t left = Frames * Channels; left > 0;) {
        const uint32_t n = std::min<uint32_t>(left, static_cast<uint32_t>(block.size()));
        for (uint32_t i = 0; i < n; ++i, ++phase)
            block[i] = static_cast<int16_t>(((phase * 37u) % 2000u) * 10 - 10000);
        out.write(reinterpret_cast<const char*>(block.data()), n * 2);
        left -= n;
    }
    out.close();
    Settle(Path);
}

inline std::string ReadAll(const fs::path& Path) {
    std::ifstream in(Path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// A temporary tree: config/ (Sonbar.ini, Sonbar.tf), in/, out/, out2/, moved/.
class GuiTest : public ::testing::Test {
  protected:
    void SetUp() override {
        EnsureApplication();
        char templ[] = "/tmp/sonbar_gui_XXXXXX";
        root = fs::path(mkdtemp(templ));
        for (const char* dir : {"config", "in", "out", "out2", "moved"})
            fs::create_directories(root / dir);
        // The target format: PCM 22,050 Hz mono, so each file is really converted.
        TSettings format;
        const auto pcm = TKoWaveFormat::CreatePCM16(22050, 1);
        format.SetTargetFormat(pcm.get());
        ASSERT_EQ(format.SaveTargetFormat(Path("config/Sonbar.tf")), "");
        Ini({{"SourceDirs", Dir("in")},
             {"TargetDirs", Dir("out")},
             {"TargetExts", "wav2"},
             {"SavedDataFields", "2C6E02"}});
    }
    void TearDown() override {
        form.reset();
        std::error_code ec;
        fs::remove_all(root, ec);
    }

    std::string Path(const std::string& Rel) const { return (root / Rel).string(); }
    std::string Dir(const std::string& Rel) const { return (root / Rel).string() + "/"; }
    // Writes Sonbar.ini with these "Options" keys.
    void Ini(const std::vector<std::pair<std::string, std::string>>& Options) {
        std::ofstream out(root / "config/Sonbar.ini");
        out << "[Options]\n";
        for (const auto& [key, value] : Options) out << key << "=" << value << "\n";
    }
    TFormMain& Open() {
        TFormMainSetup setup;
        setup.SettingsFolder = (root / "config").string();
        setup.Messages = &messages;
        setup.Chooser = &chooser;
        setup.Clock = &clock;
        setup.Sound = &sound;
        setup.Notifier = &notifier;
        setup.RealWaitTimer = false;
        form = std::make_unique<TFormMain>(setup);
        form->show();
        return *form;
    }
    // The same sources and settings for sonbar-cli: in/ copied to ref/, config/ to cliconfig/,
    // targets into cliout/. Call before the window recodes in/.
    void PrepareCliReference() {
        fs::copy(root / "in", root / "ref", fs::copy_options::recursive);
        fs::copy(root / "config", root / "cliconfig", fs::copy_options::recursive);
        fs::create_directories(root / "cliout");
    }
    // Runs sonbar-cli batch (with Options) over ref/ into cliout/; whether it succeeded.
    bool RunCliReference(const std::string& Options) const {
        const std::string cli = std::string(SONBAR_CLI) + " ";
        const std::string folder = " --settings '" + Path("cliconfig") + "'";
        return std::system((cli + "settings" + folder + " source-dirs='" + Path("ref") +
                            "' target-dirs='" + Path("cliout") + "' >/dev/null")
                               .c_str()) == 0 &&
               std::system((cli + "batch " + Options + folder + " >/dev/null").c_str()) == 0;
    }
    bool Stopped() const {
        return form->Job().JobState() == jsStopped && !form->Job().GoWhenIdle &&
               form->BatchState() == jsStopped;
    }

    fs::path root;
    TScriptedMessages messages;
    TScriptedChooser chooser;
    TTestClock clock;
    TTestSound sound;
    TTestNotifier notifier;
    std::unique_ptr<TFormMain> form;
};

}  // namespace guitest

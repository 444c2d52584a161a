// SPDX-License-Identifier: GPL-3.0-or-later
// The files of a batch in the window: the list under the job panel, the batch record the
// "Log file" setting names, continuing after a failed file, and copying and saving the list.
#include "batchfiles.h"

#include <sys/wait.h>

#include <QAction>
#include <QHeaderView>
#include <QPushButton>
#include <deque>
#include <sstream>

#include "harness.h"

namespace guitest {
namespace {

using B = GuiTest;

TEST_F(B, ListAndRecordShowEveryFileOfTheBatch) {
    WriteWave(root / "in/a.wav", 3000);
    WriteWave(root / "in/b.wav", 2000);
    {
        std::ofstream bad(root / "in/c.wav", std::ios::binary);
        bad << std::string(5000, 'x');
    }
    Settle(root / "in/c.wav");
    Ini({{"SourceDirs", Dir("in")},
         {"TargetDirs", Dir("out")},
         {"TargetExts", "wav2"},
         {"SavedDataFields", "2C6E02"},
         {"LogFile", Path("record.jsonl")},
         {"KeepGoing", "1"}});
    TFormMain& f = Open();
    f.ButtonGo->click();
    ASSERT_TRUE(RunUntil([&] { return Stopped(); }));
    // Continue after a failed file: the failure is listed, not boxed, and the others done.
    EXPECT_TRUE(messages.Boxes().empty()) << messages.Boxes().front();
    EXPECT_TRUE(fs::exists(root / "in/c.wav"));

    TBatchFiles& list = *f.ListViewFiles;
    ASSERT_EQ(list.topLevelItemCount(), 3);
    std::ifstream in(root / "record.jsonl");
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    ASSERT_EQ(lines.size(), 3u);
    QTreeWidgetItem* first = nullptr;
    for (int i = 0; i < 3; ++i) {
        const QTreeWidgetItem& row = *list.topLevelItem(i);
        const std::string source = row.text(TBatchFiles::Source).toStdString();
        SCOPED_TRACE(source);
        const std::string outcome = source == Path("in/c.wav") ? "failed" : "recoded";
        EXPECT_EQ(row.text(TBatchFiles::Outcome).toStdString(), outcome);
        EXPECT_NE(lines[static_cast<std::size_t>(i)].find("\"outcome\":\"" + outcome +
                                                          "\",\"source\":\"" + source + "\""),
                  std::string::npos)
            << lines[static_cast<std::size_t>(i)];
        EXPECT_EQ(row.toolTip(TBatchFiles::Source), row.text(TBatchFiles::Source));
        EXPECT_EQ(row.text(TBatchFiles::Message).isEmpty(), outcome == "recoded");
        if (source == Path("in/a.wav")) first = list.topLevelItem(i);
    }
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->text(TBatchFiles::BytesIn).toStdString(), "12,000");
    EXPECT_FALSE(first->text(TBatchFiles::BytesOut).isEmpty());

    // Double-click opens the target's folder; Copy gives the rows as lines.
    QString opened;
    list.OpenFolder = [&](const QString& Dir) { opened = Dir; };
    emit list.itemActivated(first, 0);
    EXPECT_EQ(opened.toStdString(), (root / "out").string());
    std::istringstream text(list.AsText().toStdString());
    int count = 0;
    for (std::string line; std::getline(text, line);) ++count;
    EXPECT_EQ(count, 4);

    // "Save as..." writes the same lines to the file asked for, and names a file it cannot
    // write.
    QAction* save = nullptr;
    for (QAction* action : list.actions())
        if (action->text() == "Save &as...") save = action;
    ASSERT_NE(save, nullptr);
    std::deque<QString> names = {QString::fromStdString(Path("list.txt")), "",
                                 QString::fromStdString(Path("missing/list.txt"))};
    list.AskSaveName = [&] {
        const QString name = names.front();
        names.pop_front();
        return name;
    };
    std::vector<std::string> errors;
    list.ShowError = [&](const QString& Text, const QString& File) {
        errors.push_back(Text.toStdString() + " " + File.toStdString());
    };
    save->trigger();
    EXPECT_EQ(ReadAll(root / "list.txt"), list.AsText().toStdString());
    save->trigger();  // cancelled
    EXPECT_TRUE(errors.empty());
    save->trigger();
    EXPECT_EQ(errors, std::vector<std::string>{"The list could not be saved ! " +
                                               Path("missing/list.txt")});

    // A new Go starts a new list; the record keeps growing.
    WriteWave(root / "in/d.wav", 1000);
    fs::remove(root / "in/c.wav");
    messages.Log.clear();
    f.ButtonGo->click();
    ASSERT_TRUE(RunUntil([&] { return Stopped(); }));
    EXPECT_EQ(list.topLevelItemCount(), 1);
    std::ifstream again(root / "record.jsonl");
    lines.clear();
    for (std::string line; std::getline(again, line);) lines.push_back(line);
    EXPECT_EQ(lines.size(), 4u);
}

TEST_F(B, ARecordThatCannotBeOpenedStopsGoWithAMessage) {
    WriteWave(root / "in/a.wav", 1000);
    Ini({{"SourceDirs", Dir("in")},
         {"TargetDirs", Dir("out")},
         {"TargetExts", "wav2"},
         {"SavedDataFields", "2C6E02"},
         {"LogFile", Path("missing/record.jsonl")}});
    TFormMain& f = Open();
    f.ButtonGo->click();
    ASSERT_TRUE(RunUntil([&] { return Stopped(); }));
    ASSERT_EQ(messages.Boxes().size(), 1u);
    EXPECT_NE(messages.Boxes()[0].find("missing/record.jsonl: No such file or directory"),
              std::string::npos)
        << messages.Boxes()[0];
    EXPECT_TRUE(fs::exists(root / "in/a.wav"));
    EXPECT_FALSE(fs::exists(root / "out/a.wav2"));
}

// The paths give way so that a message is read whole, as long as the user has not sized them.
TEST_F(B, PathsGiveWayToTheMessage) {
    TBatchFiles list;
    list.show();
    const int message = list.fontMetrics().horizontalAdvance("Error opening source file !");
    const int em = list.fontMetrics().averageCharWidth();
    for (int width : {1600, 900, 700}) {
        SCOPED_TRACE(width);
        list.resize(width, 300);
        EXPECT_GE(list.columnWidth(TBatchFiles::Message), message);
        EXPECT_LE(list.columnWidth(TBatchFiles::Source), 34 * em);
        EXPECT_EQ(list.columnWidth(TBatchFiles::Target), list.columnWidth(TBatchFiles::Source));
    }
    list.header()->resizeSection(TBatchFiles::Source, 40 * em);
    list.resize(800, 300);
    EXPECT_EQ(list.columnWidth(TBatchFiles::Source), 40 * em);
}

// The program itself: --version and --help need no display, and none is a clear exit 1.
TEST_F(B, ProgramVersionHelpAndNoDisplay) {
    struct Row {
        const char* name;
        std::string args;
        int code;
        const char* says;
    } rows[] = {
        {"version", "--version", 0, "sonbar (Sonbar "},
        {"help", "-h", 0, "usage: sonbar"},
        {"no display", "", 1, "sonbar: no display"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const int status = std::system(("env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM " +
                                        std::string(SONBAR_PROGRAM) + " " + row.args + " >'" +
                                        Path("said.txt") + "' 2>&1")
                                           .c_str());
        EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, row.code);
        std::ifstream said(root / "said.txt");
        const std::string text((std::istreambuf_iterator<char>(said)), {});
        EXPECT_EQ(text.rfind(row.says, 0), 0u) << text;
    }
}

}  // namespace
}  // namespace guitest

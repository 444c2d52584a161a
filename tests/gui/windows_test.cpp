// SPDX-License-Identifier: GPL-3.0-or-later
// The windows around the job: directory lists, dropped paths, the preferences dialog's rules
// and checks, and the settings summary.
#include <QAbstractButton>
#include <QAction>
#include <QCheckBox>
#include <QDropEvent>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <QUrl>

#include "FPreferences.h"
#include "formats/acm_formats.h"
#include "harness.h"

namespace guitest {
namespace {

using W = GuiTest;

std::vector<std::string> Items(const QTreeWidget* List) {
    std::vector<std::string> items;
    for (int i = 0; i < List->topLevelItemCount(); ++i)
        items.push_back(List->topLevelItem(i)->text(0).toStdString());
    return items;
}

int Selected(const QTreeWidget* List) {
    const auto selected = List->selectedItems();
    return selected.isEmpty() ? -1 : List->indexOfTopLevelItem(selected.first());
}

void Drop(TFormMain& F, QWidget* On, const std::vector<std::string>& Paths) {
    QMimeData data;
    QList<QUrl> urls;
    for (const auto& p : Paths) urls << QUrl::fromLocalFile(QString::fromStdString(p));
    data.setUrls(urls);
    const QPointF at = On->mapTo(&F, On->rect().center());
    QDragEnterEvent enter(at.toPoint(), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&F, &enter);
    ASSERT_TRUE(enter.isAccepted());
    QDropEvent drop(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&F, &drop);
}

TEST_F(W, DroppedPathsGoToTheListUnderThem) {
    WriteWave(root / "in2/x.wav", 10);
    fs::create_directories(root / "spare");
    TFormMain& f = Open();
    Drop(f, f.GroupBoxSettings, {Path("in2/x.wav")});  // a file stands for its directory
    Drop(f, f.ListViewTargetDirs, {Path("spare")});
    Drop(f, f.ListViewSourceDirs, {Path("in"), Path("in2") + "/"});  // both listed already
    EXPECT_EQ(Items(f.ListViewSourceDirs), (std::vector{Dir("in"), Dir("in2")}));
    EXPECT_EQ(Items(f.ListViewTargetDirs), (std::vector{Dir("out"), Dir("spare")}));
    EXPECT_TRUE(messages.Boxes().empty());
    EXPECT_NE(f.ListViewTargetDirs->topLevelItem(1)->text(1).toStdString().find(" KB"),
              std::string::npos);
    Drop(f, f.ListViewTargetDirs, {Path("gone/nothing")});
    EXPECT_EQ(messages.Boxes(),
              std::vector<std::string>{"error: The specified directory is invalid !"});
}

TEST_F(W, ListEditingAtTheEdges) {
    struct Case {
        const char* name;
        int select;  // -1: nothing selected
        std::function<void(TFormMain&)> act;
        std::vector<std::string> order;
        int selected;
    };
    auto up = [](TFormMain& f) { f.ButtonUpSourceDir->click(); };
    auto down = [](TFormMain& f) { f.ButtonDownSourceDir->click(); };
    auto remove = [](TFormMain& f) { f.ButtonDelSourceDir->click(); };
    auto key = [](TFormMain& f) { QTest::keyClick(f.ListViewSourceDirs, Qt::Key_Delete); };
    const std::vector<Case> cases = {
        {"UpOnFirst", 0, up, {"a", "b", "c"}, 0},
        {"DownOnLast", 2, down, {"a", "b", "c"}, 2},
        {"Up", 1, up, {"b", "a", "c"}, 0},
        {"Down", 1, down, {"a", "c", "b"}, 2},
        {"RemoveLast", 2, remove, {"a", "b"}, 1},
        {"RemoveFirst", 0, remove, {"b", "c"}, 0},
        {"DeleteKey", 1, key, {"a", "c"}, 1},
        {"UpNothing", -1, up, {"a", "b", "c"}, -1},
        {"DownNothing", -1, down, {"a", "b", "c"}, -1},
        {"RemoveNothing", -1, remove, {"a", "b", "c"}, -1},
    };
    for (const char* d : {"a", "b", "c"}) fs::create_directories(root / d);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Ini({{"SourceDirs", Dir("a") + ";" + Dir("b") + ";" + Dir("c")},
             {"TargetDirs", Dir("out")}});
        TFormMain& f = Open();
        f.ListViewSourceDirs->clearSelection();
        if (c.select >= 0)
            f.ListViewSourceDirs->setCurrentItem(f.ListViewSourceDirs->topLevelItem(c.select));
        c.act(f);
        std::vector<std::string> expected;
        for (const auto& d : c.order) expected.push_back(Dir(d));
        EXPECT_EQ(Items(f.ListViewSourceDirs), expected);
        EXPECT_EQ(f.Settings().SourceDirs, expected);
        EXPECT_EQ(Selected(f.ListViewSourceDirs), c.selected);
    }
    // Remove down to an empty list, then Add through the chooser.
    TFormMain& f = Open();
    f.ListViewSourceDirs->setCurrentItem(f.ListViewSourceDirs->topLevelItem(0));
    for (int i = 0; i < 3; ++i) f.ButtonDelSourceDir->click();
    f.ButtonDelSourceDir->click();
    EXPECT_TRUE(Items(f.ListViewSourceDirs).empty());
    chooser.Answers = {Path("b")};
    f.ButtonAddSourceDir->click();
    EXPECT_EQ(Items(f.ListViewSourceDirs), std::vector{Dir("b")});
}

// Add and the move directory's browse button open the directory dialog where the "LastOpen"
// key says (not at a network path), and keep the chosen directory there; cancelled, nothing
// changes.
TEST_F(W, DirectoryDialogsKeepTheLastOpenKeys) {
    fs::create_directories(root / "a");
    fs::create_directories(root / "b");
    struct Row {
        const char* name;
        const char* key;
        std::string remembered, initial;
        std::function<void(TFormMain&)> click;
        std::function<std::string(TFormMain&)> shown;
    } rows[] = {
        {"source", "Source", Dir("a"), Dir("a"),
         [](TFormMain& f) { f.ButtonAddSourceDir->click(); },
         [](TFormMain& f) { return Items(f.ListViewSourceDirs).back(); }},
        {"target at a network path", "Target", "//server/share/", "",
         [](TFormMain& f) { f.ButtonAddTargetDir->click(); },
         [](TFormMain& f) { return Items(f.ListViewTargetDirs).back(); }},
        {"move", "Move", Dir("a"), Dir("a"),
         [](TFormMain& f) {
             TFormPreferences& p = *f.FormPreferences();
             p.show();
             p.Options[RadioMove]->click();
             p.ButtonSelectMoveDir->click();
         },
         [](TFormMain& f) {
             return f.FormPreferences()->Edits[EditMoveDir]->text().toStdString();
         }},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        TFormMain& f = Open();
        f.IniFile().WriteString("LastOpen", r.key, r.remembered);
        const std::string before = r.shown(f);
        chooser.Answers = {std::nullopt};
        r.click(f);
        EXPECT_TRUE(chooser.Directory);
        EXPECT_EQ(chooser.Title, "Directory selection");
        EXPECT_EQ(chooser.Initial, r.initial);
        EXPECT_EQ(r.shown(f), before) << "cancelled";
        EXPECT_EQ(f.IniFile().ReadString("LastOpen", r.key, ""), r.remembered);
        chooser.Answers = {Path("b")};
        r.click(f);
        EXPECT_EQ(r.shown(f), Dir("b"));
        EXPECT_EQ(f.IniFile().ReadString("LastOpen", r.key, ""), Dir("b"));
        f.FormPreferences()->hide();
    }
}

// Tab goes as the pages are laid out: each edit field before its browse button, the rows of
// "Various Options" from the top.
TEST_F(W, PreferencesTabOrderFollowsTheLayout) {
    TFormMain& f = Open();
    TFormPreferences& p = *f.FormPreferences();
    std::vector<QWidget*> chain;
    for (QWidget* w = p.PageControl->nextInFocusChain(); w != p.PageControl && chain.size() < 500;
         w = w->nextInFocusChain())
        chain.push_back(w);
    const auto at = [&](QWidget* Widget) {
        return std::find(chain.begin(), chain.end(), Widget) - chain.begin();
    };
    struct Row {
        const char* name;
        std::vector<QWidget*> order;
    };
    const Row rows[] = {
        {"extensions", {p.Edits[EditSourceExts], p.Edits[EditTargetExt], p.ButtonSelectTF}},
        {"move directory", {p.Options[RadioMove], p.Edits[EditMoveDir], p.ButtonSelectMoveDir}},
        {"left column first", {p.ButtonSelectMoveDir, p.Options[RadioModeClassical]}},
        {"WAV file",
         {p.Options[RadioWAVFile], p.Edits[EditWAVFile], p.ButtonSelectWAV, p.ButtonTestWAV}},
        {"various",
         {p.Options[CheckBoxWavHeader], p.Options[CheckBoxTryAgain], p.Edits[EditSec],
          p.Edits[EditBufferSize], p.Edits[EditSpaceLeft], p.CheckBoxKeepGoing}},
        {"pages, then the buttons", {p.SpinEditJobs, p.ButtonOk, p.ButtonCancel}},
    };
    for (const auto& [name, order] : rows) {
        SCOPED_TRACE(name);
        for (std::size_t i = 1; i < order.size(); ++i) {
            EXPECT_LT(at(order[i - 1]), at(order[i])) << order[i]->objectName().toStdString();
            EXPECT_LT(at(order[i]), static_cast<std::ptrdiff_t>(chain.size()));
        }
    }
}

TEST_F(W, PreferencesEnablingRules) {
    TFormMain& f = Open();
    TFormPreferences& p = *f.FormPreferences();
    p.show();
    auto on = [&](TOption o) { return p.Options[o]->isEnabled(); };
    EXPECT_TRUE(on(CheckBoxCreateSubs));
    p.Options[RadioModeRebound]->click();
    EXPECT_FALSE(on(CheckBoxCreateSubs));
    p.Options[RadioModeClassical]->click();
    p.Options[CheckBoxRDirs]->click();  // recursion off
    EXPECT_FALSE(on(CheckBoxCreateSubs));
    EXPECT_FALSE(p.ButtonTestWAV->isEnabled());
    EXPECT_FALSE(p.Edits[EditWAVFile]->isEnabled());
    p.Options[RadioWAVFile]->click();
    EXPECT_TRUE(p.ButtonTestWAV->isEnabled());
    EXPECT_TRUE(p.Edits[EditWAVFile]->isEnabled());
    p.ButtonTestWAV->click();  // no such file: nothing
    WriteWave(root / "ding.wav", 100);
    QTest::keyClicks(p.Edits[EditWAVFile], QString::fromStdString(Path("ding.wav")));
    p.ButtonTestWAV->click();
    EXPECT_EQ(sound.Played, std::vector{Path("ding.wav")});
    p.Options[CheckBoxNoise]->click();
    EXPECT_FALSE(on(RadioWAVFile));
    EXPECT_FALSE(p.ButtonTestWAV->isEnabled());
    EXPECT_FALSE(p.Edits[EditSec]->isEnabled());
    p.Options[CheckBoxTryAgain]->click();
    EXPECT_TRUE(p.Edits[EditSec]->isEnabled());
    EXPECT_TRUE(p.LabelSec->isEnabled());
    EXPECT_FALSE(p.Edits[EditMoveDir]->isEnabled());
    p.Options[RadioMove]->click();
    EXPECT_TRUE(p.Edits[EditMoveDir]->isEnabled());
    EXPECT_FALSE(p.Options[RadioDelete]->isChecked());
    EXPECT_FALSE(on(CheckBoxWavHeader));
    p.reject();
}

// "Write WAV-Header" can be unchecked only for the formats that have a bare form; for the
// others it shows checked, whatever was stored.
TEST_F(W, WavHeaderBoxFollowsTheTargetFormat) {
    for (const auto& [tag, bare] :
         {std::pair{85, true}, std::pair{49, true}, std::pair{17, false}}) {
        SCOPED_TRACE(tag);
        TSettings stored;
        const auto format = tag == 85 ? acmtest::Enumerated(85, 44100, 2, 128)
                                      : acmtest::Enumerated(uint16_t(tag), 8000, 1);
        ASSERT_TRUE(format);
        stored.SetTargetFormat(format.get());
        ASSERT_EQ(stored.SaveTargetFormat(Path("config/Sonbar.tf")), "");
        Ini({{"SourceDirs", Dir("in")}, {"TargetDirs", Dir("out")}, {"SavedDataFields", "2C6E00"}});
        form.reset();
        TFormPreferences& p = *Open().FormPreferences();
        p.show();
        EXPECT_EQ(p.Options[CheckBoxWavHeader]->isEnabled(), bare);
        EXPECT_EQ(p.Options[CheckBoxWavHeader]->isChecked(), !bare);
        p.reject();
    }
}

TEST_F(W, PreferencesOkChecks) {
    struct Case {
        const char* name;
        std::vector<TOption> clicks;
        std::vector<std::pair<TOptionText, std::string>> texts;
        const char* message;  // "" accepted
        const char* focus;
    };
    const std::string moved = Dir("moved");
    const std::vector<Case> cases = {
        // Every check runs; the last failing one is reported.
        {"MoveEmptyAndBufferTooSmall",
         {RadioMove},
         {{EditMoveDir, ""}, {EditBufferSize, "2"}},
         "Value must be between 4 and 1024 !",
         "EditBufferSize"},
        {"MoveEmpty",
         {RadioMove},
         {{EditMoveDir, ""}},
         "Please enter a directory path !",
         "EditMoveDir"},
        {"MoveMissing",
         {RadioMove},
         {{EditMoveDir, "/no/such/dir/"}},
         "Directory is invalid !",
         "EditMoveDir"},
        {"MoveFine", {RadioMove}, {{EditMoveDir, moved}}, "", ""},
        {"WavEmpty", {RadioWAVFile}, {}, "Please enter a file name !", "EditWAVFile"},
        {"WavMissing",
         {RadioWAVFile},
         {{EditWAVFile, "/no/such.wav"}},
         "File name is invalid !",
         "EditWAVFile"},
        {"SecEmpty", {CheckBoxTryAgain}, {{EditSec, ""}}, "Please enter a value !", "EditSec"},
        {"SecNotInteger", {CheckBoxTryAgain}, {{EditSec, "1x"}}, "Value is not valid !", "EditSec"},
        {"SecUncheckedIgnored", {}, {{EditSec, "zz"}}, "", ""},
        {"BufferEmpty", {}, {{EditBufferSize, ""}}, "Please enter a value !", "EditBufferSize"},
        {"BufferNotInteger",
         {},
         {{EditBufferSize, "abc"}},
         "Value is not valid !",
         "EditBufferSize"},
        {"BufferTooLarge",
         {},
         {{EditBufferSize, "1025"}},
         "Value must be between 4 and 1024 !",
         "EditBufferSize"},
        {"BufferHex", {}, {{EditBufferSize, "$20"}}, "", ""},
        {"SpaceZero", {}, {{EditSpaceLeft, "0"}}, "", ""},
        {"SpaceTooLarge", {}, {{EditSpaceLeft, "1025"}}, "Value is not valid !", "EditSpaceLeft"},
        {"SpaceNegative", {}, {{EditSpaceLeft, "-1"}}, "Value is not valid !", "EditSpaceLeft"},
        {"SourceExtEmpty",
         {},
         {{EditSourceExts, ""}},
         "You must specify at least one source extension !",
         "EditSourceExts"},
        {"SourceExtPattern",
         {},
         {{EditSourceExts, "wav;*.snd"}},
         "At least one of the specified source extensions is invalid !",
         "EditSourceExts"},
        {"TargetExtDot",
         {},
         {{EditTargetExt, "mp3."}},
         "The specified target extension is invalid !",
         "EditTargetExt"},
        {"TargetExtBlankInside", {}, {{EditTargetExt, "m p3"}}, "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        messages.Log.clear();
        TFormMain& f = Open();
        TFormPreferences& p = *f.FormPreferences();
        p.show();
        for (TOption o : c.clicks) p.Options[o]->click();
        for (const auto& [t, text] : c.texts) {
            // A disabled field can only hold what the settings file brought.
            if (!p.Edits[t]->isEnabled()) {
                p.Edits[t]->setText(QString::fromStdString(text));
                continue;
            }
            p.Edits[t]->clear();
            QTest::keyClicks(p.Edits[t], QString::fromStdString(text));
        }
        p.ButtonOk->click();
        if (*c.message) {
            EXPECT_EQ(messages.Boxes(),
                      std::vector<std::string>{std::string("error: ") + c.message});
            EXPECT_TRUE(p.isVisible());
            ASSERT_NE(p.focusWidget(), nullptr);
            EXPECT_EQ(p.focusWidget()->objectName().toStdString(), c.focus);
            p.reject();
        } else {
            EXPECT_TRUE(messages.Boxes().empty()) << messages.Boxes().front();
            EXPECT_FALSE(p.isVisible());
            EXPECT_EQ(p.result(), QDialog::Accepted);
            for (const auto& [t, text] : c.texts) EXPECT_EQ(p.Working().Texts[t], text);
        }
    }
}

// Runs the dialog from the menu as the program does, acting inside its modal loop.
void WithPreferences(TFormMain& F, const std::function<void(TFormPreferences&)>& Act) {
    QTimer::singleShot(0, &F, [&] { Act(*F.FormPreferences()); });
    F.MenuItemPreferences->trigger();
}

void Type(QLineEdit* Edit, const char* Text) {
    Edit->clear();
    QTest::keyClicks(Edit, Text);
}

TEST_F(W, PreferencesCancelKeepsTheStoredSettingsOkMakesThemLive) {
    TFormMain& f = Open();
    EXPECT_EQ(f.LabelSourceExt->text().toStdString(), "*.wav");
    WithPreferences(f, [&](TFormPreferences& p) {
        Type(p.Edits[EditSourceExts], "snd");
        p.Options[RadioModeRebound]->click();
        p.ButtonCancel->click();
    });
    EXPECT_EQ(f.Settings().Texts[EditSourceExts], "wav");
    EXPECT_EQ(f.Settings().DirectoryMode(), TDirectoryMode::Classical);
    EXPECT_EQ(f.LabelSourceExt->text().toStdString(), "*.wav");
    EXPECT_EQ(f.IniFile().ReadString("Options", "SourceExts", "?"), "?");  // nothing written
    f.FormPreferences()->show();  // the next showing reloads what is stored
    EXPECT_EQ(f.FormPreferences()->Edits[EditSourceExts]->text().toStdString(), "wav");
    EXPECT_TRUE(f.FormPreferences()->Options[RadioModeClassical]->isChecked());
    f.FormPreferences()->reject();

    WithPreferences(f, [&](TFormPreferences& p) {
        Type(p.Edits[EditSourceExts], "wav; snd");
        p.Options[RadioModeRebound]->click();
        p.Options[RadioMove]->click();
        Type(p.Edits[EditMoveDir], Dir("moved").c_str());
        p.Options[RadioSkip]->click();
        p.Options[RadioSpeed]->click();
        p.ButtonOk->click();
    });
    EXPECT_TRUE(messages.Boxes().empty());
    EXPECT_EQ(f.IniFile().ReadString("Options", "SourceExts", ""), "wav; snd");
    const std::vector<std::pair<QLabel*, const char*>> summary = {
        {f.LabelSourceExt, "*.wav;*.snd"},
        {f.LabelTargetExt, "*.wav2"},
        {f.LabelFTag, "PCM"},
        {f.LabelFormatQuality, "High Speed"},
        {f.LabelMode, "Rebound"},
        {f.LabelAfter, "Moved"},
        {f.LabelAlready, "Skip source file (!)"}};
    for (const auto& [label, text] : summary) EXPECT_EQ(label->text().toStdString(), text);
    EXPECT_EQ(f.CheckBoxAction->text().toStdString(), "Move source file");
    EXPECT_FALSE(f.ListViewTargetDirs->isEnabled());  // Rebound needs no target list
    EXPECT_FALSE(f.ButtonAddTargetDir->isEnabled());
}

TEST_F(W, SummaryAtStartShowsNoBoxesForBadExtensions) {
    Ini({{"SourceDirs", Dir("in")},
         {"SourceExts", "*.wav"},
         {"TargetExts", ""},
         {"SavedDataFields", "FF"}});
    TFormMain& f = Open();
    EXPECT_TRUE(messages.Boxes().empty());
    EXPECT_EQ(f.LabelSourceExt->text().toStdString(), "(?)");
    EXPECT_EQ(f.LabelTargetExt->text().toStdString(), "(?)");
    // 0xFF: the last member of each group that the byte reaches stays checked.
    EXPECT_EQ(f.LabelAlready->text().toStdString(), "Prompt what to do");
    EXPECT_EQ(f.LabelAfter->text().toStdString(), "Moved");
    EXPECT_EQ(f.LabelMode->text().toStdString(), "Rebound");
    f.ButtonGo->click();  // after start-up the same check speaks
    EXPECT_EQ(messages.Boxes(),
              std::vector<std::string>{
                  "error: At least one of the specified source extensions is invalid !"});
}

TEST_F(W, ProgressOfSourcesBeyondTwoGibibytes) {
    TFormMain& f = Open();
    for (const int64_t size : {int64_t{1000}, int64_t{5} << 30, (int64_t{1} << 40) + 3}) {
        SCOPED_TRACE(size);
        TProgressFigures figures;
        figures.SourceSize = size;
        figures.BytesRead = size / 4 * 3;
        figures.HasPercent = true;
        figures.PercentText = "75%";
        figures.Time = "00:00:01";
        f.UpdateProgress(figures);
        const double shown = static_cast<double>(f.ProgressBar->value()) / f.ProgressBar->maximum();
        EXPECT_NEAR(shown, 0.75, 0.001);
        EXPECT_EQ(f.LabelPercent->text().toStdString(), "75%");
    }
}

TEST_F(W, ReadmeMissingSaysSo) {
    TFormMain& f = Open();
    std::string opened;
    f.OpenDocument = [&](const std::string& path) { opened = path; };
    f.MenuItemReadme->trigger();
    if (opened.empty())
        EXPECT_EQ(messages.Boxes(), std::vector<std::string>{"error: File README.TXT not found !"});
    else
        EXPECT_NE(opened.find("ReadMe.txt"), std::string::npos);
}

}  // namespace
}  // namespace guitest

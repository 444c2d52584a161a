// SPDX-License-Identifier: GPL-3.0-or-later
// The preferences' "Batch" group: its values reach Sonbar.ini on OK and come back.
#include <QAbstractButton>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QSpinBox>
#include <QTest>

#include "FPreferences.h"
#include "harness.h"

namespace guitest {
namespace {

using P = GuiTest;

TEST_F(P, KeepGoingAndLogFileAreKeptOnOk) {
    TFormMain& f = Open();
    ASSERT_TRUE(RunUntil([&] { return f.Started(); }));
    TFormPreferences& p = *f.FormPreferences();
    p.LoadSettings();
    EXPECT_FALSE(p.CheckBoxKeepGoing->isChecked());
    EXPECT_TRUE(p.EditLogFile->text().isEmpty());
    p.CheckBoxKeepGoing->click();
    QTest::keyClicks(p.EditLogFile, QString::fromStdString(Path("record.jsonl")));
    p.ButtonOkClick();
    std::ifstream ini(root / "config/Sonbar.ini");
    const std::string text((std::istreambuf_iterator<char>(ini)), {});
    EXPECT_NE(text.find("KeepGoing=1"), std::string::npos) << text;
    EXPECT_NE(text.find("LogFile=" + Path("record.jsonl")), std::string::npos) << text;
    p.LoadSettings();
    EXPECT_TRUE(p.CheckBoxKeepGoing->isChecked());
    EXPECT_EQ(p.EditLogFile->text().toStdString(), Path("record.jsonl"));
}

// "Jobs" and "Threads": a configuration without the key shows what ran before it had one
// (one job; threads automatic) and stays without it; 0 is Automatic.
TEST_F(P, CountsAreLoadedAndKeptOnOk) {
    struct Case {
        const char* key;
        const char* stored;  // nullptr: no key
        const char* shown;
        int chosen;
        const char* saved;  // nullptr: still no key after OK
    };
    const Case cases[] = {
        {"Jobs", nullptr, "1", 1, nullptr},
        {"Jobs", nullptr, "1", 5, "Jobs=5"},
        {"Jobs", "0", "Automatic", 0, "Jobs=0"},
        {"Jobs", "5", "5", 0, "Jobs=0"},
        {"Jobs", "0", "Automatic", 3, "Jobs=3"},
        {"Threads", nullptr, "Automatic", 0, nullptr},
        {"Threads", nullptr, "Automatic", 2, "Threads=2"},
        {"Threads", "4", "4", 0, "Threads=0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.key) + " " + (c.stored ? c.stored : "absent") + " -> " +
                     std::to_string(c.chosen));
        std::vector<std::pair<std::string, std::string>> options = {
            {"SourceDirs", Dir("in")}, {"TargetDirs", Dir("out")}, {"TargetExts", "wav2"}};
        if (c.stored) options.push_back({c.key, c.stored});
        Ini(options);
        TFormMain& f = Open();
        ASSERT_TRUE(RunUntil([&] { return f.Started(); }));
        TFormPreferences& p = *f.FormPreferences();
        QSpinBox* spin = std::string(c.key) == "Jobs" ? p.SpinEditJobs : p.SpinEditThreads;
        p.LoadSettings();
        EXPECT_EQ(spin->text().toStdString(), c.shown);
        spin->setValue(c.chosen);
        p.ButtonOkClick();
        EXPECT_TRUE(messages.Boxes().empty());
        const std::string text = ReadAll(root / "config/Sonbar.ini");
        const auto at = c.saved ? text.find(std::string(c.saved) + "\n")
                                : text.find("\n" + std::string(c.key) + "=");
        EXPECT_EQ(at != std::string::npos, c.saved != nullptr) << text;
        p.LoadSettings();
        EXPECT_EQ(spin->value(), c.chosen);
    }
}

// Alt+J and Alt+T reach their spin boxes and nothing else in the dialog.
TEST_F(P, CountsHaveMnemonicsOfTheirOwn) {
    TFormMain& f = Open();
    TFormPreferences& p = *f.FormPreferences();
    for (const auto& [key, spin] : {std::pair{"&J", p.SpinEditJobs}, {"&T", p.SpinEditThreads}}) {
        SCOPED_TRACE(key);
        int owners = 0;
        for (const QLabel* label : p.findChildren<QLabel*>()) {
            if (!label->text().contains(key, Qt::CaseInsensitive)) continue;
            ++owners;
            EXPECT_EQ(label->buddy(), spin);
        }
        for (const QAbstractButton* button : p.findChildren<QAbstractButton*>())
            owners += button->text().contains(key, Qt::CaseInsensitive);
        EXPECT_EQ(owners, 1);
        EXPECT_EQ(spin->minimum(), 0);
        EXPECT_EQ(spin->maximum(), 256);
    }
}

}  // namespace
}  // namespace guitest

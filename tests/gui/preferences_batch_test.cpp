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

// "Jobs": a configuration without the key shows one job, as it ran before; 0 is Automatic.
TEST_F(P, JobsAreLoadedAndKeptOnOk) {
    struct Case {
        const char* name;
        const char* stored;  // nullptr: no key
        const char* shown;
        int chosen;
        const char* saved;  // nullptr: still no key after OK
    };
    const Case cases[] = {
        {"Absent", nullptr, "1", 1, nullptr},
        {"AbsentToFive", nullptr, "1", 5, "Jobs=5"},
        {"Automatic", "0", "Automatic", 0, "Jobs=0"},
        {"FiveToAutomatic", "5", "5", 0, "Jobs=0"},
        {"AutomaticToThree", "0", "Automatic", 3, "Jobs=3"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::pair<std::string, std::string>> options = {
            {"SourceDirs", Dir("in")}, {"TargetDirs", Dir("out")}, {"TargetExts", "wav2"}};
        if (c.stored) options.push_back({"Jobs", c.stored});
        Ini(options);
        TFormMain& f = Open();
        ASSERT_TRUE(RunUntil([&] { return f.Started(); }));
        TFormPreferences& p = *f.FormPreferences();
        p.LoadSettings();
        EXPECT_EQ(p.SpinEditJobs->text().toStdString(), c.shown);
        p.SpinEditJobs->setValue(c.chosen);
        p.ButtonOkClick();
        EXPECT_TRUE(messages.Boxes().empty());
        const std::string text = ReadAll(root / "config/Sonbar.ini");
        const auto at = c.saved ? text.find(std::string(c.saved) + "\n") : text.find("Jobs=");
        EXPECT_EQ(at != std::string::npos, c.saved != nullptr) << text;
        p.LoadSettings();
        EXPECT_EQ(p.SpinEditJobs->value(), c.chosen);
    }
}

// Alt+J reaches the spin box and nothing else on its page.
TEST_F(P, JobsHaveAMnemonicOfTheirOwn) {
    TFormMain& f = Open();
    TFormPreferences& p = *f.FormPreferences();
    int owners = 0;
    for (const QLabel* label : p.findChildren<QLabel*>()) {
        if (!label->text().contains("&J", Qt::CaseInsensitive)) continue;
        ++owners;
        EXPECT_EQ(label->buddy(), p.SpinEditJobs);
    }
    for (const QAbstractButton* button : p.findChildren<QAbstractButton*>())
        owners += button->text().contains("&J", Qt::CaseInsensitive);
    EXPECT_EQ(owners, 1);
    EXPECT_EQ(p.SpinEditJobs->minimum(), 0);
    EXPECT_EQ(p.SpinEditJobs->maximum(), 256);
}

}  // namespace
}  // namespace guitest

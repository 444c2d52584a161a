// SPDX-License-Identifier: GPL-3.0-or-later
// The preferences' "Batch" group: its values reach Sonbar.ini on OK and come back.
#include <QCheckBox>
#include <QLineEdit>
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

}  // namespace
}  // namespace guitest

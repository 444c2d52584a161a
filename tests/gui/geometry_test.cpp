// SPDX-License-Identifier: GPL-3.0-or-later
// The main window can be resized, and comes back where and as large as it was left.
#include "harness.h"

namespace guitest {
namespace {

using G = GuiTest;

TEST_F(G, SizeAndPlaceComeBackAsTheyWereLeft) {
    TFormMain& f = Open();
    ASSERT_TRUE(RunUntil([&] { return f.Started(); }));
    const QSize least = f.size();
    f.resize(least.width() + 150, least.height() + 120);
    f.move(70, 90);
    RunUntil([&] { return f.width() == least.width() + 150; }, 2000);
    EXPECT_EQ(f.size(), QSize(least.width() + 150, least.height() + 120)) << "resizable";
    const QRect left = f.geometry();
    f.close();
    form.reset();

    TFormMain& again = Open();
    ASSERT_TRUE(RunUntil([&] { return again.Started(); }));
    EXPECT_EQ(again.geometry(), left);
    std::ifstream ini(root / "config/Sonbar.ini");
    const std::string text((std::istreambuf_iterator<char>(ini)), {});
    EXPECT_NE(text.find("Geometry="), std::string::npos);
    EXPECT_NE(text.find("Left="), std::string::npos) << "the old keys stay for older versions";
}

}  // namespace
}  // namespace guitest

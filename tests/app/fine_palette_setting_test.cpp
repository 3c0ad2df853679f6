// The fine palette tick: off on a first start, remembered in the settings
// file, and carried into the conversion job.
#include <gtest/gtest.h>

#include <QCheckBox>

#include "app/settings.h"
#include "app_test_support.h"
#include "controls.h"

namespace tessary::app::testing {
namespace {

TEST(FinePaletteSetting, RememberedAndGivenToTheJob) {
    TempFolder program;
    {
        WindowUnderTest w(program.Str());
        QCheckBox* tick = Control<QCheckBox>(*w.window, "cFinePalette");
        ASSERT_NE(tick, nullptr);
        EXPECT_FALSE(tick->isChecked());
        EXPECT_EQ(w.window->BuildJob().palette, PaletteMethod::kOctree);
        tick->setChecked(true);
        EXPECT_EQ(w.window->BuildJob().palette, PaletteMethod::kFine);
    }
    EXPECT_EQ(Settings(program.File("tessary.ini")).ReadSetting("Fine Palette", ""), "1");
    WindowUnderTest again(program.Str());
    EXPECT_TRUE(Control<QCheckBox>(*again.window, "cFinePalette")->isChecked());
}

}  // namespace
}  // namespace tessary::app::testing

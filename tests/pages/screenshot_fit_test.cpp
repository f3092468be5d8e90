#include "pages/screenshot.h"

#include <gtest/gtest.h>

namespace tvn {
namespace {

struct Fit {
    int width;
    int height;
};

Fit FitOf(int width, int height, unsigned boxWidth, unsigned boxHeight) {
    Fit fit{};
    FitScreenShot(width, height, boxWidth, boxHeight, fit.width, fit.height);
    return fit;
}

// The picture keeps the screen's proportions inside the box, limited by whichever side is
// the tighter one, and is never made larger than the screen.
TEST(ScreenShotFit, ShrinksIntoTheBoxAndNeverGrows) {
    const Fit landscape = FitOf(1280, 1024, 100, 100);
    EXPECT_EQ(landscape.width, 100);
    EXPECT_EQ(landscape.height, 80);
    const Fit portrait = FitOf(1024, 1280, 100, 100);
    EXPECT_EQ(portrait.width, 80);
    EXPECT_EQ(portrait.height, 100);
    const Fit wide = FitOf(1920, 1080, 200, 200);
    EXPECT_EQ(wide.width, 200);
    EXPECT_EQ(wide.height, 112);
    const Fit larger = FitOf(1280, 1024, 2000, 2000);
    EXPECT_EQ(larger.width, 1280);
    EXPECT_EQ(larger.height, 1024);
    // Only one side too large: the other follows in proportion.
    const Fit tall = FitOf(1280, 1024, 2000, 512);
    EXPECT_EQ(tall.width, 640);
    EXPECT_EQ(tall.height, 512);
}

TEST(ScreenShotFit, AMissingSideOrANegativeOneLeavesTheScreenAsItIs) {
    const Fit widthOnly = FitOf(1280, 1024, 100, 0);
    EXPECT_EQ(widthOnly.width, 1280);
    EXPECT_EQ(widthOnly.height, 1024);
    // "-5" is read as a huge unsigned number: a box that does not limit.
    const Fit negative = FitOf(1280, 1024, static_cast<unsigned>(-5), static_cast<unsigned>(-5));
    EXPECT_EQ(negative.width, 1280);
    EXPECT_EQ(negative.height, 1024);
}

TEST(ScreenShotFit, ATinyBoxStillGivesAPicture) {
    const Fit tiny = FitOf(1920, 1080, 1, 1);
    EXPECT_EQ(tiny.width, 1);
    EXPECT_EQ(tiny.height, 1);
}

} // namespace
} // namespace tvn

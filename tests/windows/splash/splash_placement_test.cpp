/*
** Where the splash goes: the top-left corner that centres an image in the
** primary monitor's work area, with signed division truncating toward zero.
*/
#include <gtest/gtest.h>

#include "OnefileSplashScreen/OnefileSplashScreen.h"

namespace {

POINT place(LONG left, LONG top, LONG right, LONG bottom, LONG width, LONG height)
{
    RECT work_area = {left, top, right, bottom};
    return centre_in_work_area(&work_area, width, height);
}

TEST(SplashPlacement, uses_the_work_area_height_not_the_screen_height_above_a_taskbar)
{
    POINT corner = place(0, 0, 1920, 1040, 900, 600);
    EXPECT_EQ(corner.x, 510);
    EXPECT_EQ(corner.y, 220);
}

TEST(SplashPlacement, adds_the_work_area_origin_when_the_taskbar_is_docked_left)
{
    POINT corner = place(64, 0, 1920, 1080, 900, 600);
    EXPECT_EQ(corner.x, 542);
    EXPECT_EQ(corner.y, 240);
}

TEST(SplashPlacement, adds_the_work_area_top_when_the_taskbar_is_docked_at_the_top)
{
    POINT corner = place(0, 40, 1920, 1080, 900, 600);
    EXPECT_EQ(corner.x, 510);
    EXPECT_EQ(corner.y, 260);
}

TEST(SplashPlacement, truncates_an_odd_leftover_instead_of_rounding_it_up)
{
    POINT corner = place(0, 0, 1921, 1081, 900, 600);
    EXPECT_EQ(corner.x, 510);
    EXPECT_EQ(corner.y, 240);
}

TEST(SplashPlacement, truncates_toward_zero_when_the_image_is_larger_than_the_work_area)
{
    POINT corner = place(0, 0, 1919, 1079, 2000, 1200);
    EXPECT_EQ(corner.x, -40) << "-81 / 2 truncates to -40; flooring gives -41";
    EXPECT_EQ(corner.y, -60) << "-121 / 2 truncates to -60; flooring gives -61";
}

} // namespace

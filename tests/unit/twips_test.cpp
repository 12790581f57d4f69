// SPDX-License-Identifier: MIT
#include "window/twips.h"

#include <gtest/gtest.h>

namespace {

TEST(Twips, LowerRightPlacement)
{
    const struct {
        double screenW, screenH, tpp;
        double leftPx, topPx;
    } cases[] = {
        {1024, 768, 15, 701.0 + 1.0 / 3.0, 625},
        {1920, 1080, 15, 1597.0 + 1.0 / 3.0, 937},
        {1024, 768, 12, 1024 - (4740 + 100) / 12.0, 768 - (1545 + 600) / 12.0},
        // Too small a screen: negative edges, no error.
        {300, 100, 15, 300 - 4840 / 15.0, 100 - 2145 / 15.0},
    };
    for (const auto &c : cases) {
        const auto p = twips::lowerRightPlacement(c.screenW * c.tpp, c.screenH * c.tpp, 4740, 1545);
        EXPECT_NEAR(p.left / c.tpp, c.leftPx, 1e-3) << c.screenW << "x" << c.screenH;
        EXPECT_NEAR(p.top / c.tpp, c.topPx, 1e-3);
    }
}

TEST(Twips, PixelsAtCommonDensities)
{
    EXPECT_EQ(twips::toPixels(4650, 96), 310);
    EXPECT_EQ(twips::toPixels(1170, 96), 78);
    EXPECT_EQ(twips::toPixels(4740, 120), 395);
    EXPECT_EQ(twips::toPixels(1545, 120), 129);
    EXPECT_DOUBLE_EQ(twips::perPixel(96), 15);
}

} // namespace

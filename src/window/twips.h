// SPDX-License-Identifier: MIT
#pragma once

namespace twips {

inline constexpr double PerInch = 1440.0;

// Twips per pixel at a logical dpi: 15 at 96 dpi, 12 at 120 dpi.
constexpr double perPixel(double dpi) { return PerInch / dpi; }

// Whole pixels for a length in twips, rounded to the nearest.
int toPixels(double twips, double dpi);

struct Point {
    double left;
    double top;
};

// Where the window's outer frame goes: 100 twips short of the screen's
// right edge and 600 above its bottom edge. A screen smaller than that
// gives negative edges, which are kept as they are.
Point lowerRightPlacement(double screenWidth, double screenHeight, double windowWidth,
                          double windowHeight);

} // namespace twips

// SPDX-License-Identifier: MIT
#include "window/twips.h"

#include <cmath>

namespace twips {

int toPixels(double twips, double dpi)
{
    return static_cast<int>(std::lround(twips / perPixel(dpi)));
}

Point lowerRightPlacement(double screenWidth, double screenHeight, double windowWidth,
                          double windowHeight)
{
    // Single precision, like the properties the results are stored in.
    return {static_cast<float>(screenWidth - windowWidth - 100.0),
            static_cast<float>(screenHeight - windowHeight - 600.0)};
}

} // namespace twips

// SPDX-License-Identifier: MIT
#pragma once

#include <QtGlobal>

namespace platform::x11 {

// Sets the window's WM_HINTS initial state to normal on Qt's own X
// connection, so that the next map shows it instead of iconifying it.
void setNormalInitialState(quintptr window);

} // namespace platform::x11

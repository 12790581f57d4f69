// SPDX-License-Identifier: MIT
#pragma once

#include <QPoint>
#include <QtGlobal>

#include <optional>

namespace platform::x11 {

// Sets the window's WM_HINTS initial state to normal on Qt's own X
// connection, so that the next map shows it instead of iconifying it.
void setNormalInitialState(quintptr window);

// Where the window's outer frame stands on the screen, read from the server:
// the window or the window manager's frame around it, whichever is the
// root's child. Nothing when there is no X connection or the window is gone.
std::optional<QPoint> frameTopLeft(quintptr window);

} // namespace platform::x11

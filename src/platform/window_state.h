// SPDX-License-Identifier: MIT
#pragma once

class QPoint;
class QWidget;

namespace platform {

// Makes sure a hidden window that was minimised comes back in its normal
// state, its outer frame's upper left corner at frameTopLeft, when it is
// shown again. On X11, Qt maps a window that leaves the minimised state
// before it tells the window manager the new initial state, so the manager
// may iconify it again at once; and Qt would take the place where the
// window manager left the withdrawn window for the frame's corner.
void prepareRestore(QWidget *window, QPoint frameTopLeft);

// The upper left corner of the window's outer frame. On X11 it is read from
// the server: Qt's own idea of the frame lags behind the window manager's
// reframing, and a window minimised soon after a restore would be put back
// a frame's height too low the next time.
QPoint frameTopLeft(const QWidget *window);

// Call before the application object exists. The window runs through X11
// (XWayland under Wayland) wherever a display is there, unless the user chose
// a platform with QT_QPA_PLATFORM: the placement and minimising into the
// notification area need a window system that tells a client where its
// window is and that it was minimised, which Wayland's xdg-shell does not.
// The keystrokes still take the Wayland route.
void chooseWindowSystem();

} // namespace platform

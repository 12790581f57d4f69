// SPDX-License-Identifier: MIT
#pragma once

class QWidget;

namespace platform {

// Makes sure a hidden window that was minimised comes back in its normal
// state when it is shown again. On X11, Qt maps a window that leaves the
// minimised state before it tells the window manager the new initial state,
// so the manager may iconify it again at once.
void prepareRestore(QWidget *window);

} // namespace platform

// SPDX-License-Identifier: MIT
#pragma once

#include "platform/keyboard.h"

#include <memory>

namespace platform {

// Call before any X connection exists: the keyboard's connection lives on
// the typing thread while the window system's may use Xlib on the GUI thread.
void initXlibThreads();

// Returns the x11 keyboard, or null with the reason in *whyNot.
std::unique_ptr<Keyboard> createX11Keyboard(QString *whyNot);

} // namespace platform

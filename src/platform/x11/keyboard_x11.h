// SPDX-License-Identifier: MIT
#pragma once

#include "platform/keyboard.h"

#include <memory>

namespace platform {

// Returns the x11 keyboard, or null with the reason in *whyNot.
std::unique_ptr<Keyboard> createX11Keyboard(QString *whyNot);

} // namespace platform

// SPDX-License-Identifier: MIT
#pragma once

#include "platform/keyboard.h"

#include <memory>

namespace platform {

// Returns the wayland keyboard, or null with the reason in *whyNot.
std::unique_ptr<Keyboard> createWaylandKeyboard(QString *whyNot);

} // namespace platform

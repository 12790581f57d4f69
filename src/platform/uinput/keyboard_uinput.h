// SPDX-License-Identifier: MIT
#pragma once

#include "platform/keyboard.h"

#include <memory>

namespace platform {

// Returns the uinput keyboard, or null with the reason in *whyNot.
std::unique_ptr<Keyboard> createUinputKeyboard(QString *whyNot);

} // namespace platform

// SPDX-License-Identifier: MIT
#pragma once

#include "platform/keyboard.h"

#include <memory>

namespace platform {

// Types through the desktop's remote-input service (GNOME's mutter, the
// remote desktop portal on KDE and others), or null with the reason in
// *whyNot. Needs a Wayland session and a D-Bus session bus.
std::unique_ptr<Keyboard> createRemoteKeyboard(QString *whyNot);

} // namespace platform

// SPDX-License-Identifier: MIT
#pragma once

#include "startup/sermod.h"

#include <QString>

#include <cstdint>
#include <optional>

class QMenu;

namespace platform {
class NotificationArea;
} // namespace platform

namespace tray {

inline constexpr int NIM_ADD = 0;
inline constexpr int NIM_DELETE = 2;
inline constexpr int ScaleModePixels = 3;

// The icon record as every minimise fills it: size 88, the owner window,
// id 1, flags message+icon+tip (7), callback WM_MOUSEMOVE, the window's
// icon, and the tip: the title, one NUL, spaces to 64 characters.
SerMod::NotifyIconData filledRecord(QWidget *owner, const QIcon &icon, const QString &tip);

// The tip as handed to the desktop: up to the NUL, at most 63 characters.
QString tipText(const std::array<char16_t, 64> &szTip);

// The notification number carried in a mouse-move's X: X itself when the
// window's unit is pixels, else X over the twips per pixel; rounded half to
// even. Nothing for a value outside 32 bits.
std::optional<std::int32_t> notificationNumber(double x, int scaleMode, double twipsPerPixelX);

// Adds or removes the icon the record describes.
void Shell_NotifyIcon(int message, const SerMod::NotifyIconData &data,
                      platform::NotificationArea &area, QMenu *menu);

} // namespace tray

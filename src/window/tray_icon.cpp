// SPDX-License-Identifier: MIT
// The notification-area icon: minimising hides the window behind it, a
// double-click or Show brings the window back.
#include "window/tray_icon.h"

#include "platform/notification_area.h"
#include "platform/services.h"
#include "platform/window_state.h"
#include "window/mainfrm.h"
#include "window/twips.h"

#include <QCursor>
#include <QMenu>

#include <cmath>

namespace tray {

SerMod::NotifyIconData filledRecord(QWidget *owner, const QIcon &icon, const QString &tip)
{
    SerMod::NotifyIconData d;
    d.cbSize = 88;
    d.hWnd = owner;
    d.uID = 1;
    d.uFlags = 7;
    d.uCallbackMessage = platform::wm::MouseMove;
    d.hIcon = icon;
    d.szTip.fill(u' ');
    const QString t = tip.left(63);
    for (qsizetype i = 0; i < t.size(); ++i)
        d.szTip[static_cast<std::size_t>(i)] = t[i].unicode();
    d.szTip[static_cast<std::size_t>(t.size())] = u'\0';
    return d;
}

QString tipText(const std::array<char16_t, 64> &szTip)
{
    std::size_t n = 0;
    while (n < 63 && szTip[n] != u'\0')
        ++n;
    return QString::fromUtf16(szTip.data(), static_cast<qsizetype>(n));
}

std::optional<std::int32_t> notificationNumber(double x, int scaleMode, double twipsPerPixelX)
{
    const double v = scaleMode == ScaleModePixels ? x : x / twipsPerPixelX;
    const double r = std::nearbyint(v);
    if (!std::isfinite(r) || r < -2147483648.0 || r > 2147483647.0)
        return std::nullopt;
    return static_cast<std::int32_t>(r);
}

void Shell_NotifyIcon(int message, const SerMod::NotifyIconData &data,
                      platform::NotificationArea &area, QMenu *menu)
{
    if (message == NIM_ADD)
        area.add(data.hIcon, tipText(data.szTip), menu);
    else if (message == NIM_DELETE)
        area.remove();
}

} // namespace tray

void MainFrm::Form_Resize()
{
    // A hidden window has no size to change: a late notice of the
    // minimise that already hid it must not add a second icon.
    if (isMinimized() && isVisible()) {
        // Without a notification area a hidden window could never be
        // reached again: it stays minimised in the taskbar instead.
        if (m_services.notificationArea().available()) {
            m_restoreAt = platform::frameTopLeft(this);
            hide();
            addTrayIcon();
        }
    }
    update();
}

void MainFrm::addTrayIcon()
{
    SerMod::TrayIconData = tray::filledRecord(this, windowIcon(), SerMod::AppTitle);
    tray::Shell_NotifyIcon(tray::NIM_ADD, SerMod::TrayIconData, m_services.notificationArea(),
                           mnuTray);
}

void MainFrm::setVisible(bool visible)
{
    // Shown while minimised (start-up): straight into the notification
    // area. Mapping the window iconic first and hiding it afterwards leaves
    // the window manager's late notices of that state to undo a restore.
    if (visible && !isVisible() && isMinimized()) {
        if (m_services.notificationArea().available()) {
            addTrayIcon();
            return;
        }
        // Out of sight in the taskbar, where the desktop has no minimise
        // (sway) at least not taking the focus from the user's window, which
        // is where the scans are meant to go.
        setAttribute(Qt::WA_ShowWithoutActivating, true);
    }
    QWidget::setVisible(visible);
}

void MainFrm::Form_MouseMove(std::int16_t, std::int16_t, float x, float)
{
    // Real movement over the visible window. Qt on X11 may report a window
    // that went into the tray as no longer minimised once it is hidden, so
    // hidden counts as minimised here.
    if (!isMinimized() && isVisible())
        return;
    const double tpp = twips::perPixel(logicalDpiX());
    const std::optional<std::int32_t> n = tray::notificationNumber(x, ScaleMode, tpp);
    if (!n)
        return;
    if (*n == platform::wm::LButtonDblClk) {
        mnuShow_Click();
    } else if (*n == platform::wm::RButtonUp) {
        // Some hosts already opened the menu themselves.
        if (!mnuTray->isVisible())
            mnuTray->popup(QCursor::pos());
    }
}

void MainFrm::mnuShow_Click()
{
    setAttribute(Qt::WA_ShowWithoutActivating, false);
    platform::prepareRestore(this, m_restoreAt);
    setWindowState(windowState() & ~Qt::WindowMinimized);
    show();
    raise();
    activateWindow();
    tray::Shell_NotifyIcon(tray::NIM_DELETE, SerMod::TrayIconData, m_services.notificationArea(),
                           mnuTray);
    update();
}

void MainFrm::onTrayNotification(int mouseMessage)
{
    // The notification travels as the X of a mouse move over the window,
    // in the window's unit.
    const double tpp = twips::perPixel(logicalDpiX());
    Form_MouseMove(0, 0, static_cast<float>(mouseMessage * tpp), 0);
}

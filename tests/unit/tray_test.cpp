// SPDX-License-Identifier: MIT
#include "platform/notification_area.h"
#include "platform/qt_notification_area.h"
#include "window/tray_icon.h"

#include <QWidget>

#include <gtest/gtest.h>

#include <cmath>

namespace {

TEST(TrayNotification, NumberRecoveredFromTheMouseMoveX)
{
    const struct {
        double x;
        int scaleMode;
        double tpp;
        std::optional<std::int32_t> number;
    } cases[] = {
        {515.0 * 15, 1, 15, 515}, {517.0 * 15, 1, 15, 517}, {515.0 * 12, 1, 12, 515},
        {517.0, tray::ScaleModePixels, 15, 517},
        {7.5 * 15, 1, 15, 8}, {6.5 * 15, 1, 15, 6},  // half to even
        {1e12, 1, 15, std::nullopt}, {3e9, tray::ScaleModePixels, 15, std::nullopt},
        {-2147483648.0, tray::ScaleModePixels, 15, -2147483647 - 1},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(tray::notificationNumber(c.x, c.scaleMode, c.tpp), c.number) << c.x;
    }
    EXPECT_EQ(tray::notificationNumber(std::nan(""), 1, 15), std::nullopt);
}

TEST(TrayNotification, ActivationsMapToMouseMessages)
{
    using R = QSystemTrayIcon::ActivationReason;
    const struct {
        R reason;
        bool doubleClickHost;
        int message;
    } cases[] = {
        {R::DoubleClick, true, 515}, {R::Trigger, true, 514},  {R::Trigger, false, 515},
        {R::Context, true, 517},     {R::Context, false, 517}, {R::MiddleClick, false, 520},
        {R::Unknown, true, 512},
    };
    for (const auto &c : cases)
        EXPECT_EQ(platform::mouseMessageFor(c.reason, c.doubleClickHost), c.message)
            << int(c.reason) << c.doubleClickHost;
}

TEST(TrayIconRecord, FilledAsEveryMinimiseFillsIt)
{
    QWidget owner;
    const SerMod::NotifyIconData d = tray::filledRecord(&owner, QIcon(), QStringLiteral("Scanferry 0.01"));
    EXPECT_EQ(d.cbSize, 88u);
    EXPECT_EQ(d.hWnd, &owner);
    EXPECT_EQ(d.uID, 1u);
    EXPECT_EQ(d.uFlags, 7u);
    EXPECT_EQ(d.uCallbackMessage, 0x200u);
    EXPECT_EQ(d.szTip[13], u'1');
    EXPECT_EQ(d.szTip[14], u'\0');
    for (std::size_t i = 15; i < 64; ++i)
        EXPECT_EQ(d.szTip[i], u' ') << i;
    EXPECT_EQ(tray::tipText(d.szTip), QStringLiteral("Scanferry 0.01"));

    // A tip as long as the field keeps 63 characters and its NUL.
    const SerMod::NotifyIconData longTip = tray::filledRecord(&owner, QIcon(), QString(80, u'x'));
    EXPECT_EQ(tray::tipText(longTip.szTip), QString(63, u'x'));
    EXPECT_EQ(longTip.szTip[63], u'\0');
}

} // namespace

// SPDX-License-Identifier: MIT
#pragma once

#include "platform/notification_area.h"

#include <QSystemTrayIcon>

#include <memory>

namespace platform {

// Which notification a tray activation stands for. StatusNotifierItem hosts
// have no double-click: their primary activation is the restoring one.
int mouseMessageFor(QSystemTrayIcon::ActivationReason reason, bool hostHasDoubleClick);

// QSystemTrayIcon: StatusNotifierItem over D-Bus, XEmbed on X11, the shell's
// notification area on Windows.
class QtNotificationArea final : public NotificationArea {
public:
    explicit QtNotificationArea(QObject *parent = nullptr);
    ~QtNotificationArea() override;

    bool available() const override;
    void add(const QIcon &icon, const QString &tip, QMenu *menu) override;
    void remove() override;
    bool shown() const override;
    bool notify(const QString &title, const QString &message) override;

private:
    std::unique_ptr<QSystemTrayIcon> m_icon;
    bool m_statusNotifier = false;
};

} // namespace platform

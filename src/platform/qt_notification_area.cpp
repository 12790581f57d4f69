// SPDX-License-Identifier: MIT
#include "platform/qt_notification_area.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QMenu>

namespace platform {

int mouseMessageFor(QSystemTrayIcon::ActivationReason reason, bool hostHasDoubleClick)
{
    switch (reason) {
    case QSystemTrayIcon::DoubleClick:
        return wm::LButtonDblClk;
    case QSystemTrayIcon::Trigger:
        return hostHasDoubleClick ? wm::LButtonUp : wm::LButtonDblClk;
    case QSystemTrayIcon::Context:
        return wm::RButtonUp;
    case QSystemTrayIcon::MiddleClick:
        return wm::MButtonUp;
    case QSystemTrayIcon::Unknown:
        break;
    }
    return wm::MouseMove;
}

namespace {

// Qt talks StatusNotifierItem when a watcher is on the session bus, and
// XEmbed (or the Windows shell) otherwise.
bool statusNotifierWatcherPresent()
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    return bus.isConnected() && bus.interface() &&
           bus.interface()->isServiceRegistered(QStringLiteral("org.kde.StatusNotifierWatcher")).value();
}

} // namespace

QtNotificationArea::QtNotificationArea(QObject *parent) : NotificationArea(parent) {}

QtNotificationArea::~QtNotificationArea() = default;

bool QtNotificationArea::available() const
{
    return QSystemTrayIcon::isSystemTrayAvailable();
}

void QtNotificationArea::add(const QIcon &icon, const QString &tip, QMenu *menu)
{
    if (!m_icon) {
        m_icon = std::make_unique<QSystemTrayIcon>();
        m_statusNotifier = statusNotifierWatcherPresent();
        connect(m_icon.get(), &QSystemTrayIcon::activated, this,
                [this](QSystemTrayIcon::ActivationReason reason) {
                    Q_EMIT notification(mouseMessageFor(reason, !m_statusNotifier));
                });
    }
    m_icon->setIcon(icon);
    m_icon->setToolTip(tip);
    if (m_icon->contextMenu() != menu)
        m_icon->setContextMenu(menu);
    m_icon->show();
}

void QtNotificationArea::remove()
{
    if (m_icon)
        m_icon->hide();
}

bool QtNotificationArea::shown() const
{
    return m_icon && m_icon->isVisible();
}

bool QtNotificationArea::notify(const QString &title, const QString &message)
{
    if (!shown() || !QSystemTrayIcon::supportsMessages())
        return false;
    m_icon->showMessage(title, message, QSystemTrayIcon::Warning);
    return true;
}

} // namespace platform

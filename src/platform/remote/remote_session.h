// SPDX-License-Identifier: MIT
#pragma once

#include "platform/remote/remote_keys.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QObject>
#include <QString>
#include <QVariantMap>

#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <memory>
#include <optional>

namespace platform::remote {

// A remote-desktop session of the desktop, keyboard only, on a D-Bus
// connection of its own (used only on the thread that made it). Key events
// are sent without waiting for their replies; settle() collects them.
class RemoteSession {
public:
    RemoteSession(const RemoteSession &) = delete;
    RemoteSession &operator=(const RemoteSession &) = delete;
    virtual ~RemoteSession();

    // For messages: "mutter's remote desktop", "the remote desktop portal".
    virtual QString describe() const = 0;

    // Sends one key event; waits only when many replies are outstanding.
    void send(KeyEvent event);
    // Waits for every outstanding reply. False with the first error in *why.
    bool settle(QString *why);
    // False once the session ended: closed by the desktop, its service gone
    // or owned by another process (the compositor restarted), the bus gone.
    bool alive();
    // The seat's Caps Lock, where the service tells it.
    virtual std::optional<bool> capsLock() { return std::nullopt; }
    // Toggles Caps Lock and waits until the service reports the new state
    // (false on timeout or when the state is not reported).
    bool toggleCapsLock(int timeoutMs);

protected:
    RemoteSession(QDBusConnection bus, QString service);
    virtual QDBusMessage keyMessage(KeyEvent event) const = 0;
    // How many key events may await their replies at once.
    virtual std::size_t maxPending() const = 0;

public:
    // Whether the service answers before the compositor has the key (the
    // portal), so that typing must be held to the compositor's pace.
    virtual bool answersEarly() const { return false; }

    // A compositor disconnects a client that does not read its keys fast
    // enough (the client's buffer holds about 50 keys): the characters of
    // a burst typed at full speed, and the pace after them.
    struct Pace {
        std::size_t unpacedCharacters;
        double charactersPerSecond;
    };
    virtual Pace pace() const = 0;
    // Whether the desktop said the session ended, or a process behind the
    // service (the portal's backend) went away.
    virtual bool closedByDesktop() { return false; }

    QDBusConnection m_bus;
    QString m_service;
    QString m_owner;

private:
    std::deque<QDBusPendingCall> m_pending;
    QString m_error;
};

// org.gnome.Mutter.RemoteDesktop: no dialog. nullptr with the reason in
// *whyNot when mutter does not offer it on this bus.
std::unique_ptr<RemoteSession> startMutterSession(QString *whyNot);

// org.freedesktop.portal.RemoteDesktop: no dialog on KDE; elsewhere the
// user may be asked once (a restore token is kept where the portal offers
// it). nullptr with the reason in *whyNot.
std::unique_ptr<RemoteSession> startPortalSession(QString *whyNot);

namespace detail {
// Receives a portal request's Response and the session's Closed signal.
// It lives on a thread of its own: signals reach a slot only through its
// thread's event loop, and spinning the typing thread's loop here would run
// the next burst inside this one.
class SignalCatcher : public QObject {
    Q_OBJECT
public:
    // Waits for the Response of the request at path; nullopt on timeout.
    std::optional<std::pair<uint, QVariantMap>> waitResponse(const QString &path, int timeoutMs);
    bool closed() const;

public slots:
    void onResponse(uint code, const QVariantMap &results, const QDBusMessage &message);
    void onClosed();

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::map<QString, std::pair<uint, QVariantMap>> m_responses;
    bool m_closed = false;
};
} // namespace detail

} // namespace platform::remote

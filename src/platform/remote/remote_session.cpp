// SPDX-License-Identifier: MIT
#include "platform/remote/remote_session.h"

#include <QDBusConnectionInterface>
#include <QDBusObjectPath>
#include <QDBusReply>
#include <QDBusVariant>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QStandardPaths>
#include <QThread>

#include <xkbcommon/xkbcommon-keysyms.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace platform::remote {

namespace {

// Replies mutter may owe before send() waits for the oldest: enough to keep
// it busy, few enough that a failure is seen within a burst.
constexpr std::size_t MutterMaxPending = 256;
// A blocking call to the desktop: generous, the machine may be loaded.
constexpr int CallTimeoutMs = 10000;

const QString MutterService = QStringLiteral("org.gnome.Mutter.RemoteDesktop");
const QString MutterPath = QStringLiteral("/org/gnome/Mutter/RemoteDesktop");
const QString MutterSessionInterface = QStringLiteral("org.gnome.Mutter.RemoteDesktop.Session");

const QString PortalService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString PortalPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString PortalInterface = QStringLiteral("org.freedesktop.portal.RemoteDesktop");

QString connectionName()
{
    static std::atomic<int> counter{0};
    return QStringLiteral("scnferry-remote-input-%1").arg(counter.fetch_add(1));
}

QString errorText(const QDBusError &e)
{
    return e.message().isEmpty() ? e.name() : e.message();
}

} // namespace

// ---- base ----

RemoteSession::RemoteSession(QDBusConnection bus, QString service)
    : m_bus(std::move(bus)), m_service(std::move(service))
{
    m_owner = m_bus.interface()->serviceOwner(m_service).value();
}

RemoteSession::~RemoteSession()
{
    const QString name = m_bus.name();
    m_pending.clear();
    m_bus = QDBusConnection(QString());
    QDBusConnection::disconnectFromBus(name);
}

void RemoteSession::send(KeyEvent event)
{
    while (m_pending.size() >= maxPending()) {
        QDBusPendingCall oldest = m_pending.front();
        m_pending.pop_front();
        oldest.waitForFinished();
        if (oldest.isError() && m_error.isEmpty())
            m_error = errorText(oldest.error());
    }
    m_pending.push_back(m_bus.asyncCall(keyMessage(event), CallTimeoutMs));
}

bool RemoteSession::settle(QString *why)
{
    while (!m_pending.empty()) {
        QDBusPendingCall call = m_pending.front();
        m_pending.pop_front();
        call.waitForFinished();
        if (call.isError() && m_error.isEmpty())
            m_error = errorText(call.error());
    }
    if (m_error.isEmpty())
        return true;
    *why = std::exchange(m_error, QString());
    return false;
}

bool RemoteSession::alive()
{
    if (!m_bus.isConnected() || closedByDesktop())
        return false;
    const QDBusReply<QString> owner = m_bus.interface()->serviceOwner(m_service);
    return owner.isValid() && owner.value() == m_owner;
}

bool RemoteSession::toggleCapsLock(int timeoutMs)
{
    const std::optional<bool> before = capsLock();
    if (!before)
        return false;
    send({XKB_KEY_Caps_Lock, true});
    send({XKB_KEY_Caps_Lock, false});
    QString ignored;
    if (!settle(&ignored))
        return false;
    // The service reports the seat's state once the keys went through it.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        const std::optional<bool> now = capsLock();
        if (!now)
            return false;
        if (*now != *before)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

// ---- mutter ----

namespace {

class MutterSession final : public RemoteSession {
public:
    explicit MutterSession(QDBusConnection bus) : RemoteSession(std::move(bus), MutterService) {}

    bool start(QString *whyNot)
    {
        if (!m_bus.interface()->isServiceRegistered(MutterService).value()) {
            *whyNot = QStringLiteral("%1 is not on the session bus").arg(MutterService);
            return false;
        }
        const QDBusMessage created = m_bus.call(
            QDBusMessage::createMethodCall(MutterService, MutterPath, MutterService,
                                           QStringLiteral("CreateSession")),
            QDBus::Block, CallTimeoutMs);
        if (created.type() != QDBusMessage::ReplyMessage || created.arguments().isEmpty()) {
            *whyNot = QStringLiteral("mutter refused a remote desktop session: %1")
                          .arg(created.errorMessage());
            return false;
        }
        // The session belongs to this connection and ends with it.
        m_path = created.arguments().first().value<QDBusObjectPath>().path();
        const QDBusMessage started = m_bus.call(
            QDBusMessage::createMethodCall(MutterService, m_path, MutterSessionInterface,
                                           QStringLiteral("Start")),
            QDBus::Block, CallTimeoutMs);
        if (started.type() != QDBusMessage::ReplyMessage) {
            *whyNot = QStringLiteral("mutter did not start the remote desktop session: %1")
                          .arg(started.errorMessage());
            m_path.clear();
            return false;
        }
        m_owner = m_bus.interface()->serviceOwner(MutterService).value();
        return true;
    }

    ~MutterSession() override
    {
        QString ignored;
        settle(&ignored);
        if (m_bus.isConnected() && !m_path.isEmpty())
            m_bus.call(QDBusMessage::createMethodCall(MutterService, m_path,
                                                      MutterSessionInterface,
                                                      QStringLiteral("Stop")),
                       QDBus::Block, 2000);
    }

    QString describe() const override { return QStringLiteral("GNOME's remote desktop (mutter)"); }

    std::optional<bool> capsLock() override
    {
        QDBusMessage get = QDBusMessage::createMethodCall(
            MutterService, m_path, QStringLiteral("org.freedesktop.DBus.Properties"),
            QStringLiteral("Get"));
        get << MutterSessionInterface << QStringLiteral("CapsLockState");
        const QDBusMessage reply = m_bus.call(get, QDBus::Block, CallTimeoutMs);
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
            return std::nullopt;
        return reply.arguments().first().value<QDBusVariant>().variant().toBool();
    }

protected:
    QDBusMessage keyMessage(KeyEvent event) const override
    {
        QDBusMessage m = QDBusMessage::createMethodCall(MutterService, m_path,
                                                        MutterSessionInterface,
                                                        QStringLiteral("NotifyKeyboardKeysym"));
        m << event.keysym << event.pressed;
        return m;
    }

    std::size_t maxPending() const override { return MutterMaxPending; }

public:
    // Measured: 5,000 characters exact into a Qt window on a loaded machine.
    Pace pace() const override { return {1000, 2500.0}; }

private:
    QString m_path;
};

bool connectBus(QDBusConnection *bus, QString *whyNot)
{
    *bus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, connectionName());
    if (bus->isConnected())
        return true;
    *whyNot = QStringLiteral("no D-Bus session bus (%1)").arg(errorText(bus->lastError()));
    QDBusConnection::disconnectFromBus(bus->name());
    return false;
}

} // namespace

std::unique_ptr<RemoteSession> startMutterSession(QString *whyNot)
{
    QDBusConnection bus(QString{});
    if (!connectBus(&bus, whyNot))
        return nullptr;
    auto session = std::make_unique<MutterSession>(bus);
    if (!session->start(whyNot))
        return nullptr;
    return session;
}

// ---- portal ----

std::optional<std::pair<uint, QVariantMap>> detail::SignalCatcher::waitResponse(const QString &path,
                                                                               int timeoutMs)
{
    std::unique_lock lock(m_mutex);
    const bool arrived = m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        return m_responses.count(path) != 0;
    });
    if (!arrived)
        return std::nullopt;
    auto node = m_responses.extract(path);
    return node.mapped();
}

bool detail::SignalCatcher::closed() const
{
    std::lock_guard lock(m_mutex);
    return m_closed;
}

void detail::SignalCatcher::onResponse(uint code, const QVariantMap &results,
                                       const QDBusMessage &message)
{
    {
        std::lock_guard lock(m_mutex);
        m_responses[message.path()] = {code, results};
    }
    m_changed.notify_all();
}

void detail::SignalCatcher::onClosed()
{
    std::lock_guard lock(m_mutex);
    m_closed = true;
}

namespace {

// A dialog may wait for the user's answer.
constexpr int PortalAnswerTimeoutMs = 120000;

QString tokenFile()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation) +
           QStringLiteral("/remote-desktop-token");
}

class PortalSession final : public RemoteSession {
public:
    explicit PortalSession(QDBusConnection bus) : RemoteSession(std::move(bus), PortalService)
    {
        m_catcher.moveToThread(&m_signalThread);
        m_signalThread.start();
    }

    ~PortalSession() override
    {
        QString ignored;
        settle(&ignored);
        if (m_bus.isConnected() && !m_session.isEmpty())
            m_bus.call(QDBusMessage::createMethodCall(PortalService, m_session,
                                                      QStringLiteral("org.freedesktop.portal.Session"),
                                                      QStringLiteral("Close")),
                       QDBus::Block, 2000);
        m_signalThread.quit();
        m_signalThread.wait();
    }

    QString describe() const override { return QStringLiteral("the remote desktop portal"); }

    bool start(QString *whyNot)
    {
        // The call starts the portal where the bus can activate it.
        QDBusMessage get = QDBusMessage::createMethodCall(
            PortalService, PortalPath, QStringLiteral("org.freedesktop.DBus.Properties"),
            QStringLiteral("Get"));
        get << PortalInterface << QStringLiteral("version");
        const QDBusMessage version = m_bus.call(get, QDBus::Block, CallTimeoutMs);
        if (version.type() != QDBusMessage::ReplyMessage) {
            *whyNot = QStringLiteral("no remote desktop portal (%1)")
                          .arg(version.errorMessage());
            return false;
        }
        const uint portalVersion =
            version.arguments().value(0).value<QDBusVariant>().variant().toUInt();
        m_bus.connect(PortalService, QString(), QStringLiteral("org.freedesktop.portal.Request"),
                      QStringLiteral("Response"), &m_catcher,
                      SLOT(onResponse(uint, QVariantMap, QDBusMessage)));

        QVariantMap created;
        if (!request(QStringLiteral("CreateSession"), {},
                     {{QStringLiteral("session_handle_token"), nextToken()}}, CallTimeoutMs,
                     &created, whyNot))
            return false;
        m_session = created.value(QStringLiteral("session_handle")).toString();
        if (m_session.isEmpty()) {
            *whyNot = QStringLiteral("the remote desktop portal made no session");
            return false;
        }
        m_bus.connect(PortalService, m_session, QStringLiteral("org.freedesktop.portal.Session"),
                      QStringLiteral("Closed"), &m_catcher, SLOT(onClosed()));

        QVariantMap select{{QStringLiteral("types"), 1u}}; // keyboard
        if (portalVersion >= 2) {
            select.insert(QStringLiteral("persist_mode"), 2u); // until the user revokes it
            QFile saved(tokenFile());
            if (saved.open(QIODevice::ReadOnly))
                select.insert(QStringLiteral("restore_token"),
                              QString::fromUtf8(saved.readAll().trimmed()));
        }
        QVariantMap ignored;
        if (!request(QStringLiteral("SelectDevices"), {QVariant::fromValue(QDBusObjectPath(m_session))},
                     select, CallTimeoutMs, &ignored, whyNot))
            return false;
        QVariantMap started;
        if (!request(QStringLiteral("Start"),
                     {QVariant::fromValue(QDBusObjectPath(m_session)), QString()}, {},
                     PortalAnswerTimeoutMs, &started, whyNot))
            return false;
        if (!(started.value(QStringLiteral("devices")).toUInt() & 1u)) {
            *whyNot = QStringLiteral("the desktop granted no keyboard to the remote session");
            return false;
        }
        const QString token = started.value(QStringLiteral("restore_token")).toString();
        if (!token.isEmpty() && QDir().mkpath(QFileInfo(tokenFile()).path())) {
            QFile out(tokenFile());
            if (out.open(QIODevice::WriteOnly | QIODevice::Truncate))
                out.write(token.toUtf8());
        }
        m_owner = m_bus.interface()->serviceOwner(PortalService).value();
        // The backends the portal started for the session.
        const QStringList names = m_bus.interface()->registeredServiceNames().value();
        for (const QString &name : names) {
            if (name.startsWith(QLatin1String("org.freedesktop.impl.portal.desktop.")))
                m_backends.insert(name, m_bus.interface()->serviceOwner(name).value());
        }
        return true;
    }

protected:
    QDBusMessage keyMessage(KeyEvent event) const override
    {
        QDBusMessage m = QDBusMessage::createMethodCall(PortalService, PortalPath, PortalInterface,
                                                        QStringLiteral("NotifyKeyboardKeysym"));
        m << QVariant::fromValue(QDBusObjectPath(m_session)) << QVariantMap()
          << static_cast<int>(event.keysym) << (event.pressed ? 1u : 0u);
        return m;
    }

    bool closedByDesktop() override
    {
        if (m_catcher.closed())
            return true;
        // The portal keeps answering when its backend dies and comes back
        // without the session (seen with the KDE backend): every key is
        // then lost.
        for (auto it = m_backends.cbegin(); it != m_backends.cend(); ++it) {
            const QDBusReply<QString> owner = m_bus.interface()->serviceOwner(it.key());
            if (!owner.isValid() || owner.value() != it.value())
                return true;
        }
        return false;
    }
    // The portal hands calls on to its backend from several threads, which
    // reorders calls in flight: one at a time.
    std::size_t maxPending() const override { return 1; }

public:
    bool answersEarly() const override { return true; }
    // KWin dropped the receiving window at a few hundred characters a
    // second on a loaded machine; a scan is short enough for any speed.
    Pace pace() const override { return {64, 400.0}; }

private:
    static QString nextToken()
    {
        static std::atomic<int> counter{0};
        return QStringLiteral("scnferry%1").arg(counter.fetch_add(1));
    }

    // One portal request: the call, then its Response signal.
    bool request(const QString &method, QList<QVariant> args, QVariantMap options, int timeoutMs,
                 QVariantMap *results, QString *whyNot)
    {
        options.insert(QStringLiteral("handle_token"), nextToken());
        QDBusMessage call =
            QDBusMessage::createMethodCall(PortalService, PortalPath, PortalInterface, method);
        args << options;
        call.setArguments(args);
        const QDBusMessage reply = m_bus.call(call, QDBus::Block, CallTimeoutMs);
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
            *whyNot = QStringLiteral("the remote desktop portal refused %1: %2")
                          .arg(method, reply.errorMessage());
            return false;
        }
        const QString path = reply.arguments().first().value<QDBusObjectPath>().path();
        const auto response = m_catcher.waitResponse(path, timeoutMs);
        if (!response) {
            *whyNot = QStringLiteral("the remote desktop portal did not answer %1").arg(method);
            return false;
        }
        if (response->first != 0) {
            *whyNot = response->first == 1
                          ? QStringLiteral("remote input was not allowed (the dialog was cancelled)")
                          : QStringLiteral("the remote desktop portal failed %1").arg(method);
            return false;
        }
        *results = response->second;
        return true;
    }

    QThread m_signalThread;
    detail::SignalCatcher m_catcher;
    QString m_session;
    QMap<QString, QString> m_backends; // bus name -> unique name at the start
};

} // namespace

std::unique_ptr<RemoteSession> startPortalSession(QString *whyNot)
{
    QDBusConnection bus(QString{});
    if (!connectBus(&bus, whyNot))
        return nullptr;
    auto session = std::make_unique<PortalSession>(bus);
    if (!session->start(whyNot))
        return nullptr;
    return session;
}

} // namespace platform::remote

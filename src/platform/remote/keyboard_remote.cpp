// SPDX-License-Identifier: MIT
#include "platform/remote/keyboard_remote.h"

#include "platform/error.h"
#include "platform/remote/remote_keys.h"
#include "platform/remote/remote_session.h"
#include "platform/remote/seat_keymap.h"

#include <xkbcommon/xkbcommon-keysyms.h>

namespace platform {

namespace {

using namespace remote;

// Through the portal, every so many characters a Wayland round trip: the
// compositor has then read its clients, the portal's own connection among
// them, so a loaded compositor slows typing down instead of letting a
// backlog build up (the KDE portal's connection to KWin dies of a full
// buffer). Mutter answers each key itself, after taking it.
constexpr std::size_t RoundTripEvery = 16;
// How long the seat may take to show a key of a new session.
constexpr int WarmUpTimeoutMs = 2000;

const QString Remedy = QStringLiteral(
    "Switch to a keyboard layout that has them, or use an X11 session, where ScnFerry types any "
    "character.");

struct Connection {
    std::unique_ptr<SeatKeymap> keymap;
    std::unique_ptr<RemoteSession> session;
};

// A new session loses its first keys until the seat has taken the new
// device: Caps Lock is toggled and toggled back, each time until the
// service reports the seat's new state. Without that report (the portal)
// the session is taken as it is.
bool warmUp(RemoteSession &session, QString *whyNot)
{
    if (!session.capsLock())
        return true;
    for (int i = 0; i < 2; ++i) {
        if (!session.toggleCapsLock(WarmUpTimeoutMs)) {
            *whyNot = QStringLiteral("%1 did not take a key within %2 ms")
                          .arg(session.describe())
                          .arg(WarmUpTimeoutMs);
            return false;
        }
    }
    return true;
}

std::optional<Connection> connectRemote(QString *whyNot)
{
    if (qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
        *whyNot = QStringLiteral("not a Wayland session");
        return std::nullopt;
    }
    Connection c;
    QString mutterWhy;
    QString portalWhy;
    c.session = startMutterSession(&mutterWhy);
    if (!c.session)
        c.session = startPortalSession(&portalWhy);
    if (!c.session) {
        *whyNot = mutterWhy == portalWhy
                      ? mutterWhy
                      : QStringLiteral("%1; the portal: %2").arg(mutterWhy, portalWhy);
        return std::nullopt;
    }
    if (!warmUp(*c.session, whyNot))
        return std::nullopt;
    // After the session: a seat without a keyboard (a headless or remote
    // machine) gets one with the session's device.
    c.keymap = SeatKeymap::connect(whyNot);
    if (!c.keymap)
        return std::nullopt;
    return c;
}

class RemoteKeyboard final : public Keyboard {
public:
    explicit RemoteKeyboard(Connection c) : m_c(std::move(c)) {}

    QString name() const override { return QStringLiteral("remote"); }

protected:
    void type(std::span<const KeyStroke> strokes) override
    {
        if (strokes.empty() || stopRequested())
            return;
        ensureConnected();
        const KeyPlan plan = planKeyEvents(strokes, m_c.keymap->layout());
        // The other scans of the burst are typed first, in order; the
        // refused ones are reported after them.
        const auto refuse = [&] {
            if (!plan.missing.isEmpty())
                throw UntypableError(plan.missing, m_c.keymap->layout().name(), Remedy);
        };
        if (plan.events.empty()) {
            refuse();
            return;
        }

        RemoteSession &session = *m_c.session;
        // Keysyms are typed on the level they are found on; with Caps Lock
        // on a letter would change case, so it is off for the burst.
        const bool capsWasOn = session.capsLock().value_or(false);
        if (capsWasOn && !session.toggleCapsLock(WarmUpTimeoutMs))
            fail(QStringLiteral("Caps Lock could not be switched off"));

        const auto start = Clock::now();
        const RemoteSession::Pace pace = session.pace();
        std::size_t taps = 0;
        bool controlDown = false;
        bool stopped = false;
        bool lost = false;
        for (const KeyEvent &e : plan.events) {
            if (e.pressed && e.keysym != XKB_KEY_Control_L) {
                if (!proceed()) {
                    stopped = true;
                    break;
                }
                ++taps;
                if (session.answersEarly() && taps % RoundTripEvery == 0 &&
                    !m_c.keymap->refresh()) {
                    lost = true;
                    break;
                }
                if (taps > pace.unpacedCharacters) {
                    const auto due = start + std::chrono::duration_cast<Clock::duration>(
                                                 std::chrono::duration<double>(
                                                     static_cast<double>(taps - pace.unpacedCharacters) /
                                                     pace.charactersPerSecond));
                    if (Clock::now() < due && !sleepUntil(due)) {
                        stopped = true;
                        break;
                    }
                }
            }
            if (e.keysym == XKB_KEY_Control_L)
                controlDown = e.pressed;
            session.send(e);
        }
        // A stop between keys falls between a release and the next press;
        // only Control can still be down.
        if ((stopped || lost) && controlDown)
            session.send({XKB_KEY_Control_L, false});
        QString why;
        const bool delivered = session.settle(&why);
        if (capsWasOn)
            session.toggleCapsLock(WarmUpTimeoutMs);
        if (!delivered)
            fail(QStringLiteral("%1 refused a key: %2").arg(session.describe(), why));
        // The portal answers for keys its backend never gets: a backend
        // that went away while typing is only seen afterwards.
        if (lost || (session.answersEarly() && !session.alive()))
            fail(QStringLiteral("the session ended while a scan was typed; part of it may be "
                                "missing. Check the last scan; ScnFerry starts a new session "
                                "at the next scan."));
        if (!stopped)
            refuse();
    }

private:
    [[noreturn]] void fail(const QString &why)
    {
        throw RuntimeError(err::KeyboardFailed,
                           QStringLiteral("Keys could not be typed through %1: %2")
                               .arg(m_c.session ? m_c.session->describe()
                                                : QStringLiteral("remote input"),
                                    why));
    }

    // A session lost since the last burst (the compositor restarted, the
    // bus went away) is started again once per burst; when that fails the
    // burst fails and the next one tries again.
    void ensureConnected()
    {
        if (m_c.session && m_c.keymap->poll() && m_c.session->alive())
            return;
        m_c.session.reset();
        QString why;
        std::optional<Connection> fresh = connectRemote(&why);
        if (!fresh) {
            throw RuntimeError(
                err::KeyboardFailed,
                QStringLiteral("The desktop's remote input session ended and could not be started "
                               "again (%1). The scan was not typed; ScnFerry tries again at the "
                               "next scan.")
                    .arg(why));
        }
        m_c = std::move(*fresh);
    }

    Connection m_c;
};

} // namespace

std::unique_ptr<Keyboard> createRemoteKeyboard(QString *whyNot)
{
    std::optional<Connection> c = connectRemote(whyNot);
    if (!c)
        return nullptr;
    return std::make_unique<RemoteKeyboard>(std::move(*c));
}

} // namespace platform

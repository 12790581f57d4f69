// SPDX-License-Identifier: MIT
#include "platform/keyboard.h"

#include "platform/error.h"
#include "platform/remote/keyboard_remote.h"
#include "platform/uinput/keyboard_uinput.h"
#include "platform/wayland/keyboard_wayland.h"
#include "platform/x11/keyboard_x11.h"

#include <QStringList>

#include <cstdio>
#include <span>

namespace platform {

namespace {

void warn(const QString &text)
{
    std::fprintf(stderr, "ScnFerry: %s\n", text.toLocal8Bit().constData());
    std::fflush(stderr);
}

// Stands in when no backend can reach the session's windows: every send
// fails with what is missing and how to fix it, so the first scan says so.
class UnavailableKeyboard final : public Keyboard {
public:
    explicit UnavailableKeyboard(QString reason) : m_reason(std::move(reason)) {}
    QString name() const override { return QStringLiteral("none"); }

protected:
    void type(std::span<const KeyStroke> strokes) override
    {
        if (!strokes.empty())
            throw RuntimeError(err::KeyboardFailed, m_reason);
    }

private:
    QString m_reason;
};

using Factory = std::unique_ptr<Keyboard> (*)(QString *);

struct Backend {
    const char *name;
    Factory create;
    const char *route; // for the start-up line
};

constexpr Backend Backends[] = {
    {"wayland", &createWaylandKeyboard, "the Wayland virtual keyboard"},
    {"remote", &createRemoteKeyboard, "the desktop's remote input"},
    {"x11", &createX11Keyboard, "XTest"},
    {"uinput", &createUinputKeyboard, "uinput"},
};

const char *routeName(const char *name)
{
    for (const Backend &b : Backends)
        if (qstrcmp(b.name, name) == 0)
            return b.route;
    return name;
}

std::unique_ptr<Keyboard> tryBackend(const char *name, QStringList &reasons)
{
    for (const Backend &b : Backends) {
        if (qstrcmp(b.name, name) != 0)
            continue;
        QString why;
        if (auto kb = b.create(&why))
            return kb;
        reasons << QStringLiteral("%1: %2").arg(QLatin1String(name), why);
    }
    return nullptr;
}

// The routes of each kind of session, best first: the first one that works
// is taken. A Wayland session without the virtual keyboard protocol (GNOME,
// KDE) types through the desktop's remote input before uinput, which needs
// a udev rule, and before XTest, which reaches XWayland windows only.
constexpr const char *WaylandRoutes[] = {"wayland", "remote", "uinput", "x11"};
constexpr const char *X11Routes[] = {"x11", "uinput"};
constexpr const char *ConsoleRoutes[] = {"uinput"};

std::span<const char *const> routesOfThisSession()
{
    if (!qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        return WaylandRoutes;
    if (!qEnvironmentVariableIsEmpty("DISPLAY"))
        return X11Routes;
    return ConsoleRoutes;
}

} // namespace

UntypableError::UntypableError(QString characters, QString layout, QString remedy)
    : RuntimeError(err::Untypable,
                   [&] {
                       QStringList named;
                       for (const char32_t c : characters.toUcs4())
                           named << QStringLiteral("\u201c%1\u201d (U+%2)")
                                        .arg(QString::fromUcs4(&c, 1),
                                             QString::number(static_cast<uint>(c), 16)
                                                 .toUpper()
                                                 .rightJustified(4, QLatin1Char('0')));
                       return QStringLiteral("A scan was not typed: the keyboard layout \"%1\" has "
                                             "no key for %2. %3")
                           .arg(layout, named.join(QStringLiteral(", ")), remedy);
                   }()),
      m_characters(std::move(characters)), m_layout(std::move(layout))
{
}

void Keyboard::requestStop()
{
    {
        std::lock_guard lock(m_mutex);
        m_stop.store(true, std::memory_order_release);
    }
    m_wake.notify_all();
}

void Keyboard::setHeld(bool held)
{
    {
        std::lock_guard lock(m_mutex);
        m_held.store(held, std::memory_order_release);
    }
    m_wake.notify_all();
}

bool Keyboard::proceed()
{
    if (!m_held.load(std::memory_order_acquire))
        return !stopRequested();
    std::unique_lock lock(m_mutex);
    m_wake.wait(lock, [this] { return stopRequested() || !m_held.load(std::memory_order_acquire); });
    return !stopRequested();
}

bool Keyboard::sleepUntil(Clock::time_point deadline)
{
    std::unique_lock lock(m_mutex);
    return !m_wake.wait_until(lock, deadline, [this] { return stopRequested(); });
}

void prepareKeyboardThread()
{
    initXlibThreads();
}

std::unique_ptr<Keyboard> createKeyboard()
{
    QStringList reasons;
    const QByteArray forced = qgetenv("SCNFERRY_KEYBOARD");
    if (!forced.isEmpty()) {
        if (auto kb = tryBackend(forced.constData(), reasons))
            return kb;
        if (reasons.isEmpty())
            reasons << QStringLiteral("SCNFERRY_KEYBOARD=%1 is not one of wayland, remote, x11, "
                                      "uinput")
                           .arg(QString::fromLocal8Bit(forced));
    } else {
        for (const char *route : routesOfThisSession()) {
            auto kb = tryBackend(route, reasons);
            if (!kb)
                continue;
            // Said once, and only when a better route was not available: the
            // user learns what is used and what would have been preferred.
            if (qstrcmp(route, "x11") == 0 && !reasons.isEmpty() &&
                !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
                warn(QStringLiteral("typing through XWayland: native Wayland windows will not "
                                    "receive the scans (%1)")
                         .arg(reasons.join(QStringLiteral("; "))));
            else if (!reasons.isEmpty())
                warn(QStringLiteral("typing through %1 (SCNFERRY_KEYBOARD=%2); not through %3")
                         .arg(QLatin1String(routeName(route)), QLatin1String(route),
                              reasons.join(QStringLiteral("; "))));
            return kb;
        }
    }
    const QString reason = QStringLiteral("no way to type the scans: ") +
                           reasons.join(QStringLiteral("; "));
    warn(reason);
    return std::make_unique<UnavailableKeyboard>(reason);
}

} // namespace platform

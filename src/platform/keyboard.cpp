// SPDX-License-Identifier: MIT
#include "platform/keyboard.h"

#include "platform/error.h"
#include "platform/uinput/keyboard_uinput.h"
#include "platform/wayland/keyboard_wayland.h"
#include "platform/x11/keyboard_x11.h"

#include <QStringList>

#include <cstdio>

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
};

constexpr Backend Backends[] = {
    {"wayland", &createWaylandKeyboard},
    {"x11", &createX11Keyboard},
    {"uinput", &createUinputKeyboard},
};

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

} // namespace

std::unique_ptr<Keyboard> createKeyboard()
{
    QStringList reasons;
    const QByteArray forced = qgetenv("SCNFERRY_KEYBOARD");
    if (!forced.isEmpty()) {
        if (auto kb = tryBackend(forced.constData(), reasons))
            return kb;
        if (reasons.isEmpty())
            reasons << QStringLiteral("SCNFERRY_KEYBOARD=%1 is not one of wayland, x11, uinput")
                           .arg(QString::fromLocal8Bit(forced));
    } else if (!qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
        if (auto kb = tryBackend("wayland", reasons))
            return kb;
        if (auto kb = tryBackend("uinput", reasons))
            return kb;
        if (auto kb = tryBackend("x11", reasons)) {
            warn(QStringLiteral("typing through XWayland: native Wayland windows will not "
                                "receive the scans (%1)")
                     .arg(reasons.join(QStringLiteral("; "))));
            return kb;
        }
    } else if (!qEnvironmentVariableIsEmpty("DISPLAY")) {
        if (auto kb = tryBackend("x11", reasons))
            return kb;
        if (auto kb = tryBackend("uinput", reasons))
            return kb;
    } else {
        if (auto kb = tryBackend("uinput", reasons))
            return kb;
    }
    const QString reason = QStringLiteral("no way to type the scans: ") +
                           reasons.join(QStringLiteral("; "));
    warn(reason);
    return std::make_unique<UnavailableKeyboard>(reason);
}

} // namespace platform

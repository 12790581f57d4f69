// SPDX-License-Identifier: MIT
#pragma once

#include "platform/keystrokes.h"

#include <QString>
#include <QStringView>

#include <memory>
#include <span>

namespace platform {

// Types text into whichever window has the keyboard focus.
class Keyboard {
public:
    Keyboard() = default;
    Keyboard(const Keyboard &) = delete;
    Keyboard &operator=(const Keyboard &) = delete;
    virtual ~Keyboard() = default;

    // Types all of text, literally, or throws RuntimeError saying why not.
    virtual void send(QStringView text) { type(m_planner.plan(text)); }

    // Short name of the backend, for messages: "x11", "wayland", "uinput".
    virtual QString name() const = 0;

protected:
    virtual void type(std::span<const KeyStroke> strokes) = 0;

private:
    KeyStrokePlanner m_planner;
};

// Picks the backend that reaches every window of this session, once, at
// start-up: SCNFERRY_KEYBOARD=wayland|x11|uinput forces one. Never returns
// null: when nothing is usable it returns a keyboard whose send() throws an
// error that says what is missing. Warnings go to standard error.
std::unique_ptr<Keyboard> createKeyboard();

} // namespace platform

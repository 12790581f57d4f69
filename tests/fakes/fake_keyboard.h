// SPDX-License-Identifier: MIT
#pragma once

#include "platform/error.h"
#include "platform/keyboard.h"
#include "platform/typist.h"

#include <QString>

#include <functional>
#include <mutex>
#include <optional>
#include <vector>

namespace fakes {

// Records what it was asked to type: every send's text and the keystrokes.
// Typed on the typing thread, read by the test: every access is locked.
class FakeKeyboard : public platform::Keyboard {
public:
    QString name() const override { return QStringLiteral("fake"); }
    void send(QStringView text) override;

    std::vector<QString> sends() const;
    std::vector<platform::KeyStroke> strokes() const;
    QString typed() const;
    // Every later send throws this (or nothing, when empty).
    void failWith(std::optional<platform::RuntimeError> error);
    // Runs inside every later send, on the typing thread, before it records.
    void duringSend(std::function<void(platform::Keyboard &)> hook);

protected:
    void type(std::span<const platform::KeyStroke> s) override;

private:
    mutable std::mutex m_mutex;
    std::vector<QString> m_sends;
    std::vector<platform::KeyStroke> m_strokes;
    std::optional<platform::RuntimeError> m_failWith;
    std::function<void(platform::Keyboard &)> m_duringSend;
};

// The program's typist, on its own thread, typing into a FakeKeyboard the
// test owns. Stands wherever the program takes a Typist.
class FakeTyping {
public:
    FakeTyping();
    ~FakeTyping();
    operator platform::Typist &() { return *m_typist; }
    platform::Typist &typist() { return *m_typist; }

    std::vector<QString> sends() const { return m_keyboard.sends(); }
    std::vector<platform::KeyStroke> strokes() const { return m_keyboard.strokes(); }
    QString typed() const { return m_keyboard.typed(); }
    void failWith(std::optional<platform::RuntimeError> error) { m_keyboard.failWith(std::move(error)); }
    void duringSend(std::function<void(platform::Keyboard &)> hook) { m_keyboard.duringSend(std::move(hook)); }

private:
    FakeKeyboard m_keyboard;
    std::unique_ptr<platform::Typist> m_typist;
};

} // namespace fakes

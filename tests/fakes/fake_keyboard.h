// SPDX-License-Identifier: MIT
#pragma once

#include "platform/error.h"
#include "platform/keyboard.h"

#include <QString>

#include <optional>
#include <vector>

namespace fakes {

// Records what it was asked to type: every send's text and the keystrokes.
class FakeKeyboard : public platform::Keyboard {
public:
    QString name() const override { return QStringLiteral("fake"); }
    void send(QStringView text) override;

    std::vector<QString> sends;                  // one entry per send()
    std::vector<platform::KeyStroke> strokes;    // all keystrokes, in order
    std::optional<platform::RuntimeError> failWith;

    QString typed() const;

protected:
    void type(std::span<const platform::KeyStroke> s) override;
};

} // namespace fakes

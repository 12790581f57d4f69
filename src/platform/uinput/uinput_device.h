// SPDX-License-Identifier: MIT
#pragma once

#include "platform/keyboard.h"
#include "platform/uinput/uinput_events.h"
#include "platform/uinput/uinput_layout.h"

#include <QSocketNotifier>
#include <QString>

#include <memory>
#include <utility>

namespace platform::uinput {

// Owns one file descriptor.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : m_fd(fd) {}
    UniqueFd(UniqueFd &&other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
    UniqueFd &operator=(UniqueFd &&other) noexcept;
    UniqueFd(const UniqueFd &) = delete;
    UniqueFd &operator=(const UniqueFd &) = delete;
    ~UniqueFd();

    int get() const { return m_fd; }
    explicit operator bool() const { return m_fd >= 0; }

private:
    int m_fd = -1;
};

// Opens /dev/uinput and creates the virtual keyboard on it, then waits
// (bounded) until the system has taken note of the new device: readers that
// open it late would miss the first keystrokes. An invalid descriptor with
// the reason, and what to do about it, in *whyNot when that fails.
UniqueFd createUinputDevice(QString *whyNot);

// Types through a uinput device, or in the tests through any descriptor that
// takes the same event records (a pipe, a socket). Readers of the device
// report the Caps Lock light back on it; a burst is typed for the state last
// reported, so that Caps Lock left on does not invert the letters.
class UinputKeyboard final : public Keyboard {
public:
    enum class Target { Device, Stream };

    UinputKeyboard(UniqueFd fd, Target target, LayoutKeys layout, Pacing pacing);
    ~UinputKeyboard() override;

    QString name() const override { return QStringLiteral("uinput"); }
    const LayoutKeys &layout() const { return m_layout; }

protected:
    void type(std::span<const KeyStroke> strokes) override;

private:
    void readLights();

    UniqueFd m_fd;
    Target m_target;
    LayoutKeys m_layout;
    EventWriter m_writer;
    std::unique_ptr<QSocketNotifier> m_lights;
    bool m_capsLock = false;
};

} // namespace platform::uinput

// SPDX-License-Identifier: MIT
#pragma once

#include "platform/remote/remote_keys.h"

#include <QString>

#include <cstdint>
#include <memory>

namespace platform::remote {

// The keyboard layout of the Wayland seat, read as any client reads it: the
// keymap of the seat's wl_keyboard and every later keymap event, and the
// group from its modifiers events (which reach only a focused client, so the
// first group stands until one arrives). A connection of its own, used only
// on the thread that made it.
class SeatKeymap {
public:
    // Connects to WAYLAND_DISPLAY and waits (round trips) for the first
    // keymap. nullptr with the reason in *whyNot.
    static std::unique_ptr<SeatKeymap> connect(QString *whyNot);

    SeatKeymap(const SeatKeymap &) = delete;
    SeatKeymap &operator=(const SeatKeymap &) = delete;
    ~SeatKeymap();

    // Takes every event the compositor sent so far (one round trip). False
    // when the connection is gone: the compositor ended or restarted.
    bool refresh();
    // Takes the events that have arrived, without waiting. False when the
    // connection is gone.
    bool poll();
    // The characters of the current group; empty before a keymap arrived.
    const LayoutKeysyms &layout() const { return m_layout; }

private:
    struct Wayland;
    SeatKeymap();
    void keymapReceived(int fd, std::uint32_t size);
    void groupChanged(std::uint32_t group);

    std::unique_ptr<Wayland> m_wl;
    LayoutKeysyms m_layout;
    std::uint32_t m_group = 0;
};

} // namespace platform::remote

// SPDX-License-Identifier: MIT
#pragma once

#include <chrono>
#include <cstddef>

namespace platform::wayland {

// Keeps the key events we send within what a slow client can absorb.
//
// The compositor forwards every key event to the focused client at once and
// disconnects a client whose socket and buffer fill up (XWayland busy
// compiling a keymap falls behind this way, and every X window with it). We
// cannot see how far the client has read, so we assume it reads at least
// kRate events a second and let at most kBurst events run ahead of that.
// Scanner bursts are far below kBurst and go out at full speed.
class EventPacer {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr double kRate = 4000.0;       // events per second
    static constexpr double kBurst = 2000.0;      // about 50 KiB of key events

    // Accounts for `events` more events at `now`; returns how long to wait
    // before sending them (zero when they may go at once).
    Clock::duration take(std::size_t events, Clock::time_point now);

private:
    double m_tokens = kBurst;
    Clock::time_point m_last{};
    bool m_started = false;
};

} // namespace platform::wayland

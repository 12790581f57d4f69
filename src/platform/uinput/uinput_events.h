// SPDX-License-Identifier: MIT
#pragma once

#include "platform/keystrokes.h"
#include "platform/uinput/uinput_layout.h"

#include <linux/input.h>
#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <span>
#include <vector>

namespace platform::uinput {

// The events of one keystroke: modifiers down, key down, key up, modifiers
// up, each state change closed by SYN_REPORT. Written with one write() so
// that no other writer can split a chord.
using EventGroup = std::vector<input_event>;

// Keystrokes to evdev events under a layout, with Caps Lock off or on.
// Checks every stroke before returning anything: characters the layout
// cannot type throw UntypableError naming each of them, so a burst is typed
// whole or not at all.
std::vector<EventGroup> planEvents(std::span<const KeyStroke> strokes, const LayoutKeys &layout,
                                   bool capsLock = false);

// How fast events may reach the device. The evdev queue of every reader
// (compositor, X server) holds 64 events for a keyboard-only device and the
// surplus is dropped (SYN_DROPPED, keys lost), so the writer keeps at most
// `burstEvents` ahead of a reader that drains `1 / perEvent` events a second.
struct Pacing {
    std::chrono::nanoseconds perEvent{0};
    std::size_t burstEvents = 0;
};

// Half the reader's queue of slack, 10000 events a second sustained: 2500
// plain characters or 1250 shifted ones a second, well above what a serial
// scanner delivers, with a reader that may look away for 3 ms.
inline constexpr Pacing kDevicePacing{std::chrono::microseconds(100), 32};

// The pacing arithmetic on its own, so that it can be checked without a
// clock: how long to wait at `now` before writing `events` more events.
class PaceGate {
public:
    using Clock = std::chrono::steady_clock;
    explicit PaceGate(Pacing pacing) : m_pacing(pacing) {}

    // The wait before the next group; the group is then counted as written.
    std::chrono::nanoseconds admit(Clock::time_point now, std::size_t events);

private:
    Pacing m_pacing;
    Clock::time_point m_drainedAt{}; // when the reader's queue is empty again
};

// Writes event groups to a file descriptor: the uinput device, or a pipe in
// the tests. Waits (bounded) when the descriptor is full, resumes short
// writes, and throws RuntimeError(err::KeyboardFailed) when the events could
// not be delivered, after releasing what it had pressed.
class EventWriter {
public:
    using WriteFn = std::function<ssize_t(int fd, const void *buf, std::size_t count)>;

    EventWriter(int fd, Pacing pacing, std::chrono::milliseconds stallLimit = std::chrono::seconds(1),
                WriteFn writeFn = {});

    // Called before every group with the time it may go at (now, when the
    // reader has room): waits until then and says whether to go on. Without
    // one the writer sleeps by itself.
    using Gate = std::function<bool(PaceGate::Clock::time_point)>;

    // Writes the groups in order, whole; false when the gate stopped it
    // before the last one.
    bool write(std::span<const EventGroup> groups, const Gate &gate = {});

private:
    // Writes all of bytes or returns the errno that stopped it.
    int writeAll(std::span<const std::byte> bytes, std::size_t *written);
    void releaseAfterFailure(const EventGroup &group, std::size_t bytesWritten);

    int m_fd;
    PaceGate m_gate;
    std::chrono::milliseconds m_stallLimit;
    WriteFn m_write;
};

} // namespace platform::uinput

// SPDX-License-Identifier: MIT
#pragma once

#include <QString>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

namespace platform::wayland {

// XWayland as one of its own X clients sees it. XWayland is a Wayland client
// of the compositor like any other: it gets our keymap and our keys on its
// own connection and hands them on to the X windows behind it. What it has
// applied can only be learnt by asking it, as an X client.
class XWaylandView {
public:
    using Clock = std::chrono::steady_clock;
    enum class Outcome {
        Seen,     // XWayland shows it; the X window answered
        NoWindow, // no X window has the keyboard focus
        NoPing,   // the focused X window does not answer pings
        Stopped,  // the caller asked to stop
        TimedOut, // not by the deadline
        Lost,     // the X connection broke (XWayland ended)
    };

    // Connects to the X display named by DISPLAY. Null, with the reason in
    // *whyNot, when there is none or it refuses us.
    static std::unique_ptr<XWaylandView> open(QString *whyNot);
    ~XWaylandView();
    XWaylandView(const XWaylandView &) = delete;
    XWaylandView &operator=(const XWaylandView &) = delete;

    // Waits until XWayland's core keyboard has `keysym` on `keycode`. Woken
    // by XWayland's keymap notifications; asks `stop` at least every 50 ms.
    Outcome waitForKeysym(std::uint32_t keycode, std::uint32_t keysym, Clock::time_point deadline,
                          const std::function<bool()> &stop);

    // One round trip. XWayland handles the input it has read from the
    // compositor before it answers a request, so every key event it had
    // then has gone out to its X windows, ahead of anything later.
    bool sync();

    // Waits until the X window with the keyboard focus has handled every
    // event XWayland sent it so far: it is pinged (_NET_WM_PING, as window
    // managers do to find hung windows) and answers once it has worked
    // through what came before the ping, our keys and the keymap change
    // among them. X clients fetch a new keymap when they handle the change,
    // reading whatever XWayland has then: until they have, the keymap must
    // not change again (the user's keyboard taking the seat does change it).
    Outcome waitForFocusedWindow(Clock::time_point deadline, const std::function<bool()> &stop);

    bool lost() const;

private:
    struct Impl;
    explicit XWaylandView(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> m_impl;
};

} // namespace platform::wayland

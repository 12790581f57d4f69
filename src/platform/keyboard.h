// SPDX-License-Identifier: MIT
#pragma once

#include "platform/keystrokes.h"

#include <QString>
#include <QStringView>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <span>

namespace platform {

// Types text into whichever window has the keyboard focus.
//
// A keyboard is created, used and destroyed on the typing thread, which runs
// an event loop of its own (timers work there). Only requestStop() and
// setHeld() are called from other threads.
class Keyboard {
public:
    using Clock = std::chrono::steady_clock;

    Keyboard() = default;
    Keyboard(const Keyboard &) = delete;
    Keyboard &operator=(const Keyboard &) = delete;
    virtual ~Keyboard() = default;

    // Types all of text, literally, or throws RuntimeError saying why not
    // (UntypableError, before anything is typed, for characters the layout
    // lacks). Returns early, with everything the backend pressed released,
    // once a stop is requested.
    virtual void send(QStringView text)
    {
        // A line end split across bursts is joined by the receive path,
        // which knows when the pieces arrived.
        m_planner.reset();
        type(m_planner.plan(text));
    }

    // Short name of the backend, for messages: "x11", "wayland", "uinput".
    virtual QString name() const = 0;

    // Any thread: the burst being typed stops after the current key and
    // every later send() returns at once. For the program's end.
    void requestStop();
    bool stopRequested() const { return m_stop.load(std::memory_order_acquire); }

    // Any thread: while held, typing pauses between keys (one of the
    // program's own windows has the keyboard focus).
    void setHeld(bool held);

protected:
    virtual void type(std::span<const KeyStroke> strokes) = 0;

    // Backends call this between keys: waits while typing is held and says
    // whether to go on (false once a stop was requested; release what is
    // pressed and return then).
    bool proceed();
    // For waits inside type(): sleeps until the deadline or a stop request;
    // false when a stop was requested.
    bool sleepUntil(Clock::time_point deadline);

    // The planner remembers a CR for the LF of the same line end.
    KeyStrokePlanner &planner() { return m_planner; }

private:
    KeyStrokePlanner m_planner;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_held{false};
    std::mutex m_mutex;
    std::condition_variable m_wake;
};

// Picks the backend that reaches every window of this session, once, at
// start-up: SCNFERRY_KEYBOARD=wayland|remote|x11|uinput forces one. Never returns
// null: when nothing is usable it returns a keyboard whose send() throws an
// error that says what is missing. Warnings go to standard error. Call it
// on the typing thread.
std::unique_ptr<Keyboard> createKeyboard();

// Call first in main, before any connection to a display exists: keyboards
// run on a thread of their own.
void prepareKeyboardThread();

} // namespace platform

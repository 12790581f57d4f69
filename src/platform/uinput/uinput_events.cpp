// SPDX-License-Identifier: MIT
#include "platform/uinput/uinput_events.h"

#include "platform/error.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <thread>

namespace platform::uinput {

namespace {

input_event event(std::uint16_t type, std::uint16_t code, std::int32_t value)
{
    input_event e{};
    e.type = type;
    e.code = code;
    e.value = value;
    return e;
}

std::uint16_t namedKeyCode(NamedKey key)
{
    switch (key) {
    case NamedKey::Return:
        return KEY_ENTER;
    case NamedKey::Tab:
        return KEY_TAB;
    case NamedKey::BackSpace:
        return KEY_BACKSPACE;
    case NamedKey::Escape:
        return KEY_ESC;
    case NamedKey::Delete:
        return KEY_DELETE;
    }
    return KEY_ENTER;
}

// Every character of the burst the layout cannot type, each once, in order;
// nothing is typed then. A Ctrl stroke needs the key of its character.
void refuseUntypable(std::span<const KeyStroke> strokes, const LayoutKeys &layout, bool capsLock)
{
    std::u32string missing;
    bool onlyCapsLock = true;
    for (const KeyStroke &stroke : strokes) {
        if (stroke.kind == KeyStroke::Kind::Named)
            continue;
        const bool caps = capsLock && stroke.kind != KeyStroke::Kind::Ctrl;
        if (layout.find(stroke.ch, caps))
            continue;
        if (missing.find(stroke.ch) == std::u32string::npos)
            missing += stroke.ch;
        onlyCapsLock = onlyCapsLock && caps && layout.find(stroke.ch, false);
    }
    if (missing.empty())
        return;
    throw UntypableError(QString::fromUcs4(missing.data(), static_cast<qsizetype>(missing.size())), layout.name(),
                         onlyCapsLock ? QStringLiteral("Switch Caps Lock off: the layout has keys for them only "
                                                       "while it is off.")
                                      : QStringLiteral("Switch to a keyboard layout that has them, or use an "
                                                       "X11 session."));
}

void appendChord(EventGroup &group, std::span<const std::uint16_t> modifiers, std::uint16_t key)
{
    if (!modifiers.empty()) {
        for (const std::uint16_t m : modifiers)
            group.push_back(event(EV_KEY, m, 1));
        // Modifiers in a frame of their own, so that every reader has
        // applied them before the key arrives.
        group.push_back(event(EV_SYN, SYN_REPORT, 0));
    }
    group.push_back(event(EV_KEY, key, 1));
    group.push_back(event(EV_SYN, SYN_REPORT, 0));
    group.push_back(event(EV_KEY, key, 0));
    group.push_back(event(EV_SYN, SYN_REPORT, 0));
    if (!modifiers.empty()) {
        for (auto it = modifiers.rbegin(); it != modifiers.rend(); ++it)
            group.push_back(event(EV_KEY, *it, 0));
        group.push_back(event(EV_SYN, SYN_REPORT, 0));
    }
}

} // namespace

std::vector<EventGroup> planEvents(std::span<const KeyStroke> strokes, const LayoutKeys &layout, bool capsLock)
{
    refuseUntypable(strokes, layout, capsLock);
    std::vector<EventGroup> groups;
    groups.reserve(strokes.size());
    for (const KeyStroke &stroke : strokes) {
        std::vector<std::uint16_t> modifiers;
        std::uint16_t key = 0;
        if (stroke.kind == KeyStroke::Kind::Named) {
            key = namedKeyCode(stroke.key);
        } else {
            // Control characters keep their key whatever Caps Lock says, as
            // Ctrl+D on a real keyboard does: Shift would make it another
            // shortcut.
            const bool ctrl = stroke.kind == KeyStroke::Kind::Ctrl;
            const KeyChord *chord = layout.find(stroke.ch, capsLock && !ctrl);
            if (ctrl)
                modifiers.push_back(KEY_LEFTCTRL);
            if (chord->shift)
                modifiers.push_back(layout.shiftCode());
            if (chord->altGr)
                modifiers.push_back(layout.altGrCode());
            key = chord->code;
        }
        EventGroup group;
        group.reserve(4 + 2 * (modifiers.size() + 1));
        appendChord(group, modifiers, key);
        groups.push_back(std::move(group));
    }
    return groups;
}

std::chrono::nanoseconds PaceGate::admit(Clock::time_point now, std::size_t events)
{
    using std::chrono::nanoseconds;
    const nanoseconds cost = m_pacing.perEvent * static_cast<long>(events);
    const nanoseconds slack = m_pacing.perEvent * static_cast<long>(m_pacing.burstEvents);
    if (m_drainedAt < now)
        m_drainedAt = now;
    const nanoseconds backlog = m_drainedAt - now;
    // Wait until the group fits into the slack; a group larger than the
    // slack waits only for an empty queue.
    const nanoseconds wait = std::clamp(backlog + cost - slack, nanoseconds(0), backlog);
    m_drainedAt += cost;
    return wait;
}

EventWriter::EventWriter(int fd, Pacing pacing, std::chrono::milliseconds stallLimit, WriteFn writeFn)
    : m_fd(fd), m_gate(pacing), m_stallLimit(stallLimit), m_write(std::move(writeFn))
{
    if (!m_write)
        m_write = [](int f, const void *buf, std::size_t count) { return ::write(f, buf, count); };
}

bool EventWriter::write(std::span<const EventGroup> groups, const Gate &gate)
{
    for (const EventGroup &group : groups) {
        const auto now = PaceGate::Clock::now();
        const auto wait = m_gate.admit(now, group.size());
        if (gate) {
            if (!gate(now + std::chrono::duration_cast<PaceGate::Clock::duration>(wait)))
                return false;
        } else if (wait > std::chrono::nanoseconds(0)) {
            std::this_thread::sleep_for(wait);
        }
        std::size_t written = 0;
        const int error = writeAll(std::as_bytes(std::span(group)), &written);
        if (error == 0)
            continue;
        releaseAfterFailure(group, written);
        if (error == ETIMEDOUT) {
            throw RuntimeError(err::KeyboardFailed,
                               QStringLiteral("the uinput keyboard accepted no keystrokes for %1 ms")
                                   .arg(m_stallLimit.count()));
        }
        throw RuntimeError(err::KeyboardFailed, QStringLiteral("keystrokes could not be written to the uinput keyboard: %1")
                                                    .arg(QString::fromLocal8Bit(std::strerror(error))));
    }
    return true;
}

int EventWriter::writeAll(std::span<const std::byte> bytes, std::size_t *written)
{
    using Clock = std::chrono::steady_clock;
    auto deadline = Clock::now() + m_stallLimit;
    *written = 0;
    while (*written < bytes.size()) {
        const ssize_t n = m_write(m_fd, bytes.data() + *written, bytes.size() - *written);
        if (n > 0) {
            *written += static_cast<std::size_t>(n);
            deadline = Clock::now() + m_stallLimit;
            continue;
        }
        if (n == 0)
            return EIO;
        const int error = errno;
        if (error == EINTR)
            continue;
        if (error != EAGAIN && error != EWOULDBLOCK)
            return error;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left <= std::chrono::milliseconds(0))
            return ETIMEDOUT;
        pollfd pfd{m_fd, POLLOUT, 0};
        const int ready = ::poll(&pfd, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno != EINTR)
            return errno;
        // On timeout the next round finds the deadline passed; on POLLERR
        // the next write() reports the cause.
    }
    return 0;
}

void EventWriter::releaseAfterFailure(const EventGroup &group, std::size_t bytesWritten)
{
    // Keys of this group that went down must come up again, or the user's
    // own typing would carry a stuck Shift or Ctrl.
    const std::size_t complete = bytesWritten / sizeof(input_event);
    std::vector<std::uint16_t> down;
    for (std::size_t i = 0; i < complete; ++i) {
        const input_event &e = group[i];
        if (e.type != EV_KEY)
            continue;
        if (e.value == 1)
            down.push_back(e.code);
        else
            std::erase(down, e.code);
    }
    if (down.empty() || bytesWritten % sizeof(input_event) != 0)
        return;
    EventGroup release;
    for (auto it = down.rbegin(); it != down.rend(); ++it)
        release.push_back(event(EV_KEY, *it, 0));
    release.push_back(event(EV_SYN, SYN_REPORT, 0));
    std::size_t ignored = 0;
    (void)writeAll(std::as_bytes(std::span(release)), &ignored);
}

} // namespace platform::uinput

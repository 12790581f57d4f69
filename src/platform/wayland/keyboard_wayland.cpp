// SPDX-License-Identifier: MIT
#include "platform/wayland/keyboard_wayland.h"

#include "platform/error.h"
#include "platform/wayland/event_pacer.h"
#include "platform/wayland/wayland_keymap.h"
#include "platform/wayland/xwayland_view.h"

#include "virtual-keyboard-unstable-v1-client-protocol.h"

#include <wayland-client.h>

#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

namespace platform {

namespace {

using wayland::WaylandKeymap;
using Clock = WaylandKeymap::Clock;

// libwayland keeps requests in a 4 KiB buffer and drops the connection when
// one no longer fits, so flush long before that: a Ctrl stroke costs about
// 130 bytes, a plain character 40.
constexpr std::size_t kFlushChars = 50;
constexpr std::size_t kFlushBytes = 2048;
constexpr std::size_t kKeyRequestBytes = 8 + 3 * 4;
constexpr std::size_t kModifiersRequestBytes = 8 + 4 * 4;
// XWayland compiles every keymap with xkbcomp before it applies it; a machine
// under load takes a while, one that needs longer has a problem to report.
constexpr std::chrono::seconds kXWaylandKeymapTimeout{10};
// An X window that does not answer a ping within this is hung: what it reads
// is beyond our help, and typing goes on. Under heavy load a window with a
// few hundred new characters to draw took more than 5 s, and read keys
// reassigned meanwhile wrongly.
constexpr std::chrono::seconds kXWindowTimeout{30};
// Time an X window that takes no pings is given to fetch a new keymap before
// the keymap may change again. It cannot be confirmed; 200 ms was enough for
// every window we measured on an idle machine (see docs/ARCHITECTURE.md).
constexpr std::chrono::milliseconds kXWindowMargin{200};
// A compositor that takes nothing for this long is not coming back.
constexpr std::chrono::milliseconds kStallTimeout{5000};
// Waits look at a stop request at least this often.
constexpr std::chrono::milliseconds kStopSlice{50};

template <typename T, void (*Destroy)(T *)>
struct Deleter {
    void operator()(T *p) const
    {
        if (p)
            Destroy(p);
    }
};

void destroySeat(wl_seat *seat) { wl_seat_destroy(seat); }
void destroyRegistry(wl_registry *registry) { wl_registry_destroy(registry); }
void destroyManager(zwp_virtual_keyboard_manager_v1 *m) { zwp_virtual_keyboard_manager_v1_destroy(m); }
void destroyVirtualKeyboard(zwp_virtual_keyboard_v1 *k) { zwp_virtual_keyboard_v1_destroy(k); }
void destroySeatKeyboard(wl_keyboard *k) { wl_keyboard_destroy(k); }

using DisplayPtr = std::unique_ptr<wl_display, Deleter<wl_display, wl_display_disconnect>>;
using RegistryPtr = std::unique_ptr<wl_registry, Deleter<wl_registry, destroyRegistry>>;
using SeatPtr = std::unique_ptr<wl_seat, Deleter<wl_seat, destroySeat>>;
using ManagerPtr = std::unique_ptr<zwp_virtual_keyboard_manager_v1, Deleter<zwp_virtual_keyboard_manager_v1, destroyManager>>;
using VirtualKeyboardPtr = std::unique_ptr<zwp_virtual_keyboard_v1, Deleter<zwp_virtual_keyboard_v1, destroyVirtualKeyboard>>;
using SeatKeyboardPtr = std::unique_ptr<wl_keyboard, Deleter<wl_keyboard, destroySeatKeyboard>>;

class UniqueFd {
public:
    explicit UniqueFd(int fd) : m_fd(fd) {}
    UniqueFd(const UniqueFd &) = delete;
    UniqueFd &operator=(const UniqueFd &) = delete;
    ~UniqueFd()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    int get() const { return m_fd; }

private:
    int m_fd;
};

struct Globals {
    SeatPtr seat;
    ManagerPtr manager;
};

void onGlobal(void *data, wl_registry *registry, std::uint32_t name, const char *interface, std::uint32_t)
{
    auto *globals = static_cast<Globals *>(data);
    if (!globals)
        return;
    // The first seat: a session with several seats is rare, and the user's
    // keyboard is on the first one.
    if (!globals->seat && std::strcmp(interface, wl_seat_interface.name) == 0) {
        globals->seat.reset(static_cast<wl_seat *>(wl_registry_bind(registry, name, &wl_seat_interface, 1)));
    } else if (!globals->manager && std::strcmp(interface, zwp_virtual_keyboard_manager_v1_interface.name) == 0) {
        globals->manager.reset(static_cast<zwp_virtual_keyboard_manager_v1 *>(
            wl_registry_bind(registry, name, &zwp_virtual_keyboard_manager_v1_interface, 1)));
    }
}

void onGlobalRemove(void *, wl_registry *, std::uint32_t) {}

const wl_registry_listener kRegistryListener{onGlobal, onGlobalRemove};

QString describeDisplayError(wl_display *display)
{
    const int error = wl_display_get_error(display);
    if (error == EPROTO) {
        const wl_interface *interface = nullptr;
        std::uint32_t id = 0;
        const std::uint32_t code = wl_display_get_protocol_error(display, &interface, &id);
        return QStringLiteral("the Wayland compositor rejected the virtual keyboard (protocol error %1 on %2)")
            .arg(code)
            .arg(QString::fromLatin1(interface ? interface->name : "an unknown object"));
    }
    return QStringLiteral("the connection to the Wayland compositor was lost (%1)")
        .arg(QString::fromLocal8Bit(std::strerror(error ? error : EPIPE)));
}

class WaylandKeyboard final : public Keyboard {
public:
    WaylandKeyboard(DisplayPtr display, RegistryPtr registry, Globals globals,
                    std::unique_ptr<wayland::XWaylandView> xwayland)
        : m_display(std::move(display)), m_registry(std::move(registry)), m_seat(std::move(globals.seat)),
          m_manager(std::move(globals.manager)), m_xwayland(std::move(xwayland))
    {
    }

    // Creates the virtual keyboard and gives it the base keymap. The
    // keyboard lives as long as this object: the compositor and its clients
    // only take keys reliably from a keyboard they have already seen.
    void start()
    {
        m_keyboard.reset(zwp_virtual_keyboard_manager_v1_create_virtual_keyboard(m_manager.get(), m_seat.get()));
        if (!m_keyboard)
            fail();
        // Scans are mostly printable ASCII: with those keys in the first
        // keymap, typing them needs no further upload.
        std::u32string ascii;
        for (char32_t c = 0x20; c < 0x7F; ++c)
            ascii += c;
        m_keymap.preload(ascii);
        uploadKeymap();
        roundtrip();
        // The seat's own keyboard tells us, through its keymap, whenever
        // another keyboard (the user's) has become the seat's keyboard.
        m_seatKeyboard.reset(wl_seat_get_keyboard(m_seat.get()));
        if (!m_seatKeyboard || wl_keyboard_add_listener(m_seatKeyboard.get(), &kSeatKeyboardListener, this) < 0)
            fail();
        roundtrip();
    }

    QString name() const override { return QStringLiteral("wayland"); }

protected:
    void type(std::span<const KeyStroke> strokes) override
    {
        if (strokes.empty())
            return;
        if (wl_display_get_error(m_display.get()) != 0)
            fail();

        // More distinct characters than keys: type what fits, let it land,
        // wait until keys may be reused, go on with the rest. The order of
        // the strokes never changes.
        std::size_t done = 0;
        while (done < strokes.size()) {
            if (!proceed())
                return;
            bool changed = false;
            const std::size_t count = m_keymap.admit(strokes.subspan(done), Clock::now(), &changed);
            // Stays set until an upload is confirmed: keys must never be
            // typed against a keymap a receiver does not have.
            m_keymapPending = m_keymapPending || changed;
            // Brings in the seat's keymap events: is the seat still ours?
            roundtrip();
            const bool switching = m_keymapPending || !m_seatOnOurs;
            if (switching && !switchKeymap())
                return;
            const auto part = strokes.subspan(done, count);
            // Stopped: return at once, without a round trip that a busy
            // compositor could hold up.
            if (!typeStrokes(part))
                return;
            // The grace period of a key counts from the moment the
            // compositor has its events, not from when it was planned.
            roundtrip();
            m_keymap.markUsed(part, Clock::now());
            // Before this returns or a key changes its character, XWayland
            // must have handed every key on: a keymap it applies later
            // (ours, or the user's keyboard taking the seat) would otherwise
            // overtake keys still in its input queue.
            syncXWayland();
            if (switching && !waitForXWindow())
                return;
            done += count;
            if (done < strokes.size() && !sleepUntil(m_keymap.nextRecycle().value_or(Clock::now())))
                return;
        }
    }

private:
    // Uploads the keymap with a new marker and, when another keyboard (the
    // user's) has the seat, takes it back with a key that types nothing: the
    // compositor then sends every client our keymap. Returns once the
    // receivers have it; false when a stop came first.
    //
    // Native Wayland clients get the keymap on the same connection as the
    // keys that follow it, so the compositor having it (a round trip) is
    // enough for them. XWayland applies it as it reads it, and its X windows
    // are told before any later key, so for them it is enough that XWayland
    // shows the new marker. A keymap XWayland fails to apply ends in an
    // error, never in wrong keys.
    bool switchKeymap()
    {
        m_keymap.nextGeneration();
        uploadKeymap();
        if (!m_seatOnOurs)
            tap(WaylandKeymap::silentKeycode());
        if (!flush())
            return false;
        roundtrip();
        // Compositors that do not report the switch get it every burst.
        m_seatOnOurs = true;
        if (!m_xwayland)
            return true;
        switch (m_xwayland->waitForKeysym(WaylandKeymap::markerKeycode(), m_keymap.markerKeysym(),
                                          Clock::now() + kXWaylandKeymapTimeout,
                                          [this] { return stopRequested(); })) {
        case wayland::XWaylandView::Outcome::Seen:
        case wayland::XWaylandView::Outcome::NoWindow: // not asked for
        case wayland::XWaylandView::Outcome::NoPing:
            return true;
        case wayland::XWaylandView::Outcome::Stopped:
            return false;
        case wayland::XWaylandView::Outcome::Lost:
            // XWayland has ended: no X window is left to type into.
            m_xwayland.reset();
            return true;
        case wayland::XWaylandView::Outcome::TimedOut:
            break;
        }
        throw RuntimeError(err::KeyboardFailed,
                           QStringLiteral("Keystrokes could not be typed: XWayland did not apply the keyboard map "
                                          "within %1 seconds, so its windows would have read wrong keys.")
                               .arg(kXWaylandKeymapTimeout.count()));
    }

    void syncXWayland()
    {
        if (m_xwayland && !m_xwayland->sync())
            m_xwayland.reset();
    }

    // After a keymap change: the focused X window has read the keys typed
    // with it, and so fetched the keymap, before anything may change it
    // again. False when a stop came first.
    bool waitForXWindow()
    {
        if (!m_xwayland)
            return true;
        const auto outcome = m_xwayland->waitForFocusedWindow(Clock::now() + kXWindowTimeout,
                                                              [this] { return stopRequested(); });
        switch (outcome) {
        case wayland::XWaylandView::Outcome::Seen:
        case wayland::XWaylandView::Outcome::NoWindow:
            return true;
        case wayland::XWaylandView::Outcome::TimedOut:
            std::fprintf(stderr, "ScnFerry: the focused X window answers no ping for %lld s; typing goes on\n",
                         static_cast<long long>(kXWindowTimeout.count()));
            return true;
        case wayland::XWaylandView::Outcome::NoPing:
            return sleepUntil(Clock::now() + kXWindowMargin);
        case wayland::XWaylandView::Outcome::Lost:
            m_xwayland.reset();
            return true;
        case wayland::XWaylandView::Outcome::Stopped:
            break;
        }
        return false;
    }

    static void onSeatKeymap(void *data, wl_keyboard *, std::uint32_t, std::int32_t fd, std::uint32_t size)
    {
        auto *self = static_cast<WaylandKeyboard *>(data);
        const UniqueFd owned(fd);
        void *map = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
        if (map == MAP_FAILED) {
            self->m_seatOnOurs = false;
            return;
        }
        self->m_seatOnOurs = WaylandKeymap::isOwnKeymap(std::string_view(static_cast<const char *>(map), size));
        ::munmap(map, size);
    }
    static void onSeatEnter(void *, wl_keyboard *, std::uint32_t, wl_surface *, wl_array *) {}
    static void onSeatLeave(void *, wl_keyboard *, std::uint32_t, wl_surface *) {}
    static void onSeatKey(void *, wl_keyboard *, std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t) {}
    static void onSeatModifiers(void *, wl_keyboard *, std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t,
                                std::uint32_t)
    {
    }
    static void onSeatRepeatInfo(void *, wl_keyboard *, std::int32_t, std::int32_t) {}
    static constexpr wl_keyboard_listener kSeatKeyboardListener{onSeatKeymap, onSeatEnter,     onSeatLeave,
                                                                onSeatKey,    onSeatModifiers, onSeatRepeatInfo};

    [[noreturn]] void fail() const
    {
        throw RuntimeError(err::KeyboardFailed,
                           QStringLiteral("Keystrokes could not be typed: %1.").arg(describeDisplayError(m_display.get())));
    }

    void uploadKeymap()
    {
        const std::string text = m_keymap.text();
        const std::size_t size = text.size() + 1; // the reader expects the NUL
        UniqueFd fd(memfd_create("scnferry-keymap", MFD_CLOEXEC));
        if (fd.get() < 0)
            throw RuntimeError(err::KeyboardFailed,
                               QStringLiteral("Keystrokes could not be typed: no memory for the keymap (%1).")
                                   .arg(QString::fromLocal8Bit(std::strerror(errno))));
        std::size_t written = 0;
        while (written < size) {
            const ssize_t n = ::write(fd.get(), text.c_str() + written, size - written);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                throw RuntimeError(err::KeyboardFailed,
                                   QStringLiteral("Keystrokes could not be typed: the keymap could not be written (%1).")
                                       .arg(QString::fromLocal8Bit(std::strerror(n < 0 ? errno : ENOSPC))));
            written += static_cast<std::size_t>(n);
        }
        // libwayland duplicates the descriptor when it queues the request.
        zwp_virtual_keyboard_v1_keymap(m_keyboard.get(), WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1, fd.get(),
                                       static_cast<std::uint32_t>(size));
        // A new keymap leaves the modifier state undefined until it is set.
        modifiers(0);
        m_keymapPending = false;
    }

    std::uint32_t nextTime()
    {
        const auto now = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch());
        const auto ms = static_cast<std::uint32_t>(now.count());
        // Strictly rising, even for many keys within one millisecond.
        m_time = std::max(ms, m_time + 1);
        return m_time;
    }

    void key(std::uint32_t keycode, bool pressed)
    {
        zwp_virtual_keyboard_v1_key(m_keyboard.get(), nextTime(), keycode - 8,
                                    pressed ? WL_KEYBOARD_KEY_STATE_PRESSED : WL_KEYBOARD_KEY_STATE_RELEASED);
        m_pendingBytes += kKeyRequestBytes;
    }

    void tap(std::uint32_t keycode)
    {
        key(keycode, true);
        key(keycode, false);
    }

    void modifiers(std::uint32_t depressed)
    {
        zwp_virtual_keyboard_v1_modifiers(m_keyboard.get(), depressed, 0, 0, 0);
        m_pendingBytes += kModifiersRequestBytes;
    }

    // Types the strokes in order; false when a stop came first. Every
    // stroke goes out whole (press and release, Control around the key),
    // so stopping between strokes leaves nothing pressed.
    bool typeStrokes(std::span<const KeyStroke> strokes)
    {
        std::size_t sinceFlush = 0;
        for (const KeyStroke &stroke : strokes) {
            if (!proceed()) {
                flush();
                return false;
            }
            const std::size_t events = stroke.kind == KeyStroke::Kind::Ctrl ? 6 : 2;
            const auto wait = m_pacer.take(events, Clock::now());
            if (wait > Clock::duration::zero()) {
                sinceFlush = 0;
                if (!flush() || !sleepUntil(Clock::now() + wait))
                    return false;
            }
            switch (stroke.kind) {
            case KeyStroke::Kind::Named:
                tap(WaylandKeymap::namedKeycode(stroke.key));
                break;
            case KeyStroke::Kind::Char:
                tap(*m_keymap.keycodeFor(stroke.ch));
                break;
            case KeyStroke::Kind::Ctrl:
                // Compositors take the modifier state from the modifiers
                // request, not from the key; the key is for clients that
                // watch it.
                key(WaylandKeymap::controlKeycode(), true);
                modifiers(WaylandKeymap::kControlMask);
                tap(*m_keymap.keycodeFor(stroke.ch));
                key(WaylandKeymap::controlKeycode(), false);
                modifiers(0);
                break;
            }
            if (++sinceFlush >= kFlushChars || m_pendingBytes >= kFlushBytes) {
                if (!flush())
                    return false;
                sinceFlush = 0;
            }
        }
        return flush();
    }

    // Reads and dispatches whatever the compositor sent, without blocking.
    void readEvents()
    {
        wl_display *display = m_display.get();
        while (wl_display_prepare_read(display) != 0) {
            if (wl_display_dispatch_pending(display) < 0)
                fail();
        }
        if (wl_display_read_events(display) < 0 || wl_display_dispatch_pending(display) < 0)
            fail();
    }

    // Sends everything queued. When the socket is full, waits until the
    // compositor has read some: queueing more would overflow libwayland's
    // buffer, which ends the connection. False when a stop came first; what
    // is still queued then goes nowhere (whole strokes only: the compositor
    // releases any key of ours when the keyboard goes).
    bool flush()
    {
        wl_display *display = m_display.get();
        auto stall = Clock::now() + kStallTimeout;
        for (;;) {
            if (wl_display_flush(display) >= 0) {
                m_pendingBytes = 0;
                return true;
            }
            if (errno != EAGAIN)
                fail();
            if (stopRequested())
                return false;
            if (Clock::now() >= stall)
                throw RuntimeError(err::KeyboardFailed,
                                   QStringLiteral("Keystrokes could not be typed: the Wayland compositor stopped taking them."));
            pollfd pfd{wl_display_get_fd(display), POLLOUT | POLLIN, 0};
            const int ready = ::poll(&pfd, 1, static_cast<int>(kStopSlice.count()));
            if (ready < 0 && errno == EINTR)
                continue;
            if (ready < 0 || (pfd.revents & (POLLERR | POLLHUP | POLLNVAL)))
                fail();
            if (pfd.revents & POLLOUT)
                stall = Clock::now() + kStallTimeout;
            if (pfd.revents & POLLIN)
                readEvents();
        }
    }

    void roundtrip()
    {
        if (wl_display_roundtrip(m_display.get()) < 0)
            fail();
        m_pendingBytes = 0;
    }

    // Declared in the order of creation: destroyed in reverse.
    DisplayPtr m_display;
    RegistryPtr m_registry;
    SeatPtr m_seat;
    ManagerPtr m_manager;
    VirtualKeyboardPtr m_keyboard;
    SeatKeyboardPtr m_seatKeyboard;
    std::unique_ptr<wayland::XWaylandView> m_xwayland; // null without XWayland
    WaylandKeymap m_keymap;
    wayland::EventPacer m_pacer;
    bool m_keymapPending = false;
    bool m_seatOnOurs = false;
    std::uint32_t m_time = 0;
    std::size_t m_pendingBytes = 0;
};

} // namespace

std::unique_ptr<Keyboard> createWaylandKeyboard(QString *whyNot)
{
    const auto refuse = [whyNot](const QString &reason) -> std::unique_ptr<Keyboard> {
        if (whyNot)
            *whyNot = reason;
        return nullptr;
    };

    if (qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        return refuse(QStringLiteral("WAYLAND_DISPLAY is not set: this is not a Wayland session"));

    DisplayPtr display(wl_display_connect(nullptr));
    if (!display)
        return refuse(QStringLiteral("cannot connect to the Wayland display %1 (%2)")
                          .arg(qEnvironmentVariable("WAYLAND_DISPLAY"), QString::fromLocal8Bit(std::strerror(errno))));

    Globals globals;
    RegistryPtr registry(wl_display_get_registry(display.get()));
    if (!registry || wl_registry_add_listener(registry.get(), &kRegistryListener, &globals) < 0)
        return refuse(describeDisplayError(display.get()));
    if (wl_display_roundtrip(display.get()) < 0)
        return refuse(describeDisplayError(display.get()));
    // The listener has done its work; later globals are of no interest.
    wl_proxy_set_user_data(reinterpret_cast<wl_proxy *>(registry.get()), nullptr);
    if (!globals.manager)
        return refuse(QStringLiteral("the Wayland compositor offers no virtual keyboard (zwp_virtual_keyboard_v1); "
                                     "GNOME and KDE do not, wlroots compositors such as sway do"));
    if (!globals.seat)
        return refuse(QStringLiteral("the Wayland compositor has no seat to type on"));

    // X windows behind XWayland read our keys too; what XWayland applied is
    // learnt from XWayland itself.
    std::unique_ptr<wayland::XWaylandView> xwayland;
    if (!qEnvironmentVariableIsEmpty("DISPLAY")) {
        QString why;
        xwayland = wayland::XWaylandView::open(&why);
        if (!xwayland)
            std::fprintf(stderr,
                         "ScnFerry: %s: typing into X windows right after a keyboard map change "
                         "cannot be confirmed\n",
                         why.toLocal8Bit().constData());
    }
    auto keyboard = std::make_unique<WaylandKeyboard>(std::move(display), std::move(registry), std::move(globals),
                                                      std::move(xwayland));
    try {
        keyboard->start();
    } catch (const RuntimeError &e) {
        return refuse(e.description());
    }
    return keyboard;
}

} // namespace platform

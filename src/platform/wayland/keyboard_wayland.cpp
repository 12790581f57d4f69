// SPDX-License-Identifier: MIT
#include "platform/wayland/keyboard_wayland.h"

#include "platform/error.h"
#include "platform/wayland/event_pacer.h"
#include "platform/wayland/wayland_keymap.h"

#include "virtual-keyboard-unstable-v1-client-protocol.h"

#include <wayland-client.h>

#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
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
// XWayland compiles every new keymap with xkbcomp and its X clients fetch it
// when told; keys typed before that are read with the old keymap. Paid only
// when a burst brings characters the keymap did not have, or when another
// keyboard had the seat since the last burst.
constexpr std::chrono::milliseconds kKeymapSettle{200};
// A compositor that takes nothing for this long is not coming back.
constexpr int kStallTimeoutMs = 5000;

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
    WaylandKeyboard(DisplayPtr display, RegistryPtr registry, Globals globals)
        : m_display(std::move(display)), m_registry(std::move(registry)), m_seat(std::move(globals.seat)),
          m_manager(std::move(globals.manager))
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
        // keymap, typing them never waits for an upload to settle.
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
            bool changed = false;
            const std::size_t count = m_keymap.admit(strokes.subspan(done), Clock::now(), &changed);
            // Stays set until an upload succeeds: keys must never be typed
            // against a keymap the compositor does not have.
            m_keymapPending = m_keymapPending || changed;
            bool settle = false;
            if (m_keymapPending) {
                uploadKeymap();
                settle = true;
            }
            // Brings in the seat's keymap events: is the seat still ours?
            roundtrip();
            if (!m_seatOnOurs) {
                takeSeat();
                settle = true;
            }
            if (settle)
                waitUntil(Clock::now() + kKeymapSettle);
            const auto part = strokes.subspan(done, count);
            typeStrokes(part);
            done += count;
            // The grace period of a key counts from the moment the
            // compositor has its events, not from when it was planned.
            roundtrip();
            m_keymap.markUsed(part, Clock::now());
            if (done < strokes.size())
                waitUntil(m_keymap.nextRecycle().value_or(Clock::now()));
        }
    }

private:
    // When the seat changes keyboards the compositor sends every client the
    // new keyboard's keymap; clients behind XWayland read keys that follow
    // too soon with the previous keyboard's keymap. So the seat is switched
    // over with a key that types nothing, and the keymap left to settle.
    void takeSeat()
    {
        tap(WaylandKeymap::silentKeycode());
        flush();
        roundtrip();
        // Compositors that do not report the switch get it every burst.
        m_seatOnOurs = true;
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
        flush();
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

    void typeStrokes(std::span<const KeyStroke> strokes)
    {
        std::size_t sinceFlush = 0;
        for (const KeyStroke &stroke : strokes) {
            const std::size_t events = stroke.kind == KeyStroke::Kind::Ctrl ? 6 : 2;
            const auto wait = m_pacer.take(events, Clock::now());
            if (wait > Clock::duration::zero()) {
                flush();
                sinceFlush = 0;
                waitUntil(Clock::now() + wait);
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
                flush();
                sinceFlush = 0;
            }
        }
        flush();
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
    // buffer, which ends the connection.
    void flush()
    {
        wl_display *display = m_display.get();
        for (;;) {
            if (wl_display_flush(display) >= 0) {
                m_pendingBytes = 0;
                return;
            }
            if (errno != EAGAIN)
                fail();
            pollfd pfd{wl_display_get_fd(display), POLLOUT | POLLIN, 0};
            const int ready = ::poll(&pfd, 1, kStallTimeoutMs);
            if (ready < 0 && errno == EINTR)
                continue;
            if (ready == 0)
                throw RuntimeError(err::KeyboardFailed,
                                   QStringLiteral("Keystrokes could not be typed: the Wayland compositor stopped taking them."));
            if (ready < 0 || (pfd.revents & (POLLERR | POLLHUP | POLLNVAL)))
                fail();
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

    // Lets time pass while still serving the connection.
    void waitUntil(Clock::time_point deadline)
    {
        wl_display *display = m_display.get();
        for (auto now = Clock::now(); now < deadline; now = Clock::now()) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now);
            pollfd pfd{wl_display_get_fd(display), POLLIN, 0};
            const int ready = ::poll(&pfd, 1, static_cast<int>(left.count()));
            if (ready < 0 && errno == EINTR)
                continue;
            if (ready < 0 || (pfd.revents & (POLLERR | POLLHUP | POLLNVAL)))
                fail();
            if (ready > 0)
                readEvents();
        }
    }

    // Declared in the order of creation: destroyed in reverse.
    DisplayPtr m_display;
    RegistryPtr m_registry;
    SeatPtr m_seat;
    ManagerPtr m_manager;
    VirtualKeyboardPtr m_keyboard;
    SeatKeyboardPtr m_seatKeyboard;
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

    auto keyboard = std::make_unique<WaylandKeyboard>(std::move(display), std::move(registry), std::move(globals));
    try {
        keyboard->start();
    } catch (const RuntimeError &e) {
        return refuse(e.description());
    }
    return keyboard;
}

} // namespace platform

// SPDX-License-Identifier: MIT
#include "platform/remote/seat_keymap.h"

#include <wayland-client.h>
#include <xkbcommon/xkbcommon.h>

#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>

namespace platform::remote {

namespace {

template <typename T, void (*Free)(T *)>
struct Deleter {
    void operator()(T *p) const { if (p) Free(p); }
};
template <typename T, void (*Free)(T *)>
using Owned = std::unique_ptr<T, Deleter<T, Free>>;

void releaseKeyboard(wl_keyboard *k)
{
    if (wl_keyboard_get_version(k) >= WL_KEYBOARD_RELEASE_SINCE_VERSION)
        wl_keyboard_release(k);
    else
        wl_keyboard_destroy(k);
}

void releaseSeat(wl_seat *s)
{
    if (wl_seat_get_version(s) >= WL_SEAT_RELEASE_SINCE_VERSION)
        wl_seat_release(s);
    else
        wl_seat_destroy(s);
}

// Closes a descriptor handed over by the compositor on every path.
struct Fd {
    int fd;
    ~Fd() { ::close(fd); }
};

} // namespace

// Destroyed in reverse order: proxies before the display.
struct SeatKeymap::Wayland {
    Owned<wl_display, wl_display_disconnect> display;
    Owned<wl_registry, wl_registry_destroy> registry;
    Owned<wl_seat, releaseSeat> seat;
    Owned<wl_keyboard, releaseKeyboard> keyboard;
    Owned<xkb_context, xkb_context_unref> xkb;
    Owned<xkb_keymap, xkb_keymap_unref> keymap;
    bool keymapSeen = false;
};

SeatKeymap::SeatKeymap() : m_wl(std::make_unique<Wayland>()) {}
SeatKeymap::~SeatKeymap() = default;

std::unique_ptr<SeatKeymap> SeatKeymap::connect(QString *whyNot)
{
    std::unique_ptr<SeatKeymap> self(new SeatKeymap);
    Wayland &wl = *self->m_wl;
    wl.display.reset(wl_display_connect(nullptr));
    if (!wl.display) {
        *whyNot = QStringLiteral("cannot connect to the Wayland display: %1")
                      .arg(QString::fromLocal8Bit(std::strerror(errno)));
        return nullptr;
    }
    wl.xkb.reset(xkb_context_new(XKB_CONTEXT_NO_FLAGS));
    if (!wl.xkb) {
        *whyNot = QStringLiteral("xkbcommon has no context");
        return nullptr;
    }
    static const wl_registry_listener registryListener{
        [](void *data, wl_registry *registry, std::uint32_t id, const char *interface,
           std::uint32_t version) {
            auto *s = static_cast<SeatKeymap *>(data);
            // The first seat is the one keys go to.
            if (std::strcmp(interface, wl_seat_interface.name) == 0 && !s->m_wl->seat)
                s->m_wl->seat.reset(static_cast<wl_seat *>(wl_registry_bind(
                    registry, id, &wl_seat_interface, version < 5 ? version : 5)));
        },
        [](void *, wl_registry *, std::uint32_t) {},
    };
    wl.registry.reset(wl_display_get_registry(wl.display.get()));
    wl_registry_add_listener(wl.registry.get(), &registryListener, self.get());
    if (wl_display_roundtrip(wl.display.get()) < 0 || !wl.seat) {
        *whyNot = QStringLiteral("the Wayland compositor offers no seat");
        return nullptr;
    }

    static const wl_seat_listener seatListener{
        [](void *data, wl_seat *seat, std::uint32_t caps) {
            auto *s = static_cast<SeatKeymap *>(data);
            if ((caps & WL_SEAT_CAPABILITY_KEYBOARD) && !s->m_wl->keyboard) {
                static const wl_keyboard_listener keyboardListener{
                    [](void *d, wl_keyboard *, std::uint32_t format, int fd, std::uint32_t size) {
                        Fd owned{fd};
                        if (format == WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1)
                            static_cast<SeatKeymap *>(d)->keymapReceived(owned.fd, size);
                    },
                    [](void *, wl_keyboard *, std::uint32_t, wl_surface *, wl_array *) {},
                    [](void *, wl_keyboard *, std::uint32_t, wl_surface *) {},
                    [](void *, wl_keyboard *, std::uint32_t, std::uint32_t, std::uint32_t,
                       std::uint32_t) {},
                    [](void *d, wl_keyboard *, std::uint32_t, std::uint32_t, std::uint32_t,
                       std::uint32_t, std::uint32_t group) {
                        static_cast<SeatKeymap *>(d)->groupChanged(group);
                    },
                    [](void *, wl_keyboard *, std::int32_t, std::int32_t) {},
                };
                s->m_wl->keyboard.reset(wl_seat_get_keyboard(seat));
                wl_keyboard_add_listener(s->m_wl->keyboard.get(), &keyboardListener, s);
            }
        },
        [](void *, wl_seat *, const char *) {},
    };
    wl_seat_add_listener(wl.seat.get(), &seatListener, self.get());
    // Capabilities, then the keymap of the keyboard they made us ask for.
    for (int i = 0; i < 3 && !wl.keymapSeen; ++i) {
        if (wl_display_roundtrip(wl.display.get()) < 0)
            break;
    }
    if (!wl.keymapSeen) {
        *whyNot = QStringLiteral("the Wayland seat has no keyboard keymap");
        return nullptr;
    }
    return self;
}

bool SeatKeymap::refresh()
{
    return wl_display_roundtrip(m_wl->display.get()) >= 0;
}

bool SeatKeymap::poll()
{
    wl_display *d = m_wl->display.get();
    while (wl_display_prepare_read(d) != 0) {
        if (wl_display_dispatch_pending(d) < 0)
            return false;
    }
    pollfd p{wl_display_get_fd(d), POLLIN, 0};
    if (::poll(&p, 1, 0) > 0 && (p.revents & POLLIN)) {
        if (wl_display_read_events(d) < 0)
            return false;
    } else {
        wl_display_cancel_read(d);
        if (p.revents & (POLLERR | POLLHUP))
            return false;
    }
    return wl_display_dispatch_pending(d) >= 0 && wl_display_get_error(d) == 0;
}

void SeatKeymap::keymapReceived(int fd, std::uint32_t size)
{
    void *map = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
    if (map == MAP_FAILED)
        return;
    // The string is NUL-terminated within size.
    m_wl->keymap.reset(xkb_keymap_new_from_string(m_wl->xkb.get(), static_cast<const char *>(map),
                                                  XKB_KEYMAP_FORMAT_TEXT_V1,
                                                  XKB_KEYMAP_COMPILE_NO_FLAGS));
    ::munmap(map, size);
    if (!m_wl->keymap)
        return;
    m_wl->keymapSeen = true;
    if (m_group >= xkb_keymap_num_layouts(m_wl->keymap.get()))
        m_group = 0;
    m_layout = LayoutKeysyms::fromKeymap(m_wl->keymap.get(), m_group);
}

void SeatKeymap::groupChanged(std::uint32_t group)
{
    if (group == m_group || !m_wl->keymap || group >= xkb_keymap_num_layouts(m_wl->keymap.get()))
        return;
    m_group = group;
    m_layout = LayoutKeysyms::fromKeymap(m_wl->keymap.get(), m_group);
}

} // namespace platform::remote

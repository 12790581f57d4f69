// SPDX-License-Identifier: MIT
#include "platform/wayland/xwayland_view.h"

#include "platform/x11/x11_guard.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>

// Last: Xlib defines macros (None, Bool, Status) that clash with C++ names.
#include <X11/XKBlib.h>
#include <X11/Xlib.h>

namespace platform::wayland {

namespace {

// How often a wait looks at the stop request, and how often it reads the
// keymap again even without a notification (a safety net, not the trigger).
constexpr std::chrono::milliseconds kSlice{50};
constexpr std::chrono::milliseconds kRecheck{250};

struct DisplayCloser {
    void operator()(Display *d) const { XCloseDisplay(d); }
};

} // namespace

struct XWaylandView::Impl {
    std::unique_ptr<Display, DisplayCloser> display;
    bool lost = false;
    int xkbEvent = 0;
    Atom wmProtocols = 0;
    Atom ping = 0;
    long pingSerial = 0;
    bool answered = false; // the ping with pingSerial came back

    ~Impl()
    {
        Display *d = display.get();
        // XWayland may have gone with its compositor since we last asked:
        // find out while the loss is still ours to handle.
        if (!lost)
            XSync(d, False);
        if (lost)
            (void)display.release(); // closing a broken connection reports it again
        display.reset();
        x11::releaseConnection(d);
    }

    static void connectionLost(Display *, void *self) { static_cast<Impl *>(self)->lost = true; }

    // The symbol XWayland's core keyboard has on the first level of keycode.
    std::uint32_t keysymAt(std::uint32_t keycode)
    {
        int perKeycode = 0;
        KeySym *syms = XGetKeyboardMapping(display.get(), static_cast<KeyCode>(keycode), 1, &perKeycode);
        const std::uint32_t sym = syms && perKeycode > 0 ? static_cast<std::uint32_t>(syms[0]) : 0;
        if (syms)
            XFree(syms);
        return sym;
    }

    // Takes whatever events arrived; true when one of them was a keymap change.
    bool drainEvents()
    {
        bool changed = false;
        while (!lost && XPending(display.get()) > 0) {
            XEvent event;
            XNextEvent(display.get(), &event);
            if (event.type == xkbEvent)
                changed = true;
            else if (event.type == ClientMessage && event.xclient.message_type == wmProtocols
                     && static_cast<Atom>(event.xclient.data.l[0]) == ping && event.xclient.data.l[1] == pingSerial)
                answered = true;
        }
        return changed;
    }

    // The window that has the keyboard focus, or the nearest of its
    // ancestors that takes pings; 0 when none does. *none: no X window has
    // the focus.
    Window pingTarget(bool *none)
    {
        Display *d = display.get();
        Window focus = 0;
        int revert = 0;
        XGetInputFocus(d, &focus, &revert);
        *none = focus == None || focus == PointerRoot;
        const Window root = DefaultRootWindow(d);
        for (Window w = focus; !*none && w != 0 && w != root && !lost;) {
            Atom *protocols = nullptr;
            int count = 0;
            if (XGetWMProtocols(d, w, &protocols, &count)) {
                const bool takes = std::find(protocols, protocols + count, ping) != protocols + count;
                XFree(protocols);
                if (takes)
                    return w;
            }
            Window parent = 0, rootReturn = 0;
            Window *children = nullptr;
            unsigned n = 0;
            if (!XQueryTree(d, w, &rootReturn, &parent, &children, &n))
                break;
            if (children)
                XFree(children);
            w = parent;
        }
        return 0;
    }
};

XWaylandView::XWaylandView(std::unique_ptr<Impl> impl) : m_impl(std::move(impl)) {}

XWaylandView::~XWaylandView() = default;

std::unique_ptr<XWaylandView> XWaylandView::open(QString *whyNot)
{
    const QString name = qEnvironmentVariable("DISPLAY");
    if (name.isEmpty()) {
        if (whyNot)
            *whyNot = QStringLiteral("DISPLAY is not set");
        return nullptr;
    }
    int event = 0, error = 0, major = XkbMajorVersion, minor = XkbMinorVersion, reason = 0;
    Display *d = XkbOpenDisplay(nullptr, &event, &error, &major, &minor, &reason);
    if (!d) {
        if (whyNot)
            *whyNot = QStringLiteral("cannot connect to XWayland's display %1 with XKEYBOARD").arg(name);
        return nullptr;
    }
    auto impl = std::make_unique<Impl>();
    impl->display.reset(d);
    x11::protectConnection(d);
    XSetIOErrorExitHandler(d, &Impl::connectionLost, impl.get());
    // Map and new-keyboard notifications: XWayland sends them when it
    // applies a keymap the compositor passed on.
    constexpr unsigned kWhich = XkbMapNotifyMask | XkbNewKeyboardNotifyMask;
    impl->xkbEvent = event;
    impl->wmProtocols = XInternAtom(d, "WM_PROTOCOLS", False);
    impl->ping = XInternAtom(d, "_NET_WM_PING", False);
    x11::ErrorTrap trap(d);
    XkbSelectEvents(d, XkbUseCoreKbd, kWhich, kWhich);
    XSync(d, False);
    if (trap.failed() || impl->lost) {
        if (whyNot)
            *whyNot = QStringLiteral("XWayland's display %1 refused keymap notifications: %2").arg(name, trap.text());
        return nullptr;
    }
    return std::unique_ptr<XWaylandView>(new XWaylandView(std::move(impl)));
}

bool XWaylandView::lost() const
{
    return m_impl->lost;
}

bool XWaylandView::sync()
{
    if (m_impl->lost)
        return false;
    XSync(m_impl->display.get(), False);
    m_impl->drainEvents(); // stale notifications would pile up otherwise
    return !m_impl->lost;
}

XWaylandView::Outcome XWaylandView::waitForKeysym(std::uint32_t keycode, std::uint32_t keysym,
                                                  Clock::time_point deadline, const std::function<bool()> &stop)
{
    Impl &x = *m_impl;
    Display *d = x.display.get();
    // Notifications that came before this point are stale; the read below
    // is the state that counts.
    x.drainEvents();
    auto nextRead = Clock::now();
    for (;;) {
        if (x.lost)
            return Outcome::Lost;
        const auto now = Clock::now();
        if (now >= nextRead) {
            if (x.keysymAt(keycode) == keysym)
                return Outcome::Seen;
            if (x.lost)
                return Outcome::Lost;
            nextRead = Clock::now() + kRecheck;
        }
        if (stop && stop())
            return Outcome::Stopped;
        if (Clock::now() >= deadline)
            return Outcome::TimedOut;
        XFlush(d);
        const auto left = std::min({deadline, nextRead, Clock::now() + kSlice}) - Clock::now();
        pollfd pfd{ConnectionNumber(d), POLLIN, 0};
        const int ms = static_cast<int>(std::max<long>(
            1, static_cast<long>(std::chrono::ceil<std::chrono::milliseconds>(left).count())));
        const int ready = ::poll(&pfd, 1, ms);
        if (ready < 0 && errno != EINTR)
            return Outcome::Lost;
        if ((ready > 0 || XPending(d) > 0) && x.drainEvents())
            nextRead = Clock::now(); // a keymap arrived: read it now
    }
}

XWaylandView::Outcome XWaylandView::waitForFocusedWindow(Clock::time_point deadline, const std::function<bool()> &stop)
{
    Impl &x = *m_impl;
    Display *d = x.display.get();
    if (x.lost)
        return Outcome::Lost;
    x11::ErrorTrap trap(d); // the window may go away meanwhile
    bool none = false;
    const Window target = x.pingTarget(&none);
    if (x.lost)
        return Outcome::Lost;
    if (none)
        return Outcome::NoWindow;
    if (!target)
        return Outcome::NoPing;
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = target;
    event.xclient.message_type = x.wmProtocols;
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(x.ping);
    // The timestamp field tells our ping from the window manager's.
    event.xclient.data.l[1] = ++x.pingSerial;
    event.xclient.data.l[2] = static_cast<long>(target);
    x.answered = false;
    // Windows answer a ping by sending it to the root window, for those who
    // listen to its structure (Qt) or its children's (GTK, as the window
    // manager standard says). Only meanwhile, or every window's comings and
    // goings pile up for us.
    const Window root = DefaultRootWindow(d);
    XSelectInput(d, root, StructureNotifyMask | SubstructureNotifyMask);
    struct StopListening {
        Display *d;
        Window root;
        ~StopListening() { XSelectInput(d, root, NoEventMask); }
    } stopListening{d, root};
    XSendEvent(d, target, False, NoEventMask, &event);
    XSync(d, False);
    if (trap.failed())
        return Outcome::NoPing; // gone: nothing left to read our keys
    for (;;) {
        x.drainEvents();
        if (x.lost)
            return Outcome::Lost;
        if (x.answered)
            return Outcome::Seen;
        if (stop && stop())
            return Outcome::Stopped;
        const auto now = Clock::now();
        if (now >= deadline)
            return Outcome::TimedOut;
        const auto left = std::min(deadline - now, std::chrono::duration_cast<Clock::duration>(kSlice));
        pollfd pfd{ConnectionNumber(d), POLLIN, 0};
        const int ms = static_cast<int>(std::max<long>(
            1, static_cast<long>(std::chrono::ceil<std::chrono::milliseconds>(left).count())));
        if (::poll(&pfd, 1, ms) < 0 && errno != EINTR)
            return Outcome::Lost;
    }
}

} // namespace platform::wayland

// SPDX-License-Identifier: MIT
// Reports, on CLOCK_MONOTONIC, when a top-level X window with a given title
// appears and when the window manager has taken it in (WM_STATE set). It
// waits on X events instead of polling, so the start-up figures it feeds are
// not blurred by a poll interval or by the cost of a polling process.
//
// Usage: scnferry_window_watch TITLE
// Prints "WATCHING" once it listens, then "named NS WINDOW" and
// "managed NS WINDOW" (nanoseconds of CLOCK_MONOTONIC), then exits 0.
//
//        scnferry_window_watch --ping WINDOW COUNT
// How soon the window's owner answers: sends _NET_WM_PING to WINDOW COUNT
// times, each after the answer to the one before and a 10 ms pause, and
// prints each round trip in microseconds. A toolkit answers on its event
// loop, so this is how long that loop takes to come round. Exits 1 when an
// answer takes over 5 s.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <poll.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <optional>
#include <set>
#include <string>

namespace {

struct DisplayCloser {
    void operator()(Display *d) const { XCloseDisplay(d); }
};
using DisplayPtr = std::unique_ptr<Display, DisplayCloser>;

struct XFreer {
    void operator()(unsigned char *p) const { XFree(p); }
};
using XDataPtr = std::unique_ptr<unsigned char, XFreer>;

long long monotonicNs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

// Windows of other clients come and go while we look at them; a request
// about one that is already gone is not a failure of ours.
int ignoreVanishedWindows(Display *, XErrorEvent *e)
{
    if (e->error_code != BadWindow && e->error_code != BadMatch)
        std::fprintf(stderr, "window_watch: X error %d\n", e->error_code);
    return 0;
}

std::optional<std::string> property(Display *dpy, Window w, Atom name, Atom type)
{
    Atom actualType = None;
    int format = 0;
    unsigned long items = 0;
    unsigned long after = 0;
    unsigned char *raw = nullptr;
    if (XGetWindowProperty(dpy, w, name, 0, 1024, False, type, &actualType, &format, &items, &after, &raw) != Success)
        return std::nullopt;
    const XDataPtr data(raw);
    if (actualType == None || !data)
        return std::nullopt;
    return std::string(reinterpret_cast<const char *>(data.get()), items * static_cast<unsigned long>(format / 8));
}

class Watch {
public:
    Watch(Display *dpy, std::string title)
        : m_dpy(dpy), m_title(std::move(title)), m_netWmName(XInternAtom(dpy, "_NET_WM_NAME", False)),
          m_utf8(XInternAtom(dpy, "UTF8_STRING", False)), m_wmState(XInternAtom(dpy, "WM_STATE", False))
    {
    }

    // True once the titled window is managed.
    bool look(Window w)
    {
        if (m_named.count(w) == 0) {
            auto name = property(m_dpy, w, m_netWmName, m_utf8);
            if (!name)
                name = property(m_dpy, w, XA_WM_NAME, AnyPropertyType);
            if (!name || *name != m_title)
                return false;
            m_named.insert(w);
            report("named", w);
        }
        if (!property(m_dpy, w, m_wmState, m_wmState))
            return false;
        report("managed", w);
        return true;
    }

private:
    static void report(const char *what, Window w)
    {
        std::printf("%s %lld %lu\n", what, monotonicNs(), static_cast<unsigned long>(w));
        std::fflush(stdout);
    }

    Display *m_dpy;
    std::string m_title;
    Atom m_netWmName;
    Atom m_utf8;
    Atom m_wmState;
    std::set<Window> m_named;
};

int ping(Display *dpy, Window target, int count)
{
    const Window root = DefaultRootWindow(dpy);
    const Atom protocols = XInternAtom(dpy, "WM_PROTOCOLS", False);
    const Atom pingAtom = XInternAtom(dpy, "_NET_WM_PING", False);
    // The answer goes to the root window, for clients listening to its
    // structure (Qt sends it so) or its children's (the standard's way).
    XSelectInput(dpy, root, StructureNotifyMask | SubstructureNotifyMask);
    for (int i = 0; i < count; ++i) {
        const long stamp = 1000 + i;
        XEvent ev{};
        ev.xclient.type = ClientMessage;
        ev.xclient.window = target;
        ev.xclient.message_type = protocols;
        ev.xclient.format = 32;
        ev.xclient.data.l[0] = static_cast<long>(pingAtom);
        ev.xclient.data.l[1] = stamp;
        ev.xclient.data.l[2] = static_cast<long>(target);
        const long long sent = monotonicNs();
        XSendEvent(dpy, target, False, NoEventMask, &ev);
        XFlush(dpy);
        bool answered = false;
        while (!answered) {
            while (!answered && XPending(dpy)) {
                XEvent in;
                XNextEvent(dpy, &in);
                answered = in.type == ClientMessage && in.xclient.window == root &&
                           in.xclient.message_type == protocols &&
                           static_cast<Atom>(in.xclient.data.l[0]) == pingAtom && in.xclient.data.l[1] == stamp;
            }
            if (answered)
                break;
            const long long waitedMs = (monotonicNs() - sent) / 1000000;
            if (waitedMs > 5000) {
                std::fprintf(stderr, "window_watch: no answer to ping %d in 5 s\n", i);
                return 1;
            }
            pollfd fd{ConnectionNumber(dpy), POLLIN, 0};
            poll(&fd, 1, static_cast<int>(5000 - waitedMs));
        }
        std::printf("%lld\n", (monotonicNs() - sent) / 1000);
        std::fflush(stdout);
        timespec pause{0, 10 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 4 && std::strcmp(argv[1], "--ping") == 0) {
        const DisplayPtr dpy(XOpenDisplay(nullptr));
        if (!dpy) {
            std::fprintf(stderr, "window_watch: cannot open display %s\n", XDisplayName(nullptr));
            return 2;
        }
        return ping(dpy.get(), static_cast<Window>(std::strtoul(argv[2], nullptr, 0)), std::atoi(argv[3]));
    }
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s TITLE\n", argv[0]);
        return 2;
    }
    const DisplayPtr dpy(XOpenDisplay(nullptr));
    if (!dpy) {
        std::fprintf(stderr, "window_watch: cannot open display %s\n", XDisplayName(nullptr));
        return 2;
    }
    XSetErrorHandler(ignoreVanishedWindows);
    const Window root = DefaultRootWindow(dpy.get());
    XSelectInput(dpy.get(), root, SubstructureNotifyMask);
    XSync(dpy.get(), False);
    std::puts("WATCHING");
    std::fflush(stdout);

    Watch watch(dpy.get(), argv[1]);
    for (;;) {
        XEvent ev;
        XNextEvent(dpy.get(), &ev);
        Window w = None;
        if (ev.type == CreateNotify && ev.xcreatewindow.parent == root) {
            w = ev.xcreatewindow.window;
            // Listen first, then read: a title set in between is not missed.
            XSelectInput(dpy.get(), w, PropertyChangeMask);
            XSync(dpy.get(), False);
        } else if (ev.type == PropertyNotify) {
            w = ev.xproperty.window;
        } else {
            continue;
        }
        if (watch.look(w))
            return 0;
    }
}

// SPDX-License-Identifier: MIT
#include "platform/x11/x11_guard.h"

#include <algorithm>
#include <mutex>
#include <vector>

namespace platform::x11 {

ErrorTrap::ErrorTrap(Display *d) : m_display(d), m_outer(s_current)
{
    s_current = this;
    m_previous = XSetErrorHandler(&ErrorTrap::handler);
}

ErrorTrap::~ErrorTrap()
{
    XSetErrorHandler(m_previous);
    s_current = m_outer;
}

int ErrorTrap::handler(Display *d, XErrorEvent *e)
{
    ErrorTrap *outermost = nullptr;
    for (ErrorTrap *t = s_current; t; t = t->m_outer) {
        outermost = t;
        if (t->m_display != d)
            continue;
        if (t->m_code == 0) {
            char buf[256] = {};
            XGetErrorText(d, e->error_code, buf, sizeof buf);
            t->m_code = e->error_code;
            t->m_text = QStringLiteral("%1 (request %2.%3)")
                            .arg(QString::fromLocal8Bit(buf))
                            .arg(e->request_code)
                            .arg(e->minor_code);
        }
        return 0;
    }
    // Another Xlib connection of the process: not ours to judge.
    return outermost && outermost->m_previous ? outermost->m_previous(d, e) : 0;
}

namespace {

struct IOErrorGuard {
    std::mutex mutex;
    bool installed = false;
    XIOErrorHandler previous = nullptr;
    std::vector<Display *> ours;
};

IOErrorGuard &guard()
{
    static IOErrorGuard g;
    return g;
}

int onIOError(Display *d)
{
    IOErrorGuard &g = guard();
    XIOErrorHandler previous = nullptr;
    {
        std::lock_guard lock(g.mutex);
        if (std::find(g.ours.begin(), g.ours.end(), d) != g.ours.end())
            return 0;
        previous = g.previous;
    }
    return previous ? previous(d) : 0;
}

} // namespace

void protectConnection(Display *d)
{
    IOErrorGuard &g = guard();
    std::lock_guard lock(g.mutex);
    if (!g.installed) {
        g.previous = XSetIOErrorHandler(&onIOError);
        g.installed = true;
    }
    g.ours.push_back(d);
}

void releaseConnection(Display *d)
{
    IOErrorGuard &g = guard();
    std::lock_guard lock(g.mutex);
    std::erase(g.ours, d);
}

} // namespace platform::x11

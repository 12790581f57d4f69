// SPDX-License-Identifier: MIT
#pragma once

#include <QString>

// Include after every Qt header: Xlib defines macros (Bool, Status) that
// Qt headers refuse.
#include <X11/Xlib.h>

namespace platform::x11 {

// Catches the protocol errors of one connection while it lives. Xlib's error
// handler is process-wide, so the trap chains to whatever was there before.
class ErrorTrap {
public:
    explicit ErrorTrap(Display *d);
    ~ErrorTrap();
    ErrorTrap(const ErrorTrap &) = delete;
    ErrorTrap &operator=(const ErrorTrap &) = delete;

    bool failed() const { return m_code != 0; }
    QString text() const { return m_text; }

private:
    static int handler(Display *d, XErrorEvent *e);

    static inline thread_local ErrorTrap *s_current = nullptr;
    Display *m_display;
    ErrorTrap *m_outer;
    XErrorHandler m_previous = nullptr;
    int m_code = 0;
    QString m_text;
};

// Xlib's default handler of a broken connection ends the process. For the
// connections registered here it returns instead (the caller's exit handler
// records the loss); other connections keep the default. Any thread.
void protectConnection(Display *d);
void releaseConnection(Display *d);

} // namespace platform::x11

// SPDX-License-Identifier: MIT
#include "platform/x11/window_x11.h"

#include <QGuiApplication>
#include <QtGui/qguiapplication_platform.h>

#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace platform::x11 {

void setNormalInitialState(quintptr window)
{
    auto *x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    Display *display = x11 ? x11->display() : nullptr;
    if (!display)
        return;
    const Window w = static_cast<Window>(window);
    XWMHints *hints = XGetWMHints(display, w);
    XWMHints fresh = {};
    XWMHints *h = hints ? hints : &fresh;
    h->flags |= StateHint;
    h->initial_state = NormalState;
    XSetWMHints(display, w, h);
    if (hints)
        XFree(hints);
    XFlush(display);
}

} // namespace platform::x11

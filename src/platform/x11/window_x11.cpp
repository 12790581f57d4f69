// SPDX-License-Identifier: MIT
#include "platform/x11/window_x11.h"

#include <QGuiApplication>
#include <QPoint>
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

std::optional<QPoint> frameTopLeft(quintptr window)
{
    auto *x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    Display *display = x11 ? x11->display() : nullptr;
    if (!display)
        return std::nullopt;
    Window w = static_cast<Window>(window);
    for (;;) {
        Window root = 0, parent = 0;
        Window *children = nullptr;
        unsigned count = 0;
        if (!XQueryTree(display, w, &root, &parent, &children, &count))
            return std::nullopt;
        if (children)
            XFree(children);
        if (parent == root || parent == 0)
            break;
        w = parent;
    }
    Window root = 0;
    int x = 0, y = 0;
    unsigned width = 0, height = 0, border = 0, depth = 0;
    if (!XGetGeometry(display, w, &root, &x, &y, &width, &height, &border, &depth))
        return std::nullopt;
    return QPoint(x, y);
}

} // namespace platform::x11

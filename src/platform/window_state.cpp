// SPDX-License-Identifier: MIT
#include "platform/window_state.h"

#include <QGuiApplication>
#include <QPoint>
#include <QWidget>
#include <QWindow>

#if defined(Q_OS_UNIX) && !defined(Q_OS_MACOS)
#include "platform/x11/window_x11.h"
#endif

namespace platform {

void prepareRestore(QWidget *window, QPoint frameTopLeft)
{
#if defined(Q_OS_UNIX) && !defined(Q_OS_MACOS)
    if (QGuiApplication::platformName() != QLatin1String("xcb") ||
        !window->testAttribute(Qt::WA_WState_Created))
        return;
    x11::setNormalInitialState(window->winId());
    // Qt maps the window again with the gravity that takes its position for
    // the frame's corner, and that position is wherever the window manager
    // left the withdrawn window: openbox moves it back to the frame's corner,
    // others leave it where the client area stood, and the frame's offset is
    // then counted twice. Asking for the corner before the map makes it one
    // position, whatever the manager did.
    if (QWindow *handle = window->windowHandle())
        handle->setFramePosition(frameTopLeft);
#else
    Q_UNUSED(window);
    Q_UNUSED(frameTopLeft);
#endif
}

QPoint frameTopLeft(const QWidget *window)
{
#if defined(Q_OS_UNIX) && !defined(Q_OS_MACOS)
    if (QGuiApplication::platformName() == QLatin1String("xcb") && window->testAttribute(Qt::WA_WState_Created)) {
        if (const std::optional<QPoint> corner = x11::frameTopLeft(window->winId()))
            return *corner;
    }
#endif
    return window->frameGeometry().topLeft();
}

void chooseWindowSystem()
{
#if defined(Q_OS_UNIX) && !defined(Q_OS_MACOS)
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && !qEnvironmentVariableIsEmpty("DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "xcb");
#endif
}

} // namespace platform

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
    // Once shown, Qt keeps the window's position as its frame's corner and
    // maps it again with the gravity that places the frame there. A window
    // manager that leaves a withdrawn window where its client area stood
    // (openbox moves it back to the frame's corner, others do not) would
    // then see the frame's offset counted twice. Placing the frame again
    // before the map asks for one position, whatever the manager did.
    if (QWindow *handle = window->windowHandle())
        handle->setFramePosition(frameTopLeft);
#else
    Q_UNUSED(window);
    Q_UNUSED(frameTopLeft);
#endif
}

void chooseWindowSystem()
{
#if defined(Q_OS_UNIX) && !defined(Q_OS_MACOS)
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && !qEnvironmentVariableIsEmpty("DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "xcb");
#endif
}

} // namespace platform

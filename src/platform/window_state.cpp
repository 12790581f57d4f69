// SPDX-License-Identifier: MIT
#include "platform/window_state.h"

#include <QGuiApplication>
#include <QWidget>

#if defined(Q_OS_UNIX) && !defined(Q_OS_MACOS)
#include "platform/x11/window_x11.h"
#endif

namespace platform {

void prepareRestore(QWidget *window)
{
#if defined(Q_OS_UNIX) && !defined(Q_OS_MACOS)
    if (QGuiApplication::platformName() == QLatin1String("xcb") &&
        window->testAttribute(Qt::WA_WState_Created))
        x11::setNormalInitialState(window->winId());
#else
    Q_UNUSED(window);
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

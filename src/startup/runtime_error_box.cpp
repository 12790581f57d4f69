// SPDX-License-Identifier: MIT
#include "startup/runtime_error_box.h"

#include "platform/error.h"
#include "platform/services.h"
#include "startup/sermod.h"

namespace SerMod {

void ReportUnhandled(const platform::RuntimeError &e, platform::Services &services)
{
    services.fail(QStringLiteral("Run-time error '%1':\r\n\r\n%2").arg(e.number()).arg(e.description()),
                  AppTitle);
}

Application::Application(int &argc, char **argv) : QApplication(argc, argv) {}

bool Application::notify(QObject *receiver, QEvent *event)
{
    if (!m_services)
        return QApplication::notify(receiver, event);
    try {
        return QApplication::notify(receiver, event);
    } catch (const platform::RuntimeError &e) {
        ReportUnhandled(e, *m_services);
    } catch (const std::exception &e) {
        ReportUnhandled(platform::RuntimeError(51, QString::fromUtf8(e.what())), *m_services);
    }
    return true;
}

} // namespace SerMod

// SPDX-License-Identifier: MIT
#pragma once

#include <QApplication>

namespace platform {
class RuntimeError;
class Services;
} // namespace platform

namespace SerMod {

// The box for an error that no procedure handles ("Run-time error '6':",
// a blank line, "Overflow"), after which the program ends with status 1.
// Returns only where the services' end does (in tests).
void ReportUnhandled(const platform::RuntimeError &e, platform::Services &services);

// The application object: an error that escapes an event handler reaches
// ReportUnhandled instead of unwinding through Qt.
class Application : public QApplication {
public:
    Application(int &argc, char **argv);
    // The services that report such an error; set once they exist.
    void setServices(platform::Services *services) { m_services = services; }
    bool notify(QObject *receiver, QEvent *event) override;

private:
    platform::Services *m_services = nullptr;
};

} // namespace SerMod

// SPDX-License-Identifier: MIT
#include "platform/error.h"
#include "platform/keyboard.h"
#include "platform/services.h"
#include "platform/termination_signals.h"
#include "platform/typist.h"
#include "platform/window_state.h"
#include "startup/runtime_error_box.h"
#include "startup/sermod.h"
#include "window/mainfrm.h"

#include <QStringList>

#include <cstdio>
#include <cstring>

int main(int argc, char **argv)
{
    // Answered without a display: scripts and package checks ask these.
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::puts("ScnFerry " SCNFERRY_VERSION);
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
        std::puts(qPrintable(SerMod::UsageText().replace(QStringLiteral("\r\n"), QStringLiteral("\n"))));
        return 0;
    }

    platform::prepareKeyboardThread();
    platform::chooseWindowSystem();
    SerMod::Application app(argc, argv);
    app.setApplicationName(QStringLiteral("ScnFerry"));
    app.setApplicationVersion(QStringLiteral(SCNFERRY_VERSION));
    // What tray hosts show as the icon's title; equal to every window's
    // title, so Qt adds nothing to them.
    app.setApplicationDisplayName(SerMod::AppTitle);
    app.setDesktopFileName(QStringLiteral("io.github.scnferry.ScnFerry"));
    // Hidden in the tray is still running.
    app.setQuitOnLastWindowClosed(false);

    // Everything below owns Qt objects and goes before the application does.
    std::unique_ptr<platform::Services> services = platform::createQtServices();
    app.setServices(services.get());

    // The argument text, without the program's own path.
    QStringList args = app.arguments();
    args.removeFirst();
    const QString commandLine = args.join(QLatin1Char(' '));

    // A terminal's Ctrl+C or a service stop ends the program in order,
    // without the question; caught from the start, so one that comes while a
    // start-up box is open does not kill the process mid-way. A failure
    // whose box is open stands: status 1.
    std::unique_ptr<platform::Typist> typist;
    std::unique_ptr<MainFrm> frm;
    platform::TerminationSignals termination;
    QObject::connect(&termination, &platform::TerminationSignals::received, &app,
                     [&frm, &services](int) {
                         if (services->failing())
                             services->end(1);
                         else if (frm)
                             frm->EndInOrder();
                         else
                             services->end(0); // nothing is open yet
                     });

    typist = std::make_unique<platform::Typist>(&platform::createKeyboard);
    // A keyboard may have lent keys of the user's keymap to characters;
    // they go back even when a failure ends the program at once.
    platform::setImmediateEndCleanup([&typist] { typist.reset(); });
    int status = 1;
    try {
        frm = SerMod::Main(commandLine, *services, *typist);
        status = app.exec();
    } catch (const platform::RuntimeError &e) {
        SerMod::ReportUnhandled(e, *services);
    }
    platform::setImmediateEndCleanup(nullptr);
    frm.reset();
    typist.reset();
    services.reset();
    return status;
}

// SPDX-License-Identifier: MIT
#include "startup/sermod.h"

#include "platform/services.h"
#include "startup/vb_val.h"
#include "window/mainfrm.h"

namespace SerMod {

std::int16_t PortNum = 0;
QString PortPath;
QString PortSettings;
bool PortIsOpen = false;
NotifyIconData TrayIconData;

QString PortText()
{
    return PortPath.isEmpty() ? QStringLiteral("COM") + QString::number(PortNum) : PortPath;
}

void ParseCommandLine(QStringView text, platform::Services &services)
{
    QStringView portText;
    QStringView settingsText;
    const qsizetype comma = text.indexOf(u',');
    if (comma >= 0) {
        portText = text.left(comma);
        settingsText = text.mid(comma + 1);
    } else {
        ShowUsage(services);
    }

    // A USB scanner has no COM number on Linux: a port text that begins
    // with '/' names the device itself.
    if (portText.startsWith(u'/')) {
        PortPath = portText.toString();
        PortNum = 0;
    } else {
        PortPath.clear();
        PortNum = ToInteger(Val(portText));
    }
    PortSettings = settingsText.toString();
}

std::unique_ptr<MainFrm> Main(QString commandLine, platform::Services &services,
                              platform::Typist &typist)
{
    // Only spaces are trimmed, as the runtime's Trim does.
    while (commandLine.startsWith(u' '))
        commandLine.remove(0, 1);
    while (commandLine.endsWith(u' '))
        commandLine.chop(1);
    if (commandLine.isEmpty()) {
        ShowUsage(services);
        services.msgBox(QStringLiteral("Using Defaults ") + DefaultCommandLine,
                        platform::mb::OkOnly + platform::mb::Information, AppTitle);
        commandLine = DefaultCommandLine;
    }
    ParseCommandLine(commandLine, services);
    PortIsOpen = false;

    // Loading the window opens the port; it is minimised before it is
    // first shown, so the program comes up out of sight.
    auto frm = std::make_unique<MainFrm>(services, typist);
    frm->Load();
    frm->setWindowState(Qt::WindowMinimized);
    frm->show();
    return frm;
}

} // namespace SerMod

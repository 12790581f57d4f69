// SPDX-License-Identifier: MIT
#include "platform/services.h"
#include "startup/sermod.h"

#include <QStringList>

namespace SerMod {

QString UsageText()
{
    // The spaces are part of the text: line 4 lines up under "Will open".
    static const QStringList lines = {
        QStringLiteral(" Command Line:  ScnFerry Port,Baud,Parity,Data Bits,Stop Bits"),
        QString(),
        QStringLiteral(" i.e ScnFerry 1,9600,N,8,1 Will open COM1 At 9600 with no parity"),
        QStringLiteral("                           8 data bits and 1 stop bit."),
        QString(),
        QStringLiteral(" Valid Values For Parameters:"),
        QStringLiteral(" Port   = 1 - 16"),
        QStringLiteral(" Baud   = 110 - 115200"),
        QStringLiteral(" Parity = N, M, S, E, O"),
        QStringLiteral(" Data   = 7, 8"),
        QStringLiteral(" Stop   = 1, 1.5, 2"),
        QString(),
        QStringLiteral(" ScnFerry types what your serial barcode scanner reads."),
    };
    return lines.join(QStringLiteral("\r\n"));
}

void ShowUsage(platform::Services &services)
{
    services.msgBox(UsageText(), platform::mb::OkOnly, AppTitle);
}

} // namespace SerMod

// SPDX-License-Identifier: MIT
#pragma once

#include <QIcon>
#include <QString>
#include <QStringView>

#include <array>
#include <cstdint>
#include <memory>

class QWidget;
class MainFrm;

namespace platform {
class Typist;
class Services;
} // namespace platform

// The program state and the start-up procedures.
namespace SerMod {

inline const QString AppTitle = QStringLiteral("Scanferry 0.01");
inline const QString DefaultCommandLine = QStringLiteral("2,9600,N,8,1");

// The record that describes the notification-area icon; filled on every
// minimise, passed again to remove the icon.
struct NotifyIconData {
    std::uint32_t cbSize = 0;
    QWidget *hWnd = nullptr;
    std::uint32_t uID = 0;
    std::uint32_t uFlags = 0;
    std::uint32_t uCallbackMessage = 0;
    QIcon hIcon;
    std::array<char16_t, 64> szTip{};
};

extern std::int16_t PortNum;     // n of COMn
extern QString PortPath;         // the device path, when the port text is one
extern QString PortSettings;     // "baud,parity,data,stop" as typed
extern bool PortIsOpen;          // whether this program has opened the port
extern NotifyIconData TrayIconData;

// The port as messages show it: "COM3", or the device path.
QString PortText();

// Splits the trimmed command line into the port and the settings; shows the
// usage box when there is no comma. Throws Overflow for a port number
// outside the 16-bit range.
void ParseCommandLine(QStringView text, platform::Services &services);

// The usage text, CR LF between its lines.
QString UsageText();
void ShowUsage(platform::Services &services);

// Start-up: reads the command line, loads the main window (which opens the
// port) minimised and shows it. Returns the window, which lives until exit.
std::unique_ptr<MainFrm> Main(QString commandLine, platform::Services &services,
                              platform::Typist &typist);

} // namespace SerMod

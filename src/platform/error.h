// SPDX-License-Identifier: MIT
#pragma once

#include <QString>

#include <exception>
#include <string>

namespace platform {

// The one error type of the program: a number and a description, the way the
// serial control and the other services report what went wrong.
class RuntimeError : public std::exception {
public:
    RuntimeError(int number, QString description)
        : m_number(number), m_description(std::move(description)),
          m_what(m_description.toStdString()) {}

    int number() const noexcept { return m_number; }
    const QString &description() const noexcept { return m_description; }
    const char *what() const noexcept override { return m_what.c_str(); }

private:
    int m_number;
    QString m_description;
    std::string m_what;
};

// Error numbers the program tells apart or shows.
namespace err {
inline constexpr int Overflow = 6;
inline constexpr int InvalidPropertyValue = 380;
inline constexpr int PortInvalid = 8002;       // the port does not exist
inline constexpr int PortAlreadyOpen = 8005;   // held by another program
inline constexpr int PortNotOpen = 8012;       // read or write on a closed port
inline constexpr int PortPermission = 8014;    // no permission to open it
inline constexpr int PortOpenFailed = 8015;    // any other failure to open or configure
inline constexpr int DeviceLost = 8020;        // the device went away while open
inline constexpr int KeyboardFailed = 8100;    // keystrokes could not be delivered
} // namespace err

} // namespace platform

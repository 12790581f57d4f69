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
inline constexpr int Untypable = 8101;         // the layout has no key for some characters
} // namespace err

// A scan holding characters the keyboard layout in use cannot type (remote
// input and uinput type only what the layout has). Thrown before anything
// of the scan is typed: the scan is held back whole, the user is told, and
// the program goes on. Never typed as something else, never dropped in
// silence.
class UntypableError : public RuntimeError {
public:
    // characters: each distinct one once, in order of appearance; layout: the
    // layout's name as the user knows it ("us", "de(nodeadkeys)").
    UntypableError(QString characters, QString layout, QString remedy);

    const QString &characters() const noexcept { return m_characters; }
    const QString &layout() const noexcept { return m_layout; }

private:
    QString m_characters;
    QString m_layout;
};

} // namespace platform

// SPDX-License-Identifier: MIT
#pragma once

#include <QStringView>

#include <cstdint>

namespace SerMod {

// The runtime's numeric-prefix conversion: blanks, tabs and line feeds are
// skipped anywhere, reading stops at the first character that cannot
// continue a number, and a text with no leading number is 0. Understands a
// sign, a decimal point, an exponent with E or D, and the radix prefixes &H
// (hexadecimal) and &O (octal). Throws Overflow (6) for a value too large
// for a double.
double Val(QStringView text);

// Assignment of a number to a 16-bit integer: round half to even, then
// Overflow (6) outside -32768..32767.
std::int16_t ToInteger(double value);

} // namespace SerMod

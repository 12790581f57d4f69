// SPDX-License-Identifier: MIT
#include "startup/vb_val.h"

#include "platform/error.h"

#include <charconv>
#include <cmath>
#include <string>

namespace SerMod {

namespace {

[[noreturn]] void overflow()
{
    throw platform::RuntimeError(platform::err::Overflow, QStringLiteral("Overflow"));
}

bool isBlank(QChar c)
{
    return c == u' ' || c == u'\t' || c == u'\n';
}

// The text without the blanks that the conversion skips wherever they are.
QString withoutBlanks(QStringView text)
{
    QString out;
    out.reserve(text.size());
    for (QChar c : text)
        if (!isBlank(c))
            out.append(c);
    return out;
}

int digitValue(QChar c, int radix)
{
    int v = -1;
    if (c >= u'0' && c <= u'9')
        v = c.unicode() - u'0';
    else if (c >= u'a' && c <= u'f')
        v = c.unicode() - u'a' + 10;
    else if (c >= u'A' && c <= u'F')
        v = c.unicode() - u'A' + 10;
    return v < radix ? v : -1;
}

// &H and &O literals: their digits make an unsigned value that, like the
// runtime's integer literals, is read as a 16-bit or 32-bit two's-complement
// number when it fits there ("&HFFFF" is -1).
double radixValue(QStringView digits, int radix)
{
    std::uint64_t value = 0;
    bool any = false;
    for (QChar c : digits) {
        const int d = digitValue(c, radix);
        if (d < 0)
            break;
        any = true;
        value = value * static_cast<std::uint64_t>(radix) + static_cast<std::uint64_t>(d);
        if (value > 0xFFFFFFFFull)
            overflow();
    }
    if (!any)
        return 0;
    if (value <= 0xFFFF)
        return static_cast<double>(static_cast<std::int16_t>(static_cast<std::uint16_t>(value)));
    return static_cast<double>(static_cast<std::int32_t>(static_cast<std::uint32_t>(value)));
}

} // namespace

double Val(QStringView text)
{
    const QString s = withoutBlanks(text);
    qsizetype i = 0;
    const qsizetype n = s.size();

    if (n >= 2 && s[0] == u'&') {
        const QChar r = s[1].toUpper();
        if (r == u'H')
            return radixValue(QStringView(s).mid(2), 16);
        if (r == u'O')
            return radixValue(QStringView(s).mid(2), 8);
        if (s[1].isDigit())
            return radixValue(QStringView(s).mid(1), 8);
        return 0;
    }

    // Collect the longest prefix that reads as a decimal number and convert
    // it exactly with from_chars, which reads a point whatever the locale
    // (strtod would read "3.5" as 3 under a comma locale).
    std::string number;
    bool negative = false;
    if (i < n && (s[i] == u'+' || s[i] == u'-'))
        negative = s[i++] == u'-';
    bool digits = false;
    while (i < n && s[i].isDigit() && s[i].unicode() < 128) {
        number += static_cast<char>(s[i++].unicode());
        digits = true;
    }
    if (i < n && s[i] == u'.') {
        number += '.';
        ++i;
        while (i < n && s[i].unicode() >= u'0' && s[i].unicode() <= u'9') {
            number += static_cast<char>(s[i++].unicode());
            digits = true;
        }
    }
    if (!digits)
        return 0;
    if (i < n && (s[i].toUpper() == u'E' || s[i].toUpper() == u'D')) {
        qsizetype j = i + 1;
        std::string exponent = "e";
        if (j < n && (s[j] == u'+' || s[j] == u'-'))
            exponent += static_cast<char>(s[j++].unicode());
        bool expDigits = false;
        while (j < n && s[j].unicode() >= u'0' && s[j].unicode() <= u'9') {
            exponent += static_cast<char>(s[j++].unicode());
            expDigits = true;
        }
        if (expDigits)
            number += exponent;
    }
    double v = 0;
    const auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), v);
    if (ec == std::errc::result_out_of_range) {
        // Too small is zero; too large is the runtime's overflow.
        if (number.find("e-") == std::string::npos)
            overflow();
        v = 0;
    } else if (ec != std::errc() || std::isinf(v)) {
        overflow();
    }
    return negative ? -v : v;
}

std::int16_t ToInteger(double value)
{
    if (std::isnan(value))
        overflow();
    const double r = std::nearbyint(value); // the default rounding mode: half to even
    if (r < -32768.0 || r > 32767.0)
        overflow();
    return static_cast<std::int16_t>(r);
}

} // namespace SerMod

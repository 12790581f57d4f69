// SPDX-License-Identifier: MIT
// libFuzzer target for the command-line reader: Val, ToInteger,
// ParseCommandLine and the serial control's settings text. The input is the
// command line as UTF-8. Checked for every input:
//  - the only error any of them raises is Overflow (6);
//  - Val skips blanks wherever they are, and a letter after the text never
//    extends a number; every finite double written out reads back exactly;
//  - ParseCommandLine splits at the first comma, shows the usage box exactly
//    when there is none, and takes the port number through Val;
//  - an accepted settings text holds only what the serial line can be set
//    to, and its canonical form reads back as the same settings.
#include "platform/error.h"
#include "platform/notification_area.h"
#include "platform/serial_port.h"
#include "platform/services.h"
#include "startup/sermod.h"
#include "startup/vb_val.h"

#include <QString>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>

namespace {

void check(bool ok)
{
    if (!ok)
        __builtin_trap();
}

// Only the usage box can be reached from the command line.
class CountingServices final : public platform::Services {
public:
    int boxes = 0;
    int msgBox(const QString &, int, const QString &, const QString &) override
    {
        ++boxes;
        return platform::mb::Ok;
    }
    void doEvents() override {}
    void end(int) override { std::abort(); }
    platform::NotificationArea &notificationArea() override { std::abort(); }
};

// Val's result, or the error number it raised.
struct Outcome {
    std::optional<double> value;
    int error = 0;
    friend bool operator==(const Outcome &a, const Outcome &b)
    {
        return a.error == b.error && a.value == b.value;
    }
};

Outcome val(QStringView text)
{
    try {
        const double v = SerMod::Val(text);
        check(std::isfinite(v));
        return {v, 0};
    } catch (const platform::RuntimeError &e) {
        check(e.number() == platform::err::Overflow);
        return {std::nullopt, e.number()};
    }
}

std::optional<std::int16_t> toInteger(double v)
{
    try {
        const std::int16_t n = SerMod::ToInteger(v);
        check(std::abs(static_cast<double>(n) - v) <= 0.5);
        return n;
    } catch (const platform::RuntimeError &e) {
        check(e.number() == platform::err::Overflow);
        check(!(v > -32768.5 && v < 32767.5));
        return std::nullopt;
    }
}

void checkVal(const QString &text, std::size_t where)
{
    const Outcome plain = val(text);
    if (plain.value)
        toInteger(*plain.value);

    QString blank = text;
    blank.insert(static_cast<qsizetype>(where % (static_cast<std::size_t>(text.size()) + 1)),
                 where & 1 ? u'\t' : u' ');
    check(val(blank) == plain);
    check(val(text + u'Z') == plain);
}

void checkRoundTrip(const std::uint8_t *data, std::size_t size)
{
    if (size < sizeof(double))
        return;
    double d;
    std::memcpy(&d, data, sizeof d);
    if (!std::isfinite(d))
        return;
    const Outcome back = val(QString::number(d, 'g', 17));
    check(back.value && *back.value == d);
}

void checkCommandLine(const QString &text)
{
    CountingServices services;
    const qsizetype comma = text.indexOf(u',');
    const QStringView portText = comma >= 0 ? QStringView(text).left(comma) : QStringView();
    try {
        SerMod::ParseCommandLine(text, services);
    } catch (const platform::RuntimeError &e) {
        check(e.number() == platform::err::Overflow);
        check(!portText.startsWith(u'/'));
        check(services.boxes == (comma < 0 ? 1 : 0));
        return;
    }
    check(services.boxes == (comma < 0 ? 1 : 0));
    check(SerMod::PortSettings == (comma >= 0 ? QStringView(text).mid(comma + 1) : QStringView()));
    if (portText.startsWith(u'/')) {
        check(SerMod::PortPath == portText && SerMod::PortNum == 0);
    } else {
        const Outcome port = val(portText);
        check(SerMod::PortPath.isEmpty() && port.value);
        check(toInteger(*port.value) == SerMod::PortNum);
    }
}

QString canonical(const platform::SerialSettings &s)
{
    using Stop = platform::SerialSettings::StopBits;
    const char *stop = s.stopBits == Stop::One ? "1" : s.stopBits == Stop::Two ? "2" : "1.5";
    return QStringLiteral("%1,%2,%3,%4").arg(s.baudRate).arg(QChar::fromLatin1(s.parity)).arg(s.dataBits).arg(QLatin1StringView(stop));
}

void checkSettings(const QString &text)
{
    const auto parsed = platform::parseSerialSettings(text);
    if (!parsed)
        return;
    check(parsed->baudRate > 0);
    check(std::strchr("NEOMS", parsed->parity) != nullptr && parsed->parity != 0);
    check(parsed->dataBits >= 5 && parsed->dataBits <= 8);
    // The parity the user wrote is one of the letters the line knows, in
    // either case, and nothing that merely folds to one of them.
    const QStringView parity = QStringView(text).split(u',').at(1).trimmed();
    check(parity.size() == 1 && parity.front().toUpper() == QChar(parsed->parity)
          && parity.front().unicode() < 0x80);
    const int wait = platform::tailWaitMs(*parsed);
    check(wait >= 20 && wait <= 5000);

    const auto again = platform::parseSerialSettings(canonical(*parsed));
    check(again && again->baudRate == parsed->baudRate && again->parity == parsed->parity
          && again->dataBits == parsed->dataBits && again->stopBits == parsed->stopBits);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    std::size_t where = 0;
    for (std::size_t i = 0; i < size; ++i)
        where = where * 31 + data[i];

    checkVal(text, where);
    checkRoundTrip(data, size);
    checkCommandLine(text);
    checkSettings(text);
    const qsizetype comma = text.indexOf(u',');
    if (comma >= 0)
        checkSettings(text.mid(comma + 1));
    return 0;
}

// SPDX-License-Identifier: MIT
#include "platform/code_page.h"

#include "platform/error.h"

#include <QStringDecoder>

#include <algorithm>
#include <initializer_list>

namespace platform {

namespace {

const char *const kVariable = "SCNFERRY_ENCODING";

bool oneOf(QLocale::Language language, std::initializer_list<QLocale::Language> list)
{
    return std::find(list.begin(), list.end(), language) != list.end();
}

} // namespace

std::optional<QString> unsuitableCodePage(QByteArrayView name)
{
    // The digits, letters and CR of a scan must arrive unchanged, and no byte
    // sequence may switch the meaning of the bytes after it: runs of a line
    // are decoded independently.
    const QByteArray cName = name.toByteArray();
    QStringDecoder decoder(cName.constData());
    if (!decoder.isValid())
        return QStringLiteral("is no encoding this system knows");
    QByteArray printable;
    for (char c = 0x20; c < 0x7F; ++c)
        printable.append(c);
    printable.append('\r');
    if (QString(decoder.decode(printable)) != QString::fromLatin1(printable))
        return QStringLiteral("is not ASCII-based: a scanner's digits, letters and CR would not arrive as sent");
    // ISO-2022 escapes, HZ and UTF-7 shifts: each byte here is a character
    // of its own in a code page without shift states.
    const QByteArray shifts("\x1b$B0!\x1b(B~{0!~}+AGEA-\r");
    QStringDecoder fresh(cName.constData());
    if (QString(fresh.decode(shifts)).size() != shifts.size())
        return QStringLiteral("switches between character sets with escape sequences, which scans cannot be decoded in");
    return std::nullopt;
}

QByteArray ansiCodePageFor(const QLocale &locale)
{
    using L = QLocale;
    const L::Language language = locale.language();
    const L::Script script = locale.script();

    switch (language) {
    case L::Japanese:
        return "Shift_JIS";
    case L::Chinese:
        return script == L::TraditionalHanScript ? "Big5" : "GBK";
    case L::Korean:
        return "windows-949";
    case L::Thai:
        return "windows-874";
    case L::Vietnamese:
        return "windows-1258";
    default:
        break;
    }
    if (script == L::CyrillicScript)
        return "windows-1251";
    if (script == L::GreekScript || language == L::Greek)
        return "windows-1253";
    if (script == L::HebrewScript || language == L::Hebrew)
        return "windows-1255";
    if (script == L::ArabicScript)
        return "windows-1256";
    if (oneOf(language, {L::Turkish, L::Azerbaijani, L::Uzbek}))
        return "windows-1254";
    if (oneOf(language, {L::Estonian, L::Latvian, L::Lithuanian}))
        return "windows-1257";
    if (oneOf(language, {L::Czech, L::Polish, L::Slovak, L::Hungarian, L::Slovenian, L::Croatian,
                         L::Romanian, L::Albanian, L::Bosnian, L::Serbian, L::Turkmen,
                         L::LowerSorbian, L::UpperSorbian}))
        return "windows-1250";
    return "windows-1252";
}

QLocale localeFromPosixName(QStringView name)
{
    const qsizetype at = name.indexOf(u'@');
    const QStringView modifier = at < 0 ? QStringView() : name.sliced(at + 1);
    // "ja_JP.UTF-8": the codeset says how the system stores text, not what
    // a scanner sends.
    QStringView base = at < 0 ? name : name.first(at);
    if (const qsizetype dot = base.indexOf(u'.'); dot >= 0)
        base = base.first(dot);
    const QLocale plain(base.toString());
    if (modifier.compare(u"latin", Qt::CaseInsensitive) == 0)
        return QLocale(plain.language(), QLocale::LatinScript, plain.territory());
    if (modifier.compare(u"cyrillic", Qt::CaseInsensitive) == 0)
        return QLocale(plain.language(), QLocale::CyrillicScript, plain.territory());
    return plain;
}

TextEncoding chooseTextEncoding(QByteArrayView override, const QLocale &locale)
{
    const QByteArray name = override.trimmed().toByteArray();
    if (!name.isEmpty()) {
        const QString shown = QStringLiteral("%1=%2").arg(QLatin1String(kVariable), QString::fromLocal8Bit(name));
        if (QStringConverter::encodingForName(name) == QStringConverter::Utf8)
            return {QByteArray(), QLatin1String(kVariable)};
        if (const auto why = unsuitableCodePage(name))
            throw RuntimeError(err::InvalidPropertyValue,
                               QStringLiteral("%1: \"%2\" %3. Name the scanner's code page, for example "
                                              "Shift_JIS, GBK, Big5, EUC-KR, windows-1251 or windows-1252, "
                                              "or UTF-8 for no fallback; or unset %4 to follow the locale.")
                                   .arg(shown, QString::fromLocal8Bit(name), *why, QLatin1String(kVariable)));
        return {name, QLatin1String(kVariable)};
    }
    // A Qt without ICU knows only a few encodings; Latin-1 it always has.
    for (QByteArray candidate : {ansiCodePageFor(locale), QByteArray("windows-1252"), QByteArray("ISO-8859-1")}) {
        if (!unsuitableCodePage(candidate))
            return {candidate, locale.name()};
    }
    return {QByteArray(), locale.name()};
}

TextEncoding systemTextEncoding()
{
    const QByteArray override = qgetenv(kVariable);
    for (const char *variable : {"LC_ALL", "LC_CTYPE", "LANG"}) {
        const QString value = qEnvironmentVariable(variable);
        if (!value.isEmpty())
            return chooseTextEncoding(override, localeFromPosixName(value));
    }
    return chooseTextEncoding(override, QLocale::system());
}

} // namespace platform

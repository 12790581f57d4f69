// SPDX-License-Identifier: MIT
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QLocale>
#include <QString>
#include <QStringView>

#include <optional>

namespace platform {

// What received bytes that are not UTF-8 are taken as.
struct TextEncoding {
    // The legacy code page as QStringDecoder names it. Empty: none, bytes
    // that are not UTF-8 become U+FFFD.
    QByteArray legacy;
    // Where the choice came from, for messages: "SCNFERRY_ENCODING" or the
    // locale's name.
    QString source;
};

// The system's ANSI code page for `locale` on the platform scanners were
// set up for: language and script decide (Japanese 932, Simplified Chinese
// 936, Traditional Chinese 950, Korean 949, Thai 874, Central European
// 1250, Cyrillic 1251, Greek 1253, Turkish 1254, Hebrew 1255, Arabic 1256,
// Baltic 1257, Vietnamese 1258), Windows-1252 for everything else. The
// result is a name QStringDecoder accepts.
QByteArray ansiCodePageFor(const QLocale &locale);

// The locale a POSIX locale name ("sr_RS.UTF-8@latin", "zh_TW.Big5", "C")
// stands for; the "@latin" modifier selects the Latin script, which QLocale
// itself ignores.
QLocale localeFromPosixName(QStringView name);

// Why `name` cannot serve as the fallback, or nothing when it can: it must be
// a name QStringDecoder knows, for an ASCII-based code page without shift
// states (a scanner's digits and CR must arrive as themselves).
std::optional<QString> unsuitableCodePage(QByteArrayView name);

// The encoding for SCNFERRY_ENCODING's value `override`, or for `locale` when
// it is empty. "UTF-8" (or another name of it) turns the fallback off.
// Throws RuntimeError 380 naming the variable when `override` is unusable.
TextEncoding chooseTextEncoding(QByteArrayView override, const QLocale &locale);

// chooseTextEncoding for this process: SCNFERRY_ENCODING, else the locale of
// LC_ALL, LC_CTYPE or LANG (the first one set, as POSIX orders them for
// character handling), else QLocale::system().
TextEncoding systemTextEncoding();

} // namespace platform

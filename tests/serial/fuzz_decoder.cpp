// SPDX-License-Identifier: MIT
// libFuzzer target for ByteDecoder. The first input byte seeds the read
// boundaries, the second picks the fallback (Windows-1252, Shift_JIS, GBK,
// Big5, GB18030, or none: UTF-8 only), the rest is the received data.
// Checked for every input:
//  - decoding in pieces gives the same text, and the same count of
//    replacements, as decoding in one read;
//  - the text is well-formed UTF-16 (no lone surrogates);
//  - each line (up to CR or LF) that is valid UTF-8 decodes as Qt's own
//    decoder reads it; any other line decodes byte by byte as Windows-1252,
//    or run by run (controls stand for themselves) as a fresh QStringDecoder
//    reads the code page; with UTF-8 only, each character is either the
//    UTF-8 of the next bytes or U+FFFD for one byte.
#include "platform/text_decoder.h"

#include <QByteArray>
#include <QString>
#include <QStringDecoder>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

constexpr std::array<const char *, 6> kEncodings = {"windows-1252", "Shift_JIS", "GBK", "Big5", "GB18030", ""};

void check(bool ok)
{
    if (!ok)
        std::abort();
}

char16_t cp1252(std::uint8_t byte)
{
    static const char16_t high[32] = {
        0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
        0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
        0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
        0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
    };
    return byte >= 0x80 && byte <= 0x9F ? high[byte - 0x80] : byte;
}

bool isControl(std::uint8_t b)
{
    return b < 0x20 || b == 0x7F;
}

QString legacyReference(const char *encoding, QByteArrayView line)
{
    QString out;
    if (qstrcmp(encoding, "windows-1252") == 0) {
        for (const char c : line)
            out.append(QChar(cp1252(static_cast<std::uint8_t>(c))));
        return out;
    }
    qsizetype start = 0;
    for (qsizetype i = 0; i <= line.size(); ++i) {
        if (i < line.size() && !isControl(static_cast<std::uint8_t>(line[i])))
            continue;
        if (i > start) {
            QStringDecoder decoder(encoding);
            QByteArray run = line.sliced(start, i - start).toByteArray();
            run.append('\n');
            QString text = decoder.decode(run);
            text.chop(1);
            text.replace(QChar(0x1A), QChar(QChar::ReplacementCharacter));
            out += text;
        }
        if (i < line.size())
            out.append(QChar(static_cast<char16_t>(static_cast<std::uint8_t>(line[i]))));
        start = i + 1;
    }
    return out;
}

void checkUtf8Only(QByteArrayView bytes, QStringView text)
{
    qsizetype pos = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        char32_t c = text[i].unicode();
        if (text[i].isHighSurrogate()) {
            c = QChar::surrogateToUcs4(text[i], text[i + 1]);
            ++i;
        }
        const QByteArray utf8 = QString::fromUcs4(&c, 1).toUtf8();
        if (bytes.sliced(pos).startsWith(utf8)) {
            pos += utf8.size();
            continue;
        }
        check(c == QChar::ReplacementCharacter && pos < bytes.size());
        ++pos;
    }
    check(pos == bytes.size());
}

void checkWellFormed(QStringView text)
{
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i].isHighSurrogate()) {
            check(i + 1 < text.size() && text[i + 1].isLowSurrogate());
            ++i;
        } else {
            check(!text[i].isLowSurrogate());
        }
    }
}

// Compares line by line; a line whose undecided part outgrows
// kDecideAfter may be decided in pieces and is skipped.
void checkLines(const char *encoding, QByteArrayView bytes, QStringView text)
{
    if (*encoding == '\0') {
        checkUtf8Only(bytes, text);
        return;
    }
    qsizetype at = 0;
    while (!bytes.isEmpty()) {
        const auto end = std::find_if(bytes.begin(), bytes.end(), [](char c) { return c == '\r' || c == '\n'; });
        const qsizetype length = end == bytes.end() ? bytes.size() : (end - bytes.begin()) + 1;
        const QByteArrayView line = bytes.first(length);
        if (line.size() > platform::ByteDecoder::kDecideAfter)
            return;
        const QString utf8 = QString::fromUtf8(line);
        const QString expected = utf8.toUtf8() == line ? utf8 : legacyReference(encoding, line);
        check(text.sliced(at).startsWith(expected));
        at += expected.size();
        bytes = bytes.sliced(length);
    }
    check(at == text.size());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 2)
        return 0;
    unsigned seed = data[0];
    const char *encoding = kEncodings[data[1] % kEncodings.size()];
    const QByteArray bytes(reinterpret_cast<const char *>(data + 2), static_cast<qsizetype>(size - 2));
    const platform::TextEncoding choice{QByteArray(encoding), QString()};

    platform::ByteDecoder whole(choice);
    QString expected = whole.decode(bytes);
    expected += whole.flush();
    checkWellFormed(expected);
    checkLines(encoding, bytes, expected);

    platform::ByteDecoder pieces(choice);
    QString got;
    qsizetype pos = 0;
    while (pos < bytes.size()) {
        seed = seed * 1103515245u + 12345u;
        const qsizetype n = std::min<qsizetype>(bytes.size() - pos, 1 + (seed >> 16) % 5);
        got += pieces.decode(QByteArrayView(bytes).sliced(pos, n));
        pos += n;
    }
    got += pieces.flush();
    check(got == expected);
    check(pieces.takeReplaced() == whole.takeReplaced());
    return 0;
}

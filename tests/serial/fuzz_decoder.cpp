// SPDX-License-Identifier: MIT
// libFuzzer target for ByteDecoder. The first input byte seeds the read
// boundaries, the rest is the received data. Checked for every input:
//  - no byte is lost or invented: walking the text back, each character is
//    either the UTF-8 of the next bytes or the Windows-1252 of the next byte;
//  - the text is well-formed UTF-16 (no lone surrogates);
//  - valid UTF-8 decodes as Qt's own decoder reads it;
//  - decoding in pieces gives the same text as decoding in one read.
#include "platform/text_decoder.h"

#include <QByteArray>
#include <QString>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

int cp1252Byte(char32_t c)
{
    static const char16_t high[32] = {
        0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
        0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
        0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
        0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
    };
    for (int i = 0; i < 32; ++i)
        if (high[i] == c)
            return 0x80 + i;
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF))
        return static_cast<int>(c);
    return -1;
}

void check(bool ok)
{
    if (!ok)
        std::abort();
}

void checkAccountsForEveryByte(const QByteArray &bytes, const QString &text)
{
    qsizetype pos = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        char32_t c = text.at(i).unicode();
        if (text.at(i).isHighSurrogate()) {
            check(i + 1 < text.size() && text.at(i + 1).isLowSurrogate());
            c = QChar::surrogateToUcs4(text.at(i), text.at(i + 1));
            ++i;
        } else {
            check(!text.at(i).isLowSurrogate());
        }
        const QByteArray utf8 = QString::fromUcs4(&c, 1).toUtf8();
        if (QByteArrayView(bytes).sliced(pos).startsWith(utf8)) {
            pos += utf8.size();
            continue;
        }
        check(pos < bytes.size() && cp1252Byte(c) == static_cast<std::uint8_t>(bytes[pos]));
        ++pos;
    }
    check(pos == bytes.size());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size == 0)
        return 0;
    unsigned seed = data[0];
    const QByteArray bytes(reinterpret_cast<const char *>(data + 1), static_cast<qsizetype>(size - 1));

    platform::ByteDecoder whole;
    QString expected = whole.decode(bytes);
    expected += whole.flush();
    checkAccountsForEveryByte(bytes, expected);

    // Valid UTF-8 must come out exactly as Qt's own decoder reads it.
    const QString reference = QString::fromUtf8(bytes);
    if (reference.toUtf8() == bytes)
        check(expected == reference);

    platform::ByteDecoder pieces;
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
    return 0;
}

// SPDX-License-Identifier: MIT
#include "platform/text_decoder.h"

#include <array>
#include <utility>
#include <cstdint>

namespace platform {

namespace {

// Windows-1252 for 0x80..0x9F. The five positions the code page leaves
// undefined keep their byte value as a C1 control, so no byte is ever lost.
constexpr std::array<char16_t, 32> kCp1252High = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

char16_t cp1252(std::uint8_t byte)
{
    if (byte >= 0x80 && byte <= 0x9F)
        return kCp1252High[byte - 0x80];
    return byte;
}

// What a lead byte promises: the sequence length and the range its second
// byte must fall in (the narrow ranges exclude overlong forms, surrogates and
// code points above U+10FFFF). Length 0: the byte cannot start a sequence.
struct LeadInfo {
    int length;
    std::uint8_t secondMin;
    std::uint8_t secondMax;
};

LeadInfo leadInfo(std::uint8_t b)
{
    if (b < 0x80)
        return {1, 0, 0};
    if (b >= 0xC2 && b <= 0xDF)
        return {2, 0x80, 0xBF};
    if (b == 0xE0)
        return {3, 0xA0, 0xBF};
    if (b == 0xED)
        return {3, 0x80, 0x9F};
    if (b >= 0xE1 && b <= 0xEF)
        return {3, 0x80, 0xBF};
    if (b == 0xF0)
        return {4, 0x90, 0xBF};
    if (b == 0xF4)
        return {4, 0x80, 0x8F};
    if (b >= 0xF1 && b <= 0xF3)
        return {4, 0x80, 0xBF};
    return {0, 0, 0};
}

enum class Match { Complete, Truncated, Invalid };

// Checks the sequence starting at bytes[pos] against its lead byte.
Match matchSequence(QByteArrayView bytes, qsizetype pos, const LeadInfo &lead)
{
    for (int i = 1; i < lead.length; ++i) {
        if (pos + i >= bytes.size())
            return Match::Truncated;
        const auto b = static_cast<std::uint8_t>(bytes[pos + i]);
        const bool ok = i == 1 ? (b >= lead.secondMin && b <= lead.secondMax)
                               : (b >= 0x80 && b <= 0xBF);
        if (!ok)
            return Match::Invalid;
    }
    return Match::Complete;
}

char32_t codePoint(QByteArrayView bytes, qsizetype pos, int length)
{
    const auto lead = static_cast<std::uint8_t>(bytes[pos]);
    char32_t cp = length == 2 ? (lead & 0x1Fu) : length == 3 ? (lead & 0x0Fu) : (lead & 0x07u);
    for (int i = 1; i < length; ++i)
        cp = (cp << 6) | (static_cast<std::uint8_t>(bytes[pos + i]) & 0x3Fu);
    return cp;
}

void appendCodePoint(QString &out, char32_t cp)
{
    if (cp > 0xFFFF) {
        out.append(QChar(QChar::highSurrogate(cp)));
        out.append(QChar(QChar::lowSurrogate(cp)));
    } else {
        out.append(QChar(static_cast<char16_t>(cp)));
    }
}

} // namespace

QString ByteDecoder::decode(QByteArrayView bytes)
{
    // Only a held-back tail needs the copy; the common case decodes in place.
    QByteArray joined;
    if (!m_tail.isEmpty()) {
        joined = std::exchange(m_tail, {});
        joined.append(bytes);
        bytes = joined;
    }

    QString out;
    out.reserve(bytes.size());
    qsizetype pos = 0;
    while (pos < bytes.size()) {
        const auto b = static_cast<std::uint8_t>(bytes[pos]);
        const LeadInfo lead = leadInfo(b);
        if (lead.length == 1) {
            out.append(QChar(static_cast<char16_t>(b)));
            ++pos;
            continue;
        }
        const Match m = lead.length == 0 ? Match::Invalid : matchSequence(bytes, pos, lead);
        if (m == Match::Complete) {
            appendCodePoint(out, codePoint(bytes, pos, lead.length));
            pos += lead.length;
        } else if (m == Match::Truncated) {
            // The rest may arrive with the next read.
            m_tail = bytes.sliced(pos).toByteArray();
            break;
        } else {
            // Only the lead is given up; the bytes after it get their own
            // chance, as a new sequence or as single characters.
            out.append(QChar(cp1252(b)));
            ++pos;
        }
    }
    return out;
}

bool ByteDecoder::hasPendingTail() const
{
    return !m_tail.isEmpty();
}

QString ByteDecoder::flush()
{
    QString out;
    out.reserve(m_tail.size());
    for (const char c : std::as_const(m_tail))
        out.append(QChar(cp1252(static_cast<std::uint8_t>(c))));
    m_tail.clear();
    return out;
}

} // namespace platform

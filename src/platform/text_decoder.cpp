// SPDX-License-Identifier: MIT
#include "platform/text_decoder.h"

#include <QStringDecoder>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <utility>

namespace platform {

namespace {

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
    if (lead.length == 0)
        return Match::Invalid;
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

// How far `bytes` is valid UTF-8: `complete` bytes of whole characters, then
// either the end, a valid but incomplete sequence, or an invalid one.
struct Utf8Scan {
    qsizetype complete = 0;
    bool invalid = false;
};

qsizetype asciiPrefix(QByteArrayView bytes)
{
    const char *p = bytes.data();
    const qsizetype n = bytes.size();
    qsizetype i = 0;
    for (; i + 8 <= n; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, p + i, sizeof word);
        if (word & 0x8080808080808080ULL)
            break;
    }
    while (i < n && static_cast<std::uint8_t>(p[i]) < 0x80)
        ++i;
    return i;
}

Utf8Scan scanUtf8(QByteArrayView bytes)
{
    Utf8Scan scan;
    qsizetype pos = 0;
    while (pos < bytes.size()) {
        pos += asciiPrefix(bytes.sliced(pos));
        if (pos == bytes.size())
            break;
        const LeadInfo lead = leadInfo(static_cast<std::uint8_t>(bytes[pos]));
        const Match m = matchSequence(bytes, pos, lead);
        if (m == Match::Invalid)
            scan.invalid = true;
        if (m != Match::Complete)
            break;
        pos += lead.length;
    }
    scan.complete = pos;
    return scan;
}

qsizetype lineEnd(QByteArrayView bytes)
{
    const auto it = std::find_if(bytes.begin(), bytes.end(), [](char c) { return c == '\r' || c == '\n'; });
    return it == bytes.end() ? -1 : (it - bytes.begin()) + 1;
}

bool isControl(std::uint8_t b)
{
    return b < 0x20 || b == 0x7F;
}

constexpr QChar kReplacement(QChar::ReplacementCharacter);

// Decodes `bytes` straight into the end of `out`; returns where they begin.
qsizetype appendDecoded(QStringDecoder &decoder, QByteArrayView bytes, QString &out)
{
    const qsizetype at = out.size();
    out.resize(at + decoder.requiredSpace(bytes.size()));
    const QChar *end = decoder.appendToBuffer(out.data() + at, bytes);
    out.resize(end - out.constData());
    return at;
}

// Validated UTF-8; a leading U+FEFF is text like any other.
void appendUtf8(QByteArrayView bytes, QString &out)
{
    static thread_local QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless |
                                                                      QStringDecoder::Flag::ConvertInitialBom);
    appendDecoded(utf8, bytes, out);
}

} // namespace

// The legacy code page through QStringDecoder. Controls never reach it
// inside a run: no code page this decoder accepts has them inside a
// multibyte character, and ICU's Shift_JIS swaps 0x1A, 0x1C and 0x7F the
// IBM way. Its substitutes, U+001A and U+FFFD, therefore always mark an
// undecodable sequence.
class ByteDecoder::Legacy {
public:
    explicit Legacy(const QByteArray &name) : m_name(name), m_decoder(name.constData())
    {
        if (!m_decoder.isValid()) {
            // Never lose the bytes over a bad name; Qt always has Latin-1.
            m_name = "ISO-8859-1";
            m_decoder = QStringDecoder(QStringDecoder::Latin1);
        }
    }

    const QByteArray &name() const { return m_name; }

    // Decodes a run and the control byte after it in one call (the control
    // ends an unfinished sequence the way ICU does when it sees it), and
    // leaves the control's own decoding out.
    void decodeEnded(QByteArrayView runAndControl, QString &out, qsizetype &replaced)
    {
        m_decoder.resetState();
        const qsizetype at = appendDecoded(m_decoder, runAndControl, out);
        out.chop(1);
        markReplaced(out, at, replaced);
    }

    // Decodes a run whose line goes on; an incomplete character at its end
    // is left out, and its length returned.
    qsizetype decodeOpen(QByteArrayView run, QString &out, qsizetype &replaced)
    {
        m_decoder.resetState();
        const qsizetype at = appendDecoded(m_decoder, run, out);
        // A LF is no part of any character: it shows whether the run left
        // one open.
        if (QString(m_decoder.decode(QByteArrayView("\n", 1))).size() == 1) {
            markReplaced(out, at, replaced);
            return 0;
        }
        // The incomplete character is the bytes whose removal leaves the
        // text unchanged.
        const QString text = QStringView(out).sliced(at).toString();
        qsizetype held = 0;
        for (qsizetype j = 1; j <= std::min<qsizetype>(3, run.size()); ++j) {
            m_decoder.resetState();
            if (m_decoder.decode(run.chopped(j)) != text)
                break;
            held = j;
        }
        if (held == 0) {
            out.truncate(at);
            QByteArray ended = run.toByteArray();
            ended.append('\n');
            decodeEnded(ended, out, replaced);
            return 0;
        }
        markReplaced(out, at, replaced);
        return held;
    }

private:
    static void markReplaced(QString &out, qsizetype from, qsizetype &replaced)
    {
        for (qsizetype i = from; i < out.size(); ++i) {
            const QChar c = out.at(i);
            if (c == u'\x1a' || c == kReplacement) {
                out[i] = kReplacement;
                ++replaced;
            }
        }
    }

    QByteArray m_name;
    QStringDecoder m_decoder;
};

ByteDecoder::ByteDecoder() : ByteDecoder(TextEncoding{QByteArray("windows-1252"), QString()}) {}

ByteDecoder::ByteDecoder(const TextEncoding &encoding)
{
    if (!encoding.legacy.isEmpty())
        m_legacy = std::make_unique<Legacy>(encoding.legacy);
}

ByteDecoder::~ByteDecoder() = default;
ByteDecoder::ByteDecoder(ByteDecoder &&) noexcept = default;
ByteDecoder &ByteDecoder::operator=(ByteDecoder &&) noexcept = default;

QString ByteDecoder::decode(QByteArrayView bytes)
{
    // Only held bytes need the copy; the common case decodes in place.
    QByteArray joined;
    if (!m_held.isEmpty()) {
        joined = std::exchange(m_held, {});
        joined.append(bytes);
        bytes = joined;
    }
    if (!m_legacy)
        return decodeUtf8Only(bytes, false);

    QString out;
    // Room for what ICU asks for, so that runs append without reallocating.
    out.reserve(2 * bytes.size() + 8);
    qsizetype pos = 0;
    while (pos < bytes.size()) {
        QByteArrayView rest = bytes.sliced(pos);
        if (m_lineIsLegacy) {
            pos += decodeLegacyLine(rest, false, out);
            continue;
        }
        const qsizetype ascii = asciiPrefix(rest);
        out.append(QLatin1StringView(rest.first(ascii)));
        pos += ascii;
        if (ascii == rest.size())
            break;
        rest = rest.sliced(ascii);

        const qsizetype end = lineEnd(rest);
        QByteArrayView region = end < 0 ? rest : rest.first(end);
        const bool cut = region.size() > kDecideAfter;
        if (cut)
            region = region.first(kDecideAfter);
        const Utf8Scan scan = scanUtf8(region);
        if (scan.invalid) {
            m_lineIsLegacy = true;
        } else if (cut) {
            appendUtf8(region.first(scan.complete), out);
            pos += scan.complete;
        } else if (end >= 0) {
            appendUtf8(region, out);
            pos += region.size();
        } else {
            m_held = rest.toByteArray();
            pos = bytes.size();
        }
    }
    return out;
}

qsizetype ByteDecoder::decodeLegacyLine(QByteArrayView bytes, bool complete, QString &out)
{
    qsizetype runStart = 0;
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        const auto b = static_cast<std::uint8_t>(bytes[i]);
        if (!isControl(b))
            continue;
        if (i > runStart)
            m_legacy->decodeEnded(bytes.sliced(runStart, i + 1 - runStart), out, m_lineReplaced);
        out.append(QChar(static_cast<char16_t>(b)));
        runStart = i + 1;
        if (b == '\r' || b == '\n') {
            endLine();
            return i + 1;
        }
    }
    if (runStart < bytes.size()) {
        const QByteArrayView run = bytes.sliced(runStart);
        if (complete) {
            QByteArray ended = run.toByteArray();
            ended.append('\n');
            m_legacy->decodeEnded(ended, out, m_lineReplaced);
        } else if (const qsizetype held = m_legacy->decodeOpen(run, out, m_lineReplaced)) {
            m_held = run.last(held).toByteArray();
        }
    }
    return bytes.size();
}

QString ByteDecoder::decodeUtf8Only(QByteArrayView bytes, bool complete)
{
    QString out;
    out.reserve(bytes.size());
    qsizetype pos = 0;
    while (pos < bytes.size()) {
        const qsizetype ascii = asciiPrefix(bytes.sliced(pos));
        out.append(QLatin1StringView(bytes.sliced(pos, ascii)));
        pos += ascii;
        if (pos == bytes.size())
            break;
        const LeadInfo lead = leadInfo(static_cast<std::uint8_t>(bytes[pos]));
        const Match m = matchSequence(bytes, pos, lead);
        if (m == Match::Complete) {
            appendUtf8(bytes.sliced(pos, lead.length), out);
            pos += lead.length;
        } else if (m == Match::Truncated && !complete) {
            // The rest may arrive with the next read.
            m_held = bytes.sliced(pos).toByteArray();
            break;
        } else {
            // Only the lead is given up; the bytes after it get their own
            // chance, as a new sequence or as replacements of their own.
            out.append(kReplacement);
            ++m_replaced;
            ++pos;
        }
    }
    return out;
}

bool ByteDecoder::hasPendingTail() const
{
    return !m_held.isEmpty();
}

bool ByteDecoder::lineOpen() const
{
    return !m_held.isEmpty() || m_lineIsLegacy || m_lineReplaced > 0;
}

QString ByteDecoder::flush()
{
    const QByteArray held = std::exchange(m_held, {});
    QString out;
    if (!m_legacy) {
        out = decodeUtf8Only(held, true);
    } else if (!held.isEmpty()) {
        const Utf8Scan scan = scanUtf8(held);
        if (!m_lineIsLegacy && !scan.invalid && scan.complete == held.size()) {
            appendUtf8(held, out);
        } else {
            m_lineIsLegacy = true;
            decodeLegacyLine(held, true, out);
        }
    }
    endLine();
    return out;
}

void ByteDecoder::reset()
{
    m_held.clear();
    m_lineIsLegacy = false;
    m_lineReplaced = 0;
}

qsizetype ByteDecoder::takeReplaced()
{
    return std::exchange(m_replaced, 0);
}

QByteArray ByteDecoder::legacyName() const
{
    return m_legacy ? m_legacy->name() : QByteArray();
}

void ByteDecoder::endLine()
{
    m_replaced += std::exchange(m_lineReplaced, 0);
    m_lineIsLegacy = false;
}

} // namespace platform

// SPDX-License-Identifier: MIT
// libFuzzer target for KeyStrokePlanner. The first input byte picks how the
// rest becomes text (UTF-8, or raw UTF-16 with lone surrogates) and seeds
// where the text is cut into bursts. Checked for every input, walking the
// text and the keystrokes side by side:
//  - a modifier is pressed only through the control table: Named keys only
//    for CR, LF, TAB, BS, ESC and DEL; Ctrl only for the other C0 controls,
//    with the character 0x40 above (letters lower case);
//  - every other character is typed as itself, once, in order; a lone
//    surrogate becomes U+FFFD; CR LF is one Return, also when a burst ends
//    between the two;
//  - planning in bursts gives the keystrokes of planning in one go.
#include "platform/keystrokes.h"

#include <QString>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

using platform::KeyStroke;
using platform::NamedKey;

void check(bool ok)
{
    if (!ok)
        __builtin_trap();
}

std::vector<char32_t> codePoints(const QString &text)
{
    std::vector<char32_t> out;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c.isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate()) {
            out.push_back(QChar::surrogateToUcs4(c, text.at(i + 1)));
            ++i;
        } else {
            out.push_back(c.isSurrogate() ? U'\uFFFD' : c.unicode());
        }
    }
    return out;
}

// The one keystroke a character may give; false for LF right after CR.
bool expectedStroke(char32_t c, bool afterCR, KeyStroke &out)
{
    switch (c) {
    case U'\r': out = KeyStroke::named(NamedKey::Return); return true;
    case U'\n':
        out = KeyStroke::named(NamedKey::Return);
        return !afterCR;
    case U'\t': out = KeyStroke::named(NamedKey::Tab); return true;
    case 0x08: out = KeyStroke::named(NamedKey::BackSpace); return true;
    case 0x1B: out = KeyStroke::named(NamedKey::Escape); return true;
    case 0x7F: out = KeyStroke::named(NamedKey::Delete); return true;
    default: break;
    }
    if (c < 0x20) {
        const char32_t above = c + 0x40;
        out = KeyStroke::ctrl(above >= U'A' && above <= U'Z' ? above + 0x20 : above);
    } else {
        out = KeyStroke::character(c);
    }
    return true;
}

void checkStrokes(const std::vector<char32_t> &text, const std::vector<KeyStroke> &strokes)
{
    std::size_t k = 0;
    bool afterCR = false;
    for (const char32_t c : text) {
        KeyStroke want;
        if (expectedStroke(c, afterCR, want)) {
            check(k < strokes.size());
            const KeyStroke &got = strokes[k++];
            switch (got.kind) {
            case KeyStroke::Kind::Named:
                check(c == U'\r' || c == U'\n' || c == U'\t' || c == 0x08 || c == 0x1B || c == 0x7F);
                break;
            case KeyStroke::Kind::Ctrl:
                check(c < 0x20 && got.ch >= 0x40 && got.ch < 0x80 && !(got.ch >= U'A' && got.ch <= U'Z'));
                break;
            case KeyStroke::Kind::Char:
                check(c >= 0x20 && c != 0x7F && got.ch <= 0x10FFFF && !(got.ch >= 0xD800 && got.ch <= 0xDFFF));
                break;
            default:
                check(false);
            }
            check(got == want);
        }
        afterCR = c == U'\r';
    }
    check(k == strokes.size());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size == 0)
        return 0;
    unsigned seed = data[0];
    const char *rest = reinterpret_cast<const char *>(data + 1);
    const auto restSize = static_cast<qsizetype>(size - 1);
    QString text;
    if (seed & 1) {
        // Copied out first: the input is not aligned for 16-bit units.
        text.resize(restSize / 2);
        std::memcpy(text.data(), rest, static_cast<std::size_t>(restSize / 2) * 2);
    } else {
        text = QString::fromUtf8(rest, restSize);
    }

    platform::KeyStrokePlanner whole;
    const std::vector<KeyStroke> expected = whole.plan(text);
    checkStrokes(codePoints(text), expected);

    // Cuts fall anywhere, between CR and LF or inside a surrogate pair, as a
    // serial read may; a pair cut in two is two lone surrogates there, so
    // only whole pairs are compared below.
    platform::KeyStrokePlanner bursts;
    std::vector<KeyStroke> got;
    bool cutPair = false;
    qsizetype pos = 0;
    while (pos < text.size()) {
        seed = seed * 1103515245u + 12345u;
        const qsizetype n = std::min<qsizetype>(text.size() - pos, 1 + (seed >> 16) % 7);
        cutPair |= pos + n < text.size() && text.at(pos + n - 1).isHighSurrogate()
                   && text.at(pos + n).isLowSurrogate();
        const auto part = bursts.plan(QStringView(text).sliced(pos, n));
        got.insert(got.end(), part.begin(), part.end());
        pos += n;
    }
    if (!cutPair)
        check(got == expected);
    return 0;
}

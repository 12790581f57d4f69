// SPDX-License-Identifier: MIT
#include "platform/keystrokes.h"


namespace platform {

std::vector<KeyStroke> KeyStrokePlanner::plan(QStringView text)
{
    std::vector<KeyStroke> out;
    out.reserve(static_cast<std::size_t>(text.size()));
    for (qsizetype i = 0; i < text.size(); ++i) {
        // Work on code points; a lone surrogate becomes U+FFFD rather than
        // half a character.
        char32_t c = text[i].unicode();
        if (QChar::isHighSurrogate(c) && i + 1 < text.size() && text[i + 1].isLowSurrogate()) {
            c = QChar::surrogateToUcs4(text[i].unicode(), text[i + 1].unicode());
            ++i;
        } else if (QChar::isSurrogate(c))
            c = U'\uFFFD';
        const bool afterCR = m_afterCR;
        m_afterCR = (c == U'\r');
        switch (c) {
        case U'\r':
            out.push_back(KeyStroke::named(NamedKey::Return));
            continue;
        case U'\n':
            if (!afterCR)
                out.push_back(KeyStroke::named(NamedKey::Return));
            continue;
        case U'\t':
            out.push_back(KeyStroke::named(NamedKey::Tab));
            continue;
        case U'\b':
            out.push_back(KeyStroke::named(NamedKey::BackSpace));
            continue;
        case 0x1B:
            out.push_back(KeyStroke::named(NamedKey::Escape));
            continue;
        case 0x7F:
            out.push_back(KeyStroke::named(NamedKey::Delete));
            continue;
        default:
            break;
        }
        if (c < 0x20) {
            char32_t base = c + 0x40;
            if (base >= U'A' && base <= U'Z')
                base = base - U'A' + U'a';
            out.push_back(KeyStroke::ctrl(base));
        } else {
            out.push_back(KeyStroke::character(c));
        }
    }
    return out;
}

} // namespace platform

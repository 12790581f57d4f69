// SPDX-License-Identifier: MIT
#pragma once

#include "platform/code_page.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <memory>

namespace platform {

// Turns received bytes into text, one line at a time (a line ends with CR
// or LF, or when the owner reports the line quiet with flush()). A line that
// is valid UTF-8 is UTF-8; any other line is decoded whole with the legacy
// code page, so that a multibyte legacy text is never cut into accidental
// UTF-8 characters and single-byte leftovers. ASCII is the same in both and
// goes out at once; from a line's first other byte on, its text is held
// until the line shows which it is: an invalid UTF-8 sequence (legacy, and
// the rest of the line follows at once), its end, or kDecideAfter bytes of
// valid UTF-8. A character split across two reads stays whole either way.
// Bytes the code page cannot map become U+FFFD and are counted; nothing is
// dropped, NUL is kept, and C0 controls and DEL always stand for themselves.
// Pure: no timer, no output; the serial control drives it.
class ByteDecoder {
public:
    // So much valid UTF-8 in one line is no accident of a legacy text.
    static constexpr qsizetype kDecideAfter = 1024;

    // UTF-8 with Windows-1252 as the legacy code page.
    ByteDecoder();
    // `encoding.legacy` must be a name unsuitableCodePage() accepts, or
    // empty: then bytes that are not UTF-8 become U+FFFD, one per byte.
    explicit ByteDecoder(const TextEncoding &encoding);
    ~ByteDecoder();
    ByteDecoder(ByteDecoder &&) noexcept;
    ByteDecoder &operator=(ByteDecoder &&) noexcept;

    // Decodes what is decided; the rest is held for the next call.
    QString decode(QByteArrayView bytes);
    // True while bytes are held.
    bool hasPendingTail() const;
    // True while bytes are held or the current line has been taken as legacy
    // text: the owner calls flush() once the line has been quiet a while.
    bool lineOpen() const;
    // The line is over: decides and decodes the held bytes (an incomplete
    // sequence at the end in its single-byte meaning where the code page
    // gives it one, else U+FFFD) and starts a new line.
    QString flush();
    // Forgets held bytes and the current line (the waiting input is being
    // discarded).
    void reset();

    // Replacement characters put in for undecodable bytes in the lines ended
    // since the last call.
    qsizetype takeReplaced();
    // The legacy code page's name; empty when there is none.
    QByteArray legacyName() const;

private:
    class Legacy;

    // Decodes legacy text up to and including the line's end, if `bytes`
    // holds it; returns how many bytes it took.
    qsizetype decodeLegacyLine(QByteArrayView bytes, bool complete, QString &out);
    QString decodeUtf8Only(QByteArrayView bytes, bool complete);
    void endLine();

    std::unique_ptr<Legacy> m_legacy;
    QByteArray m_held;
    bool m_lineIsLegacy = false;
    qsizetype m_lineReplaced = 0;
    qsizetype m_replaced = 0;
};

} // namespace platform

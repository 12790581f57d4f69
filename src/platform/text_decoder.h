// SPDX-License-Identifier: MIT
#pragma once

#include <QByteArrayView>
#include <QString>

namespace platform {

// Turns received bytes into text: UTF-8, where a character split across two
// reads stays whole, and any byte that cannot be part of valid UTF-8 is taken
// as its Windows-1252 character. Nothing is dropped; NUL is kept.
class ByteDecoder {
public:
    // Decodes what it can; an incomplete sequence at the end is kept back.
    QString decode(QByteArrayView bytes);
    // True while an incomplete sequence is kept back.
    bool hasPendingTail() const;
    // Gives up on the kept-back bytes: each becomes its Windows-1252 character.
    QString flush();
    // Forgets a kept-back tail (the waiting input is being discarded).
    void reset() { m_tail.clear(); }

private:
    QByteArray m_tail;
};

} // namespace platform

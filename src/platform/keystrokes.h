// SPDX-License-Identifier: MIT
#pragma once

#include <QStringView>

#include <cstdint>
#include <vector>

namespace platform {

// What one received character becomes on the keyboard.
enum class NamedKey : std::uint8_t { Return, Tab, BackSpace, Escape, Delete };

struct KeyStroke {
    enum class Kind : std::uint8_t {
        Char,  // type the character itself, whatever keys the layout needs
        Named, // press a named key
        Ctrl,  // Control held while the character's key is typed
    };
    Kind kind = Kind::Char;
    char32_t ch = 0;                    // Char and Ctrl
    NamedKey key = NamedKey::Return;    // Named

    static KeyStroke character(char32_t c) { return {Kind::Char, c, NamedKey::Return}; }
    static KeyStroke named(NamedKey k) { return {Kind::Named, 0, k}; }
    static KeyStroke ctrl(char32_t c) { return {Kind::Ctrl, c, NamedKey::Return}; }
    friend bool operator==(const KeyStroke &, const KeyStroke &) = default;
};

// Turns received text into keystrokes. Every character stands for itself;
// only control characters become keys: CR, LF and CR LF one Return, TAB Tab,
// BS BackSpace, ESC Escape, DEL Delete, any other C0 control Ctrl plus the
// character 0x40 above it (letters lower case: EOT is Ctrl+d, GS Ctrl+]).
// It keeps one bit of state so that a CR LF split across two bursts is
// still one Return.
class KeyStrokePlanner {
public:
    std::vector<KeyStroke> plan(QStringView text);
    void reset() { m_afterCR = false; }

private:
    bool m_afterCR = false;
};

} // namespace platform

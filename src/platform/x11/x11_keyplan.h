// SPDX-License-Identifier: MIT
#pragma once

#include "platform/keystrokes.h"

#include <array>
#include <cstdint>
#include <span>
#include <vector>

// Which X keycode, group and modifier keys type each keystroke. Pure: it
// works on a copy of the keymap, so that every layout can be tried without a
// display.
namespace platform::x11 {

using KeySymbol = std::uint32_t;

namespace keysym {
inline constexpr KeySymbol BackSpace = 0xff08;
inline constexpr KeySymbol Tab = 0xff09;
inline constexpr KeySymbol Return = 0xff0d;
inline constexpr KeySymbol Escape = 0xff1b;
inline constexpr KeySymbol Delete = 0xffff;
inline constexpr KeySymbol ShiftL = 0xffe1;
inline constexpr KeySymbol ShiftR = 0xffe2;
inline constexpr KeySymbol ControlL = 0xffe3;
inline constexpr KeySymbol ControlR = 0xffe4;
inline constexpr KeySymbol IsoLevel3Shift = 0xfe03;

// The keysym that stands for c on a key of our own: Latin-1 keysyms equal
// their code point, everything else uses the Unicode keysym range.
KeySymbol forCharacter(char32_t c);
// Keypad keysyms (KP_Space .. KP_Equal).
bool isKeypad(KeySymbol sym);
// Dead keys: they type nothing by themselves.
bool isDead(KeySymbol sym);
// Symbols nobody types while scanning: launcher and media keys (XF86 range,
// except the mode lock), F13-F35, and no symbol at all.
bool isIdleFunction(KeySymbol sym);
} // namespace keysym

// Modifier masks as the core protocol numbers them.
namespace modmask {
inline constexpr unsigned Shift = 1u << 0;
inline constexpr unsigned Lock = 1u << 1;
inline constexpr unsigned Control = 1u << 2;
} // namespace modmask

struct KeyLevel {
    KeySymbol keysym = 0;
    char32_t ch = 0; // the character it types, 0 for none (dead keys, functions)
};

// One group of one key: its key type (which modifiers pick which level) and
// the symbols of its levels.
struct KeyGroup {
    struct Entry {
        unsigned mods = 0;
        int level = 0;
    };
    unsigned typeMask = 0;      // modifiers the key type looks at
    std::vector<Entry> entries; // active map entries; no match means level 0
    std::vector<KeyLevel> levels;

    int levelFor(unsigned mods) const;
};

struct KeyInfo {
    std::uint8_t keycode = 0;
    bool keypad = false; // never used: its symbols depend on Num Lock
    std::vector<KeyGroup> groups;
    bool modifier = false; // sets a real or virtual modifier
    bool acts = false;     // does something when pressed (switches, grabs, ...)
};

// Whether a key may lend itself to a symbol of ours for a while: every level
// of every group holds an idle function symbol, and it is neither a
// modifier, nor on the keypad, nor a key with actions. Such a key never types a character, Return,
// Tab, BackSpace, Escape or Delete, so no plan needs it for the layout.
bool borrowable(const KeyInfo &key);

struct ModifierKey {
    std::uint8_t keycode = 0; // 0: the keymap has no such key
    unsigned mask = 0;        // real modifiers it sets
};

struct KeymapSnapshot {
    std::vector<KeyInfo> keys;                // keys with symbols
    std::vector<std::uint8_t> emptyKeycodes;  // keycodes without any symbol
    ModifierKey shift, levelThree, control;
    int numGroups = 1;
};

// What the keyboard is doing when typing starts.
struct KeyboardState {
    int group = 0;         // effective group
    unsigned heldMods = 0; // modifiers typing cannot release (held keys, locks)
};

// A keycode we may bind to a symbol of our own.
struct SpareKey {
    std::uint8_t keycode = 0;
    KeySymbol keysym = 0;    // what it is bound to now, 0 for nothing
    bool rebindable = true;  // unbound, or idle for long enough that clients know its binding
    bool borrowed = false;   // a key of the layout, lent to us while it has keysym 0
};

struct SpareBinding {
    std::uint8_t keycode = 0;
    KeySymbol keysym = 0;
    friend bool operator==(const SpareBinding &, const SpareBinding &) = default;
};

struct PlannedKey {
    std::uint8_t keycode = 0;
    std::uint8_t group = 0;                    // group to be locked while it is typed
    std::array<std::uint8_t, 3> modifiers{};   // modifier keys held around it, 0 = none
    friend bool operator==(const PlannedKey &, const PlannedKey &) = default;
};

struct KeyPlan {
    std::vector<SpareBinding> bindings; // bind these before typing
    std::vector<PlannedKey> keys;       // one per consumed keystroke
    std::size_t consumed = 0;           // < strokes.size(): the spare keys ran out here
};

// Plans the keys for strokes, as many as the spare keys allow. Layout keys in
// the active group come first (fewest modifiers, then lowest keycode), then a
// spare key already bound to the symbol, then another group, then a spare key
// to be bound: an empty one, else one of ours clients know by now, else a
// borrowed key of the layout. Throws RuntimeError when a Ctrl stroke meets a keymap without
// a Control key.
KeyPlan planKeys(const KeymapSnapshot &keymap, const KeyboardState &state,
                 std::span<const SpareKey> spares, std::span<const KeyStroke> strokes);

} // namespace platform::x11

// SPDX-License-Identifier: MIT
#pragma once

#include "platform/keystrokes.h"

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>

namespace platform::wayland {

// The keymap the virtual keyboard uploads: a few fixed keys (the named keys
// and Control) plus one key per character, each with a single level, so that
// no layout and no modifier the user holds can change what a key types.
//
// Keycodes are XKB keycodes (the wire key code is 8 less). Only 9..255 are
// used: XWayland drops anything above 255.
//
// A character keeps its key while its key events may still be on their way
// to a client: a key is only given to another character once it has not
// been used for kGrace. Until then the keymap only grows. Time is passed in,
// so the assignment is a pure function of the strokes and the clock.
class WaylandKeymap {
public:
    static constexpr std::uint32_t kMinKeycode = 9;
    static constexpr std::uint32_t kMaxKeycode = 255;
    // Mask of Control in modifiers requests (the real modifier Control is
    // always index 2 in an XKB keymap).
    static constexpr std::uint32_t kControlMask = 1u << 2;

    using Clock = std::chrono::steady_clock;
    // How long a key stays with its character after its last use. Clients
    // behind XWayland read a new keymap late; a key reused sooner could be
    // read with the wrong character.
    static constexpr std::chrono::milliseconds kGrace{1000};

    WaylandKeymap();

    static std::uint32_t namedKeycode(NamedKey key);
    static std::uint32_t controlKeycode();
    // A key without a symbol: pressing it makes the compositor switch the
    // seat to this keyboard (and send its keymap to clients), typing nothing.
    static std::uint32_t silentKeycode();
    // A key that is never pressed and carries a symbol that changes with
    // every keymap we upload: a client that reads this key's symbol back
    // knows which of our keymaps it has applied.
    static std::uint32_t markerKeycode();
    std::uint32_t markerKeysym() const;
    // Gives the next upload a marker of its own, so that it can be told
    // from the one before (even when nothing else changed).
    void nextGeneration() { ++m_generation; }

    // Whether a keymap text (as the compositor passes it on) is one of ours.
    static bool isOwnKeymap(std::string_view text);

    // Keycode that types c, if c currently has one.
    std::optional<std::uint32_t> keycodeFor(char32_t c) const;

    // Gives a keycode to every character of the leading strokes, in order,
    // until one does not fit (every key is held by a character used within
    // kGrace before now). Returns how many strokes can now be typed; sets
    // *changed when the keymap text changed and must be uploaded first.
    std::size_t admit(std::span<const KeyStroke> strokes, Clock::time_point now, bool *changed);

    // Gives keys to characters before anything is typed, as if last used
    // long ago: the first scans then need no keymap upload, and the keys are
    // the first to be given away when a burst needs room.
    void preload(std::u32string_view characters);

    // The strokes were delivered at `now`: their keys stay with their
    // characters for kGrace from then (typing a long burst takes a while).
    void markUsed(std::span<const KeyStroke> strokes, Clock::time_point now);

    // The earliest time at which a held key may be given to another
    // character; null while some key is still free.
    std::optional<Clock::time_point> nextRecycle() const;

    // Number of keys available to characters.
    static std::size_t characterKeyCount();

    // The XKB keymap (xkb_v1 text format) for the current assignment.
    std::string text() const;

private:
    struct Slot {
        char32_t ch = 0;           // 0: never used
        Clock::time_point lastUse; // the last stroke that needed it
    };
    static constexpr std::size_t kKeycodes = kMaxKeycode + 1;

    bool isFixed(std::uint32_t keycode) const;
    std::optional<std::uint32_t> takeSlot(Clock::time_point now) const;

    std::array<Slot, kKeycodes> m_slots{};
    std::uint32_t m_generation = 0;
    std::unordered_map<char32_t, std::uint32_t> m_keycodeOf;
};

// The keysym an XKB keymap uses for c: the classic named keysym when one
// stands for exactly c, else the Unicode keysym (0x01000000 + c).
std::uint32_t keysymFor(char32_t c);

} // namespace platform::wayland

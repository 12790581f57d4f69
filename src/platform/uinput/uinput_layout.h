// SPDX-License-Identifier: MIT
#pragma once

#include <QString>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace platform::uinput {

// The XKB rule names that describe a keyboard layout.
struct KeymapNames {
    std::string rules = "evdev";
    std::string model;
    std::string layout = "us";
    std::string variant;
    std::string options;

    // The layout that is active when nobody switched groups, as users write
    // it: "us", "de(nodeadkeys)". Only this first layout is typed through.
    QString describe() const;
    friend bool operator==(const KeymapNames &, const KeymapNames &) = default;
};

// Looks up an environment variable; nullopt when it is unset.
using EnvLookup = std::function<std::optional<std::string>(const char *name)>;

// The layout the desktop most likely applies: XKB_DEFAULT_LAYOUT (with
// XKB_DEFAULT_VARIANT) when set, else XKBLAYOUT/XKBVARIANT from the system
// keyboard configuration (shell-style KEY="value" lines), else "us".
// Model, options and rules come from the environment first, then the system
// configuration. Layout and variant always come from the same place: a
// variant only makes sense for the layout it was written for.
KeymapNames resolveKeymapNames(const EnvLookup &env, std::string_view systemConfig);

// resolveKeymapNames() with the process environment and the first system
// file that names a layout (/etc/default/keyboard, /etc/vconsole.conf).
KeymapNames keymapNamesOfThisSystem();

// The evdev key and the modifiers that produce one character.
struct KeyChord {
    std::uint16_t code = 0; // evdev code (XKB keycode - 8)
    bool shift = false;
    bool altGr = false;
    friend bool operator==(const KeyChord &, const KeyChord &) = default;
};

// Which key types which character under one layout, using only Shift and
// AltGr (never dead keys or keypad keys), with Caps Lock off or on.
class LayoutKeys {
public:
    LayoutKeys(QString name, std::unordered_map<char32_t, KeyChord> chords,
               std::unordered_map<char32_t, KeyChord> capsLockChords, std::uint16_t shiftCode,
               std::uint16_t altGrCode);

    // Reads the layout's keymap through xkbcommon. nullopt with the reason in
    // *whyNot when xkbcommon cannot compile it.
    static std::optional<LayoutKeys> fromNames(const KeymapNames &names, QString *whyNot);

    // The chord for c, or null when the layout has no key for it. With
    // capsLock the chord is the one that types c while Caps Lock is on.
    const KeyChord *find(char32_t c, bool capsLock = false) const;
    const QString &name() const { return m_name; }
    // The keys that select the second and the third level (Shift and
    // ISO_Level3_Shift), 0 if the layout has none.
    std::uint16_t shiftCode() const { return m_shiftCode; }
    std::uint16_t altGrCode() const { return m_altGrCode; }
    std::size_t size() const { return m_chords.size(); }

private:
    QString m_name;
    std::unordered_map<char32_t, KeyChord> m_chords;
    std::unordered_map<char32_t, KeyChord> m_capsLockChords;
    std::uint16_t m_shiftCode = 0;
    std::uint16_t m_altGrCode = 0;
};

} // namespace platform::uinput

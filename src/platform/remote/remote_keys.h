// SPDX-License-Identifier: MIT
#pragma once

#include "platform/keystrokes.h"

#include <QString>

#include <cstdint>
#include <span>
#include <unordered_map>
#include <vector>

struct xkb_keymap;

namespace platform::remote {

// One key event as a remote-input session takes it.
struct KeyEvent {
    std::uint32_t keysym = 0;
    bool pressed = false;
    friend bool operator==(const KeyEvent &, const KeyEvent &) = default;
};

// The characters one layout group types, each with the keysym to send for
// it. The compositor finds the key for a keysym in its current group and
// drops what it cannot find, so only what is listed here may be sent.
class LayoutKeysyms {
public:
    LayoutKeysyms() = default;
    LayoutKeysyms(QString name, std::unordered_map<char32_t, std::uint32_t> keysyms)
        : m_name(std::move(name)), m_keysyms(std::move(keysyms)) {}

    // Reads one group of a keymap. Only the levels every window receives
    // are taken: the base level and Shift alone; keypad keys are left out
    // (without Num Lock they move the cursor).
    static LayoutKeysyms fromKeymap(xkb_keymap *keymap, std::uint32_t group);

    // The keysym that types c, 0 when the group has none.
    std::uint32_t find(char32_t c) const;
    // The group's name as the desktop shows it ("English (US)").
    const QString &name() const { return m_name; }
    std::size_t size() const { return m_keysyms.size(); }

private:
    QString m_name;
    std::unordered_map<char32_t, std::uint32_t> m_keysyms;
};

// The keysym standing for a character: the legacy keysym where one exists
// (the euro sign is 0x20ac, not 0x10020ac), else the Unicode form.
std::uint32_t preferredKeysym(char32_t c);

struct KeyPlan {
    std::vector<KeyEvent> events;
    // Characters the layout lacks, each once, in order of appearance.
    QString missing;
    // Scans left out because of them.
    int refusedScans = 0;
};

// Press and release events for strokes under a layout; named keys and Ctrl
// are the same keysyms on every layout. A scan (up to and with its Return,
// or the rest of the burst) holding a character the layout lacks is left
// out whole; the other scans of the burst are kept.
KeyPlan planKeyEvents(std::span<const KeyStroke> strokes, const LayoutKeysyms &layout);

} // namespace platform::remote

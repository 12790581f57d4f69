// SPDX-License-Identifier: MIT
#include "platform/wayland/wayland_keymap.h"

#include <xkbcommon/xkbcommon.h>

#include <algorithm>
#include <cstdio>

namespace platform::wayland {

namespace {

// The named keys sit on their usual evdev keycodes, so that applications
// that look at the physical key (browsers' KeyboardEvent.code) see Enter,
// Tab and so on where they expect them.
constexpr std::uint32_t kEscape = 9;
constexpr std::uint32_t kBackSpace = 22;
constexpr std::uint32_t kTab = 23;
constexpr std::uint32_t kReturn = 36;
constexpr std::uint32_t kControl = 37;
constexpr std::uint32_t kDelete = 119;
constexpr std::uint32_t kMarker = 254;
constexpr std::uint32_t kSilent = 255;
// Markers are private-use characters: never pressed, and no layout has them.
constexpr std::uint32_t kMarkerBase = 0x0100E000;
constexpr std::uint32_t kMarkerCount = 0x1000;

constexpr std::array<std::uint32_t, 8> kFixedKeycodes{kEscape, kBackSpace, kTab,    kReturn,
                                                      kControl, kDelete,   kMarker, kSilent};

// Compositors re-serialise an uploaded keymap but keep its section names.
constexpr std::string_view kKeycodesMarker = "xkb_keycodes \"scnferry\"";

std::string keysymName(std::uint32_t keysym)
{
    char name[64];
    if (xkb_keysym_get_name(keysym, name, sizeof name) <= 0)
        std::snprintf(name, sizeof name, "0x%08x", keysym);
    return name;
}

// XKB key names are at most four characters: "K9" .. "K255".
std::string keyName(std::uint32_t keycode)
{
    return "<K" + std::to_string(keycode) + ">";
}

} // namespace

std::uint32_t keysymFor(char32_t c)
{
    // Control characters would get function keysyms (BackSpace for 0x08);
    // a character key must type the character itself.
    if (c >= 0x20 && c != 0x7F) {
        const xkb_keysym_t sym = xkb_utf32_to_keysym(c);
        if (sym != XKB_KEY_NoSymbol && sym < 0x01000000 && xkb_keysym_to_utf32(sym) == c)
            return sym;
    }
    return 0x01000000u + static_cast<std::uint32_t>(c);
}

WaylandKeymap::WaylandKeymap() = default;

std::uint32_t WaylandKeymap::namedKeycode(NamedKey key)
{
    switch (key) {
    case NamedKey::Return: return kReturn;
    case NamedKey::Tab: return kTab;
    case NamedKey::BackSpace: return kBackSpace;
    case NamedKey::Escape: return kEscape;
    case NamedKey::Delete: return kDelete;
    }
    return kReturn;
}

std::uint32_t WaylandKeymap::controlKeycode()
{
    return kControl;
}

std::uint32_t WaylandKeymap::silentKeycode()
{
    return kSilent;
}

std::uint32_t WaylandKeymap::markerKeycode()
{
    return kMarker;
}

std::uint32_t WaylandKeymap::markerKeysym() const
{
    return kMarkerBase + m_generation % kMarkerCount;
}

bool WaylandKeymap::isOwnKeymap(std::string_view text)
{
    return text.find(kKeycodesMarker) != std::string_view::npos;
}

std::size_t WaylandKeymap::characterKeyCount()
{
    return kMaxKeycode - kMinKeycode + 1 - kFixedKeycodes.size();
}

bool WaylandKeymap::isFixed(std::uint32_t keycode) const
{
    for (const std::uint32_t k : kFixedKeycodes) {
        if (k == keycode)
            return true;
    }
    return false;
}

std::optional<std::uint32_t> WaylandKeymap::keycodeFor(char32_t c) const
{
    const auto it = m_keycodeOf.find(c);
    if (it == m_keycodeOf.end())
        return std::nullopt;
    return it->second;
}

std::optional<std::uint32_t> WaylandKeymap::takeSlot(Clock::time_point now) const
{
    // A never used key first (the keymap only grows), else the least
    // recently used key whose grace period is over.
    std::optional<std::uint32_t> best;
    for (std::uint32_t k = kMinKeycode; k <= kMaxKeycode; ++k) {
        if (isFixed(k))
            continue;
        const Slot &s = m_slots[k];
        if (s.ch == 0)
            return k;
        if (s.lastUse + kGrace <= now && (!best || s.lastUse < m_slots[*best].lastUse))
            best = k;
    }
    return best;
}

std::size_t WaylandKeymap::admit(std::span<const KeyStroke> strokes, Clock::time_point now, bool *changed)
{
    bool anyChange = false;
    std::size_t n = 0;
    for (; n < strokes.size(); ++n) {
        const KeyStroke &stroke = strokes[n];
        if (stroke.kind == KeyStroke::Kind::Named)
            continue;
        std::optional<std::uint32_t> keycode = keycodeFor(stroke.ch);
        if (!keycode) {
            keycode = takeSlot(now);
            if (!keycode)
                break;
            Slot &s = m_slots[*keycode];
            if (s.ch != 0)
                m_keycodeOf.erase(s.ch);
            s.ch = stroke.ch;
            m_keycodeOf[stroke.ch] = *keycode;
            anyChange = true;
        }
        m_slots[*keycode].lastUse = now;
    }
    if (changed)
        *changed = anyChange;
    return n;
}

void WaylandKeymap::preload(std::u32string_view characters)
{
    for (const char32_t c : characters) {
        if (keycodeFor(c))
            continue;
        const std::optional<std::uint32_t> keycode = takeSlot(Clock::time_point::min());
        if (!keycode || m_slots[*keycode].ch != 0)
            return; // only never-used keys: preloading never evicts
        m_slots[*keycode] = {c, Clock::time_point::min()};
        m_keycodeOf[c] = *keycode;
    }
}

void WaylandKeymap::markUsed(std::span<const KeyStroke> strokes, Clock::time_point now)
{
    for (const KeyStroke &stroke : strokes) {
        if (stroke.kind == KeyStroke::Kind::Named)
            continue;
        if (const auto keycode = keycodeFor(stroke.ch))
            m_slots[*keycode].lastUse = std::max(m_slots[*keycode].lastUse, now);
    }
}

std::optional<WaylandKeymap::Clock::time_point> WaylandKeymap::nextRecycle() const
{
    std::optional<Clock::time_point> oldest;
    for (std::uint32_t k = kMinKeycode; k <= kMaxKeycode; ++k) {
        if (isFixed(k))
            continue;
        if (m_slots[k].ch == 0)
            return std::nullopt;
        if (!oldest || m_slots[k].lastUse < *oldest)
            oldest = m_slots[k].lastUse;
    }
    return *oldest + kGrace;
}

std::string WaylandKeymap::text() const
{
    std::string out;
    out.reserve(8192);
    out += "xkb_keymap {\n";

    out += std::string(kKeycodesMarker) + " {\n";
    out += "    minimum = 8;\n    maximum = 255;\n";
    for (std::uint32_t k = kMinKeycode; k <= kMaxKeycode; ++k)
        out += "    " + keyName(k) + " = " + std::to_string(k) + ";\n";
    out += "};\n";

    // One level that takes Shift and Caps Lock as its own: a key types the
    // same character whatever is held or locked, and clients do not apply
    // the Caps Lock capitalisation to a modifier the key consumed.
    out += "xkb_types \"scnferry\" {\n"
           "    include \"complete\"\n"
           "    type \"LITERAL\" {\n"
           "        modifiers = Shift+Lock;\n"
           "        map[Shift] = Level1;\n"
           "        map[Lock] = Level1;\n"
           "        map[Shift+Lock] = Level1;\n"
           "        level_name[Level1] = \"Any\";\n"
           "    };\n"
           "};\n";

    out += "xkb_compatibility \"scnferry\" {\n"
           "    include \"complete\"\n"
           "    interpret Control_L {\n"
           "        action = SetMods(modifiers=Control);\n"
           "    };\n"
           "};\n";

    out += "xkb_symbols \"scnferry\" {\n";
    const auto key = [&out](std::uint32_t keycode, const std::string &sym) {
        out += "    key " + keyName(keycode) + " { type = \"LITERAL\", symbols[Group1] = [ " + sym + " ] };\n";
    };
    key(kEscape, "Escape");
    key(kBackSpace, "BackSpace");
    key(kTab, "Tab");
    key(kReturn, "Return");
    key(kControl, "Control_L");
    key(kDelete, "Delete");
    key(kMarker, keysymName(markerKeysym()));
    for (std::uint32_t k = kMinKeycode; k <= kMaxKeycode; ++k) {
        if (!isFixed(k) && m_slots[k].ch != 0)
            key(k, keysymName(keysymFor(m_slots[k].ch)));
    }
    out += "    modifier_map Control { " + keyName(kControl) + " };\n";
    out += "};\n";

    out += "};\n";
    return out;
}

} // namespace platform::wayland

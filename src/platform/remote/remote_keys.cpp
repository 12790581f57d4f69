// SPDX-License-Identifier: MIT
#include "platform/remote/remote_keys.h"

#include <xkbcommon/xkbcommon-keysyms.h>
#include <xkbcommon/xkbcommon.h>

#include <algorithm>
#include <array>

namespace platform::remote {

namespace {

bool isKeypad(xkb_keysym_t ks)
{
    return ks >= XKB_KEY_KP_Space && ks <= XKB_KEY_KP_Equal;
}

std::uint32_t namedKeysym(NamedKey key)
{
    switch (key) {
    case NamedKey::Return: return XKB_KEY_Return;
    case NamedKey::Tab: return XKB_KEY_Tab;
    case NamedKey::BackSpace: return XKB_KEY_BackSpace;
    case NamedKey::Escape: return XKB_KEY_Escape;
    case NamedKey::Delete: return XKB_KEY_Delete;
    }
    return XKB_KEY_Return;
}

} // namespace

std::uint32_t preferredKeysym(char32_t c)
{
    // xkbcommon looks in its legacy table before it falls back to the
    // Unicode form.
    return xkb_utf32_to_keysym(static_cast<std::uint32_t>(c));
}

LayoutKeysyms LayoutKeysyms::fromKeymap(xkb_keymap *keymap, std::uint32_t group)
{
    std::unordered_map<char32_t, std::uint32_t> keysyms;
    // The base level and Shift alone. The compositor also reaches AltGr
    // levels by pressing ISO_Level3_Shift, but an XWayland window then gets
    // nothing for the key and no key at all afterwards (mutter 43): such
    // characters are refused rather than lost.
    const xkb_mod_mask_t shift = 1u << xkb_keymap_mod_get_index(keymap, XKB_MOD_NAME_SHIFT);
    const std::array<xkb_mod_mask_t, 2> levelMods{0, shift};

    // XWayland drops keycodes above 255 (such as KEY_EURO's).
    const xkb_keycode_t min = xkb_keymap_min_keycode(keymap);
    const xkb_keycode_t max = std::min<xkb_keycode_t>(xkb_keymap_max_keycode(keymap), 255);
    for (xkb_keycode_t kc = min; kc <= max && kc != 0; ++kc) {
        const xkb_layout_index_t layouts = xkb_keymap_num_layouts_for_key(keymap, kc);
        if (layouts == 0)
            continue;
        const xkb_layout_index_t g = group < layouts ? group : 0;
        const xkb_level_index_t levels = xkb_keymap_num_levels_for_key(keymap, kc, g);
        for (xkb_level_index_t level = 0; level < levels && level < levelMods.size(); ++level) {
            // The level must be the one these modifiers alone select.
            std::array<xkb_mod_mask_t, 8> masks{};
            const std::size_t n =
                xkb_keymap_key_get_mods_for_level(keymap, kc, g, level, masks.data(), masks.size());
            bool reached = false;
            for (std::size_t i = 0; i < n; ++i)
                reached = reached || masks[i] == levelMods[level];
            if (!reached)
                continue;
            const xkb_keysym_t *syms = nullptr;
            if (xkb_keymap_key_get_syms_by_level(keymap, kc, g, level, &syms) != 1)
                continue;
            const xkb_keysym_t ks = syms[0];
            if (isKeypad(ks))
                continue;
            const char32_t c = xkb_keysym_to_utf32(ks);
            if (c < 0x20 || c == 0x7f)
                continue;
            auto [it, inserted] = keysyms.try_emplace(c, ks);
            if (!inserted && ks == preferredKeysym(c))
                it->second = ks;
        }
    }
    const char *name = xkb_keymap_layout_get_name(keymap, group);
    return {name ? QString::fromUtf8(name) : QStringLiteral("layout %1").arg(group + 1),
            std::move(keysyms)};
}

std::uint32_t LayoutKeysyms::find(char32_t c) const
{
    const auto it = m_keysyms.find(c);
    return it == m_keysyms.end() ? 0 : it->second;
}

KeyPlan planKeyEvents(std::span<const KeyStroke> strokes, const LayoutKeysyms &layout)
{
    KeyPlan plan;
    plan.events.reserve(strokes.size() * 2);
    std::vector<KeyEvent> scan;
    QString scanMissing;
    auto endScan = [&] {
        if (scanMissing.isEmpty()) {
            plan.events.insert(plan.events.end(), scan.begin(), scan.end());
        } else {
            ++plan.refusedScans;
            for (const QChar *c = scanMissing.cbegin(); c != scanMissing.cend(); ++c) {
                // Whole code points: a surrogate pair stays together.
                const qsizetype width = c->isHighSurrogate() ? 2 : 1;
                const QStringView one(c, width);
                if (!plan.missing.contains(one))
                    plan.missing += one;
                c += width - 1;
            }
        }
        scan.clear();
        scanMissing.clear();
    };
    auto tap = [&scan](std::uint32_t ks) {
        scan.push_back({ks, true});
        scan.push_back({ks, false});
    };
    auto lookup = [&](char32_t c) -> std::uint32_t {
        const std::uint32_t ks = layout.find(c);
        if (ks == 0)
            scanMissing += QString::fromUcs4(&c, 1);
        return ks;
    };
    for (const KeyStroke &s : strokes) {
        switch (s.kind) {
        case KeyStroke::Kind::Char:
            if (const std::uint32_t ks = lookup(s.ch))
                tap(ks);
            break;
        case KeyStroke::Kind::Named:
            tap(namedKeysym(s.key));
            if (s.key == NamedKey::Return)
                endScan();
            break;
        case KeyStroke::Kind::Ctrl:
            if (const std::uint32_t ks = lookup(s.ch)) {
                scan.push_back({XKB_KEY_Control_L, true});
                tap(ks);
                scan.push_back({XKB_KEY_Control_L, false});
            }
            break;
        }
    }
    endScan();
    return plan;
}

} // namespace platform::remote

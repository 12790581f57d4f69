// SPDX-License-Identifier: MIT
#include "platform/remote/remote_keys.h"

#include <xkbcommon/xkbcommon-keysyms.h>
#include <xkbcommon/xkbcommon.h>

#include <array>

namespace platform::remote {

namespace {

bool isKeypad(xkb_keysym_t ks)
{
    return ks >= XKB_KEY_KP_Space && ks <= XKB_KEY_KP_Equal;
}

bool hasKeysym(xkb_keymap *keymap, std::uint32_t group, xkb_keysym_t wanted)
{
    for (xkb_keycode_t kc = xkb_keymap_min_keycode(keymap);
         kc <= xkb_keymap_max_keycode(keymap) && kc != 0; ++kc) {
        const xkb_layout_index_t layouts = xkb_keymap_num_layouts_for_key(keymap, kc);
        const xkb_keysym_t *syms = nullptr;
        if (layouts != 0 &&
            xkb_keymap_key_get_syms_by_level(keymap, kc, group < layouts ? group : 0, 0, &syms) ==
                1 &&
            syms[0] == wanted)
            return true;
    }
    return false;
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
    const xkb_mod_mask_t shift = 1u << xkb_keymap_mod_get_index(keymap, XKB_MOD_NAME_SHIFT);
    // The compositor reaches the third level by pressing ISO_Level3_Shift,
    // which the keymap must have on a key of its own.
    const xkb_mod_index_t mod5 = xkb_keymap_mod_get_index(keymap, "Mod5");
    const xkb_mod_mask_t altGr =
        mod5 == XKB_MOD_INVALID || !hasKeysym(keymap, group, XKB_KEY_ISO_Level3_Shift)
            ? 0
            : 1u << mod5;
    // The modifiers the compositor presses for levels 0, 1 and 2.
    const std::array<xkb_mod_mask_t, 3> levelMods{0, shift, altGr};

    const xkb_keycode_t min = xkb_keymap_min_keycode(keymap);
    const xkb_keycode_t max = xkb_keymap_max_keycode(keymap);
    for (xkb_keycode_t kc = min; kc <= max && kc != 0; ++kc) {
        const xkb_layout_index_t layouts = xkb_keymap_num_layouts_for_key(keymap, kc);
        if (layouts == 0)
            continue;
        const xkb_layout_index_t g = group < layouts ? group : 0;
        const xkb_level_index_t levels = xkb_keymap_num_levels_for_key(keymap, kc, g);
        for (xkb_level_index_t level = 0; level < levels && level < levelMods.size(); ++level) {
            if (level == 2 && altGr == 0)
                break;
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
    auto tap = [&plan](std::uint32_t ks) {
        plan.events.push_back({ks, true});
        plan.events.push_back({ks, false});
    };
    auto lookup = [&](char32_t c) -> std::uint32_t {
        const std::uint32_t ks = layout.find(c);
        if (ks == 0 && !plan.missing.contains(QString::fromUcs4(&c, 1)))
            plan.missing += QString::fromUcs4(&c, 1);
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
            break;
        case KeyStroke::Kind::Ctrl:
            if (const std::uint32_t ks = lookup(s.ch)) {
                plan.events.push_back({XKB_KEY_Control_L, true});
                tap(ks);
                plan.events.push_back({XKB_KEY_Control_L, false});
            }
            break;
        }
    }
    if (!plan.missing.isEmpty())
        plan.events.clear();
    return plan;
}

} // namespace platform::remote

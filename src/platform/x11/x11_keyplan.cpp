// SPDX-License-Identifier: MIT
#include "platform/x11/x11_keyplan.h"

#include "platform/error.h"

#include <QCoreApplication>

#include <bit>
#include <optional>
#include <unordered_map>
#include <unordered_set>

namespace platform::x11 {

KeySymbol keysym::forCharacter(char32_t c)
{
    if ((c >= 0x20 && c <= 0x7e) || (c >= 0xa0 && c <= 0xff))
        return c;
    return 0x01000000u | c;
}

bool keysym::isKeypad(KeySymbol sym)
{
    return sym >= 0xff80 && sym <= 0xffbd;
}

bool keysym::isDead(KeySymbol sym)
{
    return sym >= 0xfe50 && sym <= 0xfe9f;
}

bool keysym::isIdleFunction(KeySymbol sym)
{
    constexpr KeySymbol noSymbol = 0, voidSymbol = 0xffffff, f13 = 0xffca, f35 = 0xffe0;
    constexpr KeySymbol xf86First = 0x1008ff00, xf86Last = 0x1008ffff, xf86ModeLock = 0x1008ff01;
    return sym == noSymbol || sym == voidSymbol || (sym >= f13 && sym <= f35)
           || (sym >= xf86First && sym <= xf86Last && sym != xf86ModeLock);
}

bool borrowable(const KeyInfo &key)
{
    if (key.keypad || key.modifier || key.acts || key.groups.empty())
        return false;
    for (const KeyGroup &g : key.groups) {
        for (const KeyLevel &l : g.levels) {
            if (l.ch != 0 || !keysym::isIdleFunction(l.keysym))
                return false;
        }
    }
    return true;
}

int KeyGroup::levelFor(unsigned mods) const
{
    mods &= typeMask;
    for (const Entry &e : entries) {
        if (e.mods == mods)
            return e.level;
    }
    return 0;
}

namespace {

struct Target {
    KeySymbol sym = 0; // for named keys and for binding a spare key
    char32_t ch = 0;   // for characters; 0 for named keys
    bool ctrl = false;

    bool matches(const KeyLevel &l) const
    {
        return ch ? (l.ch == ch && !keysym::isDead(l.keysym)) : l.keysym == sym;
    }
    std::uint64_t cacheKey() const
    {
        return (std::uint64_t(ctrl) << 40) | (std::uint64_t(ch != 0) << 39) | (ch ? ch : sym);
    }
};

KeySymbol namedKeysym(NamedKey k)
{
    switch (k) {
    case NamedKey::Return: return keysym::Return;
    case NamedKey::Tab: return keysym::Tab;
    case NamedKey::BackSpace: return keysym::BackSpace;
    case NamedKey::Escape: return keysym::Escape;
    case NamedKey::Delete: return keysym::Delete;
    }
    return keysym::Return;
}

Target targetFor(const KeyStroke &s)
{
    switch (s.kind) {
    case KeyStroke::Kind::Named:
        return {namedKeysym(s.key), 0, false};
    case KeyStroke::Kind::Ctrl:
        return {keysym::forCharacter(s.ch), s.ch, true};
    case KeyStroke::Kind::Char:
        break;
    }
    return {keysym::forCharacter(s.ch), s.ch, false};
}

class Planner {
public:
    Planner(const KeymapSnapshot &keymap, const KeyboardState &state, std::span<const SpareKey> spares)
        : m_keymap(keymap), m_state(state), m_spares(spares.begin(), spares.end()),
          m_used(spares.size(), false)
    {
        // Modifier keys the user holds are never pressed again: releasing
        // ours would release theirs.
        m_pressable.push_back(0);
        const unsigned shift = pressableMask(keymap.shift);
        const unsigned level3 = pressableMask(keymap.levelThree);
        if (shift)
            m_pressable.push_back(shift);
        if (level3 && level3 != shift)
            m_pressable.push_back(level3);
        if (shift && level3 && level3 != shift)
            m_pressable.push_back(shift | level3);
    }

    bool place(const KeyStroke &stroke, KeyPlan &plan)
    {
        const Target t = targetFor(stroke);
        if (t.ctrl && !(m_state.heldMods & modmask::Control) && !m_keymap.control.keycode) {
            throw RuntimeError(err::KeyboardFailed,
                               QCoreApplication::translate("X11Keyboard",
                                   "The keyboard map of the X display has no Control key, so "
                                   "control characters cannot be typed."));
        }
        if (auto k = layoutKey(t, false)) {
            m_layoutUsed.insert(k->keycode);
            plan.keys.push_back(*k);
            return true;
        }
        for (std::size_t i = 0; i < m_spares.size(); ++i) {
            if (m_spares[i].keysym == t.sym) {
                m_used[i] = true;
                plan.keys.push_back(spareKey(i, t));
                return true;
            }
        }
        if (auto k = layoutKey(t, true)) {
            m_layoutUsed.insert(k->keycode);
            plan.keys.push_back(*k);
            return true;
        }
        const std::optional<std::size_t> free = freeSpare();
        if (!free)
            return false;
        m_spares[*free].keysym = t.sym;
        m_spares[*free].borrowed = false;
        m_used[*free] = true;
        plan.bindings.push_back({m_spares[*free].keycode, t.sym});
        plan.keys.push_back(spareKey(*free, t));
        return true;
    }

private:
    unsigned pressableMask(const ModifierKey &m) const
    {
        return (m.keycode && m.mask && !(m_state.heldMods & m.mask)) ? m.mask : 0;
    }

    PlannedKey withModifiers(std::uint8_t keycode, int group, unsigned press, bool ctrl) const
    {
        PlannedKey k;
        k.keycode = keycode;
        k.group = static_cast<std::uint8_t>(group);
        std::size_t n = 0;
        if (press & m_keymap.shift.mask)
            k.modifiers[n++] = m_keymap.shift.keycode;
        if (m_keymap.levelThree.mask && (press & m_keymap.levelThree.mask) == m_keymap.levelThree.mask
            && m_keymap.levelThree.mask != m_keymap.shift.mask)
            k.modifiers[n++] = m_keymap.levelThree.keycode;
        if (ctrl && !(m_state.heldMods & modmask::Control))
            k.modifiers[n++] = m_keymap.control.keycode;
        return k;
    }

    PlannedKey spareKey(std::size_t i, const Target &t) const
    {
        // A spare key has one group and one level: any group and any
        // modifier state types its symbol.
        return withModifiers(m_spares[i].keycode, m_state.group, 0, t.ctrl);
    }

    std::optional<std::size_t> freeSpare() const
    {
        // Borrowed keys last: each one taken is a key of the user's keyboard
        // that types something else for a while.
        auto first = [&](auto &&fits) -> std::optional<std::size_t> {
            for (std::size_t i = 0; i < m_spares.size(); ++i) {
                if (!m_used[i] && !m_layoutUsed.contains(m_spares[i].keycode) && fits(m_spares[i]))
                    return i;
            }
            return std::nullopt;
        };
        if (auto i = first([](const SpareKey &s) { return s.keysym == 0 && !s.borrowed; }))
            return i;
        if (auto i = first([](const SpareKey &s) { return s.keysym != 0 && s.rebindable; }))
            return i;
        return first([](const SpareKey &s) { return s.keysym == 0 && s.borrowed; });
    }

    std::optional<PlannedKey> layoutKey(const Target &t, bool otherGroups)
    {
        const std::uint64_t cacheKey = (t.cacheKey() << 1) | std::uint64_t(otherGroups);
        if (auto it = m_cache.find(cacheKey); it != m_cache.end())
            return it->second;
        std::optional<PlannedKey> found = searchLayout(t, otherGroups);
        m_cache.emplace(cacheKey, found);
        return found;
    }

    std::optional<PlannedKey> searchLayout(const Target &t, bool otherGroups) const
    {
        const unsigned extra = t.ctrl ? modmask::Control : 0;
        std::optional<PlannedKey> best;
        int bestCost = 0;
        for (const KeyInfo &key : m_keymap.keys) {
            const int n = static_cast<int>(key.groups.size());
            if (key.keypad || n == 0)
                continue;
            const int effective = m_state.group % n;
            for (int g = 0; g < n; ++g) {
                // Locking group g makes it the effective group of this key
                // only if the keyboard has that many groups.
                if ((g != effective) != otherGroups || (otherGroups && g >= m_keymap.numGroups))
                    continue;
                const KeyGroup &kg = key.groups[static_cast<std::size_t>(g)];
                for (std::size_t l = 0; l < kg.levels.size(); ++l) {
                    if (!t.matches(kg.levels[l]))
                        continue;
                    for (unsigned press : m_pressable) {
                        if (kg.levelFor(press | m_state.heldMods | extra) != static_cast<int>(l))
                            continue;
                        const int cost = std::popcount(press);
                        if (!best || cost < bestCost) {
                            best = withModifiers(key.keycode, otherGroups ? g : m_state.group, press, t.ctrl);
                            bestCost = cost;
                        }
                        break; // candidates come in order of cost
                    }
                }
            }
        }
        return best;
    }

    const KeymapSnapshot &m_keymap;
    const KeyboardState &m_state;
    std::vector<SpareKey> m_spares;
    std::vector<bool> m_used;
    std::vector<unsigned> m_pressable;
    std::unordered_set<std::uint8_t> m_layoutUsed; // layout keys this plan types on
    std::unordered_map<std::uint64_t, std::optional<PlannedKey>> m_cache;
};

} // namespace

KeyPlan planKeys(const KeymapSnapshot &keymap, const KeyboardState &state,
                 std::span<const SpareKey> spares, std::span<const KeyStroke> strokes)
{
    KeyPlan plan;
    plan.keys.reserve(strokes.size());
    Planner planner(keymap, state, spares);
    for (const KeyStroke &s : strokes) {
        if (!planner.place(s, plan))
            break;
        ++plan.consumed;
    }
    return plan;
}

} // namespace platform::x11

// SPDX-License-Identifier: MIT
#include "platform/uinput/uinput_layout.h"

#include <linux/input-event-codes.h>
#include <xkbcommon/xkbcommon.h>

#include <array>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <tuple>

namespace platform::uinput {

namespace {

std::string_view trim(std::string_view s)
{
    const auto first = s.find_first_not_of(" \t\r");
    if (first == std::string_view::npos)
        return {};
    const auto last = s.find_last_not_of(" \t\r");
    return s.substr(first, last - first + 1);
}

// KEY="value", KEY='value' or KEY=value lines, as /etc/default/keyboard and
// /etc/vconsole.conf are written. Enough of shell syntax for these files.
std::map<std::string, std::string, std::less<>> parseShellAssignments(std::string_view text)
{
    std::map<std::string, std::string, std::less<>> out;
    while (!text.empty()) {
        const auto eol = text.find('\n');
        std::string_view line = trim(text.substr(0, eol));
        text = eol == std::string_view::npos ? std::string_view{} : text.substr(eol + 1);
        if (line.empty() || line.front() == '#')
            continue;
        if (line.starts_with("export "))
            line = trim(line.substr(7));
        const auto eq = line.find('=');
        if (eq == std::string_view::npos || eq == 0)
            continue;
        const std::string_view key = line.substr(0, eq);
        std::string_view value = line.substr(eq + 1);
        if (!value.empty() && (value.front() == '"' || value.front() == '\'')) {
            const auto close = value.find(value.front(), 1);
            value = close == std::string_view::npos ? value.substr(1) : value.substr(1, close - 1);
        } else {
            const auto comment = value.find(" #");
            value = trim(value.substr(0, comment));
        }
        out.insert_or_assign(std::string(key), std::string(value));
    }
    return out;
}

std::string firstOfList(const std::string &list)
{
    return list.substr(0, list.find(','));
}

struct ContextDeleter {
    void operator()(xkb_context *c) const { xkb_context_unref(c); }
};
struct KeymapDeleter {
    void operator()(xkb_keymap *k) const { xkb_keymap_unref(k); }
};
struct StateDeleter {
    void operator()(xkb_state *s) const { xkb_state_unref(s); }
};
using ContextPtr = std::unique_ptr<xkb_context, ContextDeleter>;
using KeymapPtr = std::unique_ptr<xkb_keymap, KeymapDeleter>;
using StatePtr = std::unique_ptr<xkb_state, StateDeleter>;

constexpr xkb_keycode_t kEvdevOffset = 8;
// uinput keyboards are registered with codes 1..247; XWayland and X clients
// cannot see XKB keycodes above 255 anyway.
constexpr xkb_keycode_t kHighestUsableKeycode = 255;

bool isKeypad(xkb_keysym_t sym)
{
    return sym >= XKB_KEY_KP_Space && sym <= XKB_KEY_KP_Equal;
}

// The key whose first level is one of the wanted keysyms; `preferred` wins
// when it qualifies (the usual left Shift, the right Alt as AltGr).
xkb_keycode_t findModifierKey(xkb_keymap *keymap, std::initializer_list<xkb_keysym_t> wanted,
                              xkb_keycode_t preferred)
{
    auto qualifies = [&](xkb_keycode_t kc) {
        const xkb_keysym_t *syms = nullptr;
        if (xkb_keymap_key_get_syms_by_level(keymap, kc, 0, 0, &syms) != 1)
            return false;
        for (const xkb_keysym_t w : wanted) {
            if (syms[0] == w)
                return true;
        }
        return false;
    };
    if (preferred >= xkb_keymap_min_keycode(keymap) && preferred <= xkb_keymap_max_keycode(keymap)
        && qualifies(preferred))
        return preferred;
    const xkb_keycode_t last = std::min(xkb_keymap_max_keycode(keymap), kHighestUsableKeycode);
    for (xkb_keycode_t kc = std::max(xkb_keymap_min_keycode(keymap), kEvdevOffset + 1); kc <= last; ++kc) {
        if (qualifies(kc))
            return kc;
    }
    return XKB_KEYCODE_INVALID;
}

std::uint16_t toEvdev(xkb_keycode_t kc)
{
    return static_cast<std::uint16_t>(kc - kEvdevOffset);
}

// Lower is better. Shift costs less than AltGr, both together most. Keys
// every keyboard of the layout's kind has come first: keymaps also put '<'
// on the ISO key that ANSI keyboards lack (the desktop's keymap may not have
// it), worth a modifier more, and '(' ')' on keypad parentheses that
// programs may take as keypad keys, a last resort. Ties: fewer modifiers,
// then the lowest code.
std::tuple<int, int, std::uint16_t> preference(const KeyChord &chord)
{
    const int modifiers = int(chord.shift) + 2 * int(chord.altGr);
    const int rareKey = chord.code < KEY_ZENKAKUHANKAKU ? 0 : chord.code < KEY_KPENTER ? 2 : 10;
    return {modifiers + rareKey, modifiers, chord.code};
}

// Every character the keymap types with Shift and AltGr, under the given
// locked modifiers (none, or Caps Lock).
struct KeySearch {
    xkb_keymap *keymap;
    xkb_keycode_t shiftKey;
    xkb_keycode_t altGrKey;

    std::optional<std::unordered_map<char32_t, KeyChord>> chords(xkb_mod_mask_t locked) const
    {
        struct Combo {
            bool shift;
            bool altGr;
        };
        constexpr std::array<Combo, 4> combos{{{false, false}, {true, false}, {false, true}, {true, true}}};

        std::unordered_map<char32_t, KeyChord> out;
        const xkb_keycode_t first = std::max(xkb_keymap_min_keycode(keymap), kEvdevOffset + 1);
        const xkb_keycode_t last = std::min(xkb_keymap_max_keycode(keymap), kHighestUsableKeycode);
        for (const Combo combo : combos) {
            if ((combo.shift && shiftKey == XKB_KEYCODE_INVALID) || (combo.altGr && altGrKey == XKB_KEYCODE_INVALID))
                continue;
            // Ask xkbcommon what the modifier keys held down actually do, the
            // way the receiving side will, rather than reading level tables.
            StatePtr state(xkb_state_new(keymap));
            if (!state)
                return std::nullopt;
            xkb_state_update_mask(state.get(), 0, 0, locked, 0, 0, 0);
            if (combo.shift)
                xkb_state_update_key(state.get(), shiftKey, XKB_KEY_DOWN);
            if (combo.altGr)
                xkb_state_update_key(state.get(), altGrKey, XKB_KEY_DOWN);
            for (xkb_keycode_t kc = first; kc <= last; ++kc) {
                if (kc == shiftKey || kc == altGrKey)
                    continue;
                if (xkb_state_key_get_layout(state.get(), kc) != 0)
                    continue;
                const xkb_keysym_t sym = xkb_state_key_get_one_sym(state.get(), kc);
                if (sym == XKB_KEY_NoSymbol || isKeypad(sym))
                    continue;
                // With Caps Lock, a key whose type ignores it still comes out
                // capitalised; this call applies that the way toolkits do.
                const char32_t c = xkb_state_key_get_utf32(state.get(), kc);
                // Dead keys and function keys have no character; control
                // characters are typed as named keys, never looked up here.
                if (c < 0x20 || (c >= 0x7F && c < 0xA0))
                    continue;
                const KeyChord chord{toEvdev(kc), combo.shift, combo.altGr};
                auto [it, inserted] = out.try_emplace(c, chord);
                if (!inserted && preference(chord) < preference(it->second))
                    it->second = chord;
            }
        }
        return out;
    }
};

} // namespace

QString KeymapNames::describe() const
{
    const std::string first = firstOfList(layout);
    const std::string firstVariant = firstOfList(variant);
    QString out = QString::fromStdString(first.empty() ? std::string("us") : first);
    if (!firstVariant.empty())
        out += QLatin1Char('(') + QString::fromStdString(firstVariant) + QLatin1Char(')');
    return out;
}

KeymapNames resolveKeymapNames(const EnvLookup &env, std::string_view systemConfig)
{
    const auto config = parseShellAssignments(systemConfig);
    auto fromConfig = [&](std::string_view key) -> std::optional<std::string> {
        const auto it = config.find(key);
        if (it == config.end() || it->second.empty())
            return std::nullopt;
        return it->second;
    };
    auto fromEnv = [&](const char *name) -> std::optional<std::string> {
        auto v = env(name);
        if (!v || v->empty())
            return std::nullopt;
        return v;
    };

    KeymapNames names;
    if (auto layout = fromEnv("XKB_DEFAULT_LAYOUT")) {
        names.layout = *layout;
        names.variant = fromEnv("XKB_DEFAULT_VARIANT").value_or(std::string());
    } else if (auto sysLayout = fromConfig("XKBLAYOUT")) {
        names.layout = *sysLayout;
        names.variant = fromConfig("XKBVARIANT").value_or(std::string());
    }
    auto envThenConfig = [&](const char *envName, std::string_view configKey) {
        if (auto v = fromEnv(envName))
            return *v;
        return fromConfig(configKey).value_or(std::string());
    };
    names.model = envThenConfig("XKB_DEFAULT_MODEL", "XKBMODEL");
    names.options = envThenConfig("XKB_DEFAULT_OPTIONS", "XKBOPTIONS");
    if (auto rules = fromEnv("XKB_DEFAULT_RULES"))
        names.rules = *rules;
    return names;
}

KeymapNames keymapNamesOfThisSystem()
{
    const EnvLookup env = [](const char *name) -> std::optional<std::string> {
        if (const char *v = std::getenv(name))
            return std::string(v);
        return std::nullopt;
    };
    std::string config;
    for (const char *path : {"/etc/default/keyboard", "/etc/vconsole.conf"}) {
        std::ifstream in(path);
        if (!in)
            continue;
        std::ostringstream text;
        text << in.rdbuf();
        if (parseShellAssignments(text.str()).contains("XKBLAYOUT")) {
            config = text.str();
            break;
        }
    }
    return resolveKeymapNames(env, config);
}

LayoutKeys::LayoutKeys(QString name, std::unordered_map<char32_t, KeyChord> chords,
                       std::unordered_map<char32_t, KeyChord> capsLockChords, std::uint16_t shiftCode,
                       std::uint16_t altGrCode)
    : m_name(std::move(name)), m_chords(std::move(chords)), m_capsLockChords(std::move(capsLockChords)),
      m_shiftCode(shiftCode), m_altGrCode(altGrCode)
{
}

const KeyChord *LayoutKeys::find(char32_t c, bool capsLock) const
{
    const auto &chords = capsLock ? m_capsLockChords : m_chords;
    const auto it = chords.find(c);
    return it == chords.end() ? nullptr : &it->second;
}

std::optional<LayoutKeys> LayoutKeys::fromNames(const KeymapNames &names, QString *whyNot)
{
    auto fail = [&](const QString &reason) -> std::optional<LayoutKeys> {
        if (whyNot)
            *whyNot = reason;
        return std::nullopt;
    };
    // The names were resolved already; xkbcommon must not mix in the
    // environment a second time.
    ContextPtr context(xkb_context_new(XKB_CONTEXT_NO_ENVIRONMENT_NAMES));
    if (!context)
        return fail(QStringLiteral("xkbcommon could not start (is xkb-data installed?)"));
    // Its diagnostics would only repeat the reason given below.
    xkb_context_set_log_level(context.get(), XKB_LOG_LEVEL_CRITICAL);
    const xkb_rule_names rmlvo{
        .rules = names.rules.c_str(),
        .model = names.model.c_str(),
        .layout = names.layout.c_str(),
        .variant = names.variant.c_str(),
        .options = names.options.c_str(),
    };
    KeymapPtr keymap(xkb_keymap_new_from_names(context.get(), &rmlvo, XKB_KEYMAP_COMPILE_NO_FLAGS));
    if (!keymap) {
        return fail(QStringLiteral("the keyboard layout '%1' (model '%2', options '%3') is not known to "
                                   "xkbcommon: set XKB_DEFAULT_LAYOUT to the layout you type with")
                        .arg(names.describe(), QString::fromStdString(names.model),
                             QString::fromStdString(names.options)));
    }
    xkb_keymap *km = keymap.get();

    // Evdev keycode 50 is the left Shift and 108 the right Alt, AltGr where
    // the layout has one; other keys only when the layout moved them.
    const xkb_keycode_t shiftKey = findModifierKey(km, {XKB_KEY_Shift_L, XKB_KEY_Shift_R}, KEY_LEFTSHIFT + kEvdevOffset);
    const xkb_keycode_t altGrKey = findModifierKey(km, {XKB_KEY_ISO_Level3_Shift}, KEY_RIGHTALT + kEvdevOffset);

    const xkb_mod_index_t capsIndex = xkb_keymap_mod_get_index(km, XKB_MOD_NAME_CAPS);
    const xkb_mod_mask_t capsMask = capsIndex == XKB_MOD_INVALID ? 0 : xkb_mod_mask_t{1} << capsIndex;

    const KeySearch search{km, shiftKey, altGrKey};
    auto chords = search.chords(0);
    if (!chords)
        return fail(QStringLiteral("xkbcommon could not create a keyboard state"));
    if (chords->empty())
        return fail(QStringLiteral("the keyboard layout '%1' types no characters").arg(names.describe()));
    auto capsChords = search.chords(capsMask);
    if (!capsChords)
        return fail(QStringLiteral("xkbcommon could not create a keyboard state"));
    return LayoutKeys(names.describe(), std::move(*chords), std::move(*capsChords),
                      shiftKey == XKB_KEYCODE_INVALID ? std::uint16_t{0} : toEvdev(shiftKey),
                      altGrKey == XKB_KEYCODE_INVALID ? std::uint16_t{0} : toEvdev(altGrKey));
}

} // namespace platform::uinput

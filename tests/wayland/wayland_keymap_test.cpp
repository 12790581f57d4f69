// SPDX-License-Identifier: MIT
#include "platform/wayland/wayland_keymap.h"

#include <xkbcommon/xkbcommon.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <set>
#include <vector>

using platform::KeyStroke;
using platform::NamedKey;
using platform::wayland::keysymFor;
using platform::wayland::WaylandKeymap;
using namespace std::chrono_literals;

namespace {

struct XkbContextDeleter {
    void operator()(xkb_context *c) const { xkb_context_unref(c); }
};
struct XkbKeymapDeleter {
    void operator()(xkb_keymap *k) const { xkb_keymap_unref(k); }
};
struct XkbStateDeleter {
    void operator()(xkb_state *s) const { xkb_state_unref(s); }
};

// Compiles the text as a compositor does, with the system XKB data.
struct Compiled {
    std::unique_ptr<xkb_context, XkbContextDeleter> context{xkb_context_new(XKB_CONTEXT_NO_FLAGS)};
    std::unique_ptr<xkb_keymap, XkbKeymapDeleter> keymap;

    explicit Compiled(const std::string &text)
    {
        keymap.reset(xkb_keymap_new_from_string(context.get(), text.c_str(), XKB_KEYMAP_FORMAT_TEXT_V1,
                                                XKB_KEYMAP_COMPILE_NO_FLAGS));
    }

    // What the key types with the given modifiers down or locked.
    std::pair<xkb_keysym_t, char32_t> typed(std::uint32_t keycode, const char *depressed = nullptr,
                                            const char *locked = nullptr) const
    {
        std::unique_ptr<xkb_state, XkbStateDeleter> state(xkb_state_new(keymap.get()));
        const auto mask = [&](const char *mod) -> xkb_mod_mask_t {
            return mod ? 1u << xkb_keymap_mod_get_index(keymap.get(), mod) : 0u;
        };
        xkb_state_update_mask(state.get(), mask(depressed), 0, mask(locked), 0, 0, 0);
        return {xkb_state_key_get_one_sym(state.get(), keycode),
                static_cast<char32_t>(xkb_state_key_get_utf32(state.get(), keycode))};
    }
};

std::vector<KeyStroke> chars(std::u32string_view text)
{
    std::vector<KeyStroke> out;
    for (const char32_t c : text)
        out.push_back(KeyStroke::character(c));
    return out;
}

// Distinct characters, more than there are keys.
std::u32string cjk(std::size_t count, char32_t first = 0x4E00)
{
    std::u32string s;
    for (std::size_t i = 0; i < count; ++i)
        s.push_back(first + static_cast<char32_t>(i));
    return s;
}

const WaylandKeymap::Clock::time_point t0{};

} // namespace

TEST(WaylandKeymap, EveryCharacterTypesItselfWhateverModifiersAreActive)
{
    // Characters a layout lacks, characters that are modifiers or key names
    // in other key syntaxes, and the odd ones: C1 controls, non-characters.
    const std::u32string text = U"aZ09 +^%~(){}[]<>\"'\\|@#$&*_=-/.,;:!?`"
                                U"ÄäßÖü€ñΩ中文字😀\u00A0\u0081\u009F\uFDD0\u2026\u2212";
    WaylandKeymap keymap;
    bool changed = false;
    const auto strokes = chars(text);
    ASSERT_EQ(keymap.admit(strokes, t0, &changed), strokes.size());
    EXPECT_TRUE(changed);

    const Compiled compiled(keymap.text());
    ASSERT_TRUE(compiled.keymap) << keymap.text();
    for (const char32_t c : text) {
        SCOPED_TRACE(static_cast<std::uint32_t>(c));
        const auto keycode = keymap.keycodeFor(c);
        ASSERT_TRUE(keycode);
        EXPECT_GE(*keycode, 9u);
        EXPECT_LE(*keycode, 255u);
        for (const auto &[depressed, locked] : {std::pair<const char *, const char *>{nullptr, nullptr},
                                                {XKB_MOD_NAME_SHIFT, nullptr},
                                                {nullptr, XKB_MOD_NAME_CAPS},
                                                {XKB_MOD_NAME_SHIFT, XKB_MOD_NAME_CAPS}}) {
            const auto [sym, utf32] = compiled.typed(*keycode, depressed, locked);
            EXPECT_EQ(sym, keysymFor(c));
            EXPECT_EQ(utf32, c);
        }
    }
}

TEST(WaylandKeymap, FixedKeysAreNamedKeysAndControl)
{
    const WaylandKeymap keymap;
    const Compiled compiled(keymap.text());
    ASSERT_TRUE(compiled.keymap);
    const struct {
        std::uint32_t keycode;
        xkb_keysym_t sym;
    } cases[] = {
        {WaylandKeymap::namedKeycode(NamedKey::Return), XKB_KEY_Return},
        {WaylandKeymap::namedKeycode(NamedKey::Tab), XKB_KEY_Tab},
        {WaylandKeymap::namedKeycode(NamedKey::BackSpace), XKB_KEY_BackSpace},
        {WaylandKeymap::namedKeycode(NamedKey::Escape), XKB_KEY_Escape},
        {WaylandKeymap::namedKeycode(NamedKey::Delete), XKB_KEY_Delete},
        {WaylandKeymap::controlKeycode(), XKB_KEY_Control_L},
        {WaylandKeymap::silentKeycode(), XKB_KEY_NoSymbol},
        {WaylandKeymap::markerKeycode(), keymap.markerKeysym()},
    };
    std::set<std::uint32_t> seen;
    for (const auto &c : cases) {
        EXPECT_EQ(compiled.typed(c.keycode).first, c.sym) << c.keycode;
        EXPECT_TRUE(seen.insert(c.keycode).second) << "keycode used twice: " << c.keycode;
    }

    // The mask sent in modifiers requests is the one the keymap gives
    // Control, and the Control key sets it.
    EXPECT_EQ(1u << xkb_keymap_mod_get_index(compiled.keymap.get(), XKB_MOD_NAME_CTRL), WaylandKeymap::kControlMask);
    std::unique_ptr<xkb_state, XkbStateDeleter> state(xkb_state_new(compiled.keymap.get()));
    xkb_state_update_key(state.get(), WaylandKeymap::controlKeycode(), XKB_KEY_DOWN);
    EXPECT_EQ(xkb_state_serialize_mods(state.get(), XKB_STATE_MODS_DEPRESSED), WaylandKeymap::kControlMask);
}

// What XWayland is asked to show after an upload: every upload, even one
// that changes nothing else, carries a marker the one before did not, on a
// key no character takes.
TEST(WaylandKeymap, EveryGenerationHasItsOwnMarker)
{
    WaylandKeymap keymap;
    const auto strokes = chars(cjk(WaylandKeymap::characterKeyCount()));
    ASSERT_EQ(keymap.admit(strokes, t0, nullptr), strokes.size());
    std::set<xkb_keysym_t> markers;
    for (int generation = 0; generation < 3; ++generation) {
        const Compiled compiled(keymap.text());
        ASSERT_TRUE(compiled.keymap);
        const xkb_keysym_t marker = compiled.typed(WaylandKeymap::markerKeycode()).first;
        EXPECT_EQ(marker, keymap.markerKeysym());
        EXPECT_TRUE(markers.insert(marker).second) << "generation " << generation << " repeats a marker";
        for (const KeyStroke &s : strokes)
            EXPECT_NE(*keymap.keycodeFor(s.ch), WaylandKeymap::markerKeycode());
        keymap.nextGeneration();
    }
}

TEST(WaylandKeymap, FullKeymapUsesEveryCharacterKeyWithinRange)
{
    WaylandKeymap keymap;
    const auto strokes = chars(cjk(WaylandKeymap::characterKeyCount()));
    ASSERT_EQ(keymap.admit(strokes, t0, nullptr), strokes.size());

    std::set<std::uint32_t> keycodes{WaylandKeymap::namedKeycode(NamedKey::Return),
                                     WaylandKeymap::namedKeycode(NamedKey::Tab),
                                     WaylandKeymap::namedKeycode(NamedKey::BackSpace),
                                     WaylandKeymap::namedKeycode(NamedKey::Escape),
                                     WaylandKeymap::namedKeycode(NamedKey::Delete), WaylandKeymap::controlKeycode(),
                                     WaylandKeymap::markerKeycode(), WaylandKeymap::silentKeycode()};
    for (const KeyStroke &s : strokes)
        EXPECT_TRUE(keycodes.insert(*keymap.keycodeFor(s.ch)).second);
    EXPECT_EQ(keycodes.size(), 255u - 9u + 1u);
    EXPECT_EQ(*keycodes.begin(), 9u);
    EXPECT_EQ(*keycodes.rbegin(), 255u);

    const Compiled compiled(keymap.text());
    ASSERT_TRUE(compiled.keymap);
    for (const KeyStroke &s : strokes)
        EXPECT_EQ(compiled.typed(*keymap.keycodeFor(s.ch)).second, s.ch);
}

TEST(WaylandKeymap, AdmitsStrokesAsKeysAllow)
{
    const std::size_t keys = WaylandKeymap::characterKeyCount();
    const struct {
        const char *name;
        std::vector<KeyStroke> first;  // admitted at t0
        std::chrono::milliseconds later;
        std::vector<KeyStroke> second; // admitted at t0 + later
        std::size_t admitted;          // of second
        bool changed;
    } cases[] = {
        {"known characters need no new keymap", chars(U"abc"), 1ms, chars(U"cabba"), 5, false},
        {"named keys need no key", {}, 0ms,
         {KeyStroke::named(NamedKey::Return), KeyStroke::named(NamedKey::Tab), KeyStroke::named(NamedKey::Delete)}, 3,
         false},
        {"ctrl strokes need their character's key", chars(U"a"), 1ms,
         {KeyStroke::ctrl(U'a'), KeyStroke::ctrl(U']')}, 2, true},
        {"one burst with more characters than keys stops at the first that does not fit", {}, 0ms,
         chars(cjk(keys + 10)), keys, true},
        {"named keys after a full keymap still go through", {}, 0ms,
         [&] {
             auto s = chars(cjk(keys));
             s.push_back(KeyStroke::named(NamedKey::Return));
             s.push_back(KeyStroke::character(U'x'));
             return s;
         }(),
         keys + 1, true},
        {"keys used within the grace period are not reused", chars(cjk(keys)), WaylandKeymap::kGrace - 1ms,
         chars(U"x"), 0, false},
        {"keys are reused once the grace period is over", chars(cjk(keys)), WaylandKeymap::kGrace,
         chars(cjk(keys, 0x5000)), keys, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        WaylandKeymap keymap;
        ASSERT_EQ(keymap.admit(c.first, t0, nullptr), c.first.size());
        bool changed = !c.changed;
        EXPECT_EQ(keymap.admit(c.second, t0 + c.later, &changed), c.admitted);
        EXPECT_EQ(changed, c.changed);
        for (std::size_t i = 0; i < c.admitted; ++i) {
            if (c.second[i].kind != KeyStroke::Kind::Named) {
                EXPECT_TRUE(keymap.keycodeFor(c.second[i].ch));
            }
        }
    }
}

TEST(WaylandKeymap, RecyclesTheLeastRecentlyUsedKeyAndKeepsBusyOnes)
{
    WaylandKeymap keymap;
    const std::u32string full = cjk(WaylandKeymap::characterKeyCount());
    ASSERT_EQ(keymap.nextRecycle(), std::nullopt);
    keymap.admit(chars(full), t0, nullptr);
    ASSERT_EQ(keymap.nextRecycle(), t0 + WaylandKeymap::kGrace);

    // Everything but the first character goes idle; the first is used again.
    const char32_t kept = full.front();
    const auto keptKey = keymap.keycodeFor(kept);
    keymap.admit(chars(std::u32string(1, kept)), t0 + 500ms, nullptr);

    bool changed = false;
    const std::u32string fresh = U"xyz";
    ASSERT_EQ(keymap.admit(chars(fresh), t0 + WaylandKeymap::kGrace, &changed), fresh.size());
    EXPECT_TRUE(changed);
    EXPECT_EQ(keymap.keycodeFor(kept), keptKey);
    EXPECT_EQ(keymap.keycodeFor(full[1]), std::nullopt) << "the oldest key goes first";
    std::u32string typed = fresh;
    typed.push_back(kept);
    std::set<std::uint32_t> keycodes;
    for (const char32_t c : typed)
        EXPECT_TRUE(keycodes.insert(*keymap.keycodeFor(c)).second);

    const Compiled compiled(keymap.text());
    ASSERT_TRUE(compiled.keymap);
    for (const char32_t c : typed)
        EXPECT_EQ(compiled.typed(*keymap.keycodeFor(c)).second, c);
}

TEST(WaylandKeymap, KeysAreHeldForTheGracePeriodAfterDelivery)
{
    WaylandKeymap keymap;
    const auto full = chars(cjk(WaylandKeymap::characterKeyCount()));
    keymap.admit(full, t0, nullptr);
    // Typing the burst took 5 s; its keys count as used when it ended.
    const auto delivered = t0 + 5s;
    keymap.markUsed(full, delivered);
    EXPECT_EQ(keymap.nextRecycle(), delivered + WaylandKeymap::kGrace);
    EXPECT_EQ(keymap.admit(chars(U"x"), delivered + WaylandKeymap::kGrace - 1ms, nullptr), 0u);
    EXPECT_EQ(keymap.admit(chars(U"x"), delivered + WaylandKeymap::kGrace, nullptr), 1u);
}

TEST(WaylandKeymap, PreloadedKeysNeedNoUploadAndGiveWayToABurst)
{
    WaylandKeymap keymap;
    keymap.preload(U"0123456789");
    bool changed = true;
    EXPECT_EQ(keymap.admit(chars(U"4006381333931"), t0, &changed), 13u);
    EXPECT_FALSE(changed) << "preloaded digits must not change the keymap";

    // A burst that needs every key takes the preloaded ones not in use, at
    // once: they count as long idle. The digits just typed stay.
    const std::u32string full = cjk(WaylandKeymap::characterKeyCount() - 7);
    EXPECT_EQ(keymap.admit(chars(full), t0 + 1ms, nullptr), full.size());
    for (const char32_t c : std::u32string_view(U"0134689"))
        EXPECT_TRUE(keymap.keycodeFor(c)) << char(c);
    EXPECT_FALSE(keymap.keycodeFor(U'2') && keymap.keycodeFor(U'5') && keymap.keycodeFor(U'7'));
    const Compiled compiled(keymap.text());
    ASSERT_TRUE(compiled.keymap);
    EXPECT_EQ(compiled.typed(*keymap.keycodeFor(U'9')).second, U'9');
}

TEST(WaylandKeymap, RecognisesItsOwnKeymapAfterTheCompositorReserialisedIt)
{
    WaylandKeymap keymap;
    keymap.admit(chars(U"abc"), t0, nullptr);
    const Compiled ours(keymap.text());
    ASSERT_TRUE(ours.keymap);
    std::unique_ptr<char, decltype(&std::free)> oursText(
        xkb_keymap_get_as_string(ours.keymap.get(), XKB_KEYMAP_FORMAT_TEXT_V1), &std::free);
    EXPECT_TRUE(WaylandKeymap::isOwnKeymap(oursText.get()));

    // A user's keyboard.
    const xkb_rule_names names{"evdev", "pc105", "us", "", ""};
    std::unique_ptr<xkb_keymap, XkbKeymapDeleter> us(
        xkb_keymap_new_from_names(ours.context.get(), &names, XKB_KEYMAP_COMPILE_NO_FLAGS));
    ASSERT_TRUE(us);
    std::unique_ptr<char, decltype(&std::free)> usText(xkb_keymap_get_as_string(us.get(), XKB_KEYMAP_FORMAT_TEXT_V1),
                                                       &std::free);
    EXPECT_FALSE(WaylandKeymap::isOwnKeymap(usText.get()));
}

// SPDX-License-Identifier: MIT
#include "platform/error.h"
#include "platform/x11/x11_keyplan.h"

#include <gtest/gtest.h>
#include <xkbcommon/xkbcommon.h>

#include <algorithm>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

using namespace platform;
using namespace platform::x11;

namespace {

constexpr unsigned kMod5 = 1u << 7;
constexpr std::uint8_t kShiftKey = 50, kLevel3Key = 92, kControlKey = 37;

// A snapshot of a layout as xkeyboard-config defines it, the way the X
// server would hand it out.
KeymapSnapshot snapshotOf(const char *layout)
{
    std::unique_ptr<xkb_context, decltype(&xkb_context_unref)> ctx(xkb_context_new(XKB_CONTEXT_NO_FLAGS),
                                                                   &xkb_context_unref);
    const xkb_rule_names names{"evdev", "pc105", layout, "", ""};
    std::unique_ptr<xkb_keymap, decltype(&xkb_keymap_unref)> km(
        xkb_keymap_new_from_names(ctx.get(), &names, XKB_KEYMAP_COMPILE_NO_FLAGS), &xkb_keymap_unref);
    EXPECT_TRUE(km) << layout;
    KeymapSnapshot snap;
    if (!km)
        return snap;
    for (xkb_keycode_t kc = 8; kc <= 255; ++kc) {
        const xkb_layout_index_t groups = xkb_keymap_num_layouts_for_key(km.get(), kc);
        if (groups == 0) {
            snap.emptyKeycodes.push_back(static_cast<std::uint8_t>(kc));
            continue;
        }
        KeyInfo info;
        info.keycode = static_cast<std::uint8_t>(kc);
        for (xkb_layout_index_t g = 0; g < groups; ++g) {
            KeyGroup group;
            for (xkb_level_index_t l = 0; l < xkb_keymap_num_levels_for_key(km.get(), kc, g); ++l) {
                const xkb_keysym_t *syms = nullptr;
                const KeySymbol sym = xkb_keymap_key_get_syms_by_level(km.get(), kc, g, l, &syms) == 1 ? syms[0] : 0;
                const char32_t ch = xkb_keysym_to_utf32(sym);
                info.keypad = info.keypad || keysym::isKeypad(sym);
                group.levels.push_back({sym, ch >= 0x20 && ch != 0x7f ? ch : 0});
                xkb_mod_mask_t masks[16];
                const size_t n = xkb_keymap_key_get_mods_for_level(km.get(), kc, g, l, masks, 16);
                for (size_t i = 0; i < n; ++i) {
                    group.typeMask |= masks[i];
                    if (masks[i] != 0)
                        group.entries.push_back({masks[i], static_cast<int>(l)});
                }
            }
            info.groups.push_back(group);
        }
        snap.numGroups = std::max(snap.numGroups, static_cast<int>(groups));
        snap.keys.push_back(info);
    }
    snap.shift = {kShiftKey, modmask::Shift};
    snap.levelThree = {kLevel3Key, kMod5};
    snap.control = {kControlKey, modmask::Control};
    return snap;
}

const KeymapSnapshot &layout(const std::string &name)
{
    static std::map<std::string, KeymapSnapshot> cache;
    auto it = cache.find(name);
    if (it == cache.end())
        it = cache.emplace(name, snapshotOf(name.c_str())).first;
    return it->second;
}

std::vector<SpareKey> emptySpares(const KeymapSnapshot &km, std::size_t count)
{
    std::vector<SpareKey> spares;
    for (std::size_t i = 0; i < count && i < km.emptyKeycodes.size(); ++i)
        spares.push_back({km.emptyKeycodes[i], 0, true});
    return spares;
}

std::vector<KeyStroke> chars(std::u32string_view text)
{
    std::vector<KeyStroke> out;
    for (char32_t c : text)
        out.push_back(KeyStroke::character(c));
    return out;
}

PlannedKey key(std::uint8_t keycode, std::initializer_list<std::uint8_t> mods, std::uint8_t group = 0)
{
    PlannedKey k{keycode, group, {}};
    std::size_t i = 0;
    for (std::uint8_t m : mods)
        k.modifiers[i++] = m;
    return k;
}

struct LayoutCase {
    const char *layout;
    KeyStroke stroke;
    PlannedKey expected;
};

class LayoutKeys : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(LayoutKeys, TypesOnTheKeyWithFewestModifiers)
{
    const LayoutCase &c = GetParam();
    const KeymapSnapshot &km = layout(c.layout);
    const std::vector<KeyStroke> strokes{c.stroke};
    const KeyPlan plan = planKeys(km, {}, emptySpares(km, 4), strokes);
    ASSERT_EQ(plan.consumed, 1u);
    EXPECT_TRUE(plan.bindings.empty()) << "character U+" << std::hex << std::uint32_t(c.stroke.ch);
    ASSERT_EQ(plan.keys.size(), 1u);
    EXPECT_EQ(plan.keys[0], c.expected) << c.layout << " U+" << std::hex << std::uint32_t(c.stroke.ch)
                                        << " got keycode " << std::dec << int(plan.keys[0].keycode);
}

INSTANTIATE_TEST_SUITE_P(
    UsDeFr, LayoutKeys,
    ::testing::Values(
        LayoutCase{"us", KeyStroke::character(U'a'), key(38, {})},
        LayoutCase{"us", KeyStroke::character(U'A'), key(38, {kShiftKey})},
        LayoutCase{"us", KeyStroke::character(U'@'), key(11, {kShiftKey})},
        LayoutCase{"us", KeyStroke::character(U'+'), key(21, {kShiftKey})}, // never KP_Add
        LayoutCase{"us", KeyStroke::ctrl(U']'), key(35, {kControlKey})},
        LayoutCase{"us", KeyStroke::ctrl(U'd'), key(40, {kControlKey})},
        LayoutCase{"us", KeyStroke::named(NamedKey::Return), key(36, {})},
        LayoutCase{"us", KeyStroke::named(NamedKey::Tab), key(23, {})},
        LayoutCase{"us", KeyStroke::named(NamedKey::BackSpace), key(22, {})},
        LayoutCase{"us", KeyStroke::named(NamedKey::Escape), key(9, {})},
        LayoutCase{"us", KeyStroke::named(NamedKey::Delete), key(119, {})},
        LayoutCase{"de", KeyStroke::character(U'z'), key(29, {})},
        LayoutCase{"de", KeyStroke::character(U'@'), key(24, {kLevel3Key})},
        LayoutCase{"de", KeyStroke::character(U'€'), key(26, {kLevel3Key})},
        LayoutCase{"de", KeyStroke::character(U'ä'), key(48, {})},
        LayoutCase{"de", KeyStroke::character(U'Ä'), key(48, {kShiftKey})},
        LayoutCase{"de", KeyStroke::character(U'ß'), key(20, {})},
        LayoutCase{"de", KeyStroke::character(U'Ω'), key(24, {kShiftKey, kLevel3Key})},
        LayoutCase{"de", KeyStroke::character(U'\\'), key(20, {kLevel3Key})},
        LayoutCase{"de", KeyStroke::ctrl(U']'), key(18, {kLevel3Key, kControlKey})},
        LayoutCase{"fr", KeyStroke::character(U'a'), key(24, {})},
        LayoutCase{"fr", KeyStroke::character(U'1'), key(10, {kShiftKey})},
        LayoutCase{"fr", KeyStroke::character(U'é'), key(11, {})},
        LayoutCase{"fr", KeyStroke::character(U'@'), key(19, {kLevel3Key})},
        LayoutCase{"fr", KeyStroke::character(U'^'), key(18, {kLevel3Key})})); // not the dead key

struct SpareCase {
    const char *name;
    const char *layout;
    std::u32string text;
    KeyboardState state;
    std::size_t spareCount;
    std::size_t consumed;
    std::size_t bindings;
};

class SpareKeys : public ::testing::TestWithParam<SpareCase> {};

TEST_P(SpareKeys, BindsEachMissingCharacterOnceOnItsOwnKey)
{
    const SpareCase &c = GetParam();
    const KeymapSnapshot &km = layout(c.layout);
    const std::vector<SpareKey> spares = emptySpares(km, c.spareCount);
    const std::vector<KeyStroke> strokes = chars(c.text);
    const KeyPlan plan = planKeys(km, c.state, spares, strokes);
    EXPECT_EQ(plan.consumed, c.consumed);
    ASSERT_EQ(plan.keys.size(), plan.consumed);
    ASSERT_EQ(plan.bindings.size(), c.bindings);

    std::set<std::uint8_t> boundKeycodes;
    std::map<std::uint8_t, KeySymbol> symOf;
    for (const SpareBinding &b : plan.bindings) {
        EXPECT_TRUE(boundKeycodes.insert(b.keycode).second) << "keycode bound twice: " << int(b.keycode);
        symOf[b.keycode] = b.keysym;
    }
    // Every stroke typed on a bound key finds its own character there; the
    // others keep to the layout's keys.
    for (std::size_t i = 0; i < plan.consumed; ++i) {
        const auto it = symOf.find(plan.keys[i].keycode);
        if (it != symOf.end()) {
            EXPECT_EQ(it->second, keysym::forCharacter(c.text[i])) << "stroke " << i;
            EXPECT_EQ(plan.keys[i].modifiers, (std::array<std::uint8_t, 3>{})) << "stroke " << i;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Missing, SpareKeys,
    ::testing::Values(
        SpareCase{"OutsideUs", "us", U"ÄäßĀ€ñΩ", {}, 8, 7, 7},
        SpareCase{"RepeatedCharacterBoundOnce", "us", U"ΩaΩbΩ", {}, 8, 5, 1},
        SpareCase{"DeHasMostOfThem", "de", U"ÄäßñΩ€^", {}, 8, 7, 2}, // ^ only dead
        SpareCase{"FrHasNoPlainCircumflexE", "fr", U"êÊé", {}, 8, 3, 2},
        SpareCase{"MoreThanSpareKeysStopsAtTheFirstMisfit", "us", U"漢字かなaカナ", {}, 3, 3, 3},
        SpareCase{"MisfitAfterRepeatsOfBoundOnes", "us", U"漢字漢字b字か", {}, 2, 6, 2},
        SpareCase{"NoSpareKeysAtAll", "us", U"abΩc", {}, 0, 2, 0},
        // A held Shift would capitalise the letters of layout keys.
        SpareCase{"HeldShift", "us", U"aA1!", {0, modmask::Shift}, 8, 4, 2}),
    [](const auto &param) { return std::string(param.param.name); });

TEST(KeyPlan, SpareKeysBoundEarlierAreReusedOrRebound)
{
    const KeymapSnapshot &km = layout("us");
    const std::uint8_t a = km.emptyKeycodes.at(0), b = km.emptyKeycodes.at(1);
    const KeySymbol omega = keysym::forCharacter(U'Ω'), enye = keysym::forCharacter(U'ñ');
    struct Case {
        std::vector<SpareKey> spares;
        std::u32string text;
        std::size_t consumed;
        std::vector<SpareBinding> bindings;
    };
    const Case cases[] = {
        // still in use by clients: only its own character may go there
        {{{a, omega, false}, {b, enye, false}}, U"ñΩ", 2, {}},
        {{{a, omega, false}, {b, enye, false}}, U"€", 0, {}},
        {{{a, omega, true}, {b, enye, false}}, U"€", 1, {{a, keysym::forCharacter(U'€')}}},
        {{{a, omega, true}}, U"Ω€", 1, {}}, // Ω keeps its key within the burst
    };
    for (const Case &c : cases) {
        const std::vector<KeyStroke> strokes = chars(c.text);
        const KeyPlan plan = planKeys(km, {}, c.spares, strokes);
        EXPECT_EQ(plan.consumed, c.consumed);
        EXPECT_EQ(plan.bindings, c.bindings);
    }
}

TEST(KeyPlan, OtherGroupOnlyWhenTheActiveOneLacksTheCharacter)
{
    const KeymapSnapshot &km = layout("us,de");
    struct Case {
        int activeGroup;
        char32_t ch;
        PlannedKey expected;
    };
    const Case cases[] = {
        {0, U'z', key(52, {}, 0)},
        {0, U'ä', key(48, {}, 1)},
        {1, U'z', key(29, {}, 1)},
        {1, U'ä', key(48, {}, 1)},
        {1, U';', key(59, {kShiftKey}, 1)}, // plain in us, yet Shift in the active group wins
    };
    for (const Case &c : cases) {
        const std::vector<KeyStroke> strokes{KeyStroke::character(c.ch)};
        const KeyPlan plan = planKeys(km, {c.activeGroup, 0}, {}, strokes);
        ASSERT_EQ(plan.consumed, 1u) << std::hex << std::uint32_t(c.ch);
        EXPECT_EQ(plan.keys[0], c.expected) << std::hex << std::uint32_t(c.ch);
    }
}

TEST(KeyPlan, NeverUsesKeypadDeadOrLockLevels)
{
    KeymapSnapshot km;
    KeyGroup keypad{0x10, {{0x10, 1}}, {{0xff9f, 0}, {0xffae, U'.'}}};    // KP_Delete / KP_Decimal
    KeyGroup dead{0, {}, {{0xfe52, U'^'}}};                              // dead_circumflex
    KeyGroup lock{modmask::Lock, {{modmask::Lock, 1}}, {{'y', U'y'}, {'X', U'X'}}};
    km.keys = {{91, true, {keypad}}, {34, false, {dead}}, {30, false, {lock}}};
    km.emptyKeycodes = {200, 201, 202};
    const std::vector<SpareKey> spares{{200, 0, true}, {201, 0, true}, {202, 0, true}};
    const std::vector<KeyStroke> strokes = chars(U".^Xy");
    const KeyPlan plan = planKeys(km, {}, spares, strokes);
    ASSERT_EQ(plan.consumed, 4u);
    const std::vector<SpareBinding> expected{{200, '.'}, {201, '^'}, {202, 'X'}};
    EXPECT_EQ(plan.bindings, expected);
    EXPECT_EQ(plan.keys[3].keycode, 30);
}

struct BorrowCase {
    const char *layout;
    std::uint8_t keycode;
    bool borrowable;
};

class Borrowing : public ::testing::TestWithParam<BorrowCase> {};

TEST_P(Borrowing, OnlyKeysThatTypeNothingAScanNeeds)
{
    const BorrowCase &c = GetParam();
    const KeymapSnapshot &km = layout(c.layout);
    const auto it = std::find_if(km.keys.begin(), km.keys.end(), [&](const KeyInfo &k) { return k.keycode == c.keycode; });
    ASSERT_NE(it, km.keys.end()) << "keycode " << int(c.keycode);
    EXPECT_EQ(borrowable(*it), c.borrowable) << c.layout << " keycode " << int(c.keycode);
}

INSTANTIATE_TEST_SUITE_P(
    UsDeFr, Borrowing,
    ::testing::Values(
        BorrowCase{"us", 163, true},  // XF86Mail
        BorrowCase{"us", 191, true},  // XF86Tools
        BorrowCase{"us", 192, true},  // XF86Launch5
        BorrowCase{"de", 121, true},  // XF86AudioMute
        BorrowCase{"fr", 148, true},  // XF86Calculator
        BorrowCase{"us", 38, false},  // a
        BorrowCase{"us", 36, false},  // Return
        BorrowCase{"us", 23, false},  // Tab
        BorrowCase{"us", 119, false}, // Delete
        BorrowCase{"us", 9, false},   // Escape
        BorrowCase{"us", 67, false},  // F1, also switches consoles
        BorrowCase{"us", 50, false},  // Shift
        BorrowCase{"us", 66, false},  // Caps Lock
        BorrowCase{"us", 77, false},  // Num Lock
        BorrowCase{"us", 92, false},  // ISO_Level3_Shift
        BorrowCase{"us", 87, false},  // KP_End / KP_1
        BorrowCase{"us", 65, false},  // space
        BorrowCase{"de", 48, false},  // adiaeresis
        BorrowCase{"fr", 34, false},  // dead_circumflex
        BorrowCase{"us", 127, false}, // Pause
        BorrowCase{"us", 110, false}, // Home
        BorrowCase{"us", 114, false}),// Right
    [](const auto &param) {
        return std::string(param.param.layout) + "_" + std::to_string(int(param.param.keycode));
    });

TEST(KeyPlan, BorrowedKeysNeverCarryWhatAScanTypes)
{
    for (const char *name : {"us", "de", "fr", "us,de"}) {
        const KeymapSnapshot &km = layout(name);
        std::size_t count = 0;
        for (const KeyInfo &k : km.keys) {
            if (!borrowable(k))
                continue;
            ++count;
            for (const KeyGroup &g : k.groups) {
                for (const KeyLevel &l : g.levels) {
                    EXPECT_EQ(l.ch, 0u) << name << " keycode " << int(k.keycode);
                    for (KeySymbol named : {keysym::Return, keysym::Tab, keysym::BackSpace, keysym::Escape,
                                            keysym::Delete, keysym::ShiftL, keysym::ControlL, keysym::IsoLevel3Shift})
                        EXPECT_NE(l.keysym, named) << name << " keycode " << int(k.keycode);
                }
            }
        }
        // Enough, with the empty keycodes, for a few dozen distinct characters
        // in one burst.
        EXPECT_GE(count + km.emptyKeycodes.size(), 64u) << name;
    }
    // A key of launcher symbols that is a modifier, on the keypad or acts stays.
    KeyGroup launch{0, {}, {{0x1008ff40, 0}}}; // XF86Launch0
    EXPECT_TRUE(borrowable(KeyInfo{200, false, {launch}, false}));
    EXPECT_FALSE(borrowable(KeyInfo{200, false, {launch}, true}));
    EXPECT_FALSE(borrowable(KeyInfo{200, true, {launch}, false}));
    EXPECT_FALSE(borrowable(KeyInfo{200, false, {launch}, false, true})); // has actions
    KeyGroup modeLock{0, {}, {{0x1008ff01, 0}}}; // XF86ModeLock
    EXPECT_FALSE(borrowable(KeyInfo{200, false, {modeLock}, false}));
    KeyGroup mixed{0, {}, {{0xffca, 0}, {0x1008ff40, 0}, {'x', U'x'}}}; // F13, XF86Launch0, x
    EXPECT_FALSE(borrowable(KeyInfo{200, false, {launch, mixed}, false}));
}

TEST(KeyPlan, EmptyKeysFirstThenKnownBindingsThenBorrowedOnes)
{
    const KeymapSnapshot &km = layout("us");
    const std::uint8_t empty = km.emptyKeycodes.at(0), ours = km.emptyKeycodes.at(1);
    const std::uint8_t mail = 163, tools = 191;
    const KeySymbol omega = keysym::forCharacter(U'Ω');
    auto sym = [](char32_t c) { return keysym::forCharacter(c); };
    struct Case {
        std::u32string text;
        std::vector<SpareKey> spares;
        std::size_t consumed;
        std::vector<SpareBinding> bindings;
    };
    const Case cases[] = {
        {U"ñ", {{mail, 0, true, true}, {empty, 0, true}}, 1, {{empty, sym(U'ñ')}}},
        {U"ñ€ß", {{mail, 0, true, true}, {ours, omega, true}, {empty, 0, true}}, 3,
         {{empty, sym(U'ñ')}, {ours, sym(U'€')}, {mail, sym(U'ß')}}},
        // a binding clients may not know yet is not replaced; borrowing is
        {U"ñ€", {{ours, omega, false}, {tools, 0, true, true}, {mail, 0, true, true}}, 2,
         {{tools, sym(U'ñ')}, {mail, sym(U'€')}}},
        // a layout key typed in this burst is never lent out, whatever the caller says
        {U"aΩ", {{38, 0, true, true}}, 1, {}},
    };
    for (const Case &c : cases) {
        const std::vector<KeyStroke> strokes = chars(c.text);
        const KeyPlan plan = planKeys(km, {}, c.spares, strokes);
        EXPECT_EQ(plan.consumed, c.consumed);
        EXPECT_EQ(plan.bindings, c.bindings);
    }
}

TEST(KeyPlan, ControlStrokeWithoutControlKeyIsAnError)
{
    KeymapSnapshot km = layout("us");
    km.control = {};
    const std::vector<KeyStroke> strokes{KeyStroke::ctrl(U']')};
    try {
        planKeys(km, {}, {}, strokes);
        FAIL() << "expected an error";
    } catch (const RuntimeError &e) {
        EXPECT_EQ(e.number(), err::KeyboardFailed);
    }
}

} // namespace

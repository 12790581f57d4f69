// SPDX-License-Identifier: MIT
#include "platform/remote/remote_keys.h"

#include <gtest/gtest.h>
#include <xkbcommon/xkbcommon-keysyms.h>
#include <xkbcommon/xkbcommon.h>

#include <memory>
#include <vector>

using platform::KeyStroke;
using platform::KeyStrokePlanner;
using platform::NamedKey;
using platform::remote::KeyEvent;
using platform::remote::LayoutKeysyms;
using platform::remote::planKeyEvents;
using platform::remote::preferredKeysym;

namespace {

// The keymap a compositor would send for these layouts (evdev rules).
LayoutKeysyms layoutOf(const char *layouts, std::uint32_t group = 0)
{
    std::unique_ptr<xkb_context, decltype(&xkb_context_unref)> ctx(
        xkb_context_new(XKB_CONTEXT_NO_ENVIRONMENT_NAMES), &xkb_context_unref);
    const xkb_rule_names names{"evdev", "pc105", layouts, "", ""};
    std::unique_ptr<xkb_keymap, decltype(&xkb_keymap_unref)> keymap(
        xkb_keymap_new_from_names(ctx.get(), &names, XKB_KEYMAP_COMPILE_NO_FLAGS),
        &xkb_keymap_unref);
    EXPECT_NE(keymap, nullptr) << layouts;
    return keymap ? LayoutKeysyms::fromKeymap(keymap.get(), group) : LayoutKeysyms();
}

struct KeysymCase {
    char32_t ch;
    std::uint32_t keysym;
};

TEST(RemoteKeysyms, LegacyFormFirstThenUnicode)
{
    const KeysymCase cases[] = {
        {U'a', XKB_KEY_a},
        {U'~', XKB_KEY_asciitilde},
        {U'\u00c4', XKB_KEY_Adiaeresis},
        {U'\u20ac', XKB_KEY_EuroSign},      // 0x20ac; 0x10020ac is not typed
        {U'\u03a9', XKB_KEY_Greek_OMEGA},   // 0x7d9
        {U'\u6f22', 0x01006f22},            // no legacy keysym
    };
    for (const KeysymCase &c : cases)
        EXPECT_EQ(preferredKeysym(c.ch), c.keysym) << std::hex << static_cast<std::uint32_t>(c.ch);
}

struct LayoutCase {
    const char *layouts;
    std::uint32_t group;
    char32_t ch;
    std::uint32_t keysym; // 0: the group cannot type it
};

class RemoteLayout : public testing::TestWithParam<LayoutCase> {};

TEST_P(RemoteLayout, FindsWhatTheCompositorCanType)
{
    const LayoutCase &c = GetParam();
    EXPECT_EQ(layoutOf(c.layouts, c.group).find(c.ch), c.keysym)
        << c.layouts << " group " << c.group << " U+" << std::hex
        << static_cast<std::uint32_t>(c.ch);
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, RemoteLayout,
    testing::Values(
        // base and Shift levels
        LayoutCase{"us", 0, U'a', XKB_KEY_a}, LayoutCase{"us", 0, U'A', XKB_KEY_A},
        LayoutCase{"us", 0, U'!', XKB_KEY_exclam}, LayoutCase{"us", 0, U']', XKB_KEY_bracketright},
        // the main keys, never the keypad's (which moves the cursor without Num Lock)
        LayoutCase{"us", 0, U'*', XKB_KEY_asterisk}, LayoutCase{"us", 0, U'7', XKB_KEY_7},
        // not on the US layout at the base or Shift level
        LayoutCase{"us", 0, U'\u00c4', 0}, LayoutCase{"us", 0, U'\u00f1', 0},
        LayoutCase{"us", 0, U'\u6f22', 0},
        // German letters; AltGr levels are never used (an XWayland window
        // loses them), so the euro sign on AltGr+5 of the US layout, and @
        // and ] on AltGr+Q and AltGr+9 of the German one are refused
        LayoutCase{"de", 0, U'\u00c4', XKB_KEY_Adiaeresis},
        LayoutCase{"de", 0, U'\u00df', XKB_KEY_ssharp}, LayoutCase{"us", 0, U'\u20ac', 0},
        LayoutCase{"de", 0, U'@', 0}, LayoutCase{"de", 0, U']', 0},
        LayoutCase{"de", 0, U'\u00bf', 0},
        // the second group of a two-layout keymap
        LayoutCase{"us,de", 1, U'\u00e4', XKB_KEY_adiaeresis},
        LayoutCase{"us,de", 0, U'\u00e4', 0}));

TEST(RemoteLayout, NamesTheGroupAsTheDesktopDoes)
{
    EXPECT_EQ(layoutOf("us,de", 1).name(), QStringLiteral("German"));
    EXPECT_EQ(layoutOf("us").name(), QStringLiteral("English (US)"));
}

struct PlanCase {
    const char *what;
    QString text;
    std::vector<KeyEvent> events;
    QString missing;
};

void PrintTo(const PlanCase &c, std::ostream *os)
{
    *os << c.what;
}

std::vector<KeyEvent> tap(std::uint32_t ks)
{
    return {{ks, true}, {ks, false}};
}

std::vector<KeyEvent> join(std::initializer_list<std::vector<KeyEvent>> parts)
{
    std::vector<KeyEvent> all;
    for (const auto &p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

class RemotePlan : public testing::TestWithParam<PlanCase> {};

TEST_P(RemotePlan, TypesEveryCharacterOrNothing)
{
    const PlanCase &c = GetParam();
    KeyStrokePlanner planner;
    const auto strokes = planner.plan(c.text);
    const auto plan = planKeyEvents(strokes, layoutOf("us"));
    EXPECT_EQ(plan.events, c.events);
    EXPECT_EQ(plan.missing, c.missing);
}

INSTANTIATE_TEST_SUITE_P(
    Plans, RemotePlan,
    testing::Values(
        PlanCase{"shifted", QStringLiteral("aB+"),
                 join({tap(XKB_KEY_a), tap(XKB_KEY_B), tap(XKB_KEY_plus)}), {}},
        PlanCase{"line ends and tab", QStringLiteral("1\r\n2\t"),
                 join({tap(XKB_KEY_1), tap(XKB_KEY_Return), tap(XKB_KEY_2), tap(XKB_KEY_Tab)}),
                 {}},
        PlanCase{"group separator", QStringLiteral("A\x1d"),
                 join({tap(XKB_KEY_A),
                       {{XKB_KEY_Control_L, true}},
                       tap(XKB_KEY_bracketright),
                       {{XKB_KEY_Control_L, false}}}),
                 {}},
        PlanCase{"named keys", QStringLiteral("\b\x1b\x7f"),
                 join({tap(XKB_KEY_BackSpace), tap(XKB_KEY_Escape), tap(XKB_KEY_Delete)}), {}},
        // Nothing of a scan with characters the layout lacks; each named once.
        PlanCase{"outside the layout", QStringLiteral("A\u00c4B\u6f22\u00c4C"), {},
                 QStringLiteral("\u00c4\u6f22")},
        // Scans of the same burst around a refused one are typed, in order.
        PlanCase{"refused scan among others", QStringLiteral("1\r\u00c42\r3\r\U0001F600"),
                 join({tap(XKB_KEY_1), tap(XKB_KEY_Return), tap(XKB_KEY_3),
                       tap(XKB_KEY_Return)}),
                 QStringLiteral("\u00c4\U0001F600")}),
    [](const testing::TestParamInfo<PlanCase> &param) {
        std::string name = param.param.what;
        for (char &ch : name)
            if (!std::isalnum(static_cast<unsigned char>(ch)))
                ch = '_';
        return name;
    });

} // namespace

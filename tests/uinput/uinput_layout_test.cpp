// SPDX-License-Identifier: MIT
#include "platform/uinput/uinput_layout.h"
#include "uinput/uinput_test_util.h"

#include <gtest/gtest.h>
#include <linux/input-event-codes.h>

#include <map>
#include <string>

using platform::uinput::KeyChord;
using platform::uinput::KeymapNames;
using platform::uinput::LayoutKeys;
using platform::uinput::resolveKeymapNames;
using uinput_test::layout;

namespace {

struct NamesCase {
    const char *what;
    std::map<std::string, std::string> env;
    const char *config;
    KeymapNames expected;
};

void PrintTo(const NamesCase &c, std::ostream *os)
{
    *os << c.what;
}

class UinputResolveNames : public testing::TestWithParam<NamesCase> {};

TEST_P(UinputResolveNames, PicksTheDesktopLayout)
{
    const NamesCase &c = GetParam();
    const auto env = [&](const char *name) -> std::optional<std::string> {
        const auto it = c.env.find(name);
        if (it == c.env.end())
            return std::nullopt;
        return it->second;
    };
    EXPECT_EQ(resolveKeymapNames(env, c.config), c.expected) << c.what;
}

const char *const kDebianConfig = "# KEYBOARD CONFIGURATION FILE\n"
                                  "\n"
                                  "XKBMODEL=\"pc105\"\n"
                                  "XKBLAYOUT=\"de\"\n"
                                  "XKBVARIANT=\"nodeadkeys\"\n"
                                  "XKBOPTIONS=\"compose:ralt\"\n"
                                  "\n"
                                  "BACKSPACE=\"guess\"\n";

INSTANTIATE_TEST_SUITE_P(
    Sources, UinputResolveNames,
    testing::Values(
        NamesCase{"nothing configured", {}, "", {"evdev", "", "us", "", ""}},
        NamesCase{"system file", {}, kDebianConfig, {"evdev", "pc105", "de", "nodeadkeys", "compose:ralt"}},
        NamesCase{"environment wins, its variant too",
                  {{"XKB_DEFAULT_LAYOUT", "fr"}, {"XKB_DEFAULT_VARIANT", "oss"}},
                  kDebianConfig,
                  {"evdev", "pc105", "fr", "oss", "compose:ralt"}},
        NamesCase{"the system variant never joins an environment layout",
                  {{"XKB_DEFAULT_LAYOUT", "fr"}},
                  kDebianConfig,
                  {"evdev", "pc105", "fr", "", "compose:ralt"}},
        NamesCase{"an environment variant without a layout is ignored",
                  {{"XKB_DEFAULT_VARIANT", "dvorak"}},
                  "",
                  {"evdev", "", "us", "", ""}},
        NamesCase{"empty environment values count as unset",
                  {{"XKB_DEFAULT_LAYOUT", ""}, {"XKB_DEFAULT_OPTIONS", ""}},
                  kDebianConfig,
                  {"evdev", "pc105", "de", "nodeadkeys", "compose:ralt"}},
        NamesCase{"model, options and rules from the environment",
                  {{"XKB_DEFAULT_MODEL", "pc104"}, {"XKB_DEFAULT_OPTIONS", "lv3:ralt_switch"},
                   {"XKB_DEFAULT_RULES", "base"}},
                  kDebianConfig,
                  {"base", "pc104", "de", "nodeadkeys", "lv3:ralt_switch"}},
        NamesCase{"unquoted, single-quoted, exported, commented",
                  {},
                  "export XKBLAYOUT=us,ru # two layouts\n  XKBVARIANT=',phonetic'\n#XKBMODEL=\"x\"\n",
                  {"evdev", "", "us,ru", ",phonetic", ""}},
        NamesCase{"the last assignment counts", {}, "XKBLAYOUT=de\nXKBLAYOUT=\"fr\"\n", {"evdev", "", "fr", "", ""}}));

TEST(UinputKeymapNamesDescribe, NamesTheFirstLayoutAndItsVariant)
{
    const struct {
        KeymapNames names;
        const char *expected;
    } cases[] = {
        {{"evdev", "", "us", "", ""}, "us"},
        {{"evdev", "", "de", "nodeadkeys", ""}, "de(nodeadkeys)"},
        {{"evdev", "", "us,ru", ",phonetic", ""}, "us"},
        {{"evdev", "", "ru,us", "phonetic,", ""}, "ru(phonetic)"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.names.describe().toStdString(), c.expected) << c.names.layout << " " << c.names.variant;
}

struct ChordCase {
    const char *layout;
    char32_t ch;
    KeyChord chord;
};

void PrintTo(const ChordCase &c, std::ostream *os)
{
    *os << c.layout << " U+" << std::hex << static_cast<unsigned>(c.ch);
}

class UinputLayoutChords : public testing::TestWithParam<ChordCase> {};

TEST_P(UinputLayoutChords, FindsTheKeyAndModifiers)
{
    const ChordCase &c = GetParam();
    const KeyChord *found = layout(c.layout).find(c.ch);
    ASSERT_NE(found, nullptr) << c.layout << " U+" << std::hex << static_cast<unsigned>(c.ch);
    EXPECT_EQ(*found, c.chord) << c.layout << " U+" << std::hex << static_cast<unsigned>(c.ch) << std::dec
                               << ": got code " << found->code << " shift " << found->shift << " altGr "
                               << found->altGr;
}

constexpr KeyChord plain(std::uint16_t code) { return {code, false, false}; }
constexpr KeyChord shifted(std::uint16_t code) { return {code, true, false}; }
constexpr KeyChord altGr(std::uint16_t code) { return {code, false, true}; }
constexpr KeyChord shiftAltGr(std::uint16_t code) { return {code, true, true}; }

INSTANTIATE_TEST_SUITE_P(
    UsDeFr, UinputLayoutChords,
    testing::Values(
        ChordCase{"us", U'a', plain(KEY_A)}, ChordCase{"us", U'A', shifted(KEY_A)},
        ChordCase{"us", U'@', shifted(KEY_2)}, ChordCase{"us", U' ', plain(KEY_SPACE)},
        // Main-row parentheses, not the keypad's; '<' on the comma key that
        // every US keyboard has, not on the ISO key.
        ChordCase{"us", U'(', shifted(KEY_9)}, ChordCase{"us", U'<', shifted(KEY_COMMA)},
        ChordCase{"us", U'|', shifted(KEY_BACKSLASH)}, ChordCase{"us", U'~', shifted(KEY_GRAVE)},
        ChordCase{"de", U'z', plain(KEY_Y)}, ChordCase{"de", U'Y', shifted(KEY_Z)},
        ChordCase{"de", U'@', altGr(KEY_Q)}, ChordCase{"de", U'€', altGr(KEY_E)},
        ChordCase{"de", U'ß', plain(KEY_MINUS)}, ChordCase{"de", U'Ä', shifted(KEY_APOSTROPHE)},
        ChordCase{"de", U'{', altGr(KEY_7)}, ChordCase{"de", U']', altGr(KEY_9)},
        ChordCase{"de", U'<', plain(KEY_102ND)}, ChordCase{"de", U'|', altGr(KEY_102ND)},
        ChordCase{"de", U'Ω', shiftAltGr(KEY_Q)},
        ChordCase{"fr", U'a', plain(KEY_Q)}, ChordCase{"fr", U'q', plain(KEY_A)},
        ChordCase{"fr", U'1', shifted(KEY_1)}, ChordCase{"fr", U'&', plain(KEY_1)},
        ChordCase{"fr", U'é', plain(KEY_2)}, ChordCase{"fr", U'@', altGr(KEY_0)},
        ChordCase{"fr", U'M', shifted(KEY_SEMICOLON)}, ChordCase{"fr", U',', plain(KEY_M)},
        ChordCase{"fr", U'<', plain(KEY_102ND)}, ChordCase{"fr", U'>', shifted(KEY_102ND)},
        ChordCase{"fr", U'€', altGr(KEY_E)}));

TEST(UinputLayoutKeys, LacksWhatTheLayoutCannotTypeWithoutDeadKeys)
{
    const struct {
        const char *layout;
        const char *variant;
        char32_t ch;
    } cases[] = {
        {"us", "", U'Ω'}, {"us", "", U'ä'}, {"us", "", U'€'}, {"de", "", U'ñ'}, {"fr", "", U'ä'},
        {"de", "", U'中'},
        // de puts '^' and '`' only on dead keys; nodeadkeys has them.
        {"de", "", U'^'}, {"de", "", U'`'},
        // Control characters are typed as named keys, never as characters.
        {"us", "", U'\r'}, {"us", "", U'\t'}, {"us", "", U'\b'}, {"us", "", 0x1B}, {"us", "", 0x7F},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(layout(c.layout, c.variant).find(c.ch), nullptr)
            << c.layout << " U+" << std::hex << static_cast<unsigned>(c.ch);
    }
    EXPECT_NE(layout("de", "nodeadkeys").find(U'^'), nullptr);
}

TEST(UinputLayoutKeys, AltGrIsTheRightAltWhereTheLayoutHasLevelThree)
{
    EXPECT_EQ(layout("de").altGrCode(), KEY_RIGHTALT);
    EXPECT_EQ(layout("fr").altGrCode(), KEY_RIGHTALT);
    EXPECT_EQ(layout("de").shiftCode(), KEY_LEFTSHIFT);
    EXPECT_EQ(layout("de").name().toStdString(), "de");
    EXPECT_EQ(layout("de", "nodeadkeys").name().toStdString(), "de(nodeadkeys)");
}

TEST(UinputLayoutKeys, UnknownLayoutIsRefusedWithAReason)
{
    KeymapNames names;
    names.layout = "no-such-layout";
    QString why;
    EXPECT_FALSE(LayoutKeys::fromNames(names, &why).has_value());
    EXPECT_TRUE(why.contains(QLatin1String("'no-such-layout'"))) << why.toStdString();
    EXPECT_TRUE(why.contains(QLatin1String("XKB_DEFAULT_LAYOUT"))) << why.toStdString();
}

} // namespace

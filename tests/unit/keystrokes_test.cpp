// SPDX-License-Identifier: MIT
#include "platform/keystrokes.h"

#include <QString>

#include <gtest/gtest.h>

namespace {

using platform::KeyStroke;
using platform::NamedKey;

std::vector<KeyStroke> chars(std::u32string_view s)
{
    std::vector<KeyStroke> v;
    for (char32_t c : s)
        v.push_back(KeyStroke::character(c));
    return v;
}

std::vector<KeyStroke> operator+(std::vector<KeyStroke> a, const std::vector<KeyStroke> &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const auto Return = std::vector<KeyStroke>{KeyStroke::named(NamedKey::Return)};

TEST(KeyStrokePlanner, EveryPrintableCharacterStandsForItself)
{
    // The old key syntax made these into modifiers, Enter or errors.
    platform::KeyStrokePlanner p;
    const QString text = QStringLiteral("+^%~(){}[]A1 é€Ω漢");
    EXPECT_EQ(p.plan(text), chars(U"+^%~(){}[]A1 é€Ω漢"));
}

TEST(KeyStrokePlanner, ControlCharacters)
{
    const struct {
        const char16_t *in;
        std::vector<KeyStroke> out;
    } cases[] = {
        {u"1\r", chars(U"1") + Return},
        {u"1\n", chars(U"1") + Return},
        {u"1\r\n2", chars(U"1") + Return + chars(U"2")},
        {u"\n\r", Return + Return},
        {u"\r\r\n", Return + Return},
        {u"\t\b\x1b\x7f",
         {KeyStroke::named(NamedKey::Tab), KeyStroke::named(NamedKey::BackSpace),
          KeyStroke::named(NamedKey::Escape), KeyStroke::named(NamedKey::Delete)}},
        {u"\x1d\x1e\x04\x01\x1a", // GS RS EOT SOH SUB
         {KeyStroke::ctrl(U']'), KeyStroke::ctrl(U'^'), KeyStroke::ctrl(U'd'),
          KeyStroke::ctrl(U'a'), KeyStroke::ctrl(U'z')}},
        {u"\0x", {KeyStroke::ctrl(U'@'), KeyStroke::character(U'x')}},
    };
    for (const auto &c : cases) {
        platform::KeyStrokePlanner p;
        const QString in = QString::fromUtf16(c.in, c.in[0] == 0 ? 2 : -1);
        EXPECT_EQ(p.plan(in), c.out) << in.toStdString();
    }
}

TEST(KeyStrokePlanner, CrLfSplitAcrossBurstsIsOneReturn)
{
    platform::KeyStrokePlanner p;
    EXPECT_EQ(p.plan(u"12\r"), chars(U"12") + Return);
    EXPECT_EQ(p.plan(u"\n3"), chars(U"3"));
    EXPECT_EQ(p.plan(u"\n"), Return);
}

TEST(KeyStrokePlanner, CharactersBeyondTheBmpAreOneStrokeAndLoneSurrogatesAreReplaced)
{
    platform::KeyStrokePlanner p;
    EXPECT_EQ(p.plan(QString::fromUcs4(U"a\U0001F600b")), chars(U"a\U0001F600b"));
    const QChar lone[] = {QChar(0xD800), QChar(u'x')};
    EXPECT_EQ(p.plan(QStringView(lone, 2)), chars(U"\uFFFDx"));
}

} // namespace

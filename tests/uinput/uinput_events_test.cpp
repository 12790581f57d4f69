// SPDX-License-Identifier: MIT
#include "platform/error.h"
#include "platform/uinput/uinput_events.h"
#include "uinput/uinput_test_util.h"

#include <gtest/gtest.h>


using namespace std::chrono_literals;
using platform::KeyStroke;
using platform::KeyStrokePlanner;
using platform::RuntimeError;
using platform::uinput::LayoutKeys;
using platform::uinput::PaceGate;
using platform::uinput::Pacing;
using platform::uinput::planEvents;
using uinput_test::layout;
using uinput_test::render;

namespace {

std::string plan(const std::string &layoutName, const QString &text, bool capsLock = false)
{
    KeyStrokePlanner planner;
    const auto strokes = planner.plan(text);
    return render(planEvents(strokes, layout(layoutName), capsLock));
}

struct StreamCase {
    const char *layout;
    std::u16string_view text;
    const char *events;
};

void PrintTo(const StreamCase &c, std::ostream *os)
{
    *os << c.layout << " " << QStringView(c.text.data(), c.text.size()).toString().toStdString();
}

class UinputEventStream : public testing::TestWithParam<StreamCase> {};

TEST_P(UinputEventStream, TypesEachCharacterAsOneGroup)
{
    const StreamCase &c = GetParam();
    EXPECT_EQ(plan(c.layout, QStringView(c.text.data(), c.text.size()).toString()), c.events) << c.layout;
}

// Codes: 42 left Shift, 100 right Alt (AltGr), 29 left Ctrl, 28 Enter,
// 15 Tab, 14 BackSpace, 1 Escape, 111 Delete.
INSTANTIATE_TEST_SUITE_P(
    Layouts, UinputEventStream,
    testing::Values(
        StreamCase{"us", u"a", "+30 ; -30 ;"},
        StreamCase{"us", u"aA", "+30 ; -30 ; / +42 ; +30 ; -30 ; -42 ;"},
        StreamCase{"us", u"1 !", "+2 ; -2 ; / +57 ; -57 ; / +42 ; +2 ; -2 ; -42 ;"},
        StreamCase{"de", u"zy", "+21 ; -21 ; / +44 ; -44 ;"},
        StreamCase{"de", u"@", "+100 ; +16 ; -16 ; -100 ;"},
        StreamCase{"de", u"\u00C4", "+42 ; +40 ; -40 ; -42 ;"},
        StreamCase{"de", u"\u03A9", "+42 +100 ; +16 ; -16 ; -100 -42 ;"},
        StreamCase{"fr", u"a1", "+16 ; -16 ; / +42 ; +2 ; -2 ; -42 ;"},
        StreamCase{"fr", u"\u20AC", "+100 ; +18 ; -18 ; -100 ;"},
        // Named keys do not depend on the layout.
        StreamCase{"fr", u"\r\n\t\b\x1B\x7F", "+28 ; -28 ; / +15 ; -15 ; / +14 ; -14 ; / +1 ; -1 ; / +111 ; -111 ;"},
        StreamCase{"us", u"\n\n", "+28 ; -28 ; / +28 ; -28 ;"},
        // Control + character: EOT is Ctrl+d, GS Ctrl+], on the layout's key
        // for the character, with the modifiers that key needs.
        StreamCase{"us", u"\x04", "+29 ; +32 ; -32 ; -29 ;"},
        StreamCase{"us", u"\x1D", "+29 ; +27 ; -27 ; -29 ;"},
        StreamCase{"de", u"\x1D", "+29 +100 ; +10 ; -10 ; -100 -29 ;"},
        StreamCase{"us", std::u16string_view(u"\0", 1), "+29 +42 ; +3 ; -3 ; -42 -29 ;"},
        StreamCase{"us", u"", ""}));

TEST(UinputCapsLock, CompensatesCapsLockOnlyWhereItActs)
{
    const struct {
        const char *layout;
        const char16_t *text;
        const char *events;
    } cases[] = {
        // Letters swap Shift; digits and punctuation do not.
        {"us", u"aA1!", "+42 ; +30 ; -30 ; -42 ; / +30 ; -30 ; / +2 ; -2 ; / +42 ; +2 ; -2 ; -42 ;"},
        {"de", u"\u00E4\u00C4@", "+42 ; +40 ; -40 ; -42 ; / +40 ; -40 ; / +100 ; +16 ; -16 ; -100 ;"},
        {"fr", u"q1", "+42 ; +30 ; -30 ; -42 ; / +42 ; +2 ; -2 ; -42 ;"},
        // Control characters keep their plain key: Ctrl+Shift+D is another
        // shortcut than Ctrl+D.
        {"us", u"\x04", "+29 ; +32 ; -32 ; -29 ;"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(plan(c.layout, QString::fromUtf16(c.text), true), c.events) << c.layout;
}

TEST(UinputCapsLock, NamesCapsLockWhenItIsWhatPreventsACharacter)
{
    // fr types 'é' on a key that Caps Lock turns into 'É'.
    KeyStrokePlanner planner;
    const auto strokes = planner.plan(u"\u00E9");
    ASSERT_NO_THROW(planEvents(strokes, layout("fr"), false));
    try {
        planEvents(strokes, layout("fr"), true);
        FAIL() << "typed 'é' with Caps Lock on";
    } catch (const platform::UntypableError &e) {
        EXPECT_EQ(e.characters(), QStringLiteral("\u00E9"));
        EXPECT_TRUE(e.description().contains(QLatin1String("Caps Lock off"))) << e.what();
    }
}

struct MissingCase {
    const char *layout;
    const char16_t *text;
    const char16_t *missing; // each once, in order of appearance
    std::vector<const char *> mustMention;
};

void PrintTo(const MissingCase &c, std::ostream *os)
{
    *os << c.layout << " " << QString::fromUtf16(c.text).toStdString();
}

class UinputMissingCharacter : public testing::TestWithParam<MissingCase> {};

TEST_P(UinputMissingCharacter, RefusesTheWholeBurstNamingEveryCharacter)
{
    const MissingCase &c = GetParam();
    KeyStrokePlanner planner;
    const auto strokes = planner.plan(QString::fromUtf16(c.text));
    try {
        const auto groups = planEvents(strokes, layout(c.layout));
        FAIL() << "planned " << render(groups);
    } catch (const platform::UntypableError &e) {
        EXPECT_EQ(e.number(), platform::err::Untypable);
        EXPECT_EQ(e.characters(), QString::fromUtf16(c.missing));
        EXPECT_EQ(e.layout(), QString::fromLatin1(c.layout));
        for (const char *part : c.mustMention)
            EXPECT_TRUE(e.description().contains(QString::fromUtf8(part))) << e.what() << " lacks " << part;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, UinputMissingCharacter,
    testing::Values(MissingCase{"us", u"abc\u03A9def", u"\u03A9", {"\u03A9", "U+03A9", "\"us\"", "layout that has them"}},
                    MissingCase{"de", u"ok\u4E2D", u"\u4E2D", {"U+4E2D", "\"de\""}},
                    // Outside the basic plane: one character, not two halves.
                    MissingCase{"fr", u"x\U0001F600", u"\U0001F600", {"U+1F600"}},
                    // All of them, once each, in order: the user learns
                    // everything from one message.
                    MissingCase{"us", u"\u00E4\u03A9x\u00E4\u4E2D\u03A9", u"\u00E4\u03A9\u4E2D",
                                {"U+00E4", "U+03A9", "U+4E2D"}}));

TEST(UinputPaceGate, KeepsTheReaderQueueWithinTheBurst)
{
    using Clock = PaceGate::Clock;
    const Clock::time_point t0{};
    // 10 us per event, a slack of 8 events.
    struct Step {
        std::chrono::microseconds at;
        std::size_t events;
        std::chrono::microseconds wait;
    };
    const Step steps[] = {
        {0us, 4, 0us},    // queue 4
        {0us, 4, 0us},    // queue 8: at the slack, still no wait
        {0us, 4, 40us},   // would be 12: wait until 4 have drained
        {20us, 4, 60us},  // drained at 120us: 4 more fit from 80us on
        {500us, 4, 0us},  // idle: the queue is empty again
        {500us, 12, 40us}, // larger than the slack: wait only for an empty queue
        {500us, 2, 100us}, // drained at 660us: 2 more fit from 600us on
    };
    PaceGate gate(Pacing{10us, 8});
    int i = 0;
    for (const Step &s : steps) {
        EXPECT_EQ(gate.admit(t0 + s.at, s.events), s.wait) << "step " << i;
        ++i;
    }
}

} // namespace

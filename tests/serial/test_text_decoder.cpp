// SPDX-License-Identifier: MIT
#include "platform/text_decoder.h"

#include <gtest/gtest.h>

#include <QByteArray>
#include <QString>

using platform::ByteDecoder;

namespace {

QString decodeAll(const QByteArray &bytes)
{
    ByteDecoder d;
    QString out = d.decode(bytes);
    out += d.flush();
    return out;
}

QString u(std::u16string_view s)
{
    return QString(reinterpret_cast<const QChar *>(s.data()), static_cast<qsizetype>(s.size()));
}

struct Case {
    const char *name;
    QByteArray bytes;
    QString expected;
};

class DecodeWhole : public testing::TestWithParam<Case> {};

TEST_P(DecodeWhole, MatchesExpectedText)
{
    EXPECT_EQ(decodeAll(GetParam().bytes), GetParam().expected);
}

// Each invalid byte stands for itself in Windows-1252; nothing is dropped.
INSTANTIATE_TEST_SUITE_P(
    Bytes, DecodeWhole,
    testing::Values(
        Case{"Ascii", "4006381333931\r", u(u"4006381333931\r")},
        Case{"NulKept", QByteArray("a\0b", 3), u(std::u16string_view(u"a\0b", 3))},
        Case{"TwoByte", "\xC3\xA4\xC3\x9F", u(u"\u00E4\u00DF")},
        Case{"ThreeByteEuro", "\xE2\x82\xAC", u(u"\u20AC")},
        Case{"FourByteIsSurrogatePair", "\xF0\x9F\x98\x80", u(u"\U0001F600")},
        Case{"HighestCodePoint", "\xF4\x8F\xBF\xBF", u(u"\U0010FFFF")},
        Case{"Cp1252LoneHighBytes", "\x80\x8A\x9F", u(u"\u20AC\u0160\u0178")},
        Case{"Cp1252UndefinedKeepC1", "\x81\x8D\x8F\x90\x9D", u(u"\u0081\u008D\u008F\u0090\u009D")},
        Case{"Latin1ScanInCp1252", "M\xFCller \xE9t\xE9", u(u"M\u00FCller \u00E9t\u00E9")},
        Case{"OverlongTwoByte", "\xC0\xAF", u(u"\u00C0\u00AF")},
        Case{"OverlongC1Lead", "\xC1\xBF", u(u"\u00C1\u00BF")},
        Case{"OverlongThreeByte", "\xE0\x80\xAF", u(u"\u00E0\u20AC\u00AF")},
        Case{"OverlongFourByte", "\xF0\x8F\xBF\xBF", u(u"\u00F0\u008F\u00BF\u00BF")},
        Case{"Surrogate", "\xED\xA0\x80", u(u"\u00ED\u00A0\u20AC")},
        Case{"AboveMaxCodePoint", "\xF4\x90\x80\x80", u(u"\u00F4\u0090\u20AC\u20AC")},
        Case{"LeadF5", "\xF5\x80", u(u"\u00F5\u20AC")},
        Case{"UnexpectedContinuation", "a\xBF" "b", u(u"a\u00BFb")},
        Case{"TruncatedByAscii", "\xE2\x82" "A", u(u"\u00E2\u201A" "A")},
        Case{"TruncatedThenValid", "\xE2\xC3\xA4", u(u"\u00E2\u00E4")},
        Case{"TruncatedAtEndIsFlushed", "ok\xF0\x9F\x98", u(u"ok\u00F0\u0178\u02DC")}),
    [](const testing::TestParamInfo<Case> &p) { return std::string(p.param.name); });

// A character split across two reads stays whole, wherever the split falls.
TEST(ByteDecoder, SplitAtEveryPositionGivesSameText)
{
    const QByteArray samples[] = {
        "A\xC3\xA4" "B\xE2\x82\xAC" "C\xF0\x9F\x98\x80" "D",
        "\xE2\x82" "A\x80\xF4\x90\x80\x80\xED\xA0\x80\xC3",
        QByteArray("\0\xF0\x9F\0", 4),
    };
    for (const QByteArray &bytes : samples) {
        const QString whole = decodeAll(bytes);
        for (qsizetype cut = 0; cut <= bytes.size(); ++cut) {
            ByteDecoder d;
            QString got = d.decode(QByteArrayView(bytes).first(cut));
            got += d.decode(QByteArrayView(bytes).sliced(cut));
            got += d.flush();
            EXPECT_EQ(got, whole) << "cut at " << cut << " of " << bytes.toHex().constData();
        }
    }
}

TEST(ByteDecoder, ByteAtATimeKeepsFourByteCharacter)
{
    const QByteArray bytes("\xF0\x9F\x98\x80", 4);
    ByteDecoder d;
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(d.decode(bytes.mid(i, 1)).isEmpty());
        EXPECT_TRUE(d.hasPendingTail());
    }
    EXPECT_EQ(d.decode(bytes.mid(3, 1)), u(u"\U0001F600"));
    EXPECT_FALSE(d.hasPendingTail());
    EXPECT_TRUE(d.flush().isEmpty());
}

TEST(ByteDecoder, FlushGivesUpTailAndStartsClean)
{
    ByteDecoder d;
    EXPECT_EQ(d.decode("x\xE2\x82"), u(u"x"));
    EXPECT_TRUE(d.hasPendingTail());
    EXPECT_EQ(d.flush(), u(u"\u00E2\u201A"));
    EXPECT_FALSE(d.hasPendingTail());
    // The byte after a flush is no longer taken as the end of the sequence.
    EXPECT_EQ(d.decode("\xAC"), u(u"\u00AC"));
}

TEST(ByteDecoder, ResetDiscardsTail)
{
    ByteDecoder d;
    d.decode("\xC3");
    d.reset();
    EXPECT_FALSE(d.hasPendingTail());
    EXPECT_EQ(d.decode("\xA4"), u(u"\u00A4"));
}

} // namespace

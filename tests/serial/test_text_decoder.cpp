// SPDX-License-Identifier: MIT
#include "platform/text_decoder.h"

#include <gtest/gtest.h>

#include <QByteArray>
#include <QString>

using platform::ByteDecoder;
using platform::TextEncoding;

namespace {

QString decodeAll(const QByteArray &bytes, ByteDecoder d = ByteDecoder())
{
    QString out = d.decode(bytes);
    out += d.flush();
    return out;
}

ByteDecoder legacy(const char *name)
{
    return ByteDecoder(TextEncoding{QByteArray(name), QString()});
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
        // The line is not UTF-8, so the valid pair in it is no UTF-8 either.
        Case{"LineWithValidPairIsLegacyWhole", "\xE2\xC3\xA4", u(u"\u00E2\u00C3\u00A4")},
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
    const QByteArray bytes("\xF0\x9F\x98\x80\r", 5);
    ByteDecoder d;
    for (int i = 0; i < 4; ++i) {
        EXPECT_TRUE(d.decode(bytes.mid(i, 1)).isEmpty());
        EXPECT_TRUE(d.hasPendingTail());
    }
    // Valid so far, but the line could still turn out to be legacy text.
    EXPECT_EQ(d.decode(bytes.mid(4, 1)), u(u"\U0001F600\r"));
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

// --- legacy code pages ----------------------------------------------------

struct LegacyCase {
    const char *name;
    const char *encoding; // empty: UTF-8 only
    QByteArray bytes;
    QString expected;
    qsizetype replaced = 0;
};

class DecodeLegacy : public testing::TestWithParam<LegacyCase> {};

TEST_P(DecodeLegacy, LineMatchesExpectedTextAndCount)
{
    const LegacyCase &c = GetParam();
    ByteDecoder d(TextEncoding{QByteArray(c.encoding), QString()});
    QString got = d.decode(c.bytes);
    got += d.flush();
    EXPECT_EQ(got, c.expected);
    EXPECT_EQ(d.takeReplaced(), c.replaced);
}

INSTANTIATE_TEST_SUITE_P(
    CodePages, DecodeLegacy,
    testing::Values(
        LegacyCase{"ShiftJisKanji", "Shift_JIS", "\x93\x8C\x8B\x9E\r", u(u"\u6771\u4EAC\r")},
        LegacyCase{"ShiftJisHalfWidthKatakana", "Shift_JIS", "\xB1\xB2\xB3\r", u(u"\uFF71\uFF72\uFF73\r")},
        LegacyCase{"ShiftJisMixedWithAscii", "Shift_JIS",
                   "4901234567894 \x93\xC1\x91\x49 \x90\xF7\x92\x83 \x82\x54\x82\x4F\x82\x4F\x82\x87\r",
                   u(u"4901234567894 \u7279\u9078 \u714E\u8336 \uFF15\uFF10\uFF10\uFF47\r")},
        LegacyCase{"ShiftJisBackslashAndTildeStayAscii", "Shift_JIS", "\x93\x8C\\~\r", u(u"\u6771\\~\r")},
        // ICU's Shift_JIS swaps 0x1A, 0x1C and 0x7F the IBM way; GS1 and
        // ISO 15434 separators must arrive as sent.
        LegacyCase{"ShiftJisControlsStandForThemselves", "Shift_JIS",
                   QByteArray("\x93\x8C\x1A\x1C\x1D\x1E\x7F\x04\x00\x8B\x9E\r", 12),
                   u(std::u16string_view(u"\u6771\x1A\x1C\x1D\x1E\x7F\x04\0\u4EAC\r", 10))},
        LegacyCase{"Gbk", "GBK", "\xC9\xCC\xC6\xB7\xA3\xBA\xC2\xCC\xB2\xE8\r", u(u"\u5546\u54C1\uFF1A\u7EFF\u8336\r")},
        LegacyCase{"Big5", "Big5", "\xBA\xF1\xAF\xF9 \xA4\xA4\xA4\xE5\r", u(u"\u7DA0\u8336 \u4E2D\u6587\r")},
        LegacyCase{"EucKr", "EUC-KR", "\xC7\xD1\xB1\xB9\xBE\xEE\r", u(u"\uD55C\uAD6D\uC5B4\r")},
        // Code page 949 goes beyond EUC-KR: 0x8C63 is in no EUC-KR table.
        LegacyCase{"Windows949", "windows-949", "\x8C\x63\xB9\xE6\xB0\xA2\xC7\xCF\r", u(u"\uB620\uBC29\uAC01\uD558\r")},
        LegacyCase{"Windows1251", "windows-1251", "\xCF\xF0\xE8\xE2\xE5\xF2\r", u(u"\u041F\u0440\u0438\u0432\u0435\u0442\r")},
        LegacyCase{"Windows1250", "windows-1250", "\x8E\x6C\x75\x9D\x6F\x75\xE8\x6B\xFD \xA3\xF3\x64\x9F\r",
                   u(u"\u017Dlu\u0165ou\u010Dk\u00FD \u0141\u00F3d\u017A\r")},
        // UTF-8 comes first under every locale.
        LegacyCase{"Utf8UnderJapaneseLocaleStaysUtf8", "Shift_JIS", "\xE6\xBC\xA2\xE5\xAD\x97 \xC3\xA4\r",
                   u(u"\u6F22\u5B57 \u00E4\r")},
        // Unassigned (0x8540) and undefined (0xA0) are no characters in
        // either encoding: U+FFFD each, counted; the rest is unharmed.
        LegacyCase{"InvalidInBoth", "Shift_JIS", "\x85\x40\x93\x8C\xA0" "A\r", u(u"\uFFFD\u6771\uFFFDA\r"), 2},
        // A lead byte cut short by the CR.
        LegacyCase{"LeadByteBeforeCr", "Shift_JIS", "1\x93\r", u(u"1\uFFFD\r"), 1},
        // A lead byte at the very end of the line, taken after the wait:
        // a Shift_JIS lead has no meaning of its own; 0xC4 alone does.
        LegacyCase{"LoneLeadAtEndOfLine", "Shift_JIS", "9\x93", u(u"9\uFFFD"), 1},
        LegacyCase{"SingleByteAtEndOfLine", "Shift_JIS", "9\xC4", u(u"9\uFF84")},
        LegacyCase{"Cp1252LeadAtEndOfLine", "windows-1252", "9\xC4", u(u"9\u00C4")},
        // Each line is decided on its own.
        LegacyCase{"LinesDecidedApart", "Shift_JIS", "\xC3\xA4\r\x93\x8C\xC3\xA4\r\xC3\xA4\n",
                   u(u"\u00E4\r\u6771\uFF83\uFF64\r\u00E4\n")},
        LegacyCase{"Utf8OnlyReplacesEachInvalidByte", "", "a\x93\x8C\xC3\xA4\xE2\x82\r", u(u"a\uFFFD\uFFFD\u00E4\uFFFD\uFFFD\r"), 4},
        LegacyCase{"Utf8OnlyTruncatedAtEnd", "", "ok\xF0\x9F\x98", u(u"ok\uFFFD\uFFFD\uFFFD"), 3}),
    [](const testing::TestParamInfo<LegacyCase> &p) { return std::string(p.param.name); });

// A character split across reads stays whole in both encodings, wherever
// the reads are cut: the text does not depend on how the bytes arrived.
TEST(ByteDecoderLegacy, SplitAtEveryPositionGivesSameText)
{
    struct Sample {
        const char *encoding;
        QByteArray bytes;
    };
    const Sample samples[] = {
        {"Shift_JIS", "A\x93\x8C\x8B\x9E\xB1\x1D\x95\x69\r\xE6\xBC\xA2\r\x85\x40\x93"},
        {"Shift_JIS", "\xE1\x80\x82\xA0\r"},
        {"GBK", "\xC9\xCC\xC6\xB7\xA3\xBA\r\xC3\xA4\x80\xFF\r\xD6"},
        {"Big5", "\xA4\xA4\xA4\x85\xA4\xE5\r"},
        {"GB18030", "\x81\x30\x81\x30\x81\x30\x81\r\x81\x30\x81\x30"},
        {"", "A\xC3\xA4\x93\xF0\x9F\x98\x80\r\xE2\x82"},
    };
    for (const Sample &s : samples) {
        const QString whole = decodeAll(s.bytes, legacy(s.encoding));
        for (qsizetype cut = 0; cut <= s.bytes.size(); ++cut) {
            ByteDecoder d = legacy(s.encoding);
            QString got = d.decode(QByteArrayView(s.bytes).first(cut));
            got += d.decode(QByteArrayView(s.bytes).sliced(cut));
            got += d.flush();
            EXPECT_EQ(got, whole) << s.encoding << " cut at " << cut << " of " << s.bytes.toHex().constData();
        }
        ByteDecoder d = legacy(s.encoding);
        QString trickled;
        for (const char c : s.bytes)
            trickled += d.decode(QByteArrayView(&c, 1));
        trickled += d.flush();
        EXPECT_EQ(trickled, whole) << s.encoding << " byte at a time";
    }
}

// At 9600 baud a scan comes a byte or two per read. Shift_JIS 0xE180 then
// U+3042 (0x82A0) begins with E1 80 82, which is valid UTF-8 on its own: a
// decision on that read alone would type U+1002.
TEST(ByteDecoderLegacy, TrickledLegacyLineIsNotTakenForUtf8)
{
    ByteDecoder d = legacy("Shift_JIS");
    QString got;
    for (const char c : QByteArray("\xE1\x80\x82\xA0\r"))
        got += d.decode(QByteArrayView(&c, 1));
    EXPECT_EQ(got, u(u"\u75FC\u3042\r"));
}

TEST(ByteDecoderLegacy, LegacyLineGoesOutAtOnceAndHoldsOnlyAnIncompleteCharacter)
{
    ByteDecoder d = legacy("Shift_JIS");
    EXPECT_EQ(d.decode("AB\x93\x8C\x8B"), u(u"AB\u6771"));
    EXPECT_TRUE(d.hasPendingTail());
    EXPECT_TRUE(d.lineOpen());
    // The line stays legacy: C3 A4 is two half-width katakana here, not U+00E4.
    EXPECT_EQ(d.decode("\x9E\xC3\xA4"), u(u"\u4EAC\uFF83\uFF64"));
    EXPECT_FALSE(d.hasPendingTail());
    EXPECT_TRUE(d.lineOpen()) << "the line's decision lasts until it ends";
    EXPECT_EQ(d.flush(), QString());
    EXPECT_FALSE(d.lineOpen());
    EXPECT_EQ(d.decode("\xC3\xA4\r"), u(u"\u00E4\r"));
}

TEST(ByteDecoderLegacy, Utf8LineIsHeldUntilItsEnd)
{
    ByteDecoder d = legacy("Shift_JIS");
    EXPECT_EQ(d.decode("ID \xC3\xA4"), u(u"ID ")) << "ASCII is the same in both and goes at once";
    EXPECT_TRUE(d.hasPendingTail());
    EXPECT_EQ(d.decode("x\r9"), u(u"\u00E4x\r9"));
    EXPECT_FALSE(d.lineOpen());
}

TEST(ByteDecoderLegacy, LongValidUtf8IsDecidedWithoutItsEnd)
{
    ByteDecoder d = legacy("Shift_JIS");
    QByteArray bytes;
    QString text;
    while (bytes.size() < ByteDecoder::kDecideAfter + 9) {
        bytes += "\xE6\xBC\xA2";
        text += QChar(0x6F22);
    }
    const QString got = d.decode(bytes);
    EXPECT_GE(got.size(), (ByteDecoder::kDecideAfter - 3) / 3);
    EXPECT_TRUE(text.startsWith(got));
    EXPECT_EQ(got + d.flush(), text);
}

TEST(ByteDecoderLegacy, ReplacementsAreCountedWhenTheLineEnds)
{
    ByteDecoder d = legacy("Shift_JIS");
    d.decode("\x85\x40");
    EXPECT_EQ(d.takeReplaced(), 0) << "the line is still going";
    d.decode("\xA0\r\x85\x40\r");
    EXPECT_EQ(d.takeReplaced(), 3);
    EXPECT_EQ(d.takeReplaced(), 0);
    d.decode("\x93");
    d.flush();
    EXPECT_EQ(d.takeReplaced(), 1);
}

TEST(ByteDecoderLegacy, ResetForgetsTheLine)
{
    ByteDecoder d = legacy("Shift_JIS");
    d.decode("\x93\x8C\x93");
    d.reset();
    EXPECT_FALSE(d.lineOpen());
    EXPECT_EQ(decodeAll("\xC3\xA4"), u(u"\u00E4"));
    EXPECT_EQ(d.decode("\xC3\xA4\r"), u(u"\u00E4\r"));
}

} // namespace

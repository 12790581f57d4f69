// SPDX-License-Identifier: MIT
#include "platform/error.h"
#include "startup/vb_val.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <string>

namespace {

struct ValCase {
    const char16_t *text;
    double value;
};

class ValTest : public ::testing::TestWithParam<ValCase> {};

TEST_P(ValTest, ReadsTheNumericPrefix)
{
    const ValCase c = GetParam();
    EXPECT_DOUBLE_EQ(SerMod::Val(QString::fromUtf16(c.text)), c.value)
        << QString::fromUtf16(c.text).toStdString();
}

const ValCase ValCases[] = {ValCase{u"3", 3}, ValCase{u" 4 ", 4}, ValCase{u"1 2", 12},
                      ValCase{u"\t5\n", 5}, ValCase{u"3x", 3}, ValCase{u"COM3", 0},
                      ValCase{u"", 0}, ValCase{u"-7", -7}, ValCase{u"+8", 8},
                      ValCase{u"2.5", 2.5}, ValCase{u".5", 0.5}, ValCase{u"1.2.3", 1.2},
                      ValCase{u"1e3", 1000}, ValCase{u"1D2", 100}, ValCase{u"1e", 1},
                      ValCase{u"1e+", 1}, ValCase{u"2E-1", 0.2}, ValCase{u"&H10", 16},
                      ValCase{u"&hff", 255}, ValCase{u"&HFFFF", -1}, ValCase{u"&H8000", -32768},
                      ValCase{u"&H10000", 65536}, ValCase{u"&O17", 15}, ValCase{u"&17", 15},
                      ValCase{u"&H", 0}, ValCase{u"&X1", 0}, ValCase{u"--1", 0},
                      ValCase{u"-", 0}, ValCase{u".", 0}, ValCase{u"1,5", 1},
                      ValCase{u"\u0663", 0}, ValCase{u"1e-999", 0}};

INSTANTIATE_TEST_SUITE_P(Prefixes, ValTest, ::testing::ValuesIn(ValCases));

// The C library reads numbers in the locale's form; Val always reads a point.
TEST(Val, ReadsThePointUnderACommaLocale)
{
    const std::string before = std::setlocale(LC_ALL, nullptr);
    ASSERT_NE(std::setlocale(LC_ALL, "de_DE.UTF-8"), nullptr)
        << "the de_DE.UTF-8 locale is missing: scripts/setup.sh generates it";
    for (const ValCase &c : ValCases)
        EXPECT_DOUBLE_EQ(SerMod::Val(QString::fromUtf16(c.text)), c.value)
            << QString::fromUtf16(c.text).toStdString();
    EXPECT_EQ(SerMod::ToInteger(SerMod::Val(u"3.5")), 4);
    std::setlocale(LC_ALL, before.c_str());
}

TEST(Val, HugeExponentOverflows)
{
    try {
        SerMod::Val(u"1e999");
        FAIL() << "no overflow";
    } catch (const platform::RuntimeError &e) {
        EXPECT_EQ(e.number(), platform::err::Overflow);
    }
}

TEST(ToInteger, RoundsHalfToEvenAndOverflowsOutside16Bits)
{
    const struct {
        double in;
        int out; // 99999 for overflow
    } cases[] = {{2.5, 2},         {3.5, 4},         {-2.5, -2},       {0.4999, 0},
                 {32767.0, 32767}, {32767.4, 32767}, {32767.5, 99999}, {32768, 99999},
                 {-32768, -32768}, {-32768.5, -32768}, {-32769, 99999}, {1e300, 99999}};
    for (const auto &c : cases) {
        if (c.out == 99999) {
            EXPECT_THROW(SerMod::ToInteger(c.in), platform::RuntimeError) << c.in;
        } else {
            EXPECT_EQ(SerMod::ToInteger(c.in), c.out) << c.in;
        }
    }
    EXPECT_THROW(SerMod::ToInteger(std::nan("")), platform::RuntimeError);
}

} // namespace

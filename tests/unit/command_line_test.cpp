// SPDX-License-Identifier: MIT
#include "fakes/fake_services.h"
#include "platform/error.h"
#include "startup/sermod.h"

#include <gtest/gtest.h>

namespace {

struct ParseCase {
    const char *line;
    int port;
    const char *path;
    const char *settings;
    bool usage;
};

class ParseCommandLineTest : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParseCommandLineTest, SplitsPortAndSettings)
{
    const ParseCase c = GetParam();
    fakes::FakeServices services;
    SerMod::ParseCommandLine(QString::fromUtf8(c.line), services);
    EXPECT_EQ(SerMod::PortNum, c.port);
    EXPECT_EQ(SerMod::PortPath, QString::fromUtf8(c.path));
    EXPECT_EQ(SerMod::PortSettings, QString::fromUtf8(c.settings));
    ASSERT_EQ(services.boxes.size(), c.usage ? 1u : 0u);
    if (c.usage) {
        EXPECT_EQ(services.boxes[0].prompt, SerMod::UsageText());
        EXPECT_EQ(services.boxes[0].style, 0);
        EXPECT_EQ(services.boxes[0].title, QStringLiteral("Scanferry 0.01"));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Lines, ParseCommandLineTest,
    ::testing::Values(ParseCase{"3,9600,N,8,1", 3, "", "9600,N,8,1", false},
                      ParseCase{"12,110,E,7,2", 12, "", "110,E,7,2", false},
                      ParseCase{" 4 ,9600,N,8,1", 4, "", "9600,N,8,1", false},
                      ParseCase{"3,", 3, "", "", false},
                      ParseCase{",9600,N,8,1", 0, "", "9600,N,8,1", false},
                      ParseCase{"2.5,9600", 2, "", "9600", false},
                      ParseCase{"3.5,9600", 4, "", "9600", false},
                      ParseCase{"COM3,9600", 0, "", "9600", false},
                      ParseCase{"9600", 0, "", "", true},
                      ParseCase{"/dev/ttyACM0,9600,N,8,1", 0, "/dev/ttyACM0", "9600,N,8,1", false},
                      ParseCase{"/dev/serial/by-id/usb-x,y,115200,E,7,1", 0,
                                "/dev/serial/by-id/usb-x", "y,115200,E,7,1", false}));

TEST(ParseCommandLine, PortBeyond16BitsIsTheOverflowError)
{
    fakes::FakeServices services;
    for (const char *line : {"32768,9600,N,8,1", "-32769,9600", "99999999999,1"}) {
        try {
            SerMod::ParseCommandLine(QString::fromUtf8(line), services);
            ADD_FAILURE() << line;
        } catch (const platform::RuntimeError &e) {
            EXPECT_EQ(e.number(), 6) << line;
            EXPECT_EQ(e.description(), QStringLiteral("Overflow"));
        }
    }
}

TEST(UsageText, ThirteenLinesJoinedByCrLfWithTheirSpaces)
{
    const QString text = SerMod::UsageText();
    const QStringList lines = text.split(QStringLiteral("\r\n"));
    ASSERT_EQ(lines.size(), 13);
    EXPECT_FALSE(text.endsWith(QStringLiteral("\r\n")));
    EXPECT_EQ(lines[0], QStringLiteral(" Command Line:  ScnFerry Port,Baud,Parity,Data Bits,Stop Bits"));
    EXPECT_TRUE(lines[1].isEmpty());
    EXPECT_TRUE(lines[4].isEmpty());
    EXPECT_TRUE(lines[11].isEmpty());
    // "8 data bits" stands under "Will open".
    EXPECT_EQ(lines[3].indexOf(u'8'), lines[2].indexOf(QStringLiteral("Will open")));
    EXPECT_EQ(lines[3].indexOf(u'8'), 27);
    EXPECT_EQ(lines[8], QStringLiteral(" Parity = N, M, S, E, O"));
    EXPECT_EQ(lines[10], QStringLiteral(" Stop   = 1, 1.5, 2"));
    EXPECT_FALSE(lines[12].trimmed().isEmpty());
    EXPECT_FALSE(text.contains(u'\n' ) && text.count(u'\n') != text.count(QStringLiteral("\r\n")));
}

} // namespace

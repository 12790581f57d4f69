// SPDX-License-Identifier: MIT
// Scans from a pty become sends to the keyboard: once each, in order.
#include "fakes/fake_keyboard.h"
#include "fakes/fake_services.h"
#include "platform/error.h"
#include "platform/typist.h"
#include "startup/sermod.h"
#include "widget/pty_pair.h"
#include "window/mainfrm.h"

#include <QAction>
#include <QCoreApplication>
#include <QPushButton>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <functional>
#include <stdexcept>

#include <gtest/gtest.h>

namespace {

class ReceiveTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        frm = SerMod::Main(pty.path() + QStringLiteral(",9600,N,8,1"), services, keyboard);
        ASSERT_TRUE(SerMod::PortIsOpen);
    }

    PtyPair pty;
    fakes::FakeServices services;
    fakes::FakeTyping keyboard;
    std::unique_ptr<MainFrm> frm;
};

TEST_F(ReceiveTest, ABurstInOneBlockIsOneSend)
{
    pty.write("4006381333931\r");
    ASSERT_TRUE(waitFor([&] { return !keyboard.sends().empty(); }));
    ASSERT_EQ(keyboard.sends().size(), 1u);
    EXPECT_EQ(keyboard.sends()[0], QStringLiteral("4006381333931\r"));
    EXPECT_EQ(frm->ScanData, QStringLiteral("4006381333931\r"));
}

TEST_F(ReceiveTest, NotificationsDuringThePumpAreAbsorbedSoNothingIsTypedTwice)
{
    // Characters arrive while the loop pumps events: their notification
    // runs inside the loop, which must leave them to the loop.
    services.duringDoEvents = [&] {
        pty.write("more-");
        waitFor([&] { return frm->MSComm1.inBufferCount() >= 5; }, 2000);
    };
    pty.write("start:");
    ASSERT_TRUE(waitFor([&] { return keyboard.typed().contains(QStringLiteral("more-")); }));
    pty.write("end");
    ASSERT_TRUE(waitFor([&] { return keyboard.typed().endsWith(QStringLiteral("end")); }));
    EXPECT_EQ(keyboard.typed(), QStringLiteral("start:more-end"));
}

TEST_F(ReceiveTest, ManyBurstsArriveInOrderAndWhole)
{
    QString expected;
    for (int i = 0; i < 200; ++i) {
        const QByteArray scan = "scan" + QByteArray::number(i) + "\r";
        expected += QString::fromLatin1(scan);
        pty.write(scan);
        if (i % 7 == 0)
            QCoreApplication::processEvents();
    }
    ASSERT_TRUE(waitFor([&] { return keyboard.typed().size() >= expected.size(); }));
    waitFor([] { return false; }, 50);
    EXPECT_EQ(keyboard.typed(), expected);
}

TEST_F(ReceiveTest, PortClosedByTheUserDuringThePumpStopsTheLoopQuietly)
{
    services.duringDoEvents = [&] { frm->cmdStSt->click(); };
    pty.write("12345");
    ASSERT_TRUE(waitFor([&] { return !SerMod::PortIsOpen; }));
    waitFor([] { return false; }, 50);
    EXPECT_TRUE(services.boxes.empty());
    EXPECT_FALSE(frm->MSComm1.portOpen());
    // Received before the click: typed all the same, once.
    ASSERT_TRUE(waitFor([&] { return keyboard.typed() == QStringLiteral("12345"); }));
    waitFor([] { return false; }, 50);
    EXPECT_EQ(keyboard.typed(), QStringLiteral("12345"));
}

TEST_F(ReceiveTest, TextThatLooksLikeKeySyntaxIsTypedLiterally)
{
    pty.write("+^%~(){}[]\x1d" "01\r");
    ASSERT_TRUE(waitFor([&] { return keyboard.typed().endsWith(u'\r'); }));
    EXPECT_EQ(keyboard.typed(), QStringLiteral("+^%~(){}[]\x1d" "01\r"));
    EXPECT_TRUE(services.boxes.empty());
}

TEST(ReceiveFailureTest, FailuresShowTheReceiveMessageAndEnd)
{
    PtyPair pty;
    const struct {
        std::function<void()> fail;
        QString prompt;
    } cases[] = {
        {[] { throw platform::RuntimeError(platform::err::PortInvalid, QStringLiteral("Invalid port number")); },
         QStringLiteral("This port does not exist ! (") + pty.path() +
             QStringLiteral(")\r\nPlease set a valid port in command line.")},
        {[] { throw platform::RuntimeError(platform::err::KeyboardFailed, QStringLiteral("  cannot type 'Ω'  ")); },
         QStringLiteral("Error while opening port (") + pty.path() +
             QStringLiteral(")\r\nError Description : cannot type 'Ω'")},
        // Whatever else a backend throws is a receive failure too, not the
        // runtime's last-resort box.
        {[] { throw std::runtime_error("Wayland display gone"); },
         QStringLiteral("Error while opening port (") + pty.path() +
             QStringLiteral(")\r\nError Description : Wayland display gone")},
    };
    for (const auto &c : cases) {
        fakes::FakeServices services;
        fakes::FakeTyping keyboard;
        keyboard.duringSend([&c](platform::Keyboard &) { c.fail(); });
        auto frm = SerMod::Main(pty.path() + QStringLiteral(",9600,N,8,1"), services, keyboard);
        pty.write("x");
        ASSERT_TRUE(waitFor([&] { return services.ended.has_value(); }));
        EXPECT_EQ(services.ended, 1);
        ASSERT_EQ(services.boxes.size(), 1u);
        EXPECT_EQ(services.boxes[0].prompt, c.prompt);
        EXPECT_EQ(services.boxes[0].style, 16);
    }
}

TEST_F(ReceiveTest, AVanishedDeviceIsReportedAndEnds)
{
    pty.closeScannerSide();
    ASSERT_TRUE(waitFor([&] { return services.ended.has_value(); }));
    EXPECT_EQ(services.ended, 1);
    ASSERT_EQ(services.boxes.size(), 1u);
    EXPECT_TRUE(services.boxes[0].prompt.startsWith(QStringLiteral("Error while opening port (") +
                                                    pty.path() + QStringLiteral(")\r\nError Description : ")));
    EXPECT_FALSE(frm->MSComm1.portOpen());
}

} // namespace

namespace {

int returns(const std::vector<platform::KeyStroke> &strokes)
{
    return static_cast<int>(std::count(strokes.begin(), strokes.end(),
                                       platform::KeyStroke::named(platform::NamedKey::Return)));
}

TEST_F(ReceiveTest, AScanWaitsWhileTheExitQuestionIsOpenAndFollowsAfterNo)
{
    // A CR typed into the question would press its default button, Yes.
    services.answers = {platform::mb::No};
    services.duringMsgBox = [&] {
        pty.write("1234\r");
        ASSERT_TRUE(waitFor([&] { return frm->ScanData == QStringLiteral("1234\r"); }));
        waitFor([] { return false; }, 50);
        EXPECT_EQ(keyboard.typed(), QString());
    };
    frm->mnuExit->trigger();
    ASSERT_EQ(services.boxes.size(), 1u);
    ASSERT_TRUE(waitFor([&] { return !keyboard.typed().isEmpty(); }));
    waitFor([] { return false; }, 50);
    EXPECT_EQ(keyboard.typed(), QStringLiteral("1234\r"));
    EXPECT_EQ(returns(keyboard.strokes()), 1);
    EXPECT_FALSE(services.ended.has_value());
}

TEST_F(ReceiveTest, ACrLfIsJoinedOnlyWithinOneLineEnd)
{
    const struct {
        const char *name;
        std::function<void()> between; // what happens after "A\r" has been typed
        int returns;
    } cases[] = {
        {"LF after the port was closed and reopened",
         [&] {
             frm->cmdStSt->click();
             frm->cmdStSt->click();
         },
         2},
        {"LF a while later", [] { waitFor([] { return false; }, 300); }, 2},
    };
    // Both halves back to back: one line end, however the reads cut it.
    pty.write("A\r");
    pty.write("\nB");
    ASSERT_TRUE(waitFor([&] { return keyboard.typed().endsWith(u'B'); }));
    EXPECT_EQ(returns(keyboard.strokes()), 1);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const int returnsBefore = returns(keyboard.strokes());
        pty.write("A\r");
        ASSERT_TRUE(waitFor([&] { return keyboard.typed().endsWith(u'\r'); }));
        c.between();
        pty.write("\nB");
        ASSERT_TRUE(waitFor([&] { return keyboard.typed().endsWith(u'B'); }));
        EXPECT_EQ(returns(keyboard.strokes()) - returnsBefore, c.returns);
        EXPECT_TRUE(SerMod::PortIsOpen);
    }
}

} // namespace

namespace {

TEST_F(ReceiveTest, AScanTheLayoutCannotTypeIsHeldBackAndTheUserTold)
{
    keyboard.duringSend([](platform::Keyboard &) {
        throw platform::UntypableError(QStringLiteral("漢"), QStringLiteral("us"),
                                       QStringLiteral("Switch to a layout that has it."));
    });
    pty.write("\xe6\xbc\xa2\r");
    ASSERT_TRUE(waitFor([&] { return !services.area.messages.empty(); }));
    EXPECT_TRUE(services.area.messages[0].contains(QStringLiteral("U+6F22")));
    EXPECT_TRUE(services.boxes.empty());
    EXPECT_FALSE(services.ended.has_value());
    keyboard.duringSend(nullptr);
    pty.write("next\r");
    ASSERT_TRUE(waitFor([&] { return keyboard.typed() == QStringLiteral("next\r"); }));
}

} // namespace

namespace {

TEST_F(ReceiveTest, AScannerFasterThanTheTypingIsHeldBackNotDropped)
{
    // The desktop takes no keys until released; the scanner keeps sending.
    std::atomic<bool> released{false};
    keyboard.duringSend([&](platform::Keyboard &) {
        while (!released)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
    QByteArray sent;
    for (int i = 0; sent.size() < 300000; ++i)
        sent += "scan" + QByteArray::number(i) + "\r";
    std::thread scanner([&] { pty.write(sent); });
    ASSERT_TRUE(waitFor([&] { return frm->MSComm1.readingHeld(); }, 20000));
    // A few scans' worth beyond the mark, not the whole stream.
    EXPECT_LT(static_cast<platform::Typist &>(keyboard).pending(),
              MainFrm::MaxWaitingToType + 2 * MainFrm::MaxBurst);
    released = true;
    QString expected = QString::fromLatin1(sent);
    ASSERT_TRUE(waitFor([&] { return keyboard.typed().size() >= expected.size(); }, 60000))
        << keyboard.typed().size() << " of " << expected.size();
    scanner.join();
    EXPECT_EQ(keyboard.typed(), expected);
    EXPECT_TRUE(services.area.messages.empty());
}

} // namespace

// SPDX-License-Identifier: MIT
// The window and the port toggle, with a pty as the scanner's line.
#include "fakes/fake_keyboard.h"
#include "fakes/fake_services.h"
#include "startup/sermod.h"
#include "widget/pty_pair.h"
#include "window/mainfrm.h"

#include <QCoreApplication>
#include <QLabel>
#include <QPushButton>

#include <gtest/gtest.h>

namespace {

bool samePicture(const QIcon &a, const QIcon &b)
{
    const QImage ia = a.pixmap(32, 32).toImage();
    return !ia.isNull() && ia == b.pixmap(32, 32).toImage();
}

class MainFrmTest : public ::testing::Test {
protected:
    std::unique_ptr<MainFrm> start(const QString &line)
    {
        return SerMod::Main(line, services, keyboard);
    }

    PtyPair pty;
    fakes::FakeServices services;
    fakes::FakeTyping keyboard;
};

TEST_F(MainFrmTest, StartsMinimisedWithThePortOpenAndNoBox)
{
    auto frm = start(pty.path() + QStringLiteral(",9600,N,8,1"));
    EXPECT_TRUE(services.boxes.empty());
    EXPECT_TRUE(SerMod::PortIsOpen);
    EXPECT_TRUE(frm->MSComm1.portOpen());
    EXPECT_EQ(frm->LbState->text(), QStringLiteral("The port ") + pty.path() + QStringLiteral(" is open"));
    EXPECT_TRUE(samePicture(frm->cmdStSt->icon(), frm->cmdStStO->icon()));
    EXPECT_TRUE(frm->isMinimized());
    EXPECT_EQ(frm->windowTitle(), QStringLiteral("Scanferry 0.01"));
}

TEST_F(MainFrmTest, ToggleClosesAndReopensDroppingWhatArrivedMeanwhile)
{
    auto frm = start(QStringLiteral("  ") + pty.path() + QStringLiteral(",9600,N,8,1  "));
    frm->cmdStSt->click();
    EXPECT_FALSE(SerMod::PortIsOpen);
    EXPECT_FALSE(frm->MSComm1.portOpen());
    EXPECT_EQ(frm->LbState->text(), QStringLiteral("The port ") + pty.path() + QStringLiteral(" is closed"));
    EXPECT_TRUE(samePicture(frm->cmdStSt->icon(), frm->cmdStStC->icon()));
    EXPECT_FALSE(samePicture(frm->cmdStStO->icon(), frm->cmdStStC->icon()));

    pty.write("lost while closed");
    for (int i = 0; i < 20; ++i)
        QCoreApplication::processEvents();
    frm->cmdStSt->click();
    EXPECT_TRUE(SerMod::PortIsOpen);
    EXPECT_EQ(frm->LbState->text(), QStringLiteral("The port ") + pty.path() + QStringLiteral(" is open"));
    EXPECT_TRUE(samePicture(frm->cmdStSt->icon(), frm->cmdStStO->icon()));

    pty.write("kept\r");
    ASSERT_TRUE(waitFor([&] { return keyboard.typed().contains(u'\r'); }));
    EXPECT_EQ(keyboard.typed(), QStringLiteral("kept\r"));
    EXPECT_TRUE(services.boxes.empty());
}

TEST_F(MainFrmTest, APortThatCannotBeOpenedEndsTheProgramWithOneMessage)
{
    const QString lines[] = {
        QStringLiteral("0,9600,N,8,1"),
        QStringLiteral("/dev/does-not-exist,9600,N,8,1"),
        pty.path() + QStringLiteral(",9600,X,8,1"),
        pty.path() + QStringLiteral(",9600,N,9,1"),
        pty.path() + QStringLiteral(",fast,N,8,1"),
        pty.path(), // no comma: usage box, then no settings
    };
    for (const QString &line : lines) {
        services.boxes.clear();
        services.ended.reset();
        start(line);
        EXPECT_EQ(services.ended, 1) << line.toStdString();
        ASSERT_FALSE(services.boxes.empty());
        const auto &box = services.boxes.back();
        EXPECT_EQ(box.prompt, QStringLiteral("The Port Number Specified Is Unavailable !")) << line.toStdString();
        EXPECT_EQ(box.style, 16);
        EXPECT_EQ(box.title, QStringLiteral("Scanferry 0.01"));
        EXPECT_FALSE(SerMod::PortIsOpen);
    }
}

TEST_F(MainFrmTest, ASecondProgramOnABusyPortFails)
{
    auto first = start(pty.path() + QStringLiteral(",9600,N,8,1"));
    fakes::FakeServices otherServices;
    MainFrm second(otherServices, keyboard);
    SerMod::PortIsOpen = false;
    second.Load();
    EXPECT_EQ(otherServices.ended, 1);
    ASSERT_EQ(otherServices.boxes.size(), 1u);
    EXPECT_EQ(otherServices.boxes[0].prompt, QStringLiteral("The Port Number Specified Is Unavailable !"));
}

TEST_F(MainFrmTest, EmptyCommandLineShowsUsageThenDefaultsNotice)
{
    // COM2 may not exist on a test machine; the boxes before it matter here.
    start(QStringLiteral("   "));
    ASSERT_GE(services.boxes.size(), 2u);
    EXPECT_EQ(services.boxes[0].prompt, SerMod::UsageText());
    EXPECT_EQ(services.boxes[1].prompt, QStringLiteral("Using Defaults 2,9600,N,8,1"));
    EXPECT_EQ(services.boxes[1].style, 64);
    EXPECT_EQ(SerMod::PortNum, 2);
    EXPECT_EQ(SerMod::PortSettings, QStringLiteral("9600,N,8,1"));
}

TEST_F(MainFrmTest, LayoutInTwipsAtNinetySixDpi)
{
    auto frm = start(pty.path() + QStringLiteral(",9600,N,8,1"));
    ASSERT_EQ(frm->logicalDpiX(), 96);
    EXPECT_EQ(frm->size(), QSize(310, 78));
    EXPECT_EQ(frm->cmdStSt->geometry(), QRect(5, 6, 50, 43));
    EXPECT_EQ(frm->cmdEnd->geometry(), QRect(259, 6, 50, 43));
    EXPECT_EQ(frm->LbState->geometry(), QRect(54, 32, 206, 17));
    EXPECT_EQ(frm->Label1->x(), 64);
    EXPECT_EQ(frm->Label6->x(), 81);
    EXPECT_EQ(frm->Label2->x(), 51);
    EXPECT_TRUE(frm->LbState->alignment() & Qt::AlignHCenter);
    EXPECT_TRUE(frm->LbState->font().bold());
    EXPECT_FALSE(frm->cmdStStO->isVisibleTo(frm.get()));
    EXPECT_FALSE(frm->cmdStStC->isVisibleTo(frm.get()));
    EXPECT_EQ(frm->cmdStSt->nextInFocusChain(), frm->cmdEnd);
    EXPECT_EQ(frm->palette().color(QPalette::Window), QColor(255, 192, 128));
    EXPECT_FALSE(frm->windowFlags() & Qt::WindowMaximizeButtonHint);
}

} // namespace

// SPDX-License-Identifier: MIT
// The icon, the window's two states and every way out.
#include "fakes/fake_keyboard.h"
#include "fakes/fake_services.h"
#include "platform/notification_area.h"
#include "startup/sermod.h"
#include "widget/pty_pair.h"
#include "window/mainfrm.h"

#include <QtGui/private/qguiapplication_p.h>

#include <QAction>
#include <QCoreApplication>
#include <QMenu>
#include <QPushButton>

#include <gtest/gtest.h>

namespace {

const QString Question = QStringLiteral("You are about to close Scanferry !\r\n"
                                        "This disables serial scanner's capture.\r\n"
                                        "Do you want to end Scanferry ?");

class TrayExitTest : public ::testing::Test {
protected:
    void start(bool trayAvailable = true)
    {
        services.area.isAvailable = trayAvailable;
        frm = SerMod::Main(pty.path() + QStringLiteral(",9600,N,8,1"), services, keyboard);
        settle();
    }
    static void settle()
    {
        for (int i = 0; i < 5; ++i)
            QCoreApplication::processEvents();
    }
    void notify(int message)
    {
        Q_EMIT services.area.notification(message);
        settle();
    }
    bool inTray() const { return !frm->isVisible() && frm->isMinimized() && services.area.isShown; }

    PtyPair pty;
    fakes::FakeServices services;
    fakes::FakeTyping keyboard;
    std::unique_ptr<MainFrm> frm;
};

TEST_F(TrayExitTest, StartsInTheTrayWithTheTitleAsTip)
{
    start();
    EXPECT_TRUE(inTray());
    EXPECT_EQ(services.area.adds, 1);
    EXPECT_EQ(services.area.lastTip, QStringLiteral("Scanferry 0.01"));
    EXPECT_EQ(services.area.lastMenu, frm->mnuTray);
    EXPECT_EQ(SerMod::TrayIconData.hWnd, frm.get());
    EXPECT_EQ(frm->mnuTray->defaultAction(), frm->mnuShow);
    ASSERT_EQ(frm->mnuTray->actions().size(), 3);
    EXPECT_TRUE(frm->mnuTray->actions()[1]->isSeparator());
    EXPECT_EQ(frm->mnuExit->text(), QStringLiteral("&Exit"));
}

TEST_F(TrayExitTest, OnlyTheRestoringNotificationRestoresAndMinimisingHidesAgain)
{
    start();
    for (int ignored : {512, 513, 514, 516, 518, 520}) {
        notify(ignored);
        EXPECT_TRUE(inTray()) << ignored;
    }
    notify(platform::wm::LButtonDblClk);
    EXPECT_TRUE(frm->isVisible());
    EXPECT_FALSE(frm->isMinimized());
    EXPECT_FALSE(services.area.isShown);

    // On screen, notifications are mouse movement over the window: nothing.
    notify(platform::wm::LButtonDblClk);
    notify(platform::wm::RButtonUp);
    EXPECT_FALSE(frm->mnuTray->isVisible());
    EXPECT_EQ(services.area.adds, 1);

    for (int round = 2; round <= 3; ++round) {
        frm->setWindowState(Qt::WindowMinimized);
        settle();
        EXPECT_TRUE(inTray());
        EXPECT_EQ(services.area.adds, round);
        EXPECT_EQ(services.area.lastTip, QStringLiteral("Scanferry 0.01"));
        frm->mnuShow->trigger();
        settle();
        EXPECT_TRUE(frm->isVisible());
        EXPECT_FALSE(services.area.isShown);
    }
}

TEST_F(TrayExitTest, RightButtonOpensTheMenu)
{
    start();
    notify(platform::wm::RButtonUp);
    EXPECT_TRUE(frm->mnuTray->isVisible());
    frm->mnuTray->close();
}

TEST_F(TrayExitTest, WithoutANotificationAreaTheWindowStaysReachable)
{
    start(false);
    EXPECT_TRUE(frm->isVisible());
    EXPECT_TRUE(frm->isMinimized());
    EXPECT_EQ(services.area.adds, 0);
}

TEST_F(TrayExitTest, NoKeepsEverythingAsItWas)
{
    start();
    services.answers = {platform::mb::No, platform::mb::No};
    frm->mnuExit->trigger();
    settle();
    EXPECT_TRUE(inTray());
    EXPECT_TRUE(frm->MSComm1.portOpen());

    frm->mnuShow->trigger();
    settle();
    frm->cmdEnd->click();
    settle();
    EXPECT_TRUE(frm->isVisible());
    EXPECT_TRUE(frm->MSComm1.portOpen());
    ASSERT_EQ(services.boxes.size(), 2u);
    for (const auto &box : services.boxes) {
        EXPECT_EQ(box.prompt, Question);
        EXPECT_EQ(box.style, 36);
        EXPECT_EQ(box.title, QStringLiteral("Scanferry 0.01"));
    }
}

TEST_F(TrayExitTest, YesClosesThePortAndRemovesTheIconWithoutShowingTheWindow)
{
    start();
    services.answers = {platform::mb::Yes};
    frm->mnuExit->trigger();
    settle();
    EXPECT_FALSE(frm->MSComm1.portOpen());
    EXPECT_FALSE(services.area.isShown);
    EXPECT_FALSE(frm->isVisible());
    EXPECT_EQ(services.boxes.size(), 1u);
    // The port is free for someone else again.
    fakes::FakeServices other;
    MainFrm second(other, keyboard);
    SerMod::PortIsOpen = false;
    second.Load();
    EXPECT_FALSE(other.ended.has_value());
}

TEST_F(TrayExitTest, YesAfterTheUserClosedThePortLeavesItAlone)
{
    start();
    frm->mnuShow->trigger();
    frm->cmdStSt->click();
    ASSERT_FALSE(SerMod::PortIsOpen);
    services.answers = {platform::mb::Yes};
    frm->close();
    settle();
    EXPECT_FALSE(frm->isVisible());
    EXPECT_GE(services.area.removes, 2);
    EXPECT_TRUE(services.boxes.size() == 1u && !services.ended.has_value());
    // Left closed, and free for anyone else.
    EXPECT_FALSE(SerMod::PortIsOpen);
    EXPECT_FALSE(frm->MSComm1.portOpen());
    platform::MSComm other;
    other.setDevicePath(pty.path());
    other.setSettings(QStringLiteral("9600,N,8,1"));
    EXPECT_NO_THROW(other.setPortOpen(true));
}

TEST_F(TrayExitTest, ExitConfirmedDuringAReceiveUnwindsTheLoop)
{
    start();
    services.answers = {platform::mb::Yes};
    services.duringDoEvents = [&] { frm->mnuExit->trigger(); };
    pty.write("123");
    ASSERT_TRUE(waitFor([&] { return !services.boxes.empty(); }));
    settle();
    EXPECT_FALSE(frm->MSComm1.portOpen());
    EXPECT_FALSE(services.area.isShown);
    EXPECT_FALSE(services.ended.has_value());
    // A confirmed exit drops what was not typed yet.
    waitFor([] { return false; }, 50);
    EXPECT_EQ(keyboard.typed(), QString());
}

TEST_F(TrayExitTest, TerminationEndsInOrderWithoutAQuestion)
{
    start();
    frm->EndInOrder();
    settle();
    EXPECT_TRUE(services.boxes.empty());
    EXPECT_FALSE(frm->MSComm1.portOpen());
    EXPECT_FALSE(services.area.isShown);
}

} // namespace

namespace {

TEST_F(TrayExitTest, ASessionSaveAsksNothingAndKeepsTheProgramRunning)
{
    // Qt asks every application to commit its data at each save of the
    // session, logout or not.
    start();
    const std::size_t boxes = services.boxes.size();
    static_cast<QGuiApplicationPrivate *>(QObjectPrivate::get(qApp))->commitData();
    settle();
    EXPECT_EQ(services.boxes.size(), boxes);
    EXPECT_TRUE(inTray());
    EXPECT_TRUE(frm->MSComm1.portOpen());
    EXPECT_FALSE(services.ended.has_value());
}

} // namespace

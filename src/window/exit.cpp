// SPDX-License-Identifier: MIT
// Ending the program: every way out asks first.
#include "platform/notification_area.h"
#include "platform/services.h"
#include "platform/typist.h"
#include "startup/sermod.h"
#include "window/mainfrm.h"
#include "window/tray_icon.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QMenu>

#include <cstdio>

void MainFrm::cmdEnd_Click()
{
    close();
}

void MainFrm::mnuExit_Click()
{
    cmdEnd_Click();
}

void MainFrm::Form_QueryUnload(std::int16_t &Cancel, std::int16_t /*UnloadMode*/)
{
    // The question box takes the keyboard focus: scans wait until it is gone.
    ++m_boxesOpen;
    updateTypingHold();
    const int answer = m_services.msgBox(QStringLiteral("You are about to close Scanferry !\r\n"
                                                        "This disables serial scanner's capture.\r\n"
                                                        "Do you want to end Scanferry ?"),
                                         platform::mb::YesNo + platform::mb::Question,
                                         SerMod::AppTitle);
    --m_boxesOpen;
    if (answer != platform::mb::Yes) {
        updateTypingHold();
        Cancel = 1;
        return;
    }
    releasePortAndIcon();
}

void MainFrm::releasePortAndIcon()
{
    if (SerMod::PortIsOpen)
        MSComm1.setPortOpen(false);
    tray::Shell_NotifyIcon(tray::NIM_DELETE, SerMod::TrayIconData, m_services.notificationArea(),
                           mnuTray);
}

void MainFrm::unload()
{
    // A receive loop that is pumping events sees this and unwinds; the
    // window itself is destroyed only after the event loop has returned.
    m_unloading = true;
    // Typing stops after the current key; what waits is dropped, and said.
    if (const qsizetype untyped = m_typist.stop()) {
        std::fprintf(stderr, "ScnFerry: ended while typing: up to %lld received characters were not typed\n",
                     static_cast<long long>(untyped));
        std::fflush(stderr);
    }
    hide();
    QCoreApplication::exit(0);
}

void MainFrm::closeEvent(QCloseEvent *event)
{
    if (m_unloading) {
        event->accept();
        return;
    }
    std::int16_t cancel = 0;
    Form_QueryUnload(cancel, UnloadFormControlMenu);
    if (cancel != 0) {
        event->ignore();
        return;
    }
    event->accept();
    unload();
}

void MainFrm::EndInOrder()
{
    if (m_unloading)
        return;
    releasePortAndIcon();
    unload();
}

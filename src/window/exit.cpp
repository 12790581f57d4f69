// SPDX-License-Identifier: MIT
// Ending the program: every way out asks first.
#include "platform/notification_area.h"
#include "platform/services.h"
#include "startup/sermod.h"
#include "window/mainfrm.h"
#include "window/tray_icon.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QMenu>
#include <QSessionManager>

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
    const int answer = m_services.msgBox(QStringLiteral("You are about to close Scanferry !\r\n"
                                                        "This disables serial scanner's capture.\r\n"
                                                        "Do you want to end Scanferry ?"),
                                         platform::mb::YesNo + platform::mb::Question,
                                         SerMod::AppTitle);
    if (answer != platform::mb::Yes) {
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

void MainFrm::onCommitDataRequest(QSessionManager &manager)
{
    if (m_unloading)
        return;
    if (!manager.allowsInteraction()) {
        // The session ends without asking anyone: end in order.
        releasePortAndIcon();
        unload();
        return;
    }
    std::int16_t cancel = 0;
    Form_QueryUnload(cancel, UnloadAppWindows);
    manager.release();
    if (cancel != 0) {
        manager.cancel();
        return;
    }
    unload();
}

void MainFrm::EndInOrder()
{
    if (m_unloading)
        return;
    releasePortAndIcon();
    unload();
}

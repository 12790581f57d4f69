// SPDX-License-Identifier: MIT
// Opening and closing the port: the traffic-light button.
#include "platform/error.h"
#include "platform/services.h"
#include "startup/sermod.h"
#include "window/mainfrm.h"

#include <QLabel>
#include <QPushButton>

namespace {

QString stateText(bool open)
{
    return QStringLiteral("The port ") + SerMod::PortText() +
           (open ? QStringLiteral(" is open") : QStringLiteral(" is closed"));
}

} // namespace

void MainFrm::cmdStSt_Click()
{
    try {
        setMousePointer(true);
        if (MSComm1.portOpen()) {
            // What was received before the click is typed all the same.
            keepWhatWasReceived();
            MSComm1.setPortOpen(false);
        }

        if (!SerMod::PortIsOpen) {
            if (SerMod::PortPath.isEmpty())
                MSComm1.setCommPort(SerMod::PortNum);
            else
                MSComm1.setDevicePath(SerMod::PortPath);
            MSComm1.setSettings(SerMod::PortSettings);
            MSComm1.setInputLen(0);
            MSComm1.setRThreshold(1);
            MSComm1.setInBufferSize(1024);
            MSComm1.setPortOpen(true);
            // Whatever arrived before the port was ours to read is dropped.
            MSComm1.setInBufferCount(0);
            SerMod::PortIsOpen = true;
            cmdStSt->setIcon(cmdStStO->icon());
            LbState->setText(stateText(true));
            LbState->repaint();
        } else {
            SerMod::PortIsOpen = false;
            forgetLineEnd();
            if (MSComm1.portOpen())
                MSComm1.setPortOpen(false);
            cmdStSt->setIcon(cmdStStC->icon());
            LbState->setText(stateText(false));
            LbState->repaint();
        }
        setMousePointer(false);
    } catch (const std::exception &e) {
        // One message for every cause; the cause itself rides along as the
        // detail, since "add yourself to the dialout group" is what fixes it.
        m_services.fail(QStringLiteral("The Port Number Specified Is Unavailable !"), SerMod::AppTitle,
                        SerMod::PortText() + QStringLiteral(": ") + QString::fromUtf8(e.what()));
        return;
    }
}

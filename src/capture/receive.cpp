// SPDX-License-Identifier: MIT
// Receiving: every burst the scanner sends is typed into the focused window.
#include "platform/error.h"
#include "platform/keyboard.h"
#include "platform/services.h"
#include "startup/sermod.h"
#include "window/mainfrm.h"

void MainFrm::MSComm1_OnComm()
{
    if (MSComm1.commEvent() == platform::comm::EvReceive)
        ReadPort();
}

void MainFrm::ReadPort()
{
    // The loop below pumps events, so a notification for characters that
    // arrive meanwhile lands here again. Those characters are the running
    // loop's to collect: a second, nested read would type them and then the
    // outer one would type its leftovers again.
    if (m_reading)
        return;
    m_reading = true;
    struct Guard {
        bool &flag;
        ~Guard() { flag = false; }
    } guard{m_reading};

    try {
        ScanData.clear();
        do {
            m_services.doEvents();
            // A click on the traffic light during the pump closed the port,
            // or the user confirmed the exit: type what was collected and
            // stop. A lost device keeps PortIsOpen and reaches input(),
            // which reports the loss.
            if (!SerMod::PortIsOpen || m_unloading)
                break;
            ScanData += MSComm1.input();
        } while (MSComm1.inBufferCount() != 0);
        if (!ScanData.isEmpty())
            m_keyboard.send(ScanData);
    } catch (const platform::RuntimeError &e) {
        QString prompt;
        if (e.number() == platform::err::PortInvalid) {
            prompt = QStringLiteral("This port does not exist ! (") + SerMod::PortText() +
                     QStringLiteral(")\r\nPlease set a valid port in command line.");
        } else {
            prompt = QStringLiteral("Error while opening port (") + SerMod::PortText() +
                     QStringLiteral(")\r\nError Description : ") + e.description().trimmed();
        }
        m_services.msgBox(prompt, platform::mb::OkOnly + platform::mb::Critical, SerMod::AppTitle);
        m_services.end(1);
        return;
    }
}

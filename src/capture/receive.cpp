// SPDX-License-Identifier: MIT
// Receiving: every burst the scanner sends is typed into the focused window.
#include "capture/burst.h"
#include "platform/error.h"
#include "platform/notification_area.h"
#include "platform/serial_port.h"
#include "platform/services.h"
#include "platform/typist.h"
#include "startup/sermod.h"
#include "window/mainfrm.h"

#include <QTimer>

#include <cstdio>

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
        capture::collectBurst(
            {
                .pump = [this] { m_services.doEvents(); },
                // A click on the traffic light during the pump closed the
                // port, or the user confirmed the exit: type what was
                // collected and stop. A lost device keeps PortIsOpen and
                // reaches input(), which reports the loss.
                .stopped = [this] { return !SerMod::PortIsOpen || m_unloading; },
                .input = [this] { return MSComm1.input(); },
                .moreWaiting = [this] { return MSComm1.inBufferCount() != 0; },
            },
            MaxBurst, ScanData);
        // The keystroke service returns without waiting for the keys.
        m_typist.type(takeLineEndJoin(ScanData));
        updateReadingHold();
        if (SerMod::PortIsOpen && !m_unloading && !MSComm1.readingHeld() &&
            MSComm1.inBufferCount() != 0) {
            // Cut at MaxBurst on a line that did not pause: read on once
            // this handler has returned.
            QTimer::singleShot(0, this, &MainFrm::ReadPort);
        }
    } catch (const platform::RuntimeError &e) {
        failReceiving(e.number(), e.description());
    } catch (const std::exception &e) {
        failReceiving(platform::err::KeyboardFailed, QString::fromLocal8Bit(e.what()));
    }
}

void MainFrm::updateReadingHold()
{
    // Released at half the mark, so the port is not switched on every burst.
    const qsizetype waiting = m_typist.pending();
    if (waiting > MaxWaitingToType)
        MSComm1.setReadingHeld(true);
    else if (waiting <= MaxWaitingToType / 2)
        MSComm1.setReadingHeld(false);
}

void MainFrm::keepWhatWasReceived()
{
    try {
        const QString received = MSComm1.input();
        // A receive loop under way hands it over after what it collected.
        if (m_reading)
            ScanData += received;
        else
            m_typist.type(takeLineEndJoin(received));
    } catch (const platform::RuntimeError &) {
        // A device lost meanwhile: the port is being closed anyway.
    }
}

QString MainFrm::takeLineEndJoin(QString burst)
{
    // A CR LF whose LF comes a moment after the CR is one line end, typed as
    // one Return when the CR came. An LF that opens a scan later is a line
    // end of its own.
    const auto now = std::chrono::steady_clock::now();
    if (m_joinLfUntil && now <= *m_joinLfUntil && burst.startsWith(u'\n'))
        burst.remove(0, 1);
    m_joinLfUntil.reset();
    if (burst.endsWith(u'\r')) {
        const auto settings = platform::parseSerialSettings(SerMod::PortSettings);
        const int waitMs = platform::tailWaitMs(settings.value_or(platform::SerialSettings{}));
        m_joinLfUntil = now + std::chrono::milliseconds(waitMs);
    }
    return burst;
}

void MainFrm::forgetLineEnd()
{
    m_joinLfUntil.reset();
}

void MainFrm::failReceiving(int number, const QString &description)
{
    if (m_unloading)
        return;
    QString prompt;
    if (number == platform::err::PortInvalid) {
        prompt = QStringLiteral("This port does not exist ! (") + SerMod::PortText() +
                 QStringLiteral(")\r\nPlease set a valid port in command line.");
    } else {
        prompt = QStringLiteral("Error while opening port (") + SerMod::PortText() +
                 QStringLiteral(")\r\nError Description : ") + description.trimmed();
    }
    m_typist.stop();
    m_services.fail(prompt, SerMod::AppTitle);
}

void MainFrm::onScanRefused(const QString &description)
{
    // The program goes on: the next scan may well be typable.
    std::fprintf(stderr, "ScnFerry: %s\n", description.toLocal8Bit().constData());
    std::fflush(stderr);
    m_services.notificationArea().notify(SerMod::AppTitle, description);
}

void MainFrm::onTypingOverflow(qsizetype characters)
{
    const QString text =
        QStringLiteral("%1 characters received were not typed: the scanner sends faster than the "
                       "desktop takes keys, and %2 characters were already waiting. Slow the "
                       "scanner down or check its baud rate.")
            .arg(characters)
            .arg(platform::Typist::MaxPending);
    std::fprintf(stderr, "ScnFerry: %s\n", text.toLocal8Bit().constData());
    std::fflush(stderr);
    m_services.notificationArea().notify(SerMod::AppTitle, text);
}

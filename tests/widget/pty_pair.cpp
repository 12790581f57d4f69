// SPDX-License-Identifier: MIT
#include "widget/pty_pair.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QThread>

#include <pty.h>
#include <unistd.h>

#include <stdexcept>

PtyPair::PtyPair()
{
    int slave = -1;
    char name[256] = {};
    if (::openpty(&m_master, &slave, name, nullptr, nullptr) != 0)
        throw std::runtime_error("openpty failed");
    m_path = QString::fromLocal8Bit(name);
    // The program opens the line by its name; we keep only our side.
    ::close(slave);
}

PtyPair::~PtyPair()
{
    closeScannerSide();
}

void PtyPair::write(const QByteArray &bytes)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(m_master, bytes.constData() + done, static_cast<size_t>(bytes.size() - done));
        if (n < 0)
            throw std::runtime_error("write to pty failed");
        done += n;
    }
}

void PtyPair::closeScannerSide()
{
    if (m_master >= 0) {
        ::close(m_master);
        m_master = -1;
    }
}

bool waitFor(const std::function<bool()> &pred, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!pred()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(1);
    }
    return true;
}

// SPDX-License-Identifier: MIT
#include "platform/typist.h"

#include "platform/error.h"
#include "platform/keyboard.h"

#include <QThread>

namespace platform {

class Typist::Worker : public QObject {
    Q_OBJECT
public:
    std::unique_ptr<Keyboard> keyboard;

    void typeBurst(const QString &burst)
    {
        try {
            keyboard->send(burst);
        } catch (const UntypableError &e) {
            Q_EMIT refused(e.description());
        } catch (const RuntimeError &e) {
            Q_EMIT failed(e.number(), e.description());
        } catch (const std::exception &e) {
            // Whatever a backend throws is a keystroke failure the user sees
            // as such, not the runtime's last-resort box.
            Q_EMIT failed(err::KeyboardFailed, QString::fromLocal8Bit(e.what()));
        }
        Q_EMIT done(burst.size());
    }

Q_SIGNALS:
    void failed(int number, const QString &description);
    void refused(const QString &description);
    void done(qsizetype characters);
};

Typist::Typist(KeyboardFactory factory, QObject *parent) : QObject(parent)
{
    m_thread = new QThread(this);
    m_thread->setObjectName(QStringLiteral("typing"));
    m_worker = new Worker;
    m_worker->moveToThread(m_thread);
    connect(m_thread, &QThread::finished, m_worker, &QObject::deleteLater);
    connect(m_worker, &Worker::failed, this, &Typist::failed);
    connect(m_worker, &Worker::refused, this, &Typist::refused);
    connect(m_worker, &Worker::done, this, &Typist::onDone);
    m_thread->start();
    QMetaObject::invokeMethod(
        m_worker,
        [this, &factory] {
            m_worker->keyboard = factory();
            m_keyboard = m_worker->keyboard.get();
            m_keyboardName = m_keyboard->name();
        },
        Qt::BlockingQueuedConnection);
}

Typist::~Typist()
{
    stop();
    // The keyboard goes on its own thread: its connection and timers live there.
    QMetaObject::invokeMethod(m_worker, [w = m_worker] { w->keyboard.reset(); },
                              Qt::BlockingQueuedConnection);
    m_thread->quit();
    m_thread->wait();
}

void Typist::type(const QString &burst)
{
    if (m_stopped || burst.isEmpty())
        return;
    if (m_pending + burst.size() > MaxPending) {
        Q_EMIT overflowed(burst.size());
        return;
    }
    m_pending += burst.size();
    m_waiting.push_back(burst);
    next();
}

void Typist::setHeld(bool held)
{
    if (held == m_held)
        return;
    m_held = held;
    m_keyboard->setHeld(held);
    next();
}

qsizetype Typist::stop()
{
    const qsizetype untyped = m_stopped ? 0 : m_pending;
    m_stopped = true;
    m_waiting.clear();
    m_keyboard->requestStop();
    return untyped;
}

void Typist::next()
{
    if (m_busy || m_held || m_stopped || m_waiting.empty())
        return;
    m_busy = true;
    QString burst = std::move(m_waiting.front());
    m_waiting.pop_front();
    QMetaObject::invokeMethod(m_worker, [w = m_worker, burst = std::move(burst)] { w->typeBurst(burst); });
}

void Typist::onDone(qsizetype characters)
{
    m_busy = false;
    m_pending = m_stopped ? 0 : m_pending - characters;
    Q_EMIT burstDone();
    next();
}

} // namespace platform

#include "typist.moc"

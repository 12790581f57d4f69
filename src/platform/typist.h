// SPDX-License-Identifier: MIT
#pragma once

#include <QObject>
#include <QString>

#include <deque>
#include <functional>
#include <memory>

class QThread;

namespace platform {

class Keyboard;

// The keystroke service with the wait flag off: type() hands a burst over
// and returns at once, and a thread of its own types the bursts, strictly in
// order, each once. The keyboard backend is created, used and destroyed on
// that thread, so a long burst never blocks the window, the tray or the
// signals. Everything here except the keyboard is used from the GUI thread.
class Typist : public QObject {
    Q_OBJECT
public:
    using KeyboardFactory = std::function<std::unique_ptr<Keyboard>()>;

    // Starts the thread and creates the keyboard there; returns once it exists.
    explicit Typist(KeyboardFactory factory, QObject *parent = nullptr);
    // Stops typing (as stop()) and waits for the thread to release the keyboard.
    ~Typist() override;

    // Characters handed over and not typed yet, at most this many: a scanner
    // that sends faster than the desktop takes keys for minutes on end hits
    // it, and what comes beyond it is refused and reported, never dropped in
    // silence.
    static constexpr qsizetype MaxPending = 1 << 20;

    // Queues a burst. Beyond MaxPending the burst is refused: overflowed().
    void type(const QString &burst);
    // While held (the program's own window has the keyboard focus) nothing
    // is typed: the burst under way pauses between keys, the others wait.
    void setHeld(bool held);
    bool held() const { return m_held; }
    // The program ends: the burst under way stops after the current key with
    // every key the backend pressed or lent given back; waiting ones are dropped.
    // Returns how many characters handed over had not been typed for sure
    // (those waiting and the whole burst under way).
    qsizetype stop();

    // Characters handed over and not typed yet.
    qsizetype pending() const { return m_pending; }
    // Nothing under way and nothing waiting.
    bool idle() const { return !m_busy && m_waiting.empty(); }
    QString keyboardName() const { return m_keyboardName; }

Q_SIGNALS:
    // The keyboard could not type a burst: the program cannot go on typing.
    void failed(int number, const QString &description);
    // A burst was held back whole: the layout cannot type some of it.
    void refused(const QString &description);
    // A burst was refused because MaxPending characters were waiting.
    void overflowed(qsizetype characters);
    // A burst was typed (or held back, or failed): for waiting in tests.
    void burstDone();

private:
    class Worker;
    void next();
    void onDone(qsizetype characters);

    QThread *m_thread = nullptr;
    Worker *m_worker = nullptr;         // lives on m_thread
    Keyboard *m_keyboard = nullptr;     // owned by m_worker, on m_thread
    QString m_keyboardName;
    std::deque<QString> m_waiting;
    qsizetype m_pending = 0;
    bool m_busy = false;
    bool m_held = false;
    bool m_stopped = false;
};

} // namespace platform

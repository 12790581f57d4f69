// SPDX-License-Identifier: MIT
#pragma once

#include <QObject>

#include <memory>

namespace platform {

// SIGTERM, SIGINT and SIGHUP delivered on the GUI thread as a signal, so
// the program can end in order (a terminal's Ctrl+C, a service stop).
class TerminationSignals : public QObject {
    Q_OBJECT
public:
    explicit TerminationSignals(QObject *parent = nullptr);
    ~TerminationSignals() override;

Q_SIGNALS:
    void received(int signalNumber);

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

} // namespace platform

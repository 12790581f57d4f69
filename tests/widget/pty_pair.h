// SPDX-License-Identifier: MIT
#pragma once

#include <QByteArray>
#include <QString>

#include <functional>

// A pseudo-terminal standing in for the scanner's serial line: the program
// opens path(), the test writes scans into the other side.
class PtyPair {
public:
    PtyPair();
    ~PtyPair();
    PtyPair(const PtyPair &) = delete;
    PtyPair &operator=(const PtyPair &) = delete;

    QString path() const { return m_path; }
    void write(const QByteArray &bytes);
    // Hangs up the line, as an unplugged adapter does.
    void closeScannerSide();

private:
    int m_master = -1;
    QString m_path;
};

// Runs the event loop until pred() holds or the deadline passes.
bool waitFor(const std::function<bool()> &pred, int timeoutMs = 5000);

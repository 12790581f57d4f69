// SPDX-License-Identifier: MIT
#pragma once

#include "platform/serial_port.h"

#include <QIcon>
#include <QString>
#include <QWidget>

#include <chrono>
#include <cstdint>
#include <optional>

class QLabel;
class QMenu;
class QAction;
class QPushButton;

namespace platform {
class Services;
class Typist;
} // namespace platform

// The program's one window: the port state between two picture buttons.
// It owns the serial control and the burst being received. Its handlers
// live with the behaviour they implement: the port toggle and the receive
// loop in src/capture, the tray and the exit in src/window.
class MainFrm : public QWidget {
    Q_OBJECT
public:
    MainFrm(platform::Services &services, platform::Typist &typist, QWidget *parent = nullptr);
    ~MainFrm() override;

    // Loads the window: runs Form_Load once.
    void Load();

    // Handlers.
    void Form_Load();
    void cmdStSt_Click();
    void MSComm1_OnComm();
    void Form_Resize();
    void Form_MouseMove(std::int16_t Button, std::int16_t Shift, float X, float Y);
    void mnuShow_Click();
    void cmdEnd_Click();
    void mnuExit_Click();
    void Form_QueryUnload(std::int16_t &Cancel, std::int16_t UnloadMode);

    // SIGTERM and the like: the port closed and the icon removed, no question.
    void EndInOrder();

    // Why the window is asked to unload.
    static constexpr std::int16_t UnloadFormControlMenu = 0;
    static constexpr std::int16_t UnloadAppWindows = 2;
    // The window's coordinate unit: twips, never changed.
    static constexpr int ScaleMode = 1;

    // The longest burst handed to the keyboard in one piece. Longer than any
    // code a scanner sends in one go; a line that never pauses (a scale, a
    // wrong baud rate, continuous mode) is typed in pieces of this size, so
    // text keeps flowing and memory stays flat.
    static constexpr qsizetype MaxBurst = 4096;
    // While more than this many received characters wait to be typed, the
    // port is not read: the sender is held back by the system's buffers
    // rather than the program taking in what it cannot type soon. A few
    // seconds of typing on any desktop.
    static constexpr qsizetype MaxWaitingToType = 32768;

    // Client-area geometry, in twips, as the window is laid out.
    static constexpr double ClientWidth = 4650;
    static constexpr double ClientHeight = 1170;
    static constexpr double OuterWidth = 4740;
    static constexpr double OuterHeight = 1545;

    // For the tests: the controls as the user sees them.
    QPushButton *cmdStSt = nullptr;
    QPushButton *cmdEnd = nullptr;
    QPushButton *cmdStStO = nullptr;
    QPushButton *cmdStStC = nullptr;
    QLabel *LbState = nullptr;
    QLabel *Label1 = nullptr;
    QLabel *Label2 = nullptr;
    QLabel *Label6 = nullptr;
    QMenu *mnuTray = nullptr;
    QAction *mnuShow = nullptr;
    QAction *mnuHyp1 = nullptr;
    QAction *mnuExit = nullptr;
    platform::MSComm MSComm1;

    QString ScanData;

    void setVisible(bool visible) override;

protected:
    void showEvent(QShowEvent *event) override;
    void changeEvent(QEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    void ReadPort();
    void keepWhatWasReceived();
    QString takeLineEndJoin(QString burst);
    void forgetLineEnd();
    void failReceiving(int number, const QString &description);
    void onScanRefused(const QString &description);
    void onTypingOverflow(qsizetype characters);
    void updateTypingHold();
    void updateReadingHold();
    void onTrayNotification(int mouseMessage);
    void addTrayIcon();
    void releasePortAndIcon();
    void unload();
    void layOut();
    QPoint placement() const;
    // Where the outer frame comes back from the tray: the placement, or
    // where the user last moved the window.
    QPoint m_restoreAt;
    int px(double twipsValue) const;
    void setMousePointer(bool hourglass);

    platform::Services &m_services;
    platform::Typist &m_typist;
    bool m_loaded = false;
    bool m_reading = false;
    bool m_readAgain = false;   // a burst was cut at MaxBurst with more waiting
    bool m_unloading = false;   // the exit was confirmed
    int m_boxesOpen = 0;        // boxes of ours that may have the keyboard focus
    // The last burst ended with CR: an LF arriving before this time is the
    // same line end, already typed as Return.
    std::optional<std::chrono::steady_clock::time_point> m_joinLfUntil;
};

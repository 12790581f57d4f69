// SPDX-License-Identifier: MIT
#pragma once

#include "platform/notification_area.h"
#include "platform/services.h"

#include <QString>

#include <deque>
#include <functional>
#include <optional>
#include <vector>

namespace fakes {

// A notification area that records the icon's state; tests emit
// notification() as a host would.
class FakeNotificationArea : public platform::NotificationArea {
public:
    bool available() const override { return isAvailable; }
    void add(const QIcon &, const QString &tip, QMenu *menu) override
    {
        ++adds;
        isShown = true;
        lastTip = tip;
        lastMenu = menu;
    }
    void remove() override
    {
        ++removes;
        isShown = false;
    }
    bool shown() const override { return isShown; }
    bool notify(const QString &, const QString &message) override
    {
        messages.push_back(message);
        return isShown;
    }

    bool isAvailable = true;
    bool isShown = false;
    int adds = 0;
    int removes = 0;
    QString lastTip;
    QMenu *lastMenu = nullptr;
    std::vector<QString> messages;
};

// Records every message box and answers from a queue (Yes when empty).
class FakeServices : public platform::Services {
public:
    struct Box {
        QString prompt;
        int style;
        QString title;
        QString detail;
    };

    int msgBox(const QString &prompt, int style, const QString &title,
               const QString &detail = QString()) override;
    void doEvents() override;
    void end(int status) override;
    platform::NotificationArea &notificationArea() override { return area; }

    FakeNotificationArea area;

    std::vector<Box> boxes;
    std::deque<int> answers;
    // Runs inside doEvents, before the real queued events, to simulate a
    // click or an arrival during the pump.
    std::function<void()> duringDoEvents;
    // Runs inside msgBox while the box would be open, before it is answered.
    std::function<void()> duringMsgBox;
    int doEventsCalls = 0;
    std::optional<int> ended; // the status of the immediate end, once asked
};

} // namespace fakes

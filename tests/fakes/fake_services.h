// SPDX-License-Identifier: MIT
#pragma once

#include "platform/services.h"

#include <QString>

#include <deque>
#include <functional>
#include <optional>
#include <vector>

namespace fakes {

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

    std::vector<Box> boxes;
    std::deque<int> answers;
    // Runs inside doEvents, before the real queued events, to simulate a
    // click or an arrival during the pump.
    std::function<void()> duringDoEvents;
    int doEventsCalls = 0;
    std::optional<int> ended; // the status of the immediate end, once asked
};

} // namespace fakes

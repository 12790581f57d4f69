// SPDX-License-Identifier: MIT
#pragma once

#include <QString>

#include <functional>

namespace capture {

// What the receive loop needs of the port, one call each.
struct BurstSource {
    std::function<void()> pump;           // run the queued events
    std::function<bool()> stopped;        // the port was closed, or the exit confirmed
    std::function<QString()> input;       // take the waiting characters
    std::function<bool()> moreWaiting;    // characters arrived since
};

// Collects one burst into `burst`: pump, take what waits, again while more
// waits. Ends at maxSize characters too, so a line that never pauses cannot
// keep the loop collecting with nothing typed. Appends to `burst` as it goes:
// a handler run by the pump may append too, in arrival order.
void collectBurst(const BurstSource &source, qsizetype maxSize, QString &burst);

} // namespace capture

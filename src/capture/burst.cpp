// SPDX-License-Identifier: MIT
#include "capture/burst.h"

namespace capture {

QString collectBurst(const BurstSource &source, qsizetype maxSize)
{
    QString burst;
    do {
        source.pump();
        if (source.stopped())
            break;
        burst += source.input();
    } while (burst.size() < maxSize && source.moreWaiting());
    return burst;
}

} // namespace capture

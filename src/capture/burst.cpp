// SPDX-License-Identifier: MIT
#include "capture/burst.h"

namespace capture {

void collectBurst(const BurstSource &source, qsizetype maxSize, QString &burst)
{
    do {
        source.pump();
        if (source.stopped())
            break;
        burst += source.input();
    } while (burst.size() < maxSize && source.moreWaiting());
}

} // namespace capture

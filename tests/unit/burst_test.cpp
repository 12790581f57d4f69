// SPDX-License-Identifier: MIT
#include "capture/burst.h"

#include <gtest/gtest.h>

namespace {

TEST(CollectBurst, ALineThatNeverPausesEndsAtTheBound)
{
    // Every pump finds another hundred characters waiting.
    int pumps = 0;
    QString burst;
    capture::collectBurst(
        {
            .pump = [&] { ++pumps; },
            .stopped = [] { return false; },
            .input = [] { return QString(100, u'x'); },
            .moreWaiting = [] { return true; },
        },
        4096, burst);
    EXPECT_GE(burst.size(), 4096);
    EXPECT_LT(burst.size(), 4096 + 100);
    EXPECT_EQ(pumps, 41);
}

TEST(CollectBurst, StopsWhenThePortClosesDuringThePump)
{
    bool closed = false;
    QString burst;
    capture::collectBurst(
        {
            .pump = [&] { closed = true; },
            .stopped = [&] { return closed; },
            .input = [] { return QStringLiteral("lost"); },
            .moreWaiting = [] { return true; },
        },
        4096, burst);
    EXPECT_TRUE(burst.isEmpty());
}

} // namespace

// SPDX-License-Identifier: MIT
#include "platform/wayland/event_pacer.h"

#include <gtest/gtest.h>

#include <vector>

using platform::wayland::EventPacer;
using namespace std::chrono_literals;

TEST(EventPacer, LetsBurstsThroughAndHoldsBackFloods)
{
    struct Step {
        std::chrono::milliseconds at;
        std::size_t events;
        std::chrono::milliseconds wait; // expected, to the millisecond
    };
    const struct {
        const char *name;
        std::vector<Step> steps;
    } cases[] = {
        {"a scanner burst goes at once", {{0ms, 200, 0ms}, {1ms, 200, 0ms}}},
        {"the whole allowance goes at once", {{0ms, 2000, 0ms}}},
        {"beyond the allowance waits for the client's pace", {{0ms, 2000, 0ms}, {0ms, 400, 100ms}}},
        {"waiting pays the debt", {{0ms, 2000, 0ms}, {0ms, 400, 100ms}, {100ms, 400, 100ms}}},
        {"idle time refills", {{0ms, 2000, 0ms}, {500ms, 2000, 0ms}}},
        {"idle time refills no more than the allowance", {{0ms, 1, 0ms}, {60s, 2400, 100ms}}},
        {"a flood of small steps is paced evenly", {{0ms, 1000, 0ms}, {0ms, 1000, 0ms}, {0ms, 4, 1ms}, {1ms, 4, 1ms}}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EventPacer pacer;
        const EventPacer::Clock::time_point t0{};
        for (const Step &step : c.steps) {
            const auto wait = pacer.take(step.events, t0 + step.at);
            EXPECT_EQ(std::chrono::round<std::chrono::milliseconds>(wait), step.wait) << "at " << step.at.count();
        }
    }
}

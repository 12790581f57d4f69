// SPDX-License-Identifier: MIT
#include "platform/wayland/event_pacer.h"

#include <algorithm>

namespace platform::wayland {

EventPacer::Clock::duration EventPacer::take(std::size_t events, Clock::time_point now)
{
    if (m_started) {
        const std::chrono::duration<double> idle = now - m_last;
        m_tokens = std::min(kBurst, m_tokens + std::max(0.0, idle.count()) * kRate);
    }
    m_started = true;
    m_last = now;
    // May go negative: the debt is what the caller waits for.
    m_tokens -= static_cast<double>(events);
    if (m_tokens >= 0)
        return Clock::duration::zero();
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(-m_tokens / kRate));
}

} // namespace platform::wayland

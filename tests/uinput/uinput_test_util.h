// SPDX-License-Identifier: MIT
#pragma once

#include "platform/uinput/uinput_events.h"

#include <span>
#include <string>

namespace uinput_test {

// Events as a short text: "+42" key down, "-42" key up, ";" SYN_REPORT,
// "/" between groups. "+42 ; +30 ; -30 ; -42 ;" is a shifted 'a'.
inline std::string render(std::span<const input_event> events)
{
    std::string out;
    for (const input_event &e : events) {
        if (!out.empty())
            out += ' ';
        if (e.type == EV_SYN && e.code == SYN_REPORT)
            out += ';';
        else if (e.type == EV_KEY && (e.value == 0 || e.value == 1))
            out += (e.value ? '+' : '-') + std::to_string(e.code);
        else
            out += "?" + std::to_string(e.type) + ":" + std::to_string(e.code) + ":" + std::to_string(e.value);
    }
    return out;
}

inline std::string render(std::span<const platform::uinput::EventGroup> groups)
{
    std::string out;
    for (const auto &group : groups) {
        if (!out.empty())
            out += " / ";
        out += render(std::span<const input_event>(group));
    }
    return out;
}

} // namespace uinput_test

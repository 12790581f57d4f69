// SPDX-License-Identifier: MIT
#pragma once

#include "platform/uinput/uinput_events.h"

#include <map>
#include <span>
#include <stdexcept>
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

// Layouts compile in tens of milliseconds; each is built once per binary.
inline const platform::uinput::LayoutKeys &layout(const std::string &name, const std::string &variant = {})
{
    static std::map<std::string, platform::uinput::LayoutKeys> cache;
    const std::string key = name + "(" + variant + ")";
    auto it = cache.find(key);
    if (it == cache.end()) {
        platform::uinput::KeymapNames names;
        names.layout = name;
        names.variant = variant;
        QString why;
        auto keys = platform::uinput::LayoutKeys::fromNames(names, &why);
        if (!keys)
            throw std::runtime_error(why.toStdString());
        it = cache.emplace(key, std::move(*keys)).first;
    }
    return it->second;
}

} // namespace uinput_test

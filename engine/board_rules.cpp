#include "engine/board_rules.h"

#include <algorithm>

namespace tarnwick::link {

bool BoardRules::any() const {
    return !groups.empty() ||
           std::any_of(pulse.begin(), pulse.end(), [](const auto& p) { return p.has_value(); }) ||
           std::any_of(power_on.begin(), power_on.end(),
                       [](PowerOn mode) { return mode != PowerOn::keep; });
}

std::uint16_t BoardRules::partners(int relay) const {
    const auto bit = static_cast<std::uint16_t>(1U << (relay - 1));
    std::uint16_t others = 0;
    for (const std::uint16_t group : groups)
        if (group & bit) others |= group;
    return static_cast<std::uint16_t>(others & ~bit);
}

const char* source_name(Origin::Source source) {
    switch (source) {
        case Origin::Source::mqtt:
            return "mqtt";
        case Origin::Source::dbus:
            return "dbus";
        case Origin::Source::pulse:
            return "pulse";
        case Origin::Source::interlock:
            return "interlock";
        case Origin::Source::power_on:
            return "power-on";
        case Origin::Source::shell:
            return "shell";
        case Origin::Source::panel:
            return "panel";
        case Origin::Source::schedule:
            return "schedule";
        case Origin::Source::schedule_catch_up:
            return "schedule-catch-up";
        case Origin::Source::scene:
            return "scene";
        case Origin::Source::observed:
            break;
    }
    return "observed";
}

}  // namespace tarnwick::link

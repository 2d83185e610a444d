#pragma once

#include <array>
#include <cstdint>
#include <optional>

namespace tarnwick::link {

// What the link knows of one relay. The window shows each state as a colour
// and a text; a program without a window prints words for them.
enum class RelayState {
    energized,    // the board's last accepted answer reports it on
    released,     // ... reports it off
    unknown,      // no accepted answer yet, or none for six ticks
    port_closed,  // the port is closed
};

using RelayStates = std::array<RelayState, 16>;

// The pattern of 16 known states (bit r-1 = relay r energized), or nothing
// while any of them is unknown or the port closed.
[[nodiscard]] inline std::optional<std::uint16_t> known_pattern(const RelayStates& states) {
    std::uint16_t pattern = 0;
    for (std::size_t i = 0; i < states.size(); ++i) {
        if (states[i] == RelayState::energized)
            pattern = static_cast<std::uint16_t>(pattern | (1u << i));
        else if (states[i] != RelayState::released)
            return std::nullopt;
    }
    return pattern;
}

}  // namespace tarnwick::link

#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// What the owner of a line keeps for a board besides polling it: pulses,
// interlocked groups and the state after power-up; and who asked for a
// switch, for the journal. Plain C++.
namespace tarnwick::link {

enum class PowerOn { keep, off, on, last };

struct BoardRules {
    // Per relay (index relay - 1): switched off this long after every ON.
    std::array<std::optional<std::chrono::milliseconds>, 16> pulse{};
    // Within a group (bit r-1: relay r) at most one relay is on.
    std::vector<std::uint16_t> groups;
    // Between the others' confirmed release and the ON.
    std::chrono::milliseconds interlock_wait{100};
    std::array<PowerOn, 16> power_on{};

    [[nodiscard]] bool any() const;
    friend bool operator==(const BoardRules&, const BoardRules&) = default;
    // The other relays of the groups `relay` is in.
    [[nodiscard]] std::uint16_t partners(int relay) const;
};

// Who switched a relay: said with every change in the journal.
struct Origin {
    enum class Source {
        observed,
        mqtt,
        dbus,
        pulse,
        interlock,
        power_on,
        shell,
        panel,
        schedule,           // at a schedule's edge
        schedule_catch_up,  // setting what a schedule wants after downtime
        scene
    };
    Source source = Source::observed;
    std::string detail;  // the topic, the caller's uid, the schedule's or scene's name
    friend bool operator==(const Origin&, const Origin&) = default;
};

// "mqtt", "dbus", "pulse", "interlock", "power-on", "observed", ...
[[nodiscard]] const char* source_name(Origin::Source source);

}  // namespace tarnwick::link

#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "mqtt/topics.h"

namespace tarnwick::mqtt {

// The 16 channel names of a board as name.txt gives them (UTF-8); an empty
// one is shown as "Relay <n>".
using RelayNames = std::array<std::string, relay_count>;

// One accepted status frame of a board, with the names of its channels.
struct BoardState {
    std::uint8_t address = 0;
    std::uint16_t relays = 0;  // bit r-1: relay r energized
    RelayNames names;
    std::chrono::system_clock::time_point answered;  // when the answer came in
};

// The retained JSON on tarnwick/<node>/<addr>/state:
//   {"address":7,"states":["ON","OFF",...16],"names":["...",...16],
//    "time":"2025-03-01T08:15:02.250Z"}
// states[i] and names[i] belong to relay i + 1; time is UTC with milliseconds.
[[nodiscard]] std::string board_state_json(const BoardState& state);

// Home Assistant's device-based discovery config of one board, retained on
// discovery_topic(node, address): the board as one device
// (identifiers tarnwick_<node>_<addr>), available while both the node status
// and the board's availability say online, with its 16 relays as switches
// r1..r16 (unique ids tarnwick_<node>_<addr>_r<n>) that Home Assistant shows
// only as the board reports them and switches with fresh sets. A cabinet
// that takes no commands (--read-only) shows its relays as binary sensors
// instead, with no command topic: switches that switch nothing would mislead.
// A relay with a pulse length (index relay - 1) also gets a button p<n> that
// publishes that many seconds on its pulse topic. A board with discrete
// inputs shows each as a binary sensor i1..i<inputs> (unique ids
// tarnwick_<node>_<addr>_i<n>) on its input topic.
using PulseLengths = std::array<std::optional<std::int64_t>, relay_count>;  // ms
[[nodiscard]] std::string discovery_json(std::string_view node, std::uint8_t address,
                                         const RelayNames& names, std::string_view version,
                                         bool switchable = true, const PulseLengths& pulses = {},
                                         int inputs = 0);

// The same device with its 16 relays as components that go (the platform
// alone each, as Home Assistant's device discovery takes a removal):
// published before a config whose relays are of the other platform.
[[nodiscard]] std::string discovery_removal_json(std::string_view node, std::uint8_t address,
                                                 std::string_view version, bool switches);

// The device-based discovery config of the scenes and schedules under a node,
// retained on timekeeping_discovery_topic(node): one device (identifiers
// tarnwick_<node>_timekeeping), available while the node status says online.
// Each scene is a `scene` scene_<name> (unique id tarnwick_<node>_scene_<name>)
// that publishes ON on its set topic; each schedule a `switch` schedule_<name>
// (unique id tarnwick_<node>_schedule_<name>) on its state and set topics,
// ON / OFF. Not switchable (--read-only): no scenes, and the schedules are
// binary sensors. Empty when that leaves no component.
[[nodiscard]] std::string timekeeping_discovery_json(std::string_view node,
                                                     std::string_view version,
                                                     const std::vector<std::string>& scenes,
                                                     const std::vector<std::string>& schedules,
                                                     bool switchable = true);

// `config` with each component of `earlier` (a config on the same topic) it
// no longer has as its platform alone, which Home Assistant's device
// discovery takes as that entity's removal; empty when there is none.
[[nodiscard]] std::string discovery_with_removals(std::string_view config,
                                                  std::string_view earlier);

}  // namespace tarnwick::mqtt

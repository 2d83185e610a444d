#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "protocol/frame.h"

// The topics of one cabinet (node) and what arrives on its command topics.
// Plain C++, no Qt, no I/O.
//
//   tarnwick/<node>/status                     online / offline (also the last will)  retained
//   tarnwick/<node>/<addr>/availability        online / offline                       retained
//   tarnwick/<node>/<addr>/relay/<n>/state     ON / OFF, from the board's answers      retained
//   tarnwick/<node>/<addr>/state               JSON of the whole board                 retained
//   tarnwick/<node>/<addr>/input/<n>           ON / OFF, a discrete input (Modbus)    retained
//   tarnwick/<node>/<addr>/relay/<n>/set       ON / OFF from dashboards               subscribed
//   tarnwick/<node>/<addr>/error               what was refused and why
//   tarnwick/<node>/error                      the same for a topic that names no board
//   homeassistant/device/tarnwick_<node>_<addr>/config   discovery                  retained
//   tarnwick/<node>/scene/<name>/set           any payload applies the scene          subscribed
//   tarnwick/<node>/schedule/<name>            ON / OFF, enabled or not                retained
//   tarnwick/<node>/schedule/<name>/set        ON / OFF enables or disables it        subscribed
//   homeassistant/device/tarnwick_<node>_timekeeping/config   scenes, schedules    retained
//
// <addr> is the board address 0..255 in decimal without leading zeros, <n>
// the relay or input 1..16, <name> a scene's or schedule's name, checked as a
// node is ([A-Za-z0-9_-]+).
namespace tarnwick::mqtt {

inline constexpr std::string_view on_payload = "ON";
inline constexpr std::string_view off_payload = "OFF";
inline constexpr std::string_view online_payload = "online";
inline constexpr std::string_view offline_payload = "offline";
using protocol::relay_count;
// Home Assistant announces itself here; "online" asks for discovery again.
inline constexpr std::string_view ha_status_topic = "homeassistant/status";

[[nodiscard]] std::string node_status_topic(std::string_view node);
[[nodiscard]] std::string node_error_topic(std::string_view node);
[[nodiscard]] std::string availability_topic(std::string_view node, std::uint8_t address);
[[nodiscard]] std::string board_state_topic(std::string_view node, std::uint8_t address);
[[nodiscard]] std::string board_error_topic(std::string_view node, std::uint8_t address);
[[nodiscard]] std::string relay_state_topic(std::string_view node, std::uint8_t address, int relay);
[[nodiscard]] std::string input_state_topic(std::string_view node, std::uint8_t address, int input);
[[nodiscard]] std::string relay_set_topic(std::string_view node, std::uint8_t address, int relay);
// A pulse: on now, off after the seconds in the payload.
[[nodiscard]] std::string relay_pulse_topic(std::string_view node, std::uint8_t address, int relay);
// The subscription for pulses, tarnwick/<node>/+/relay/+/pulse, refused aloud
// as sets are.
[[nodiscard]] std::string pulse_filter(std::string_view node);
// The one subscription for commands: tarnwick/<node>/+/relay/+/set. It also
// brings sets for boards not served and relay numbers out of range, so that
// they can be refused aloud rather than ignored.
[[nodiscard]] std::string set_filter(std::string_view node);
// Home Assistant's id of a board's device: tarnwick_<node>_<addr>.
[[nodiscard]] std::string device_id(std::string_view node, std::uint8_t address);
[[nodiscard]] std::string discovery_topic(std::string_view node, std::uint8_t address);
// Every device's discovery config: subscribed at connect to learn which
// boards of this node an earlier run left there.
inline constexpr std::string_view discovery_filter = "homeassistant/device/+/config";
// The board whose discovery_topic() this is, for this node; nothing for any
// other topic.
[[nodiscard]] std::optional<std::uint8_t> discovery_address(std::string_view node,
                                                            std::string_view topic);

// The scenes and schedules the line's owner keeps under this node.
[[nodiscard]] std::string scene_set_topic(std::string_view node, std::string_view scene);
[[nodiscard]] std::string schedule_state_topic(std::string_view node, std::string_view schedule);
[[nodiscard]] std::string schedule_set_topic(std::string_view node, std::string_view schedule);
// tarnwick/<node>/scene/+/set and tarnwick/<node>/schedule/+/set: names not
// offered are refused aloud, as boards not served are.
[[nodiscard]] std::string scene_filter(std::string_view node);
[[nodiscard]] std::string schedule_filter(std::string_view node);
// One device for them all: tarnwick_<node>_timekeeping, never a board's
// (whose last part is a number).
[[nodiscard]] std::string timekeeping_device_id(std::string_view node);
[[nodiscard]] std::string timekeeping_discovery_topic(std::string_view node);

[[nodiscard]] inline std::string_view relay_payload(bool on) {
    return on ? on_payload : off_payload;
}

// A command to switch one relay of one served board.
struct SetCommand {
    std::uint8_t address = 0;
    int relay = 0;
    bool on = false;
    // A pulse (on, then off after this long): 0.1 s .. one day.
    std::optional<std::int64_t> pulse_ms;
    friend bool operator==(const SetCommand&, const SetCommand&) = default;
};

// A message on the command subscription that switches nothing: where to say so
// and what to say. Never retained.
struct Refusal {
    std::string error_topic;
    std::string text;
};

// What a message that arrived on set_filter(node) or pulse_filter(node) asks
// for. Only a fresh set (not retained) of exactly ON or OFF, or a fresh pulse
// of 0.1 .. 86400 seconds ("1.5"), on a well-formed topic of a served board
// and a relay 1..16, is a command; anything else is refused with a
// reason. A topic whose address part reads as 0..255 is answered on that
// board's error topic, any other on the node's.
[[nodiscard]] std::variant<SetCommand, Refusal> read_set(std::string_view node,
                                                         const std::vector<std::uint8_t>& boards,
                                                         std::string_view topic,
                                                         std::string_view payload, bool retained);

// A fresh message on scene_filter(node) or schedule_filter(node) that names
// one of `scenes` or `schedules`: apply that scene, or enable (ON) or disable
// (OFF) that schedule.
struct SceneCommand {
    std::string scene;
    friend bool operator==(const SceneCommand&, const SceneCommand&) = default;
};
struct ScheduleCommand {
    std::string schedule;
    bool enabled = false;
    friend bool operator==(const ScheduleCommand&, const ScheduleCommand&) = default;
};

// True for a topic of this node's scenes or schedules, which read_timekeeping
// answers, rather than read_set.
[[nodiscard]] bool is_timekeeping_topic(std::string_view node, std::string_view topic);

// What such a message asks for. A scene takes any payload; a schedule exactly
// ON or OFF. A retained message, an unknown name or any other payload is
// refused with a reason, on the node's error topic.
[[nodiscard]] std::variant<SceneCommand, ScheduleCommand, Refusal> read_timekeeping(
    std::string_view node, const std::vector<std::string>& scenes,
    const std::vector<std::string>& schedules, std::string_view topic, std::string_view payload,
    bool retained);

}  // namespace tarnwick::mqtt

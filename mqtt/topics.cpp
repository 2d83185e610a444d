#include "mqtt/topics.h"

#include <algorithm>
#include <cstdio>
#include <optional>

#include "mqtt/options.h"
#include "protocol/number_text.h"

namespace tarnwick::mqtt {

namespace {

std::string board_prefix(std::string_view node, std::uint8_t address) {
    return "tarnwick/" + std::string(node) + "/" + std::to_string(address);
}

std::vector<std::string_view> split(std::string_view topic) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    while (true) {
        const auto slash = topic.find('/', start);
        parts.push_back(topic.substr(start, slash - start));
        if (slash == std::string_view::npos) return parts;
        start = slash + 1;
    }
}

// A number as this bridge writes it in topics: decimal digits, no sign, no
// leading zero, at most `max`.
std::optional<int> topic_number(std::string_view text, int max) {
    if (text.size() > 1 && text.front() == '0') return std::nullopt;
    const auto value = protocol::parse_unsigned(text, static_cast<std::uint32_t>(max));
    if (!value) return std::nullopt;
    return static_cast<int>(*value);
}

// Text from the wire, quoted for a message: printable ASCII as it is, any
// other byte as \xHH, cut after `limit` bytes with the full length said.
std::string shown(std::string_view bytes, std::size_t limit = 32) {
    std::string text = "\"";
    for (std::size_t i = 0; i < bytes.size() && i < limit; ++i) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
            text += static_cast<char>(c);
        } else {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
            text += escaped;
        }
    }
    text += '"';
    if (bytes.size() > limit) text += "... (" + std::to_string(bytes.size()) + " bytes)";
    return text;
}

std::string relay_of_board(int relay, std::uint8_t address) {
    return "relay " + std::to_string(relay) + " of board " + std::to_string(address);
}

// The names offered, for a refusal: at most a few, then how many in all.
std::string names_text(const std::vector<std::string>& names) {
    constexpr std::size_t shown_names = 6;
    std::string text;
    for (std::size_t i = 0; i < names.size() && i < shown_names; ++i)
        text += (i ? ", " : "") + names[i];
    if (names.size() > shown_names) text += " ... (" + std::to_string(names.size()) + " in all)";
    return text;
}

std::string node_prefix(std::string_view node) {
    return "tarnwick/" + std::string(node) + "/";
}

}  // namespace

std::string node_status_topic(std::string_view node) {
    return "tarnwick/" + std::string(node) + "/status";
}

std::string node_error_topic(std::string_view node) {
    return "tarnwick/" + std::string(node) + "/error";
}

std::string availability_topic(std::string_view node, std::uint8_t address) {
    return board_prefix(node, address) + "/availability";
}

std::string board_state_topic(std::string_view node, std::uint8_t address) {
    return board_prefix(node, address) + "/state";
}

std::string board_error_topic(std::string_view node, std::uint8_t address) {
    return board_prefix(node, address) + "/error";
}

std::string relay_state_topic(std::string_view node, std::uint8_t address, int relay) {
    return board_prefix(node, address) + "/relay/" + std::to_string(relay) + "/state";
}

std::string input_state_topic(std::string_view node, std::uint8_t address, int input) {
    return board_prefix(node, address) + "/input/" + std::to_string(input);
}

std::string relay_set_topic(std::string_view node, std::uint8_t address, int relay) {
    return board_prefix(node, address) + "/relay/" + std::to_string(relay) + "/set";
}

std::string relay_pulse_topic(std::string_view node, std::uint8_t address, int relay) {
    return board_prefix(node, address) + "/relay/" + std::to_string(relay) + "/pulse";
}

std::string pulse_filter(std::string_view node) {
    return "tarnwick/" + std::string(node) + "/+/relay/+/pulse";
}

std::string set_filter(std::string_view node) {
    return "tarnwick/" + std::string(node) + "/+/relay/+/set";
}

std::string device_id(std::string_view node, std::uint8_t address) {
    return "tarnwick_" + std::string(node) + "_" + std::to_string(address);
}

std::string discovery_topic(std::string_view node, std::uint8_t address) {
    return "homeassistant/device/" + device_id(node, address) + "/config";
}

std::optional<std::uint8_t> discovery_address(std::string_view node, std::string_view topic) {
    const std::string head = "homeassistant/device/tarnwick_" + std::string(node) + "_";
    constexpr std::string_view tail = "/config";
    if (topic.size() <= head.size() + tail.size() || topic.substr(0, head.size()) != head ||
        topic.substr(topic.size() - tail.size()) != tail)
        return std::nullopt;
    const auto address =
        topic_number(topic.substr(head.size(), topic.size() - head.size() - tail.size()), 255);
    if (!address) return std::nullopt;
    return static_cast<std::uint8_t>(*address);
}

std::string scene_set_topic(std::string_view node, std::string_view scene) {
    return node_prefix(node) + "scene/" + std::string(scene) + "/set";
}

std::string schedule_state_topic(std::string_view node, std::string_view schedule) {
    return node_prefix(node) + "schedule/" + std::string(schedule);
}

std::string schedule_set_topic(std::string_view node, std::string_view schedule) {
    return schedule_state_topic(node, schedule) + "/set";
}

std::string scene_filter(std::string_view node) {
    return node_prefix(node) + "scene/+/set";
}

std::string schedule_filter(std::string_view node) {
    return node_prefix(node) + "schedule/+/set";
}

std::string timekeeping_device_id(std::string_view node) {
    return "tarnwick_" + std::string(node) + "_timekeeping";
}

std::string timekeeping_discovery_topic(std::string_view node) {
    return "homeassistant/device/" + timekeeping_device_id(node) + "/config";
}

bool is_timekeeping_topic(std::string_view node, std::string_view topic) {
    const auto parts = split(topic);
    return parts.size() >= 3 && parts[0] == "tarnwick" && parts[1] == node &&
           (parts[2] == "scene" || parts[2] == "schedule");
}

std::variant<SceneCommand, ScheduleCommand, Refusal> read_timekeeping(
    std::string_view node, const std::vector<std::string>& scenes,
    const std::vector<std::string>& schedules, std::string_view topic, std::string_view payload,
    bool retained) {
    const auto parts = split(topic);
    const bool shaped = parts.size() == 5 && is_timekeeping_topic(node, topic) && parts[4] == "set";
    if (!shaped)
        return Refusal{node_error_topic(node),
                       "refused " + shown(topic, 100) + ": not a command topic of this cabinet; " +
                           "scenes are applied on " + scene_set_topic(node, "<name>") +
                           ", schedules enabled on " + schedule_set_topic(node, "<name>")};
    const bool scene = parts[2] == "scene";
    const std::string kind = scene ? "scene" : "schedule";
    const auto& names = scene ? scenes : schedules;
    const std::string name(parts[3]);
    if (std::find(names.begin(), names.end(), name) == names.end())
        return Refusal{node_error_topic(node),
                       "refused a set for the " + kind + " " + shown(name) +
                           (names.empty() ? ": this cabinet has no " + kind + "s"
                                          : ": this cabinet has " + kind + "s " +
                                                names_text(names) + " only")};
    if (retained)
        return Refusal{node_error_topic(node),
                       "dropped a retained set for the " + kind + " " + name +
                           ": a command kept on the broker would " +
                           (scene ? "apply it" : "set it") +
                           " again at every start; publish sets without the retain flag"};
    if (scene) return SceneCommand{name};
    if (payload != on_payload && payload != off_payload)
        return Refusal{node_error_topic(node),
                       "refused the payload " + shown(payload) + " for the schedule " + name +
                           ": only ON or OFF, exactly, enable or disable a schedule"};
    return ScheduleCommand{name, payload == on_payload};
}

std::variant<SetCommand, Refusal> read_set(std::string_view node,
                                           const std::vector<std::uint8_t>& boards,
                                           std::string_view topic, std::string_view payload,
                                           bool retained) {
    const auto parts = split(topic);
    const bool shaped = parts.size() == 6 && parts[0] == "tarnwick" && parts[1] == node &&
                        parts[3] == "relay" && (parts[5] == "set" || parts[5] == "pulse");
    if (!shaped)
        return Refusal{node_error_topic(node),
                       "refused " + shown(topic, 100) +
                           ": not a command topic of this cabinet; commands go to " +
                           relay_set_topic(node, 1, 1) + " (board 1, relay 1)"};

    const auto address_number = topic_number(parts[2], 255);
    if (!address_number)
        return Refusal{node_error_topic(node),
                       "refused a set on " + shown(topic, 100) + ": " + shown(parts[2]) +
                           " is no board address; addresses are 0..255, written without "
                           "leading zeros"};
    const auto address = static_cast<std::uint8_t>(*address_number);
    const std::string error_topic = board_error_topic(node, address);

    if (std::find(boards.begin(), boards.end(), address) == boards.end())
        return Refusal{error_topic, "refused a set for board " + std::to_string(address) +
                                        ": this cabinet serves boards " + boards_text(boards) +
                                        " only"};

    const auto relay = topic_number(parts[4], relay_count);
    if (!relay || *relay < 1)
        return Refusal{error_topic, "refused a set for relay " + shown(parts[4]) + " of board " +
                                        std::to_string(address) + ": relays are 1..16"};

    if (retained)
        return Refusal{error_topic,
                       "dropped a retained set for " + relay_of_board(*relay, address) +
                           ": a command kept on the broker would switch the relay again at "
                           "every start; publish sets without the retain flag"};

    if (parts[5] == "pulse") {
        const auto ms = protocol::parse_seconds_ms(payload, 100, 86'400'000);
        if (!ms)
            return Refusal{error_topic, "refused the pulse " + shown(payload) + " for " +
                                            relay_of_board(*relay, address) +
                                            ": a pulse is 0.1 .. 86400 seconds, e.g. 1.5"};
        return SetCommand{address, *relay, true, ms};
    }
    if (payload != on_payload && payload != off_payload)
        return Refusal{error_topic, "refused the payload " + shown(payload) + " for " +
                                        relay_of_board(*relay, address) +
                                        ": only ON or OFF, exactly, switch a relay"};

    return SetCommand{address, *relay, payload == on_payload, std::nullopt};
}

}  // namespace tarnwick::mqtt

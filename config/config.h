#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/board_rules.h"
#include "mqtt/options.h"
#include "protocol/board_family.h"
#include "service/schedule_time.h"

// tarnwickd.conf: one [line NAME] section per serial line, and optional
// [board LINE ADDRESS] sections for the behaviours of one board. The service
// runs what it says; the panel and tarnwick-ctl honour a board's interlocks
// when they drive its line themselves. The file is
// read strictly: an unknown section or key, a key given twice, a value that
// does not fit is refused with one sentence naming the place. Plain C++.
namespace tarnwick::config {

inline constexpr const char* default_config_path = "/etc/tarnwick/tarnwickd.conf";

// tick: one frame per 50 ms, as the panel; answer: the next frame as soon as
// the answer is in.
enum class Pace { tick, answer };

struct LineConfig {
    std::string name;  // the section's; also the MQTT node
    std::string device;
    std::vector<std::uint8_t> boards{1};
    Pace pace = Pace::tick;
    // The boards' family and the serial settings: native 9600 8N1 unless
    // protocol=modbus.
    protocol::LineSettings settings;
    // The broker bridge of the line; nothing without mqtt=.
    std::optional<mqtt::ClientOptions> mqtt;
    std::string password_file;
    bool read_only = false;
    // From the [board LINE ADDRESS] sections of its boards.
    std::map<std::uint8_t, link::BoardRules> rules;
};

using link::PowerOn;

struct BoardConfig {
    std::string line;
    std::uint8_t address = 0;
    // Per relay 1..16 (index relay - 1).
    std::array<std::optional<int>, 16> pulse_ms{};
    std::vector<std::vector<int>> interlock;  // groups of relays 1..16
    int interlock_wait_ms = 100;
    std::array<PowerOn, 16> power_on{};
};

// Relays of one board of a line: bit r-1 of `mask` for relay r; `bits` the
// states a scene wants of them.
struct BoardRelays {
    std::string line;
    std::uint8_t address = 0;
    std::uint16_t mask = 0, bits = 0;
    friend bool operator==(const BoardRelays&, const BoardRelays&) = default;
};

// [scene NAME]: LINE/ADDRESS/RELAY=on|off, or LINE/ADDRESS/FIRST-LAST; one
// entry per board, in the order the boards first appear.
struct SceneConfig {
    std::string name;
    std::vector<BoardRelays> boards;
};

// [schedule NAME]: a window (relays=, on=, off=) or an event (scene=, at=),
// with days=, from=, until=.
struct ScheduleConfig {
    std::string name;
    std::vector<BoardRelays> relays;  // a window's, bits unused
    std::string scene;                // an event's
    service::when::Timing timing;
    [[nodiscard]] bool window() const { return timing.off.has_value(); }
};

struct Config {
    std::vector<LineConfig> lines;
    std::vector<BoardConfig> boards;
    std::optional<service::when::Site> site;
    std::vector<SceneConfig> scenes;
    std::vector<ScheduleConfig> schedules;
    // Usable, but worth a look: a password file others can read, a device
    // not there yet (the line waits for it).
    std::vector<std::string> warnings;
};

// The configuration, or one sentence saying where and what is wrong
// ("FILE:LINE: [line cabinet-3] boards: ...").
struct ConfigResult {
    std::optional<Config> config;
    std::string problem;
};

[[nodiscard]] link::BoardRules board_rules(const BoardConfig& board);

// The file under the state directory that keeps what the line must remember
// across restarts: "line-<name>.state", the name percent-encoded (RFC 3986:
// all but letters, digits and -._~).
[[nodiscard]] std::string state_file_name(std::string_view line);
// The longest file name Linux file systems take.
inline constexpr std::size_t max_file_name_bytes = 255;

// all: the files the text refers to (password, CA, devices) are looked at, as
// the service needs them; rules: they are not (a program that only wants the
// boards' rules, run by a user who may not read the password).
enum class Reading { all, rules };

// `file` only names the place in sentences.
[[nodiscard]] ConfigResult parse_config(std::string_view text, const std::string& file,
                                        Reading reading = Reading::all);
[[nodiscard]] ConfigResult read_config(const std::string& path, Reading reading = Reading::all);

// For a program that drives a line itself: the rules the configuration at
// `path` gives the boards of the line on `device` (the same device when both
// names lead to one file: a by-id link and its /dev/ttyUSB0), by address.
// Nothing when no line has that device or the file cannot be read or is not
// valid. `path` empty: $TARNWICK_SERVICE_CONFIG, else the default.
[[nodiscard]] std::map<std::uint8_t, link::BoardRules> rules_for_device(
    const std::string& device, const std::string& path = {});
// The same for the line's family and serial settings; nothing when no line
// has that device.
[[nodiscard]] std::optional<protocol::LineSettings> settings_for_device(
    const std::string& device, const std::string& path = {});

}  // namespace tarnwick::config

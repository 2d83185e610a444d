#include "config/config.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>

#include "config/time_sections.h"
#include "protocol/modbus.h"
#include "protocol/number_text.h"

namespace tarnwick::config {

namespace {

constexpr int relays = 16;
constexpr int pulse_min_ms = 100;
constexpr int pulse_max_ms = 86'400'000;
constexpr int interlock_wait_max_ms = 10'000;
// The keys of a line's family and serial settings.
const std::set<std::string, std::less<>> serial_keys{"protocol", "baud", "parity", "stop-bits",
                                                     "inputs"};

std::string_view trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

// A ';' after a blank starts a comment, as at the start of a line.
std::string_view without_comment(std::string_view line) {
    for (std::size_t i = 1; i < line.size(); ++i)
        if (line[i] == ';' && (line[i - 1] == ' ' || line[i - 1] == '\t')) return line.substr(0, i);
    return line;
}

std::string in_quotes(std::string_view text) {
    return "\"" + std::string(text) + "\"";
}

// mqtt/options.h words its sentences for serve's command line ("--boards
// \"x\": ..."); here the key names the place, so the option names go.
std::string in_file_words(std::string text) {
    if (text.rfind("--", 0) == 0) {
        const auto space = text.find(' ');
        text.erase(0, space == std::string::npos ? text.size() : space + 1);
        if (text.rfind('"', 0) == 0) {  // the value, already in the sentence's place
            const auto close = text.find("\": ", 1);
            if (close != std::string::npos) text.erase(0, close + 3);
        }
    }
    for (auto at = text.find("--"); at != std::string::npos; at = text.find("--", at))
        text.erase(at, 2);
    return text;
}

// Seconds with an optional fraction ("1.5"), as milliseconds.
std::optional<int> seconds_ms(std::string_view text, int min_ms, int max_ms) {
    const auto ms = protocol::parse_seconds_ms(text, min_ms, max_ms);
    if (!ms) return std::nullopt;
    return static_cast<int>(*ms);
}

std::optional<bool> boolean(std::string_view text) {
    if (text == "true" || text == "yes" || text == "on" || text == "1") return true;
    if (text == "false" || text == "no" || text == "off" || text == "0") return false;
    return std::nullopt;
}

std::optional<PowerOn> power_on(std::string_view text) {
    if (text == "keep") return PowerOn::keep;
    if (text == "off") return PowerOn::off;
    if (text == "on") return PowerOn::on;
    if (text == "last") return PowerOn::last;
    return std::nullopt;
}

std::optional<int> relay_number(std::string_view text) {
    const auto n = protocol::parse_whole_number(text);
    if (!n || *n < 1 || *n > relays) return std::nullopt;
    return *n;
}

// The same device under two names (a by-id link and its ttyUSB0) is one.
std::string device_identity(const std::string& path) {
    std::error_code error;
    const auto canonical = std::filesystem::weakly_canonical(path, error);
    return error ? path : canonical.string();
}

class Reader {
  public:
    Reader(std::string file, Reading reading) : file_(std::move(file)), reading_(reading) {}
    ConfigResult run(std::string_view text);

  private:
    struct Section {
        enum class Kind { none, line, board, site, scene, schedule } kind = Kind::none;
        std::string title;
        int at = 0;  // its header's line number
        std::map<std::string, int, std::less<>> keys;  // each with its line number
    };

    bool fail(std::string_view key, const std::string& why, int at = 0);
    bool header(std::string_view inside);
    bool entry(std::string_view key, std::string_view value);
    bool line_entry(LineConfig& line, std::string_view key, std::string_view value);
    bool serial_entry(LineConfig& line, std::string_view key, std::string_view value);
    bool check_serial(const LineConfig& line);
    bool board_entry(BoardConfig& board, std::string_view key, std::string_view value);
    bool interlock(BoardConfig& board, std::string_view value);
    bool end_section();
    bool end_line(LineConfig& line);
    bool end_board(const BoardConfig& board);
    bool cross_check();
    bool time_header(std::string_view kind, std::string_view name);
    bool time_entry(std::string_view key, std::string_view value);
    bool end_time_section();
    bool time_cross_check();
    void schedules_own_power_on();

    std::string file_;
    Reading reading_;
    int at_ = 0;  // the line being read
    Section section_;
    std::vector<int> line_at_, board_at_;  // header line of each entry of config_
    std::vector<time_sections::Keys> scene_keys_, schedule_keys_;
    std::uint16_t power_on_each_ = 0;      // the board's relays with a power-on.N line
    std::string mqtt_text_;
    Config config_;
    std::string problem_;
};

bool Reader::fail(std::string_view key, const std::string& why, int at) {
    problem_ = file_ + ":" + std::to_string(at ? at : at_) + ": ";
    if (!section_.title.empty()) problem_ += "[" + section_.title + (key.empty() ? "]: " : "] ");
    if (!key.empty()) problem_ += std::string(key) + ": ";
    problem_ += why;
    return false;
}

ConfigResult Reader::run(std::string_view text) {
    // Editors on Windows start UTF-8 with a byte order mark; it is no text.
    constexpr std::string_view bom = "\xEF\xBB\xBF";
    if (text.substr(0, bom.size()) == bom) text.remove_prefix(bom.size());
    std::size_t start = 0;
    bool ok = true;
    while (ok && start < text.size()) {
        auto end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        const std::string_view raw = text.substr(start, end - start);
        start = end + 1;
        ++at_;
        // A NUL would end a device's path early where the system reads it.
        const auto control = std::find_if(raw.begin(), raw.end(), [](char c) {
            return static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\r';
        });
        if (control != raw.end()) {
            char code[8];
            std::snprintf(code, sizeof code, "0x%02X", static_cast<unsigned char>(*control));
            ok = fail({}, std::string("the line holds the control character ") + code +
                              "; write it again as plain text");
            continue;
        }
        const std::string_view line = trimmed(without_comment(raw));
        if (line.empty() || line.front() == ';' || line.front() == '#') continue;
        if (line.front() == '[') {
            ok = line.back() == ']'
                     ? end_section() && header(trimmed(line.substr(1, line.size() - 2)))
                     : fail({}, "a section header ends with ']'");
            continue;
        }
        const auto equals = line.find('=');
        if (equals == std::string_view::npos) {
            ok = fail({}, in_quotes(line) + " is neither a section header nor KEY=VALUE");
            continue;
        }
        ok = entry(trimmed(line.substr(0, equals)), trimmed(line.substr(equals + 1)));
    }
    ok = ok && end_section();
    section_ = {};
    ok = ok && cross_check() && time_cross_check();
    if (ok) schedules_own_power_on();
    if (ok && config_.lines.empty()) ok = fail({}, "no [line NAME] section: nothing to run", 1);
    if (!ok) return {std::nullopt, problem_};
    for (const BoardConfig& board : config_.boards)
        for (LineConfig& line : config_.lines)
            if (line.name == board.line) line.rules[board.address] = board_rules(board);
    return {std::move(config_), {}};
}

bool Reader::header(std::string_view inside) {
    section_ = {};
    section_.at = at_;
    section_.title = std::string(inside);
    const auto space = inside.find(' ');
    const std::string_view kind = inside.substr(0, space);
    const std::string_view rest =
        space == std::string_view::npos ? std::string_view{} : trimmed(inside.substr(space + 1));
    if (kind == "line") {
        section_.kind = Section::Kind::line;
        if (rest.empty()) return fail({}, "a line needs a name: [line cabinet-3]");
        if (auto problem = mqtt::node_problem(rest))
            return fail({}, "the line's name " + in_file_words(*problem));
        if (state_file_name(rest).size() > max_file_name_bytes)
            return fail({}, "the line's name is too long: its state file " +
                                in_quotes(state_file_name(rest).substr(0, 24) + "…") +
                                " would pass " + std::to_string(max_file_name_bytes) + " bytes");
        for (const LineConfig& other : config_.lines)
            if (other.name == rest)
                return fail({}, "the line " + in_quotes(rest) + " is configured twice");
        config_.lines.push_back(LineConfig{});
        config_.lines.back().name = std::string(rest);
        line_at_.push_back(at_);
        return true;
    }
    if (kind == "board") {
        section_.kind = Section::Kind::board;
        const auto split = rest.find(' ');
        const auto address = split == std::string_view::npos
                                 ? std::nullopt
                                 : protocol::parse_whole_number(trimmed(rest.substr(split + 1)));
        if (!address || *address < 0 || *address > 255)
            return fail({}, "write a board's section as [board LINE ADDRESS], the address 0..255");
        BoardConfig board;
        power_on_each_ = 0;
        board.line = std::string(rest.substr(0, split));
        board.address = static_cast<std::uint8_t>(*address);
        for (const BoardConfig& other : config_.boards)
            if (other.line == board.line && other.address == board.address)
                return fail({}, "this board is configured twice");
        config_.boards.push_back(std::move(board));
        board_at_.push_back(at_);
        return true;
    }
    if (kind == "site" || kind == "scene" || kind == "schedule") return time_header(kind, rest);
    return fail({},
                "unknown section; the sections are [line NAME], [board LINE ADDRESS], [site], "
                "[scene NAME] and [schedule NAME]");
}

bool Reader::entry(std::string_view key, std::string_view value) {
    if (section_.kind == Section::Kind::none)
        return fail(key, "a key before any section; put it under [line NAME]");
    if (section_.keys.count(key)) return fail(key, "given twice in this section");
    section_.keys.emplace(key, at_);
    if (section_.kind == Section::Kind::line) return line_entry(config_.lines.back(), key, value);
    if (section_.kind == Section::Kind::board)
        return board_entry(config_.boards.back(), key, value);
    return time_entry(key, value);
}

bool Reader::line_entry(LineConfig& line, std::string_view key, std::string_view value) {
    if (key == "device") {
        if (value.empty() || value.front() != '/')
            return fail(key, "give the device's absolute path, e.g. /dev/ttyUSB0");
        line.device = std::string(value);
    } else if (key == "boards") {
        auto boards = mqtt::parse_boards(value);
        if (!boards) return fail(key, in_quotes(value) + ": " + in_file_words(boards.problem));
        if (boards.value->empty()) return fail(key, "no board");
        line.boards = std::move(*boards.value);
    } else if (key == "pace") {
        if (value == "tick")
            line.pace = Pace::tick;
        else if (value == "answer")
            line.pace = Pace::answer;
        else
            return fail(key, in_quotes(value) + " is neither tick nor answer");
    } else if (key == "read-only" || key == "allow-plaintext-password") {
        const auto flag = boolean(value);
        if (!flag) return fail(key, in_quotes(value) + " is neither true nor false");
        if (key == "read-only") {
            line.read_only = *flag;
        } else {
            if (!line.mqtt) line.mqtt.emplace();
            line.mqtt->allow_plaintext_password = *flag;
        }
    } else if (key == "mqtt") {
        if (value.empty()) return fail(key, "give the broker as HOST or HOST:PORT");
        mqtt_text_ = std::string(value);
    } else if (key == "username" || key == "tls-ca" || key == "password-file") {
        if (value.empty()) return fail(key, "empty; leave the key out instead");
        if (!line.mqtt) line.mqtt.emplace();
        if (key == "username") line.mqtt->username = std::string(value);
        if (key == "tls-ca") line.mqtt->tls_ca = std::string(value);
        if (key == "password-file") line.password_file = std::string(value);
    } else if (serial_keys.count(key)) {
        return serial_entry(line, key, value);
    } else {
        return fail(key,
                    "unknown key; a line takes device, boards, pace, protocol, baud, parity, "
                    "stop-bits, inputs, mqtt, username, password-file, tls-ca, "
                    "allow-plaintext-password and read-only");
    }
    return true;
}

bool Reader::serial_entry(LineConfig& line, std::string_view key, std::string_view value) {
    protocol::LineSettings& s = line.settings;
    if (key == "protocol") {
        const auto protocol = protocol::parse_protocol(value);
        if (!protocol) return fail(key, in_quotes(value) + " is neither native nor modbus");
        s.protocol = *protocol;
    } else if (key == "baud") {
        const auto baud = protocol::parse_unsigned(value, 1'000'000);
        if (!baud || !protocol::usable_baud(static_cast<int>(*baud)))
            return fail(key, in_quotes(value) +
                                 " is none of 1200, 2400, 4800, 9600, 19200, 38400, 57600 "
                                 "and 115200");
        s.baud = static_cast<int>(*baud);
    } else if (key == "parity") {
        const auto parity = protocol::parse_parity(value);
        if (!parity) return fail(key, in_quotes(value) + " is none of none, even and odd");
        s.parity = *parity;
    } else if (key == "stop-bits") {
        if (value != "1" && value != "2")
            return fail(key, in_quotes(value) + " is neither 1 nor 2");
        s.stop_bits = value == "2" ? 2 : 1;
    } else {
        const auto inputs = protocol::parse_unsigned(value, protocol::max_inputs);
        if (!inputs) return fail(key, in_quotes(value) + " is no number of inputs 0..16");
        s.inputs = static_cast<int>(*inputs);
    }
    return true;
}

// Once the whole section is read: protocol= may come after the keys it
// allows, boards= before or after protocol=.
bool Reader::check_serial(const LineConfig& line) {
    if (line.settings.protocol == protocol::Protocol::native) {
        for (const auto& [key, at] : section_.keys)
            if (key != "protocol" && serial_keys.count(key))
                return fail(key,
                            "only on a Modbus line (protocol=modbus); native boards run at "
                            "9600 baud, 8N1, without inputs",
                            at);
        return true;
    }
    const auto boards = section_.keys.find("boards");
    const int at = boards == section_.keys.end() ? section_.at : boards->second;
    for (const std::uint8_t address : line.boards) {
        if (address == 0)
            return fail("boards", "address 0 is the broadcast of a Modbus line; units are 1..247",
                        at);
        if (address > protocol::modbus::last_unit)
            return fail("boards",
                        "address " + std::to_string(address) +
                            " is past 247, the last unit of a Modbus line",
                        at);
    }
    return true;
}

bool Reader::board_entry(BoardConfig& board, std::string_view key, std::string_view value) {
    const auto dot = key.find('.');
    const std::string_view base = key.substr(0, dot);
    std::optional<int> relay;
    if (dot != std::string_view::npos) {
        relay = relay_number(key.substr(dot + 1));
        // pulse.01 and pulse.+1 would be pulse.1 given twice, unseen.
        if (relay && std::to_string(*relay) != key.substr(dot + 1))
            return fail(key, "write the relay as 1..16, without sign or leading zero: " +
                                 std::string(base) + "." + std::to_string(*relay));
        if (!relay || (base != "pulse" && base != "power-on"))
            return fail(key,
                        "unknown key; a board takes pulse.N and power-on.N for relays "
                        "1..16, interlock, interlock-wait and power-on");
    }
    if (base == "pulse" && relay) {
        const auto ms = seconds_ms(value, pulse_min_ms, pulse_max_ms);
        if (!ms) return fail(key, in_quotes(value) + " is no time of 0.1 ... 86400 seconds");
        board.pulse_ms[*relay - 1] = ms;
    } else if (base == "power-on") {
        const auto mode = power_on(value);
        if (!mode) return fail(key, in_quotes(value) + " is none of off, on, last and keep");
        // power-on.N lines override power-on=, before or after it.
        if (relay) {
            board.power_on[*relay - 1] = *mode;
            power_on_each_ |= static_cast<std::uint16_t>(1U << (*relay - 1));
        } else {
            for (std::size_t i = 0; i < board.power_on.size(); ++i)
                if (!(power_on_each_ & (1U << i))) board.power_on[i] = *mode;
        }
    } else if (key == "interlock-wait") {
        const auto ms = seconds_ms(value, 0, interlock_wait_max_ms);
        if (!ms) return fail(key, in_quotes(value) + " is no time of 0 ... 10 seconds");
        board.interlock_wait_ms = *ms;
    } else if (key == "interlock") {
        return interlock(board, value);
    } else {
        return fail(key,
                    "unknown key; a board takes pulse.N and power-on.N for relays 1..16, "
                    "interlock, interlock-wait and power-on");
    }
    return true;
}

// "1,2 3,4,6": groups apart by blanks, relays within a group by commas.
bool Reader::interlock(BoardConfig& board, std::string_view value) {
    std::istringstream groups{std::string(value)};
    std::array<bool, relays + 1> used{};
    for (std::string text; groups >> text;) {
        std::vector<int> group;
        std::istringstream items(text);
        for (std::string item; std::getline(items, item, ',');) {
            const auto relay = relay_number(item);
            if (!relay) return fail("interlock", in_quotes(item) + " is no relay 1..16");
            if (used[*relay])
                return fail("interlock",
                            "relay " + std::to_string(*relay) + " is in two groups (or twice)");
            used[*relay] = true;
            group.push_back(*relay);
        }
        if (group.size() < 2)
            return fail("interlock", "the group " + in_quotes(text) + " needs two relays or more");
        board.interlock.push_back(std::move(group));
    }
    if (board.interlock.empty()) return fail("interlock", "no group, e.g. interlock=1,2 3,4");
    return true;
}

bool Reader::end_section() {
    if (section_.kind == Section::Kind::line) return end_line(config_.lines.back());
    if (section_.kind == Section::Kind::board) return end_board(config_.boards.back());
    return end_time_section();
}

bool Reader::time_header(std::string_view kind, std::string_view name) {
    namespace ts = time_sections;
    if (kind == "site") {
        section_.kind = Section::Kind::site;
        if (!name.empty()) return fail({}, "the site has no name: [site]");
        if (config_.site) return fail({}, "the site is configured twice");
        config_.site.emplace();
        return true;
    }
    if (auto problem = ts::name_problem(kind, name))
        return fail({}, name.empty()
                            ? *problem
                            : "the " + std::string(kind) + "'s name " + in_file_words(*problem));
    if (kind == "scene") {
        section_.kind = Section::Kind::scene;
        for (const SceneConfig& other : config_.scenes)
            if (other.name == name) return fail({}, "this scene is configured twice");
        config_.scenes.push_back({std::string(name), {}});
        return true;
    }
    section_.kind = Section::Kind::schedule;
    for (const ScheduleConfig& other : config_.schedules)
        if (other.name == name) return fail({}, "this schedule is configured twice");
    config_.schedules.push_back({});
    config_.schedules.back().name = std::string(name);
    return true;
}

bool Reader::time_entry(std::string_view key, std::string_view value) {
    namespace ts = time_sections;
    ts::Problem problem;
    if (section_.kind == Section::Kind::site)
        problem = ts::site_entry(*config_.site, key, value);
    else if (section_.kind == Section::Kind::scene)
        problem = ts::scene_entry(config_.scenes.back(), key, value);
    else
        problem = ts::schedule_entry(config_.schedules.back(), key, value);
    return problem ? fail(key, *problem) : true;
}

bool Reader::end_time_section() {
    namespace ts = time_sections;
    std::optional<ts::Placed> problem;
    if (section_.kind == Section::Kind::site) problem = ts::end_site(section_.keys);
    if (section_.kind == Section::Kind::scene) scene_keys_.push_back(section_.keys);
    if (section_.kind == Section::Kind::schedule) {
        schedule_keys_.push_back(section_.keys);
        problem = ts::end_schedule(config_.schedules.back(), section_.keys);
    }
    if (problem) return fail(problem->key, problem->why, problem->at ? problem->at : section_.at);
    return true;
}

bool Reader::time_cross_check() {
    const auto problem =
        time_sections::cross_check(config_, scene_keys_, schedule_keys_, section_.title);
    if (problem) return fail(problem->key, problem->why, problem->at);
    for (ScheduleConfig& schedule : config_.schedules) schedule.timing.site = config_.site;
    return true;
}

// A window's relay is set by its schedule whenever its board comes up, so
// power-on leaves it alone.
void Reader::schedules_own_power_on() {
    for (const ScheduleConfig& schedule : config_.schedules)
        for (const BoardRelays& window : schedule.relays)
            for (BoardConfig& board : config_.boards) {
                if (board.line != window.line || board.address != window.address) continue;
                for (int r = 1; r <= relays; ++r) {
                    auto& mode = board.power_on[static_cast<std::size_t>(r - 1)];
                    if (!(window.mask & (1U << (r - 1))) || mode == PowerOn::keep) continue;
                    mode = PowerOn::keep;
                    config_.warnings.push_back(
                        file_ + ": [board " + board.line + " " + std::to_string(board.address) +
                        "] power-on." + std::to_string(r) + ": the relay is in [schedule " +
                        schedule.name + "], which sets it when the board comes up");
                }
            }
}

bool Reader::end_line(LineConfig& line) {
    const int at = section_.at;
    if (line.device.empty()) return fail("device", "missing; every line needs its device", at);
    if (!check_serial(line)) return false;
    if (line.mqtt && mqtt_text_.empty()) {
        return fail("mqtt",
                    "missing; username, password-file, tls-ca and allow-plaintext-password are "
                    "for the broker",
                    at);
    }
    if (!mqtt_text_.empty()) {
        if (!line.mqtt) line.mqtt.emplace();
        auto broker = mqtt::parse_broker(mqtt_text_, !line.mqtt->tls_ca.empty());
        if (!broker)
            return fail("mqtt", in_quotes(mqtt_text_) + ": " + in_file_words(broker.problem), at);
        line.mqtt->broker = *broker.value;
        line.mqtt->node = line.name;
    }
    if (!mqtt_text_.empty() && reading_ == Reading::all) {
        const auto password = mqtt::read_password(line.password_file, nullptr);
        if (!password.problem.empty()) return fail("password-file", password.problem, at);
        if (!password.warning.empty())
            config_.warnings.push_back(file_ + ":" + std::to_string(at) + ": [" + section_.title +
                                       "] password-file: " + password.warning);
        line.mqtt->password = password.value;
        if (auto problem = mqtt::options_problem(*line.mqtt))
            return fail({}, in_file_words(*problem), at);
    }
    mqtt_text_.clear();
    if (reading_ == Reading::all && !std::filesystem::exists(line.device))
        config_.warnings.push_back(file_ + ":" + std::to_string(at) + ": [" + section_.title +
                                   "] device: " + line.device +
                                   " does not exist; the line waits for it");
    return true;
}

bool Reader::end_board(const BoardConfig& board) {
    for (const auto& group : board.interlock)
        for (int relay : group) {
            const auto i = static_cast<std::size_t>(relay - 1);
            if (board.pulse_ms[i] && board.power_on[i] == PowerOn::on)
                return fail("pulse." + std::to_string(relay),
                            "relay " + std::to_string(relay) +
                                " is interlocked, pulsed and switched on at power-on; "
                                "give it power-on=off or keep",
                            section_.at);
            for (int other : group)
                if (other != relay && board.power_on[i] == PowerOn::on &&
                    board.power_on[static_cast<std::size_t>(other - 1)] == PowerOn::on)
                    return fail("power-on",
                                "relays " + std::to_string(relay) + " and " +
                                    std::to_string(other) +
                                    " are interlocked and both switched on at power-on",
                                section_.at);
        }
    return true;
}

// What one section cannot see: the devices of the other lines, the line of a
// board.
bool Reader::cross_check() {
    std::vector<std::string> seen;
    for (std::size_t i = 0; i < config_.lines.size(); ++i) {
        const LineConfig& line = config_.lines[i];
        const std::string identity = device_identity(line.device);
        const auto found = std::find(seen.begin(), seen.end(), identity);
        if (found != seen.end()) {
            section_.title = "line " + line.name;
            return fail("device",
                        line.device + " is the device of the line " +
                            config_.lines[static_cast<std::size_t>(found - seen.begin())].name +
                            " too; one line per device",
                        line_at_[i]);
        }
        seen.push_back(identity);
    }
    for (std::size_t i = 0; i < config_.boards.size(); ++i) {
        const BoardConfig& board = config_.boards[i];
        section_.title = "board " + board.line + " " + std::to_string(board.address);
        const auto line = std::find_if(config_.lines.begin(), config_.lines.end(),
                                       [&](const LineConfig& l) { return l.name == board.line; });
        if (line == config_.lines.end())
            return fail({}, "there is no [line " + board.line + "]", board_at_[i]);
        if (std::find(line->boards.begin(), line->boards.end(), board.address) ==
            line->boards.end())
            return fail({},
                        "board " + std::to_string(board.address) + " is not in the boards=" +
                            mqtt::boards_text(line->boards) + " of its line",
                        board_at_[i]);
    }
    return true;
}

}  // namespace

std::string state_file_name(std::string_view line) {
    std::string name = "line-";
    for (const char c : line) {
        const auto byte = static_cast<unsigned char>(c);
        if (std::isalnum(byte) && byte < 0x80) {
            name += c;
        } else if (c == '-' || c == '.' || c == '_' || c == '~') {
            name += c;
        } else {
            constexpr const char* hex = "0123456789ABCDEF";
            name += '%';
            name += hex[byte >> 4];
            name += hex[byte & 15];
        }
    }
    return name + ".state";
}

link::BoardRules board_rules(const BoardConfig& board) {
    link::BoardRules rules;
    for (std::size_t i = 0; i < board.pulse_ms.size(); ++i)
        if (board.pulse_ms[i]) rules.pulse[i] = std::chrono::milliseconds(*board.pulse_ms[i]);
    for (const std::vector<int>& group : board.interlock) {
        std::uint16_t mask = 0;
        for (const int relay : group) mask |= static_cast<std::uint16_t>(1U << (relay - 1));
        rules.groups.push_back(mask);
    }
    rules.interlock_wait = std::chrono::milliseconds(board.interlock_wait_ms);
    rules.power_on = board.power_on;
    return rules;
}

ConfigResult parse_config(std::string_view text, const std::string& file, Reading reading) {
    return Reader(file, reading).run(text);
}

// A regular file of at most 1 MiB, opened without waiting on a FIFO.
ConfigResult read_config(const std::string& path, Reading reading) {
    constexpr std::uintmax_t max_bytes = 1 << 20;
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return {std::nullopt, "cannot read " + path + ": " + std::strerror(errno)};
    struct stat info {};
    std::string text;
    const bool regular = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    if (regular && static_cast<std::uintmax_t>(info.st_size) <= max_bytes) {
        text.resize(static_cast<std::size_t>(info.st_size));
        const ssize_t n = ::read(fd, text.data(), text.size());
        text.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    }
    ::close(fd);
    if (!regular) return {std::nullopt, path + " is not a regular file"};
    if (static_cast<std::uintmax_t>(info.st_size) > max_bytes)
        return {std::nullopt, path + " is larger than 1 MiB"};
    return parse_config(text, path, reading);
}

namespace {
// Both names lead to one file (std::filesystem::equivalent refuses devices).
bool same_file(const std::string& a, const std::string& b) {
    struct stat first {
    }, second{};
    if (::stat(a.c_str(), &first) != 0 || ::stat(b.c_str(), &second) != 0) return false;
    return first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}
}  // namespace

namespace {
// The line on `device` in the configuration at `path` (empty: the variable,
// else the default); nothing when there is none or the file will not do.
std::optional<LineConfig> line_for_device(const std::string& device, const std::string& path) {
    std::string file = path;
    if (file.empty()) {
        const char* variable = std::getenv("TARNWICK_SERVICE_CONFIG");
        file = variable && *variable ? variable : default_config_path;
    }
    std::error_code error;
    if (!std::filesystem::exists(file, error)) return std::nullopt;
    ConfigResult read = read_config(file, Reading::rules);
    if (!read.config) return std::nullopt;
    for (LineConfig& line : read.config->lines)
        if (same_file(line.device, device)) return std::move(line);
    return std::nullopt;
}
}  // namespace

std::map<std::uint8_t, link::BoardRules> rules_for_device(const std::string& device,
                                                          const std::string& path) {
    auto line = line_for_device(device, path);
    return line ? std::move(line->rules) : std::map<std::uint8_t, link::BoardRules>{};
}

std::optional<protocol::LineSettings> settings_for_device(const std::string& device,
                                                          const std::string& path) {
    const auto line = line_for_device(device, path);
    if (!line) return std::nullopt;
    return line->settings;
}

}  // namespace tarnwick::config

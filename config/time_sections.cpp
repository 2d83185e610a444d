#include "config/time_sections.h"

#include <algorithm>
#include <array>
#include <bit>

#include "mqtt/options.h"
#include "protocol/frame.h"
#include "protocol/number_text.h"

namespace tarnwick::config::time_sections {

namespace when = service::when;

namespace {

constexpr int relays = 16;

std::string quoted(std::string_view text) {
    return "\"" + std::string(text) + "\"";
}

std::string ref_text(const BoardRelays& b) {
    return b.line + "/" + std::to_string(b.address);
}

// "cabinet-3/7/2" or "cabinet-3/7/2-6"; the line's name may hold no '/'.
std::optional<BoardRelays> parse_ref(std::string_view text) {
    const auto last = text.rfind('/');
    if (last == std::string_view::npos || last == 0) return std::nullopt;
    const auto middle = text.rfind('/', last - 1);
    if (middle == std::string_view::npos || middle == 0) return std::nullopt;
    const auto address = protocol::parse_unsigned(text.substr(middle + 1, last - middle - 1), 255);
    const std::string_view span = text.substr(last + 1);
    const auto dash = span.find('-');
    const auto first = protocol::parse_unsigned(span.substr(0, dash), relays);
    const auto end = dash == std::string_view::npos ? first
                                                    : protocol::parse_unsigned(span.substr(dash + 1),
                                                                               relays);
    if (!address || !first || !end || *first < 1 || *end < *first) return std::nullopt;
    BoardRelays b{std::string(text.substr(0, middle)), static_cast<std::uint8_t>(*address), 0, 0};
    for (std::uint32_t r = *first; r <= *end; ++r) b.mask |= static_cast<std::uint16_t>(1U << (r - 1));
    return b;
}

// Adds the relays to the list, one entry per board; a relay given twice is
// refused.
Problem merge(std::vector<BoardRelays>& list, const BoardRelays& more, std::string_view what) {
    auto same = std::find_if(list.begin(), list.end(), [&](const BoardRelays& b) {
        return b.line == more.line && b.address == more.address;
    });
    if (same == list.end()) {
        list.push_back(more);
        return std::nullopt;
    }
    if (const auto twice = static_cast<std::uint16_t>(same->mask & more.mask))
        return "relay " + std::to_string(std::countr_zero(twice) + 1) + " of " + ref_text(more) +
               " is in this " + std::string(what) + " twice";
    same->mask |= more.mask;
    same->bits |= more.bits;
    return std::nullopt;
}

const char* ref_hint = "write relays as LINE/ADDRESS/RELAY or LINE/ADDRESS/FIRST-LAST, e.g. "
                       "cabinet-3/7/2-6";

Problem moment(std::optional<when::Moment>& into, std::string_view value) {
    into = when::parse_moment(value);
    if (!into)
        return quoted(value) +
               " is no time of day; write HH:MM[:SS], sunrise[+-HH:MM] or sunset[+-HH:MM]";
    return std::nullopt;
}

}  // namespace

Problem name_problem(std::string_view kind, std::string_view name) {
    if (name.empty()) return "a " + std::string(kind) + " needs a name: [" + std::string(kind) + " evening]";
    if (auto problem = mqtt::node_problem(name)) return problem;
    return std::nullopt;
}

Problem site_entry(when::Site& site, std::string_view key, std::string_view value) {
    const bool latitude = key == "latitude";
    if (!latitude && key != "longitude") return "unknown key; a site takes latitude and longitude";
    const double limit = latitude ? 90 : 180;
    const auto degrees = protocol::parse_decimal(value, -limit, limit);
    if (!degrees)
        return quoted(value) + " is no " + std::string(key) + " of -" +
               std::to_string(static_cast<int>(limit)) + " ... " +
               std::to_string(static_cast<int>(limit)) + " degrees, e.g. 52.52";
    (latitude ? site.latitude : site.longitude) = *degrees;
    return std::nullopt;
}

Problem scene_entry(SceneConfig& scene, std::string_view key, std::string_view value) {
    auto relays_of = parse_ref(key);
    if (!relays_of) return std::string("unknown key; ") + ref_hint;
    if (value != "on" && value != "off") return quoted(value) + " is neither on nor off";
    if (value == "on") relays_of->bits = relays_of->mask;
    return merge(scene.boards, *relays_of, "scene");
}

Problem schedule_entry(ScheduleConfig& schedule, std::string_view key, std::string_view value) {
    when::Timing& t = schedule.timing;
    if (key == "relays") {
        std::size_t start = 0;
        while (start <= value.size()) {
            const auto comma = std::min(value.find(',', start), value.size());
            const auto ref = parse_ref(value.substr(start, comma - start));
            if (!ref) return quoted(value.substr(start, comma - start)) + ": " + ref_hint;
            if (auto problem = merge(schedule.relays, *ref, "schedule")) return problem;
            start = comma + 1;
        }
    } else if (key == "on" || key == "at") {
        std::optional<when::Moment> m;
        if (auto problem = moment(m, value)) return problem;
        t.on = *m;
    } else if (key == "off") {
        return moment(t.off, value);
    } else if (key == "scene") {
        if (value.empty()) return std::string("empty; name a [scene NAME]");
        schedule.scene = std::string(value);
    } else if (key == "days") {
        const auto days = when::parse_days(value);
        if (!days) return quoted(value) + " is no list of days; write e.g. mon-fri or sat,sun";
        t.days = *days;
    } else if (key == "from" || key == "until") {
        const auto date = when::parse_date(value);
        if (!date) return quoted(value) + " is no date; write YYYY-MM-DD";
        (key == "from" ? t.from : t.until) = date;
    } else {
        return std::string("unknown key; a schedule takes relays, on, off, days, from, until "
                           "(a window) or scene, at, days, from, until (an event)");
    }
    return std::nullopt;
}

std::optional<Placed> end_site(const Keys& keys) {
    for (const char* key : {"latitude", "longitude"})
        if (!keys.count(key)) return Placed{key, "missing; a site needs latitude and longitude"};
    return std::nullopt;
}

std::optional<Placed> end_schedule(const ScheduleConfig& s, const Keys& keys) {
    const bool window = keys.count("relays") || keys.count("on") || keys.count("off");
    const bool event = keys.count("scene") || keys.count("at");
    if (window == event)
        return Placed{{},
                      window ? "give either relays, on and off (a window) or scene and at (an "
                               "event), not both"
                             : "a schedule needs relays, on and off (a window) or scene and at "
                               "(an event)"};
    static constexpr std::array<const char*, 3> window_keys{"relays", "on", "off"};
    static constexpr std::array<const char*, 3> event_keys{"scene", "at", nullptr};
    for (const char* key : window ? window_keys : event_keys)
        if (key && !keys.count(key))
            return Placed{key, window ? "missing; a window needs relays, on and off"
                                      : "missing; an event needs scene and at"};
    if (window && s.timing.off == s.timing.on)
        return Placed{"off", "the same time as on=; a window needs two times", keys.at("off")};
    if (s.timing.from && s.timing.until && *s.timing.until < *s.timing.from)
        return Placed{"until", "before from=", keys.at("until")};
    return std::nullopt;
}

namespace {

// The key of a scene's section that names relays of this board.
int scene_key_at(const Keys& keys, const BoardRelays& b) {
    const std::string prefix = ref_text(b) + "/";
    for (const auto& [key, at] : keys)
        if (key.rfind(prefix, 0) == 0) return at;
    return 0;
}

std::optional<std::string> board_problem(const Config& config, const BoardRelays& b) {
    const auto line = std::find_if(config.lines.begin(), config.lines.end(),
                                   [&](const LineConfig& l) { return l.name == b.line; });
    if (line == config.lines.end()) return "there is no [line " + b.line + "]";
    if (std::find(line->boards.begin(), line->boards.end(), b.address) == line->boards.end())
        return "board " + std::to_string(b.address) + " is not in the boards=" +
               mqtt::boards_text(line->boards) + " of the line " + b.line;
    return std::nullopt;
}

std::uint16_t pulsed(const Config& config, const BoardRelays& b) {
    std::uint16_t mask = 0;
    for (const BoardConfig& board : config.boards)
        if (board.line == b.line && board.address == b.address)
            for (int r = 1; r <= relays; ++r)
                if (board.pulse_ms[static_cast<std::size_t>(r - 1)])
                    mask |= static_cast<std::uint16_t>(1U << (r - 1));
    return mask;
}

std::optional<Placed> check_window(const Config& config, std::size_t i, const Keys& keys) {
    const ScheduleConfig& s = config.schedules[i];
    for (const BoardRelays& b : s.relays) {
        if (auto problem = board_problem(config, b)) return Placed{"relays", *problem, keys.at("relays")};
        if (const auto p = static_cast<std::uint16_t>(b.mask & pulsed(config, b)))
            return Placed{"relays",
                          "relay " + std::to_string(std::countr_zero(p) + 1) + " of " +
                              ref_text(b) + " has pulse." + std::to_string(std::countr_zero(p) + 1) +
                              "; a window's relay stays on until its end",
                          keys.at("relays")};
        for (std::size_t j = 0; j < i; ++j)
            for (const BoardRelays& other : config.schedules[j].relays)
                if (other.line == b.line && other.address == b.address && (other.mask & b.mask))
                    return Placed{"relays",
                                  "relay " + std::to_string(std::countr_zero(static_cast<std::uint16_t>(other.mask & b.mask)) + 1) +
                                      " of " + ref_text(b) + " is in the window of [schedule " +
                                      config.schedules[j].name + "] too",
                                  keys.at("relays")};
    }
    return std::nullopt;
}

}  // namespace

std::optional<Placed> cross_check(const Config& config, const std::vector<Keys>& scene_keys,
                                  const std::vector<Keys>& schedule_keys, std::string& title) {
    for (std::size_t i = 0; i < config.scenes.size(); ++i) {
        title = "scene " + config.scenes[i].name;
        for (const BoardRelays& b : config.scenes[i].boards)
            if (auto problem = board_problem(config, b))
                return Placed{ref_text(b), *problem, scene_key_at(scene_keys[i], b)};
    }
    for (std::size_t i = 0; i < config.schedules.size(); ++i) {
        const ScheduleConfig& s = config.schedules[i];
        const Keys& keys = schedule_keys[i];
        title = "schedule " + s.name;
        if (!s.window() &&
            std::none_of(config.scenes.begin(), config.scenes.end(),
                         [&](const SceneConfig& scene) { return scene.name == s.scene; }))
            return Placed{"scene", "there is no [scene " + s.scene + "]", keys.at("scene")};
        if (s.window())
            if (auto problem = check_window(config, i, keys)) return problem;
        for (const char* key : {"on", "off", "at"}) {
            const auto found = keys.find(key);
            if (found == keys.end() || config.site) continue;
            const bool sun = std::string_view(key) == "off" ? when::uses_sun(*s.timing.off)
                                                            : when::uses_sun(s.timing.on);
            if (sun)
                return Placed{key, "sunrise and sunset need the site: add [site] with latitude and "
                                   "longitude",
                              found->second};
        }
    }
    return std::nullopt;
}

}  // namespace tarnwick::config::time_sections

#include "service/schedule_time.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <numbers>
#include <utility>

#include "protocol/number_text.h"

namespace tarnwick::service::when {

namespace {

constexpr std::int64_t day_seconds = 86400;

std::int64_t floor_div(std::int64_t a, std::int64_t b) {
    return a / b - ((a % b != 0) && ((a < 0) != (b < 0)));
}

// Days since 1970-01-01 of a proleptic Gregorian date and back (Howard
// Hinnant's civil calendar algorithms).
std::int64_t day_number(const Date& date) {
    const std::int64_t y = date.year - (date.month <= 2);
    const std::int64_t era = floor_div(y, 400);
    const std::int64_t yoe = y - era * 400;
    const std::int64_t doy =
        (153 * (date.month + (date.month > 2 ? -3 : 9)) + 2) / 5 + date.day - 1;
    const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

Date date_of_day(std::int64_t days) {
    days += 719468;
    const std::int64_t era = floor_div(days, 146097);
    const std::int64_t doe = days - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    const int day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    const int month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    return {static_cast<int>(yoe + era * 400 + (month <= 2)), month, day};
}

// The local wall clock at an instant, in seconds since 1970-01-01 00:00 of
// that clock.
std::int64_t wall_of(std::int64_t instant) {
    const std::time_t t = instant;
    std::tm tm{};
    localtime_r(&t, &tm);
    return instant + tm.tm_gmtoff;
}

// The first instant whose wall clock reads `wall` or later. The offsets a
// day before and after give both readings of a fold; in a gap neither
// reads `wall`, and the clock jumps over it between the two.
std::int64_t instant_of_wall(std::int64_t wall) {
    const std::int64_t before = wall - (wall_of(wall - day_seconds) - (wall - day_seconds));
    const std::int64_t after = wall - (wall_of(wall + day_seconds) - (wall + day_seconds));
    std::int64_t lo = std::min(before, after), hi = std::max(before, after);
    if (wall_of(lo) == wall) return lo;
    if (wall_of(hi) == wall) return hi;
    if (wall_of(lo) >= wall) lo = wall - 2 * day_seconds;
    if (wall_of(hi) < wall) hi = wall + 2 * day_seconds;
    while (hi - lo > 1) {
        const std::int64_t mid = lo + (hi - lo) / 2;
        (wall_of(mid) >= wall ? hi : lo) = mid;
    }
    return hi;
}

// "HH:MM" or "HH:MM:SS", two digits each, in seconds up to `max`.
std::optional<int> clock_seconds(std::string_view text, int max) {
    if (text.size() != 5 && text.size() != 8) return std::nullopt;
    int total = 0;
    for (std::size_t i = 0; i < text.size(); i += 3) {
        if (i > 0 && text[i - 1] != ':') return std::nullopt;
        const auto part = protocol::parse_unsigned(text.substr(i, 2), i == 0 ? 99 : 59);
        if (!part) return std::nullopt;
        total = total * 60 + static_cast<int>(*part);
    }
    if (text.size() == 5) total *= 60;
    if (total > max) return std::nullopt;
    return total;
}

constexpr std::array<std::string_view, 7> day_names{"mon", "tue", "wed", "thu",
                                                    "fri", "sat", "sun"};

std::optional<int> day_index(std::string_view name) {
    const auto it = std::find(day_names.begin(), day_names.end(), name);
    if (it == day_names.end()) return std::nullopt;
    return static_cast<int>(it - day_names.begin());
}

}  // namespace

std::optional<Date> parse_date(std::string_view text) {
    if (text.size() != 10 || text[4] != '-' || text[7] != '-') return std::nullopt;
    const auto year = protocol::parse_unsigned(text.substr(0, 4), 2200);
    const auto month = protocol::parse_unsigned(text.substr(5, 2), 12);
    const auto day = protocol::parse_unsigned(text.substr(8, 2), 31);
    if (!year || !month || !day || *year < 1970) return std::nullopt;
    const Date date{static_cast<int>(*year), static_cast<int>(*month), static_cast<int>(*day)};
    // The 31st of April comes back as the 1st of May.
    if (date.month < 1 || date.day < 1 || date_of_day(day_number(date)) != date)
        return std::nullopt;
    return date;
}

std::string date_text(const Date& date) {
    std::array<char, 40> text{};
    std::snprintf(text.data(), text.size(), "%04d-%02d-%02d", date.year, date.month, date.day);
    return text.data();
}

Date add_days(const Date& date, int days) {
    return date_of_day(day_number(date) + days);
}

int weekday(const Date& date) {
    // 1970-01-01 was a Thursday.
    return static_cast<int>(((day_number(date) + 3) % 7 + 7) % 7);
}

std::optional<Moment> parse_moment(std::string_view text) {
    if (const auto seconds = clock_seconds(text, day_seconds - 1))
        return Moment{Moment::Kind::clock, *seconds};
    for (const auto& [name, kind] : {std::pair{std::string_view{"sunrise"}, Moment::Kind::sunrise},
                                     std::pair{std::string_view{"sunset"}, Moment::Kind::sunset}}) {
        if (!text.starts_with(name)) continue;
        const auto rest = text.substr(name.size());
        if (rest.empty()) return Moment{kind, 0};
        const int sign = rest[0] == '+' ? 1 : rest[0] == '-' ? -1 : 0;
        const auto offset = clock_seconds(rest.substr(1), 12 * 3600);
        if (sign == 0 || !offset) return std::nullopt;
        return Moment{kind, sign * *offset};
    }
    return std::nullopt;
}

bool uses_sun(const Moment& moment) {
    return moment.kind != Moment::Kind::clock;
}

std::optional<std::uint8_t> parse_days(std::string_view text) {
    std::uint8_t days = 0;
    while (true) {
        const auto comma = text.find(',');
        const auto item = text.substr(0, comma);
        const auto dash = item.find('-');
        const auto first = day_index(item.substr(0, dash));
        const auto last = dash == std::string_view::npos ? first : day_index(item.substr(dash + 1));
        if (!first || !last) return std::nullopt;
        // A range may run over Sunday into the next week: "sun-tue".
        for (int d = *first;; d = (d + 1) % 7) {
            days |= static_cast<std::uint8_t>(1U << d);
            if (d == *last) break;
        }
        if (comma == std::string_view::npos) return days;
        text.remove_prefix(comma + 1);
    }
}

Date local_date(std::int64_t instant) {
    return date_of_day(floor_div(wall_of(instant), day_seconds));
}

namespace {

constexpr double degree = std::numbers::pi / 180;

double wrap180(double angle) {
    return angle - 360 * std::floor((angle + 180) / 360);
}

struct SunPlace {
    double right_ascension, declination, sidereal;  // degrees; sidereal at Greenwich
};

// The sun's apparent place and the Greenwich apparent sidereal time at an
// instant (Meeus, Astronomical Algorithms, ch. 12 and 25: 0.01° for the sun).
SunPlace sun_place(double instant) {
    const double n = instant / day_seconds - 10957.5;  // days since J2000.0
    const double t = n / 36525;
    const double mean_long = 280.46646 + t * (36000.76983 + t * 0.0003032);
    const double anomaly = (357.52911 + t * (35999.05029 - t * 0.0001537)) * degree;
    const double centre = (1.914602 - t * (0.004817 + t * 0.000014)) * std::sin(anomaly) +
                          (0.019993 - 0.000101 * t) * std::sin(2 * anomaly) +
                          0.000289 * std::sin(3 * anomaly);
    const double node = (125.04 - 1934.136 * t) * degree;
    const double longitude = (mean_long + centre - 0.00569 - 0.00478 * std::sin(node)) * degree;
    const double mean_obliquity =
        23 + (26 + (21.448 - t * (46.815 + t * (0.00059 - t * 0.001813))) / 60) / 60;
    const double obliquity = (mean_obliquity + 0.00256 * std::cos(node)) * degree;
    const double mean_sidereal =
        std::fmod(280.46061837 + 360.98564736629 * n, 360) + t * t * (0.000387933 - t / 38710000);
    return {std::atan2(std::cos(obliquity) * std::sin(longitude), std::cos(longitude)) / degree,
            std::asin(std::sin(obliquity) * std::sin(longitude)) / degree,
            mean_sidereal - 0.00478 * std::sin(node) * std::cos(obliquity)};
}

// The sunrise or sunset within half a day of `guess`: the hour angle where
// the centre is 0.833° below the horizon, refined at the sun's place then.
std::optional<double> sun_crossing(double guess, const Site& site, bool rise) {
    const double latitude = site.latitude * degree;
    double at = guess;
    for (int i = 0; i < 10; ++i) {
        const SunPlace place = sun_place(at);
        const double declination = place.declination * degree;
        const double cos_h =
            (std::sin(-0.833 * degree) - std::sin(latitude) * std::sin(declination)) /
            (std::cos(latitude) * std::cos(declination));
        if (!(cos_h >= -1 && cos_h <= 1)) return std::nullopt;
        const double wanted = (rise ? -1 : 1) * std::acos(cos_h) / degree;
        const double hour_angle = place.sidereal + site.longitude - place.right_ascension;
        const double step = wrap180(wanted - hour_angle) / 360 * day_seconds;
        at += step;
        if (std::abs(step) < 0.5) return at;
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::int64_t> sun_instant(const Date& date, const Site& site, bool rise) {
    const auto noon = instant_of_wall(day_number(date) * day_seconds + day_seconds / 2);
    auto at = sun_crossing(static_cast<double>(noon), site, rise);
    // Far from the zone's meridian the nearest one may be the day's before or after.
    for (int tries = 0; at && tries < 2; ++tries) {
        const auto instant = std::llround(*at);
        const Date found = local_date(instant);
        if (found == date) return instant;
        at = sun_crossing(*at + (found < date ? day_seconds : -day_seconds), site, rise);
    }
    return std::nullopt;
}

std::optional<std::int64_t> instant_of(const Date& date, const Moment& moment,
                                       const std::optional<Site>& site) {
    if (moment.kind == Moment::Kind::clock)
        return instant_of_wall(day_number(date) * day_seconds + moment.seconds);
    if (!site) return std::nullopt;
    const auto sun = sun_instant(date, *site, moment.kind == Moment::Kind::sunrise);
    if (!sun) return std::nullopt;
    return *sun + moment.seconds;
}

namespace {

bool starts_on(const Timing& timing, const Date& day) {
    return (timing.days >> weekday(day) & 1U) != 0 && (!timing.from || *timing.from <= day) &&
           (!timing.until || day <= *timing.until);
}

bool uses_sun(const Timing& timing) {
    return uses_sun(timing.on) || (timing.off && uses_sun(*timing.off));
}

// The window of `day`; `sun_missing` set when it has none because the sun
// does not rise or set.
std::optional<Window> window_at(const Timing& timing, const Date& day, bool& sun_missing) {
    if (!starts_on(timing, day)) return std::nullopt;
    sun_missing = timing.site.has_value();
    const auto on = instant_of(day, timing.on, timing.site);
    if (!on) return std::nullopt;
    if (!timing.off) {
        sun_missing = false;
        return Window{*on, *on};
    }
    // Two clock times compare as written: 02:30-03:00 on the day the clocks
    // skip that hour is an empty window, not one of a day.
    const bool clocks = !uses_sun(timing);
    std::optional<std::int64_t> off;
    if (!clocks || timing.off->seconds > timing.on.seconds)
        off = instant_of(day, *timing.off, timing.site);
    if (!off || (!clocks && *off <= *on))
        off = instant_of(add_days(day, 1), *timing.off, timing.site);
    if (!off) return std::nullopt;
    sun_missing = false;
    if (*off <= *on) return std::nullopt;
    return Window{*on, *off};
}

// The days before a day whose windows may still be open on it: a clock
// window ends the next day; a sun time with its offset may fall a day off.
int days_back(const Timing& timing) {
    return uses_sun(timing) ? 3 : 1;
}

// The edges of a timing in time order, day by day: windows that overlap or
// touch are one stretch, with one on and one off; an event is an on alone.
class EdgeWalk {
  public:
    EdgeWalk(const Timing& timing, const Date& first, const Date& horizon)
        : timing_(timing), day_(first), horizon_(horizon), margin_(uses_sun(timing) ? 1 : 0) {
        if (timing.from && day_ < *timing.from) day_ = *timing.from;
    }

    std::optional<Edge> next() {
        if (queued_) return std::exchange(queued_, std::nullopt);
        while (true) {
            // No window from this day on can start before the stretch ends.
            if (open_ && add_days(open_date_, margin_) < day_)
                return std::exchange(open_, std::nullopt);
            if (day_ > horizon_ || (timing_.until && day_ > *timing_.until)) {
                // Past `until` no window follows; past the horizon one might.
                if (open_ && timing_.until && day_ > *timing_.until)
                    return std::exchange(open_, std::nullopt);
                return std::nullopt;
            }
            if (auto edge = step()) return edge;
        }
    }

    std::vector<Date> skipped;

  private:
    std::optional<Edge> step() {
        const Date day = day_;
        day_ = add_days(day_, 1);
        bool sun_missing = false;
        const auto window = window_at(timing_, day, sun_missing);
        if (sun_missing) skipped.push_back(day);
        if (!window) return std::nullopt;
        const Edge on{window->on, true, day};
        if (!timing_.off) return on;
        if (open_ && window->on <= open_->at) {
            if (window->off > open_->at) extend({window->off, false, day});
            return std::nullopt;
        }
        auto closed = std::exchange(open_, std::nullopt);
        extend({window->off, false, day});
        if (!closed) return on;
        queued_ = on;
        return closed;
    }

    void extend(const Edge& off) {
        open_ = off;
        open_date_ = local_date(off.at);
    }

    const Timing& timing_;
    Date day_, horizon_;
    int margin_;
    std::optional<Edge> open_;  // the off of the stretch open so far
    Date open_date_;
    std::optional<Edge> queued_;
};

}  // namespace

std::optional<Window> window_of(const Timing& timing, const Date& day) {
    bool sun_missing = false;
    return window_at(timing, day, sun_missing);
}

std::optional<Edge> next_edge(const Timing& timing, std::int64_t after,
                              std::vector<Date>* skipped) {
    const Date today = local_date(after);
    EdgeWalk walk(timing, add_days(today, -days_back(timing)), add_days(today, 400));
    auto edge = walk.next();
    while (edge && edge->at <= after) edge = walk.next();
    if (skipped) {
        // Days from today up to the edge's: a walk from one edge to the next
        // reports each day once.
        const Date end = edge ? local_date(edge->at) : add_days(today, 401);
        for (const Date& day : walk.skipped)
            if (today <= day && day < end) skipped->push_back(day);
    }
    return edge;
}

std::optional<Edge> last_edge(const Timing& timing, std::int64_t at) {
    const Date today = local_date(at);
    EdgeWalk walk(timing, add_days(today, -days_back(timing) - 2), add_days(today, 2));
    std::optional<Edge> last;
    for (auto edge = walk.next(); edge && edge->at <= at; edge = walk.next())
        if (edge->at >= at - 2 * day_seconds) last = edge;
    return last;
}

bool inside(const Timing& timing, std::int64_t at) {
    if (!timing.off) return false;
    const Date today = local_date(at);
    EdgeWalk walk(timing, add_days(today, -days_back(timing) - 1), add_days(today, 2));
    bool in = false;
    for (auto edge = walk.next(); edge && edge->at <= at; edge = walk.next()) in = edge->on;
    return in;
}

}  // namespace tarnwick::service::when

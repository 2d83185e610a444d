#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// When a schedule acts: local times of day, sunrise and sunset, days of the
// week and dates, turned into instants (seconds since the epoch) in the
// process's time zone (TZ, else /etc/localtime, as localtime_r has it).
// Plain C++, no clock of its own: every function is told the instant.
//
// Daylight saving time as cron has it: a local time that does not exist that
// day happens at the first instant after the gap; one that occurs twice
// happens at its first occurrence only. Each edge of a day happens exactly
// once.
namespace tarnwick::service::when {

struct Date {
    int year = 1970, month = 1, day = 1;
    friend auto operator<=>(const Date&, const Date&) = default;
};
// "2026-04-01"; nothing unless a real date in 1970..2200.
[[nodiscard]] std::optional<Date> parse_date(std::string_view text);
[[nodiscard]] std::string date_text(const Date& date);
[[nodiscard]] Date add_days(const Date& date, int days);
// 0 Monday .. 6 Sunday.
[[nodiscard]] int weekday(const Date& date);

struct Site {
    double latitude = 0;   // degrees north, -90..90
    double longitude = 0;  // degrees east, -180..180
};

// A time of the day: a clock time, or the sun's rise or set with an offset.
struct Moment {
    enum class Kind { clock, sunrise, sunset };
    Kind kind = Kind::clock;
    int seconds = 0;  // clock: 0..86399 after midnight; sun: the offset, may be negative
    friend bool operator==(const Moment&, const Moment&) = default;
};
// "06:00", "06:00:30", "sunrise", "sunset+00:30", "sunrise-01:00"; offsets
// up to 12 h. Nothing when it is none of these.
[[nodiscard]] std::optional<Moment> parse_moment(std::string_view text);
[[nodiscard]] bool uses_sun(const Moment& moment);

// Days of the week, bit 0 Monday .. bit 6 Sunday.
inline constexpr std::uint8_t every_day = 0x7f;
// "mon-fri", "sat,sun", "mon,wed-fri", "sun-tue" (wrapping); nothing when not.
[[nodiscard]] std::optional<std::uint8_t> parse_days(std::string_view text);

// The sun's upper limb at the horizon with standard refraction (the centre
// 0.833° below it), for the sunrise or sunset of the local date `date` at
// `site`; nothing when the sun does not rise or set that day there.
[[nodiscard]] std::optional<std::int64_t> sun_instant(const Date& date, const Site& site,
                                                      bool rise);

// The instant of `moment` on the local date `date` (DST as above); nothing
// when it is a sun time and the sun does not rise or set that day, or a sun
// time without a site.
[[nodiscard]] std::optional<std::int64_t> instant_of(const Date& date, const Moment& moment,
                                                     const std::optional<Site>& site);
// The local date of an instant.
[[nodiscard]] Date local_date(std::int64_t instant);

// A schedule's times: a window (on and off) or an event (on alone).
struct Timing {
    Moment on;
    std::optional<Moment> off;  // a window's end; none for an event
    std::uint8_t days = every_day;  // the days a window or event starts on
    std::optional<Date> from, until;  // starting days, both included
    std::optional<Site> site;
};

struct Edge {
    std::int64_t at = 0;
    bool on = true;  // a window's start or an event; false: a window's end
    Date day;        // the local date its window or event starts on
    friend bool operator==(const Edge&, const Edge&) = default;
};

// The window of `day`, when it has one: on at its start, off at its end
// (the next day when the off time comes before the on time). Nothing when
// the day is not one of its days, or a sun time does not happen then.
struct Window {
    std::int64_t on = 0, off = 0;
};
[[nodiscard]] std::optional<Window> window_of(const Timing& timing, const Date& day);

// The first edge after `after` (strictly), looking at most 400 days ahead;
// `skipped`, when given, gets the days whose window or event was skipped
// because the sun does not rise or set then.
[[nodiscard]] std::optional<Edge> next_edge(const Timing& timing, std::int64_t after,
                                            std::vector<Date>* skipped = nullptr);
// The last edge at or before `at`, looking at most 2 days back.
[[nodiscard]] std::optional<Edge> last_edge(const Timing& timing, std::int64_t at);
// A window: whether `at` is inside one (on <= at < off).
[[nodiscard]] bool inside(const Timing& timing, std::int64_t at);

}  // namespace tarnwick::service::when

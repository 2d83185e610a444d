#include "service/schedule_time.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <map>
#include <optional>
#include <string>
#include <utility>

using namespace tarnwick::service::when;

namespace {

// The process's zone for one test; the one before comes back after it.
class Zone {
  public:
    explicit Zone(const std::string& tz) {
        if (const char* old = std::getenv("TZ")) old_ = old;
        setenv("TZ", tz.c_str(), 1);
        tzset();
    }
    ~Zone() {
        if (old_)
            setenv("TZ", old_->c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }
    Zone(const Zone&) = delete;
    Zone& operator=(const Zone&) = delete;

  private:
    std::optional<std::string> old_;
};

Date date(const char* text) {
    return parse_date(text).value();
}
Moment moment(const char* text) {
    return parse_moment(text).value();
}

Timing window(const char* on, const char* off, const char* days = "mon-sun") {
    return {moment(on), moment(off), parse_days(days).value(), {}, {}, {}};
}

constexpr std::int64_t none = -1;
struct SunRow {
    double latitude, longitude;
    int offset_hours;
    const char* date;
    std::int64_t rise, set;
};
// PyEphem's sunrises and sunsets (tests/support/sun_reference.py).
constexpr SunRow sun_rows[] = {
#include "tests/service/sun_reference.inc"
};

}  // namespace

TEST(Dates, StrictDatesInRange) {
    struct {
        const char* text;
        std::optional<Date> expected;
    } cases[] = {{"2026-04-01", Date{2026, 4, 1}},
                 {"1970-01-01", Date{1970, 1, 1}},
                 {"2200-12-31", Date{2200, 12, 31}},
                 {"2028-02-29", Date{2028, 2, 29}},
                 {"2000-02-29", Date{2000, 2, 29}},
                 {"2100-02-29", std::nullopt},
                 {"2026-02-29", std::nullopt},
                 {"2026-04-31", std::nullopt},
                 {"2026-13-01", std::nullopt},
                 {"2026-00-10", std::nullopt},
                 {"2026-01-00", std::nullopt},
                 {"1969-12-31", std::nullopt},
                 {"2201-01-01", std::nullopt},
                 {"2026-4-01", std::nullopt},
                 {"2026/04/01", std::nullopt},
                 {"2026-04-01 ", std::nullopt},
                 {"+026-04-01", std::nullopt},
                 {"2026-04-+1", std::nullopt},
                 {"", std::nullopt}};
    for (const auto& c : cases) EXPECT_EQ(parse_date(c.text), c.expected) << c.text;
}

TEST(Dates, WeekdaysAndDayArithmetic) {
    // Weekdays as coreutils' date names them.
    struct {
        const char* day;
        int weekday;
    } days[] = {{"1970-01-01", 3}, {"2000-02-29", 1}, {"2100-03-01", 0},
                {"2200-12-31", 2}, {"2026-06-12", 4}, {"2026-06-14", 6}};
    for (const auto& d : days) EXPECT_EQ(weekday(date(d.day)), d.weekday) << d.day;
    struct {
        const char* from;
        int days;
        const char* to;
    } steps[] = {{"2026-12-31", 1, "2027-01-01"},   {"2028-02-28", 1, "2028-02-29"},
                 {"2100-02-28", 1, "2100-03-01"},   {"2026-03-01", -1, "2026-02-28"},
                 {"2026-01-01", 400, "2027-02-05"}, {"1970-01-01", 0, "1970-01-01"}};
    for (const auto& s : steps) EXPECT_EQ(date_text(add_days(date(s.from), s.days)), s.to);
}

TEST(Moments, ClockTimesAndSunTimes) {
    using K = Moment::Kind;
    struct {
        const char* text;
        std::optional<Moment> expected;
    } cases[] = {{"06:00", Moment{K::clock, 21600}},
                 {"06:00:30", Moment{K::clock, 21630}},
                 {"00:00", Moment{K::clock, 0}},
                 {"23:59:59", Moment{K::clock, 86399}},
                 {"sunrise", Moment{K::sunrise, 0}},
                 {"sunset+00:30", Moment{K::sunset, 1800}},
                 {"sunrise-01:00", Moment{K::sunrise, -3600}},
                 {"sunset-12:00", Moment{K::sunset, -43200}},
                 {"sunrise+00:00:10", Moment{K::sunrise, 10}},
                 {"24:00", std::nullopt},
                 {"6:00", std::nullopt},
                 {"06:60", std::nullopt},
                 {"06:00:60", std::nullopt},
                 {"06:00:", std::nullopt},
                 {"06-00", std::nullopt},
                 {" 06:00", std::nullopt},
                 {"+6:00", std::nullopt},
                 {"sunset+12:00:01", std::nullopt},
                 {"sunset+13:00", std::nullopt},
                 {"sunset+1:00", std::nullopt},
                 {"sunset 00:30", std::nullopt},
                 {"sunset+", std::nullopt},
                 {"sunset+-00:30", std::nullopt},
                 {"Sunrise", std::nullopt},
                 {"sun", std::nullopt},
                 {"noon", std::nullopt},
                 {"", std::nullopt}};
    for (const auto& c : cases) EXPECT_EQ(parse_moment(c.text), c.expected) << c.text;
}

TEST(Days, NamesRangesAndLists) {
    struct {
        const char* text;
        std::optional<std::uint8_t> expected;
    } cases[] = {{"mon-fri", 0x1f},
                 {"sat,sun", 0x60},
                 {"mon,wed-fri", 0x1d},
                 {"sun-tue", 0x43},
                 {"mon-sun", 0x7f},
                 {"fri-thu", 0x7f},
                 {"wed", 0x04},
                 {"wed-wed", 0x04},
                 {"sun", 0x40},
                 {"Mon", std::nullopt},
                 {"mon-", std::nullopt},
                 {"mon,", std::nullopt},
                 {",mon", std::nullopt},
                 {"mon,,tue", std::nullopt},
                 {"mon - fri", std::nullopt},
                 {"mon-tue-wed", std::nullopt},
                 {"monday", std::nullopt},
                 {"", std::nullopt}};
    for (const auto& c : cases) EXPECT_EQ(parse_days(c.text), c.expected) << c.text;
}

// Expected instants from coreutils' date and zdump.
TEST(LocalTimes, GapsFoldsAndMidnights) {
    struct {
        const char* zone;
        const char* day;
        const char* time;
        std::int64_t expected;
    } cases[] = {
        {"Europe/Berlin", "2026-03-29", "02:30", 1774746000},  // gap: 03:00 CEST
        {"Europe/Berlin", "2026-03-29", "02:00", 1774746000},  // gap's first second
        {"Europe/Berlin", "2026-03-29", "03:00", 1774746000},
        {"Europe/Berlin", "2026-03-29", "01:59:59", 1774745999},  // CET
        {"Europe/Berlin", "2026-10-25", "02:30", 1792888200},     // first: CEST, 00:30 UTC
        {"Europe/Berlin", "2026-10-25", "03:00", 1792893600},     // CET
        {"Europe/Berlin", "2026-10-25", "00:00", 1792879200},
        {"Europe/Berlin", "2026-12-31", "23:59:59", 1798757999},
        {"America/New_York", "2026-03-08", "02:30", 1772953200},  // gap: 03:00 EDT
        {"America/New_York", "2026-11-01", "01:30", 1793511000},  // first: EDT
        {"America/New_York", "2026-11-01", "00:00", 1793505600},
        {"America/New_York", "2026-11-01", "02:00", 1793516400},  // EST
        {"Australia/Sydney", "2026-04-05", "02:30", 1775316600},  // first: AEDT
        {"Australia/Sydney", "2026-10-04", "02:30", 1791043200},  // gap: 03:00 AEDT
        {"Australia/Sydney", "2026-10-04", "00:00", 1791036000},
        {"Asia/Kolkata", "2026-03-29", "02:30", 1774731600},
        {"Asia/Kolkata", "2026-01-01", "00:00", 1767205800},
        {"America/Santiago", "2026-09-06", "00:00", 1788667200},  // midnight in the gap
        {"America/Santiago", "2026-04-04", "23:30", 1775356200},  // first: -03
    };
    for (const auto& c : cases) {
        const Zone zone(c.zone);
        const Date day = date(c.day);
        EXPECT_EQ(instant_of(day, moment(c.time), std::nullopt), c.expected)
            << c.zone << ' ' << c.day << ' ' << c.time;
        EXPECT_EQ(local_date(c.expected), day) << c.zone << ' ' << c.day << ' ' << c.time;
    }
}

TEST(Windows, MidnightDaysAndDates) {
    const Zone zone("Europe/Berlin");
    auto weekdays = window("22:00", "06:00", "mon-fri");
    auto whole_day = window("08:00", "08:00");
    auto dated = window("22:00", "06:00");
    dated.from = date("2026-06-10");
    dated.until = date("2026-06-11");
    struct {
        const Timing* timing;
        const char* day;
        std::optional<std::pair<std::int64_t, std::int64_t>> expected;
    } cases[] = {
        {&weekdays, "2026-06-12", std::pair{1781294400, 1781323200}},  // Friday into Saturday
        {&weekdays, "2026-06-13", std::nullopt},                       // Saturday
        {&weekdays, "2026-10-24", std::nullopt},
        {&dated, "2026-06-09", std::nullopt},
        {&dated, "2026-06-10", std::pair{1781121600, 1781150400}},
        {&dated, "2026-06-11", std::pair{1781208000, 1781236800}},
        {&dated, "2026-06-12", std::nullopt},
        {&whole_day, "2026-06-15", std::pair{1781503200, 1781503200 + 86400}},
    };
    for (const auto& c : cases) {
        const auto got = window_of(*c.timing, date(c.day));
        ASSERT_EQ(got.has_value(), c.expected.has_value()) << c.day;
        if (!got) continue;
        EXPECT_EQ(got->on, c.expected->first) << c.day;
        EXPECT_EQ(got->off, c.expected->second) << c.day;
    }
    // Into the night the clocks go back: nine hours.
    const auto autumn = window_of(window("22:00", "06:00"), date("2026-10-24"));
    ASSERT_TRUE(autumn);
    EXPECT_EQ(autumn->off - autumn->on, 9 * 3600);
}

TEST(Edges, NextLastAndInside) {
    const Zone zone("Europe/Berlin");
    const auto weekdays = window("22:00", "06:00", "mon-fri");
    // Monday to Friday, each ending as the next begins: one stretch.
    const auto working_week = window("08:00", "08:00", "mon-fri");
    auto ended = window("22:00", "06:00");
    ended.until = date("2026-06-11");
    const Timing event{moment("02:30"), {}, every_day, {}, {}, {}};
    struct {
        const Timing* timing;
        std::int64_t after;
        std::optional<Edge> expected;
    } cases[] = {
        {&weekdays, 1781298000, Edge{1781323200, false, date("2026-06-12")}},  // Fri 23:00
        {&weekdays, 1781330400, Edge{1781553600, true, date("2026-06-15")}},   // Sat 08:00
        {&weekdays, 1781294400, Edge{1781323200, false, date("2026-06-12")}},  // strictly after
        {&working_week, 1781334000, Edge{1781503200, true, date("2026-06-15")}},
        {&working_week, 1781503200, Edge{1781935200, false, date("2026-06-19")}},
        {&ended, 1781208000, Edge{1781236800, false, date("2026-06-11")}},
        {&ended, 1781236800, std::nullopt},
        {&event, 1774738800, Edge{1774746000, true, date("2026-03-29")}},  // into the gap
    };
    for (const auto& c : cases) EXPECT_EQ(next_edge(*c.timing, c.after), c.expected) << c.after;

    EXPECT_EQ(last_edge(weekdays, 1781330400), (Edge{1781323200, false, date("2026-06-12")}));
    EXPECT_EQ(last_edge(weekdays, 1781294400), (Edge{1781294400, true, date("2026-06-12")}));
    EXPECT_EQ(last_edge(working_week, 1781900000), std::nullopt);  // on more than 2 days back
    EXPECT_TRUE(inside(working_week, 1781900000));
    EXPECT_FALSE(inside(working_week, 1781935200));
    EXPECT_TRUE(inside(weekdays, 1781294400));
    EXPECT_FALSE(inside(weekdays, 1781323200));
    EXPECT_FALSE(inside(event, 1774746000));
}

// Every local day of ten years has its window's on and off and its event,
// each once, in zones whose clocks skip and repeat 02:30.
TEST(Edges, TenYearsOfDaylightSavingTime) {
    for (const char* name : {"Europe/Berlin", "America/New_York"}) {
        const Zone zone(name);
        const Timing timings[] = {window("02:30", "03:30"),
                                  {moment("02:30"), {}, every_day, {}, {}, {}}};
        const Date first = date("2027-01-01"), last = date("2036-12-31");
        const std::int64_t start = instant_of(first, moment("00:00"), {}).value();
        const std::int64_t end = instant_of(add_days(last, 1), moment("00:00"), {}).value();
        for (const Timing& timing : timings) {
            std::map<Date, std::pair<int, int>> per_day;
            int edges = 0, out_of_order = 0;
            std::optional<Edge> previous;
            const auto began = std::chrono::steady_clock::now();
            for (auto edge = next_edge(timing, start); edge && edge->at < end;
                 edge = next_edge(timing, edge->at)) {
                ++edges;
                auto& [ons, offs] = per_day[edge->day];
                ++(edge->on ? ons : offs);
                if (timing.off && previous && previous->on == edge->on) ++out_of_order;
                previous = edge;
            }
            const std::chrono::duration<double, std::milli> took =
                std::chrono::steady_clock::now() - began;
            int missed = 0, doubled = 0;
            for (Date day = first; day <= last; day = add_days(day, 1)) {
                const auto [ons, offs] = per_day[day];
                const int want_offs = timing.off ? 1 : 0;
                missed += (ons < 1) + (offs < want_offs);
                doubled += (ons > 1) + (offs > want_offs);
            }
            EXPECT_EQ(per_day.size(), 3653U) << name;
            EXPECT_EQ(missed, 0) << name;
            EXPECT_EQ(doubled, 0) << name;
            EXPECT_EQ(out_of_order, 0) << name;
            std::printf("%s %s: %d edges in %.1f ms (%.2f us each)\n", name,
                        timing.off ? "window" : "event", edges, took.count(),
                        took.count() * 1000 / edges);
        }
    }
}

TEST(Sun, RisesAndSetsAsPyEphemHasThem) {
    std::int64_t worst = 0;
    std::string worst_row;
    for (const auto& row : sun_rows) {
        const Zone zone("SUN" + std::to_string(-row.offset_hours));
        const Site site{row.latitude, row.longitude};
        for (const bool rise : {true, false}) {
            const std::int64_t want = rise ? row.rise : row.set;
            const auto got = sun_instant(date(row.date), site, rise);
            const std::string where = std::to_string(row.latitude) + ' ' +
                                      std::to_string(row.longitude) + ' ' + row.date +
                                      (rise ? " rise" : " set");
            ASSERT_EQ(got.has_value(), want != none) << where;
            if (!got) continue;
            const std::int64_t difference = std::llabs(*got - want);
            EXPECT_LE(difference, 60) << where;
            if (difference > worst) worst = difference, worst_row = where;
        }
    }
    std::printf("worst of %zu rows: %lld s (%s)\n", std::size(sun_rows),
                static_cast<long long>(worst), worst_row.c_str());
}

// Longyearbyen: the midnight sun until late August (PyEphem: the first
// sunrise at 01:33 on the 25th, local time), polar night in December.
TEST(Sun, PolarDaysAreSkipped) {
    const Zone zone("Europe/Oslo");
    const Site site{78.22, 15.65};
    EXPECT_EQ(sun_instant(date("2026-06-21"), site, true), std::nullopt);
    EXPECT_EQ(sun_instant(date("2026-06-21"), site, false), std::nullopt);
    EXPECT_EQ(sun_instant(date("2026-12-21"), site, true), std::nullopt);
    EXPECT_EQ(instant_of(date("2026-12-21"), moment("sunset-01:00"), site), std::nullopt);
    EXPECT_EQ(instant_of(date("2026-06-21"), moment("sunrise"), std::nullopt), std::nullopt);

    const Timing event{moment("sunrise"), {}, every_day, {}, {}, site};
    std::vector<Date> skipped;
    const auto edge =
        next_edge(event, instant_of(date("2026-06-21"), moment("12:00"), {}).value(), &skipped);
    ASSERT_TRUE(edge);
    EXPECT_EQ(edge->day, date("2026-08-25"));
    EXPECT_NEAR(static_cast<double>(edge->at), 1787614404, 600);  // 2026-08-24 23:33:24 UTC
    ASSERT_FALSE(skipped.empty());
    EXPECT_EQ(skipped.front(), date("2026-06-21"));
    EXPECT_EQ(skipped.back(), date("2026-08-24"));
    EXPECT_EQ(skipped.size(), 65U);
}

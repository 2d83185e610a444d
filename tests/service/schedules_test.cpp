// Schedules and scenes over a line of simulated boards, on a clock of the
// test's own: downtimes straddling edges, missed events, overrides, scenes.
#include "service/schedules.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <map>
#include <memory>
#include <random>
#include <utility>

#include "tests/support/board_sim.h"
#include "tests/support/wait.h"

namespace tarnwick::service {
namespace {

namespace when = service::when;

// Local time in Europe/Berlin as seconds since the epoch.
std::int64_t berlin(int year, int month, int day, int hour, int minute) {
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_isdst = -1;
    return static_cast<std::int64_t>(std::mktime(&t));
}

class Schedules : public ::testing::Test {
  protected:
    void SetUp() override {
        setenv("TZ", "Europe/Berlin", 1);
        tzset();
    }
    void TearDown() override {
        keeper_.reset();
        if (line_) line_->stop(std::chrono::milliseconds(0));
        line_.reset();
        unsetenv("TZ");
        tzset();
    }

    // One line of four boards; `extra` holds the schedules and scenes.
    void start(const std::string& extra, std::vector<std::string> sim_args = {},
               const std::string& line_keys = {}, int boards = 4) {
        const std::string list = boards == 4 ? "1,2,3,4" : "1";
        sim_args.insert(sim_args.end(), {"--address", list});
        sim_ = std::make_unique<test::BoardSim>(sim_args);
        const auto read = config::parse_config(
            "[line cab]\ndevice=" + sim_->path() + "\nboards=" + list + "\n" +
                (line_keys.empty() ? std::string("pace=answer\n") : line_keys) + extra,
            "t.conf");
        ASSERT_TRUE(read.config) << read.problem;
        config_ = *read.config;
        names_ = std::make_unique<names::NameFile>(dir_.path().toStdString(), messages_);
        line_ = std::make_unique<Line>(config_.lines[0], *names_, dir_.path().toStdString());
        line_->start();
        ASSERT_TRUE(test::wait_until([&] { return line_->boards_online() == boards; }, 5000));
    }
    void up() {
        keeper_ = std::make_unique<Timekeeper>(config_, std::vector<Line*>{line_.get()},
                                               dir_.path().toStdString(),
                                               [this] { return now_ * 1000; });
        keeper_->start(true);
    }
    void down() { keeper_.reset(); }
    void at(std::int64_t now) {
        now_ = now;
        if (keeper_) keeper_->evaluate();
    }
    bool shows(std::uint8_t address, std::uint16_t relays, int timeout_ms = 3000) {
        return test::wait_until([&] { return sim_->last_relays(address) == relays; }, timeout_ms);
    }

    QTemporaryDir dir_;
    names::TextMessages messages_{[](const std::string&) {}};
    std::unique_ptr<names::NameFile> names_;
    std::unique_ptr<test::BoardSim> sim_;
    config::Config config_;
    std::unique_ptr<Line> line_;
    std::unique_ptr<Timekeeper> keeper_;
    std::int64_t now_ = 0;
};

// Whatever happens while the service is down, it comes back to what each
// window wants within the catch-up.
TEST_F(Schedules, DowntimesStraddlingEdgesLeaveTheWantedState) {
    start(
        "[schedule morning]\nrelays=cab/1/1-2,cab/2/5\non=06:00\noff=06:10\n"
        "[schedule night]\nrelays=cab/3/16\non=23:00\noff=01:00\n"
        "[schedule spring]\nrelays=cab/4/1\non=02:30\noff=03:30\n");
    const std::vector<std::pair<const config::ScheduleConfig*, std::uint8_t>> windows{
        {&config_.schedules[0], 1}, {&config_.schedules[1], 3}, {&config_.schedules[2], 4}};
    std::mt19937 random(27);
    now_ = berlin(2027, 3, 27, 5, 50);  // the spring-forward night comes on the way
    up();
    int wrong = 0;
    for (int i = 0; i < 100; ++i) {
        at(now_ + std::uniform_int_distribution<int>(0, 1800)(random));
        down();
        now_ += std::uniform_int_distribution<int>(60, 6 * 3600)(random);
        up();
        for (const auto& [schedule, address] : windows) {
            const bool on = when::inside(schedule->timing, now_);
            const std::uint16_t relays = on ? schedule->relays[0].mask : 0;
            if (!shows(address, relays)) {
                ++wrong;
                ADD_FAILURE() << schedule->name << " at " << now_ << " wants " << on;
            }
        }
    }
    EXPECT_EQ(wrong, 0);
    std::printf("100 downtimes: %d wrong final states\n", wrong);
}

// An event missed while down is applied once at the start, within a day;
// the clock going back does not apply it again.
TEST_F(Schedules, AMissedEventIsAppliedOnceWithinADay) {
    start("[scene s]\ncab/2/1-3=on\n[schedule e]\nscene=s\nat=07:00\ndays=tue\n");
    now_ = berlin(2027, 6, 1, 6, 0);
    up();
    down();
    now_ = berlin(2027, 6, 1, 9, 0);  // 07:00 passed while down
    up();
    ASSERT_TRUE(shows(2, 0x0007));
    test::run_events_for(300);  // the scene's confirmation
    bool done = false;
    line_->set_relays(2, 0x0007, 0, {}, [&](const Outcome&) { done = true; });
    ASSERT_TRUE(test::wait_until([&] { return done; }));
    down();
    up();  // a second start: it was applied
    at(berlin(2027, 6, 1, 6, 59));  // and the clock steps back over it
    at(berlin(2027, 6, 1, 7, 1));
    test::run_events_for(300);
    EXPECT_EQ(sim_->last_relays(2), 0);
    down();
    now_ = berlin(2027, 6, 2, 7, 1);  // Tuesday's was 24 hours and a minute ago
    up();
    test::run_events_for(300);
    EXPECT_EQ(sim_->last_relays(2), 0);
    at(berlin(2027, 6, 8, 7, 0));  // the next Tuesday's, while up
    EXPECT_TRUE(shows(2, 0x0007));
}

// The clock stepping forwards over edges: the window as it wants now, the
// event skipped applied once; stepping back over them again runs nothing.
TEST_F(Schedules, AClockStepForwardCatchesUpAndBackRunsNothingTwice) {
    start(
        "[scene s]\ncab/2/1=on\n[schedule e]\nscene=s\nat=08:15\n"
        "[schedule w]\nrelays=cab/1/4\non=08:00\noff=09:00\n");
    now_ = berlin(2027, 6, 1, 7, 0);
    up();
    at(berlin(2027, 6, 1, 8, 30));  // a step of an hour and a half
    EXPECT_TRUE(shows(1, 0x0008));
    EXPECT_TRUE(shows(2, 0x0001));
    test::run_events_for(300);  // the scene's confirmation
    bool done = false;
    line_->set_relays(2, 0x0001, 0, {}, [&](const Outcome&) { done = true; });
    ASSERT_TRUE(test::wait_until([&] { return done; }));
    at(berlin(2027, 6, 1, 7, 30));  // back before both
    at(berlin(2027, 6, 1, 8, 20));
    test::run_events_for(300);
    EXPECT_EQ(sim_->last_relays(2), 0);
    EXPECT_EQ(sim_->last_relays(1), 0x0008);
    at(berlin(2027, 6, 1, 9, 0));
    EXPECT_TRUE(shows(1, 0));
}

// A switch inside a window holds until the next edge, also when the board
// comes back from a power cut meanwhile.
TEST_F(Schedules, AnOverrideHoldsUntilTheNextEdge) {
    start("[schedule w]\nrelays=cab/1/4\non=08:00\noff=09:00\n");
    now_ = berlin(2027, 6, 1, 7, 59);
    up();
    at(berlin(2027, 6, 1, 8, 0));
    ASSERT_TRUE(shows(1, 0x0008));
    bool done = false;
    line_->switch_relay(1, 4, false, "uid 1000", [&](const Outcome&) { done = true; });
    ASSERT_TRUE(test::wait_until([&] { return done; }));
    at(berlin(2027, 6, 1, 8, 30));
    test::run_events_for(300);
    EXPECT_EQ(sim_->last_relays(1), 0);
    at(berlin(2027, 6, 1, 9, 0));
    at(berlin(2027, 6, 2, 8, 0));
    EXPECT_TRUE(shows(1, 0x0008));
}

// A disabled schedule does nothing at its edges, and stays disabled across
// a restart.
TEST_F(Schedules, ADisabledScheduleStaysDisabled) {
    start("[schedule w]\nrelays=cab/1/4\non=08:00\noff=09:00\n");
    now_ = berlin(2027, 6, 1, 7, 0);
    up();
    ASSERT_TRUE(keeper_->enable("w", false, "uid 0"));
    down();
    up();
    EXPECT_FALSE(keeper_->schedule("w")->enabled);
    EXPECT_EQ(keeper_->schedule("w")->next_change, 0U);
    at(berlin(2027, 6, 1, 8, 0));
    test::run_events_for(300);
    EXPECT_EQ(sim_->last_relays(1), 0);
    ASSERT_TRUE(keeper_->enable("w", true, "uid 0"));
    EXPECT_TRUE(shows(1, 0x0008));
    EXPECT_TRUE(keeper_->schedule("w")->active);
}

// Sixteen relays mixed on and off, on lines timed as 9600 baud, native and
// Modbus: one board, then four, each relay confirmed; the figures are
// printed.
struct SceneRow {
    const char* what;
    const char* line_keys;
    const char* sim_protocol;
    int boards;
};

class Scenes : public Schedules, public ::testing::WithParamInterface<SceneRow> {};

TEST_P(Scenes, AreConfirmedWithTheFewestFrames) {
    const SceneRow& row = GetParam();
    const std::string scene = row.boards == 1
                                  ? "[scene s]\ncab/1/1-8=off\ncab/1/9-16=on\n"
                                  : "[scene s]\ncab/1/1-16=on\ncab/2/1-8=on\ncab/2/9-16=off\n"
                                    "cab/3/1-16=off\ncab/4/1=on\ncab/4/2-16=off\n";
    start(scene, {"--wire-time", "--relays", "0x00ff", "--protocol", row.sim_protocol},
          row.line_keys, row.boards);
    now_ = berlin(2027, 6, 1, 7, 0);
    up();
    sim_->frames();  // those of the start
    QStringList failed{"not done"};
    const auto started = std::chrono::steady_clock::now();
    ASSERT_TRUE(keeper_->apply_scene("s", "test", [&](const QStringList& f) { failed = f; }));
    ASSERT_TRUE(test::wait_until([&] { return failed != QStringList{"not done"}; }, 10000));
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - started)
                        .count();
    EXPECT_TRUE(failed.isEmpty()) << failed.join("; ").toStdString();
    std::printf("%s: scene of 16 relays per board confirmed in %lld ms\n", row.what,
                static_cast<long long>(ms));
    if (row.boards == 1) {
        EXPECT_EQ(sim_->last_relays(), 0xff00);  // one board reports without its address
    } else {
        EXPECT_EQ(sim_->last_relays(1), 0xffff);
        EXPECT_EQ(sim_->last_relays(2), 0x00ff);
        EXPECT_EQ(sim_->last_relays(3), 0x0000);
        EXPECT_EQ(sim_->last_relays(4), 0x0001);
    }
    EXPECT_FALSE(keeper_->apply_scene("none", "test", [](const QStringList&) {}));
}

INSTANTIATE_TEST_SUITE_P(
    Lines, Scenes,
    ::testing::Values(SceneRow{"native, one board", "", "native", 1},
                      SceneRow{"native, four boards", "", "native", 4},
                      SceneRow{"modbus, one board", "pace=answer\nprotocol=modbus\n", "modbus", 1},
                      SceneRow{"modbus, four boards", "pace=answer\nprotocol=modbus\n", "modbus",
                               4}));

// On the real clock, at pace=tick with four boards: how long after its
// second an edge's first frame reaches the boards. A figure, printed.
TEST_F(Schedules, AnEdgesFirstFrameFollowsItsSecond) {
    using namespace std::chrono;
    const std::int64_t first =
        duration_cast<seconds>(system_clock::now().time_since_epoch()).count() + 3;
    const auto clock_text = [](std::int64_t at) {
        const auto t = static_cast<std::time_t>(at);
        std::tm local{};
        localtime_r(&t, &local);
        char text[16];
        std::strftime(text, sizeof text, "%H:%M:%S", &local);
        return std::string(text);
    };
    // Ten windows a second long, one a second after the other, each on a
    // relay of its own: twenty edges.
    std::string extra;
    for (int k = 0; k < 10; ++k)
        extra += "[schedule w" + std::to_string(k) + "]\nrelays=cab/" + std::to_string(k % 4 + 1) +
                 "/" + std::to_string(k / 4 + 1) + "\non=" + clock_text(first + k) +
                 "\noff=" + clock_text(first + k + 1) + "\n";
    start(extra, {"--report-frames"}, "pace=tick\n");
    keeper_ = std::make_unique<Timekeeper>(config_, std::vector<Line*>{line_.get()},
                                           dir_.path().toStdString());
    keeper_->start();
    // The wall clock's edges on the boards' clock (steady, as the simulator's).
    const auto wall_to_steady =
        steady_clock::now().time_since_epoch() -
        duration_cast<steady_clock::duration>(system_clock::now().time_since_epoch());
    test::run_events_for(static_cast<int>(
        (first + 11) * 1000 -
        duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count() + 500));
    const auto frames = sim_->frames();
    const auto times = sim_->frame_times();
    std::vector<double> delays;
    for (int k = 0; k < 10; ++k)
        for (const bool on : {true, false}) {
            const std::int64_t edge_s = first + k + (on ? 0 : 1);
            const auto edge = steady_clock::time_point(
                duration_cast<steady_clock::duration>(seconds(edge_s)) + wall_to_steady);
            const auto address = static_cast<std::uint8_t>(k % 4 + 1);
            const auto relay = static_cast<std::uint8_t>(k / 4 + 1);
            for (std::size_t i = 0; i < frames.size(); ++i) {
                const auto& f = frames[i];
                const bool switch_frame =
                    f[1] == address && f[6] == relay && f[2] == (on ? 0x21 : 0x11);
                if (switch_frame && times[i] >= edge - milliseconds(50)) {
                    delays.push_back(duration<double, std::milli>(times[i] - edge).count());
                    break;
                }
            }
        }
    EXPECT_EQ(delays.size(), 20U) << "every edge put its frame on the wire";
    std::sort(delays.begin(), delays.end());
    if (!delays.empty())
        std::printf(
            "edge to first frame, pace=tick, four boards, %zu edges: p50 %.1f ms, p99 %.1f "
            "ms, max %.1f ms\n",
            delays.size(), delays[delays.size() / 2],
            delays[std::min(delays.size() - 1, delays.size() * 99 / 100)], delays.back());
}

// Ten years of a daily 02:30 window and event, in two zones with daylight
// saving time, edge to edge as fast as the clock can be moved: every local
// day has one on, one off and one event, none missed, none doubled.
TEST(TenYears, EveryEdgeOnceADay) {
    for (const char* zone : {"Europe/Berlin", "America/New_York"}) {
        setenv("TZ", zone, 1);
        tzset();
        const auto read = config::parse_config(
            "[line cab]\ndevice=/dev/null\n[scene s]\ncab/1/2=on\n"
            "[schedule w]\nrelays=cab/1/1\non=02:30\noff=03:30\n"
            "[schedule e]\nscene=s\nat=02:30\n",
            "t.conf", config::Reading::rules);
        ASSERT_TRUE(read.config) << read.problem;
        // Each event is kept on disk as it is applied: on tmpfs, where a
        // sync costs nothing, when there is one.
        QTemporaryDir dir(QFileInfo("/dev/shm").isDir()
                              ? "/dev/shm/tarnwick-test-XXXXXX"
                              : QDir::tempPath() + "/tarnwick-test-XXXXXX");
        std::int64_t now = berlin(2027, 1, 1, 0, 0) * 1000;  // in the zone set
        const std::int64_t end = berlin(2037, 1, 1, 0, 0) * 1000;
        Timekeeper keeper(*read.config, {}, dir.path().toStdString(), [&] { return now; });
        keeper.start(true);
        std::map<std::string, std::map<std::string, int>> per_day;  // "w on" -> date -> count
        std::map<QString, ScheduleView> seen{{"w", *keeper.schedule("w")},
                                             {"e", *keeper.schedule("e")}};
        QObject::connect(&keeper, &TimeModel::schedule_changed, [&](const QString& name) {
            const ScheduleView view = *keeper.schedule(name);
            const ScheduleView before = std::exchange(seen[name], view);
            const auto fired = static_cast<std::int64_t>(before.next_change / 1'000'000);
            const std::string what = name.toStdString() + (name == "e"   ? " at"
                                                           : view.active ? " on"
                                                                         : " off");
            ++per_day[what][when::date_text(when::local_date(fired))];
        });
        const auto started = std::chrono::steady_clock::now();
        int evaluations = 0;
        while (const auto due = keeper.next_due()) {
            if (*due >= end) break;
            now = *due;
            keeper.evaluate();
            ++evaluations;
        }
        const auto took = std::chrono::steady_clock::now() - started;
        int missed = 0, doubled = 0;
        for (when::Date day{2027, 1, 1}; day < when::Date{2037, 1, 1}; day = when::add_days(day, 1))
            for (const char* what : {"w on", "w off", "e at"}) {
                const int count = per_day[what][when::date_text(day)];
                missed += count == 0;
                doubled += count > 1;
            }
        EXPECT_EQ(missed, 0) << zone;
        EXPECT_EQ(doubled, 0) << zone;
        std::printf("%s: ten years, %d edges evaluated in %lld ms; %d missed, %d doubled\n", zone,
                    evaluations,
                    static_cast<long long>(
                        std::chrono::duration_cast<std::chrono::milliseconds>(took).count()),
                    missed, doubled);
    }
    unsetenv("TZ");
    tzset();
}

}  // namespace
}  // namespace tarnwick::service

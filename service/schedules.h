#pragma once

#include <QSocketNotifier>
#include <QTimer>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "config/config.h"
#include "mqtt/timekeeping.h"
#include "service/line.h"
#include "service/state_file.h"
#include "service/time_model.h"

// The schedules and scenes of the configuration, kept by the service that
// owns the lines:
// - a window wants its relays on inside it and off outside: set at each edge,
//   and by state ("catch-up") whenever the service starts, a board comes up
//   or the clock steps forwards; a switch by anyone inside a window holds
//   until the next edge;
// - an event applies its scene once at its time; one missed while the
//   service was down (or skipped by the clock) is applied once if it was due
//   within the last 24 hours;
// - the clock going backwards runs nothing twice: edges up to the latest
//   instant already seen are done.
// The wall clock is noticed stepping at once (a timerfd cancelled on a
// set); the time of the next edge is waited for on the steady clock, with a
// look at the wall clock at least once a minute. Enabled states and the last
// event applied are kept in the state directory.
namespace tarnwick::service {

class Timekeeper : public TimeModel {
    Q_OBJECT
  public:
    // Milliseconds since the epoch; tests give their own.
    using Clock = std::function<std::int64_t()>;
    Timekeeper(const Config& config, std::vector<Line*> lines, const std::string& state_directory,
               Clock clock = {}, QObject* parent = nullptr);
    ~Timekeeper() override;

    // Reads the kept state, applies missed events, catches up the boards
    // already up, and waits for the first edge. With `by_hand`, no timers:
    // the caller calls evaluate() (tests with their own clock).
    void start(bool by_hand = false);
    // Whatever is due now: edges passed, events missed.
    void evaluate();
    // The next instant evaluate() is wanted at (ms since the epoch), if any.
    [[nodiscard]] std::optional<std::int64_t> next_due() const;

    QStringList schedule_names() const override;
    std::optional<ScheduleView> schedule(const QString& name) const override;
    bool enable(const QString& name, bool enabled, const QString& caller) override;
    QStringList scene_names() const override;
    bool apply_scene(const QString& name, const QString& caller, Applied done) override;

    // The scenes and schedules a line's broker bridge offers: those whose
    // first relay is on the line.
    [[nodiscard]] std::vector<std::string> scenes_of(const std::string& line) const;
    [[nodiscard]] std::vector<mqtt::Timekeeping::Schedule> schedules_of(
        const std::string& line) const;

  private:
    // A relay of a board of a line.
    using RelayKey = std::tuple<std::string, std::uint8_t, int>;
    struct Running {
        const ScheduleConfig* config = nullptr;
        bool enabled = true;
        std::optional<when::Edge> next;
        std::int64_t applied = 0;  // an event: the last one applied (s)
        bool active = false;
        std::map<RelayKey, bool> overrides;  // switched by others since the last edge
        std::optional<when::Date> skip_said;  // the last day without its sun time said
    };

    [[nodiscard]] std::int64_t now_ms() const;
    void load_state();
    void save_state();
    void arm();
    void watch_clock_steps();
    void clock_stepped();
    void window_due(Running& s, std::int64_t now, std::int64_t edge_at);
    void event_due(Running& s, std::int64_t now, bool at_start);
    void set_window(Running& s, bool on, link::Origin::Source source,
                    const BoardRelays* only = nullptr);
    void catch_up_board(Line* line, std::uint8_t address);
    void on_board_changed(Line* line, std::uint8_t address);
    void on_switched(Line* line, std::uint8_t address, int relay, bool on, const QString& source);
    void scene(const SceneConfig& scene, const link::Origin& origin, Applied done);
    [[nodiscard]] Line* line(const std::string& name) const;
    [[nodiscard]] Running* find(const QString& name);
    [[nodiscard]] const Running* find(const QString& name) const;
    [[nodiscard]] std::string first_line(const ScheduleConfig& s) const;
    void refresh(Running& s, std::int64_t now);

    Config config_;
    std::vector<Line*> lines_;
    Clock clock_;
    StateFile state_;
    std::vector<Running> schedules_;
    std::int64_t high_water_ = 0;  // the latest instant seen (s)
    bool by_hand_ = false;
    QTimer wake_;
    int clock_fd_ = -1;
    std::unique_ptr<QSocketNotifier> clock_notifier_;
    std::set<std::pair<Line*, std::uint8_t>> up_;  // boards online
    // A missed event's relays on a board not up yet (at a start the lines
    // have not polled at all): applied when the board comes up, unless the
    // schedule's next event comes first.
    struct Deferred {
        BoardRelays board;
        link::Origin origin;
    };
    std::vector<Deferred> deferred_;
};

// A line's broker bridge's view of the timekeeper: lives as long as the line,
// whatever timekeeper the configuration read last made.
class LineTimekeeping : public mqtt::Timekeeping {
    Q_OBJECT
  public:
    LineTimekeeping(std::string line, QObject* parent = nullptr)
        : mqtt::Timekeeping(parent), line_(std::move(line)) {}
    void use(Timekeeper* keeper);

    std::vector<std::string> scenes() const override;
    std::vector<Schedule> schedules() const override;
    void apply_scene(const std::string& name) override;
    void enable_schedule(const std::string& name, bool enabled) override;

  private:
    std::string line_;
    Timekeeper* keeper_ = nullptr;
};

}  // namespace tarnwick::service

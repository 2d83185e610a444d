#include "service/schedules.h"

#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <limits>

#include "service/journal.h"

namespace tarnwick::service {

namespace {

constexpr std::int64_t day_s = 24 * 60 * 60;
// The wall clock is looked at at least this often, whatever the next edge.
constexpr std::int64_t look_again_ms = 60'000;
// Later than this after its edge, a window's state is a catch-up.
constexpr std::int64_t edge_late_s = 2;

std::string section_of(const std::string& name) {
    return "schedule-" + name;
}

// "06:10" local, or the date too when not today.
std::string local_text(std::int64_t at, std::int64_t now) {
    const auto t = static_cast<std::time_t>(at);
    const auto n = static_cast<std::time_t>(now);
    std::tm when{}, today{};
    localtime_r(&t, &when);
    localtime_r(&n, &today);
    char text[32];
    const bool same_day = when.tm_yday == today.tm_yday && when.tm_year == today.tm_year;
    std::strftime(text, sizeof text, same_day ? "%H:%M:%S" : "%Y-%m-%d %H:%M:%S", &when);
    return text;
}

LogFields schedule_fields(const std::string& name, const std::string& source) {
    LogFields fields({}, {}, {}, source);
    fields.schedule = name;
    return fields;
}

}  // namespace

Timekeeper::Timekeeper(const Config& config, std::vector<Line*> lines,
                       const std::string& state_directory, Clock clock, QObject* parent)
    : TimeModel(parent),
      config_(config),
      lines_(std::move(lines)),
      clock_(std::move(clock)),
      state_(state_directory + "/schedules.state", [](Priority priority, const std::string& text) {
          log(priority, text);
      }) {
    for (const ScheduleConfig& s : config_.schedules) {
        schedules_.emplace_back();
        schedules_.back().config = &s;
    }
    wake_.setSingleShot(true);
    wake_.setTimerType(Qt::PreciseTimer);
    connect(&wake_, &QTimer::timeout, this, &Timekeeper::evaluate);
    for (Line* l : lines_) {
        connect(l, &LineModel::board_changed, this,
                [this, l](std::uint8_t address) { on_board_changed(l, address); });
        connect(l, &LineModel::relay_switched, this,
                [this, l](std::uint8_t address, int relay, bool on, const QString& source,
                          const QString&) { on_switched(l, address, relay, on, source); });
    }
}

Timekeeper::~Timekeeper() {
    clock_notifier_.reset();
    if (clock_fd_ >= 0) ::close(clock_fd_);
}

std::int64_t Timekeeper::now_ms() const {
    if (clock_) return clock_();
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

void Timekeeper::start(bool by_hand) {
    by_hand_ = by_hand;
    load_state();
    const std::int64_t now = now_ms() / 1000;
    high_water_ = now;
    for (Running& s : schedules_) {
        if (s.config->window()) {
            s.active = when::inside(s.config->timing, now);
        } else if (s.enabled) {
            event_due(s, now, true);
        }
        refresh(s, now);
    }
    save_state();
    for (Line* l : lines_)
        for (const std::uint8_t address : l->boards())
            if (l->board(address).online) on_board_changed(l, address);
    if (!by_hand_) watch_clock_steps();
    arm();
}

void Timekeeper::load_state() {
    state_.load();
    for (Running& s : schedules_) {
        const std::string section = section_of(s.config->name);
        s.enabled = state_.value(section, "enabled").value_or(1) != 0;
        // An event never applied here counts as applied now: a first start
        // does not make up for what happened before it was configured.
        const auto applied = state_.value(section, "applied");
        if (!s.config->window()) s.applied = applied.value_or(now_ms() / 1000);
    }
}

void Timekeeper::save_state() {
    for (const Running& s : schedules_) {
        const std::string section = section_of(s.config->name);
        if (s.enabled)
            state_.remove(section, "enabled");
        else
            state_.set(section, "enabled", 0);
        if (!s.config->window()) state_.set(section, "applied", s.applied);
    }
    (void)state_.save();  // said when it fails; the next change writes again
}

// The wall clock's step cancels an absolute timer set far ahead: read()
// fails with ECANCELED, and the schedules look at the time again.
void Timekeeper::watch_clock_steps() {
    clock_fd_ = ::timerfd_create(CLOCK_REALTIME, TFD_NONBLOCK | TFD_CLOEXEC);
    if (clock_fd_ < 0) {
        log(Priority::warning, "cannot watch the clock for steps; schedules look at it every "
                               "minute instead");
        return;
    }
    itimerspec far{};
    far.it_value.tv_sec = std::numeric_limits<std::int32_t>::max();
    if (::timerfd_settime(clock_fd_, TFD_TIMER_ABSTIME | TFD_TIMER_CANCEL_ON_SET, &far, nullptr) !=
        0) {
        ::close(clock_fd_);
        clock_fd_ = -1;
        return;
    }
    clock_notifier_ = std::make_unique<QSocketNotifier>(clock_fd_, QSocketNotifier::Read);
    connect(clock_notifier_.get(), &QSocketNotifier::activated, this, &Timekeeper::clock_stepped);
}

void Timekeeper::clock_stepped() {
    std::uint64_t expirations = 0;
    (void)!::read(clock_fd_, &expirations, sizeof expirations);  // ECANCELED: it stepped
    itimerspec far{};
    far.it_value.tv_sec = std::numeric_limits<std::int32_t>::max();
    (void)::timerfd_settime(clock_fd_, TFD_TIMER_ABSTIME | TFD_TIMER_CANCEL_ON_SET, &far, nullptr);
    log(Priority::notice, "the clock was set: now " + local_text(now_ms() / 1000, now_ms() / 1000),
        schedule_fields({}, "schedule"));
    evaluate();
}

void Timekeeper::arm() {
    if (by_hand_) return;
    const std::int64_t now = now_ms();
    std::int64_t wait = look_again_ms;
    if (const auto due = next_due()) wait = std::clamp<std::int64_t>(*due - now, 0, look_again_ms);
    wake_.start(static_cast<int>(wait));
}

std::optional<std::int64_t> Timekeeper::next_due() const {
    std::optional<std::int64_t> due;
    for (const Running& s : schedules_)
        if (s.enabled && s.next && (!due || s.next->at * 1000 < *due)) due = s.next->at * 1000;
    return due;
}

void Timekeeper::evaluate() {
    const std::int64_t now_at = now_ms();
    const std::int64_t now = now_at / 1000;
    const bool backwards = now < high_water_;
    for (Running& s : schedules_) {
        if (s.enabled && !backwards && s.next && s.next->at <= now) {
            if (s.config->window())
                window_due(s, now, s.next->at);
            else
                event_due(s, now, false);
        }
        refresh(s, now);
    }
    high_water_ = std::max(high_water_, now);
    arm();
}

// The next edge and whether inside the window, from the latest instant seen:
// after a backward step the edges already done are not done again.
void Timekeeper::refresh(Running& s, std::int64_t now) {
    const auto before = std::make_tuple(s.next, s.active);
    std::vector<when::Date> skipped;
    s.next = when::next_edge(s.config->timing, std::max(now, high_water_), &skipped);
    // Looked at every minute: each day said once, a run of days in one line.
    std::erase_if(skipped,
                  [&](const when::Date& day) { return s.skip_said && day <= *s.skip_said; });
    if (!skipped.empty()) {
        s.skip_said = skipped.back();
        const std::string days = skipped.size() == 1 ? when::date_text(skipped.front())
                                                     : when::date_text(skipped.front()) + " .. " +
                                                           when::date_text(skipped.back());
        log(Priority::notice,
            "the sun does not rise or set at the site on " + days + ": the edge is skipped",
            schedule_fields(s.config->name, "schedule"));
    }
    if (s.config->window() && now >= high_water_) s.active = when::inside(s.config->timing, now);
    if (before != std::make_tuple(s.next, s.active))
        emit schedule_changed(QString::fromStdString(s.config->name));
}

void Timekeeper::window_due(Running& s, std::int64_t now, std::int64_t edge_at) {
    const bool on = when::inside(s.config->timing, now);
    const bool late = now - edge_at > edge_late_s;
    s.overrides.clear();
    log(Priority::info,
        std::string(on ? "window on" : "window off") +
            (late ? " (its edge at " + local_text(edge_at, now) + " passed unseen)" : ""),
        schedule_fields(s.config->name, late ? "schedule-catch-up" : "schedule"));
    set_window(s, on, late ? link::Origin::Source::schedule_catch_up : link::Origin::Source::schedule);
}

// The latest event due within the last day and not applied yet: applied
// once, however many were missed.
void Timekeeper::event_due(Running& s, std::int64_t now, bool at_start) {
    const auto last = when::last_edge(s.config->timing, now);
    if (!last || last->at <= s.applied || now - last->at > day_s) return;
    const bool late = at_start || now - last->at > edge_late_s;
    s.applied = last->at;
    std::erase_if(deferred_, [&](const Deferred& d) { return d.origin.detail == s.config->name; });
    save_state();
    const auto source = late ? link::Origin::Source::schedule_catch_up : link::Origin::Source::schedule;
    const std::string source_text = link::source_name(source);
    LogFields fields = schedule_fields(s.config->name, source_text);
    fields.scene = s.config->scene;
    log(Priority::info,
        "applying the scene" + (late ? " missed at " + local_text(last->at, now) : std::string()),
        fields);
    const auto scene = std::find_if(config_.scenes.begin(), config_.scenes.end(),
                                    [&](const SceneConfig& c) { return c.name == s.config->scene; });
    if (scene == config_.scenes.end()) return;  // the configuration checks it
    this->scene(*scene, {source, s.config->name}, [fields](const QStringList& failed) {
        if (!failed.isEmpty())
            log(Priority::warning, "not confirmed: " + failed.join("; ").toStdString(), fields);
    });
}

void Timekeeper::set_window(Running& s, bool on, link::Origin::Source source,
                            const BoardRelays* only) {
    const std::string name = s.config->name;
    for (const BoardRelays& b : s.config->relays) {
        if (only && !(b.line == only->line && b.address == only->address)) continue;
        Line* l = line(b.line);
        if (!l || !l->board(b.address).online) continue;  // set when it comes up
        std::uint16_t bits = on ? b.mask : 0;
        for (const auto& [key, value] : s.overrides) {
            const auto& [line_name, address, relay] = key;
            if (line_name != b.line || address != b.address) continue;
            const auto bit = protocol::relay_bit(relay);
            bits = static_cast<std::uint16_t>(value ? (bits | bit) : (bits & ~bit));
        }
        l->set_relays(b.address, b.mask, bits, {source, name},
                      [name, source](const Outcome& outcome) {
                          if (outcome.ok()) return;
                          log(Priority::warning, "not set: " + outcome.message.toStdString(),
                              schedule_fields(name, link::source_name(source)));
                      });
    }
}

void Timekeeper::on_board_changed(Line* l, std::uint8_t address) {
    const bool online = l->board(address).online;
    const auto key = std::make_pair(l, address);
    if (online == up_.contains(key)) return;
    if (!online) {
        up_.erase(key);
        return;
    }
    up_.insert(key);
    catch_up_board(l, address);
}

// A board that comes up gets what its windows want now (or what someone
// switched inside the window), however long it was away.
void Timekeeper::catch_up_board(Line* l, std::uint8_t address) {
    const std::int64_t now = now_ms() / 1000;
    const BoardRelays board{l->config().name, address, 0, 0};
    for (Running& s : schedules_) {
        if (!s.enabled || !s.config->window()) continue;
        const bool on = when::inside(s.config->timing, std::max(now, high_water_));
        set_window(s, on, link::Origin::Source::schedule_catch_up, &board);
    }
    for (auto d = deferred_.begin(); d != deferred_.end();) {
        if (d->board.line != board.line || d->board.address != address) {
            ++d;
            continue;
        }
        LogFields fields = schedule_fields(d->origin.detail, "schedule-catch-up");
        l->apply_setting(address, d->board.mask, d->board.bits, d->origin,
                         [fields](std::uint16_t failed, const QString& why) {
                             if (failed)
                                 log(Priority::warning, "not confirmed: " + why.toStdString(),
                                     fields);
                         });
        d = deferred_.erase(d);
    }
}

void Timekeeper::on_switched(Line* l, std::uint8_t address, int relay, bool on,
                             const QString& source) {
    if (source == "schedule" || source == "schedule-catch-up") return;
    const std::string line_name = l->config().name;
    for (Running& s : schedules_) {
        if (!s.enabled || !s.config->window()) continue;
        for (const BoardRelays& b : s.config->relays) {
            if (b.line != line_name || b.address != address ||
                !(b.mask & protocol::relay_bit(relay)))
                continue;
            const RelayKey key{line_name, address, relay};
            const auto known = s.overrides.find(key);
            if (known != s.overrides.end() && known->second == on) return;
            s.overrides[key] = on;
            const std::int64_t now = now_ms() / 1000;
            LogFields fields(line_name, address, relay, "schedule");
            fields.schedule = s.config->name;
            log(Priority::notice,
                std::string("overridden (") + source.toStdString() + "): " + (on ? "on" : "off") +
                    " until the schedule's next edge" +
                    (s.next ? " at " + local_text(s.next->at, now) : std::string()),
                fields);
            return;
        }
    }
}

Line* Timekeeper::line(const std::string& name) const {
    for (Line* l : lines_)
        if (l->config().name == name) return l;
    return nullptr;
}

Timekeeper::Running* Timekeeper::find(const QString& name) {
    for (Running& s : schedules_)
        if (QString::fromStdString(s.config->name) == name) return &s;
    return nullptr;
}

const Timekeeper::Running* Timekeeper::find(const QString& name) const {
    return const_cast<Timekeeper*>(this)->find(name);
}

QStringList Timekeeper::schedule_names() const {
    QStringList names;
    for (const Running& s : schedules_) names << QString::fromStdString(s.config->name);
    return names;
}

std::optional<ScheduleView> Timekeeper::schedule(const QString& name) const {
    const Running* s = find(name);
    if (!s) return std::nullopt;
    const std::uint64_t next =
        s->enabled && s->next ? static_cast<std::uint64_t>(s->next->at) * 1'000'000ULL : 0;
    return ScheduleView{name, s->enabled, s->enabled && s->active, next};
}

bool Timekeeper::enable(const QString& name, bool enabled, const QString& caller) {
    Running* s = find(name);
    if (!s) return false;
    if (s->enabled == enabled) return true;
    s->enabled = enabled;
    s->overrides.clear();
    save_state();
    log(Priority::notice, std::string(enabled ? "enabled" : "disabled") + " by " + caller.toStdString(),
        schedule_fields(s->config->name, "schedule"));
    const std::int64_t now = now_ms() / 1000;
    if (enabled && s->config->window()) {
        s->active = when::inside(s->config->timing, now);
        set_window(*s, s->active, link::Origin::Source::schedule_catch_up);
    }
    if (enabled && !s->config->window()) s->applied = std::max(s->applied, now);
    refresh(*s, now);
    emit schedule_changed(name);
    arm();
    return true;
}

QStringList Timekeeper::scene_names() const {
    QStringList names;
    for (const SceneConfig& scene : config_.scenes) names << QString::fromStdString(scene.name);
    return names;
}

bool Timekeeper::apply_scene(const QString& name, const QString& caller, Applied done) {
    const auto scene = std::find_if(config_.scenes.begin(), config_.scenes.end(),
                                    [&](const SceneConfig& c) { return c.name == name.toStdString(); });
    if (scene == config_.scenes.end()) return false;
    LogFields fields({}, {}, {}, "scene");
    fields.scene = scene->name;
    log(Priority::info, "applying for " + caller.toStdString(), fields);
    this->scene(*scene, {link::Origin::Source::scene, scene->name},
                [fields, done = std::move(done)](const QStringList& failed) {
                    if (failed.isEmpty())
                        log(Priority::info, "applied", fields);
                    else
                        log(Priority::warning, "not confirmed: " + failed.join("; ").toStdString(),
                            fields);
                    done(failed);
                });
    return true;
}

// Every board at once, each with its fewest frames; done when the last has
// answered.
void Timekeeper::scene(const SceneConfig& scene, const link::Origin& origin, Applied done) {
    struct Tally {
        std::size_t waiting = 0;
        QStringList failed;
        Applied done;
    };
    auto tally = std::make_shared<Tally>(Tally{scene.boards.size(), {}, std::move(done)});
    const auto finish_one = [tally]() {
        if (--tally->waiting == 0) tally->done(tally->failed);
    };
    if (scene.boards.empty()) return tally->done({});
    for (const BoardRelays& b : scene.boards) {
        const auto name_of = [b](int relay) {
            return QString("%1/%2/%3").arg(QString::fromStdString(b.line)).arg(b.address).arg(relay);
        };
        Line* l = line(b.line);
        if (l && origin.source == link::Origin::Source::schedule_catch_up &&
            !l->board(b.address).online) {
            deferred_.push_back({b, origin});
            finish_one();
            continue;
        }
        if (!l) {
            for (int r = 1; r <= protocol::relay_count; ++r)
                if (b.mask & protocol::relay_bit(r)) tally->failed << name_of(r) + ": no such line";
            finish_one();
            continue;
        }
        l->apply_setting(b.address, b.mask, b.bits, origin,
                         [tally, name_of, finish_one](std::uint16_t failed, const QString& why) {
                             for (int r = 1; r <= protocol::relay_count; ++r)
                                 if (failed & protocol::relay_bit(r))
                                     tally->failed << name_of(r) + ": " + why;
                             finish_one();
                         });
    }
}

std::string Timekeeper::first_line(const ScheduleConfig& s) const {
    if (s.window()) return s.relays.empty() ? std::string() : s.relays.front().line;
    for (const SceneConfig& scene : config_.scenes)
        if (scene.name == s.scene && !scene.boards.empty()) return scene.boards.front().line;
    return {};
}

std::vector<std::string> Timekeeper::scenes_of(const std::string& line_name) const {
    std::vector<std::string> names;
    for (const SceneConfig& scene : config_.scenes)
        if (!scene.boards.empty() && scene.boards.front().line == line_name)
            names.push_back(scene.name);
    return names;
}

std::vector<mqtt::Timekeeping::Schedule> Timekeeper::schedules_of(
    const std::string& line_name) const {
    std::vector<mqtt::Timekeeping::Schedule> list;
    for (const Running& s : schedules_)
        if (first_line(*s.config) == line_name) list.push_back({s.config->name, s.enabled});
    return list;
}

void LineTimekeeping::use(Timekeeper* keeper) {
    if (keeper_) keeper_->disconnect(this);
    keeper_ = keeper;
    if (!keeper_) return;
    connect(keeper_, &TimeModel::schedule_changed, this, [this](const QString& name) {
        for (const Schedule& s : schedules())
            if (QString::fromStdString(s.name) == name) emit schedule_changed(name, s.enabled);
    });
}

std::vector<std::string> LineTimekeeping::scenes() const {
    return keeper_ ? keeper_->scenes_of(line_) : std::vector<std::string>{};
}

std::vector<mqtt::Timekeeping::Schedule> LineTimekeeping::schedules() const {
    return keeper_ ? keeper_->schedules_of(line_) : std::vector<Schedule>{};
}

void LineTimekeeping::apply_scene(const std::string& name) {
    if (keeper_)
        (void)keeper_->apply_scene(QString::fromStdString(name), "mqtt", [](const QStringList&) {});
}

void LineTimekeeping::enable_schedule(const std::string& name, bool enabled) {
    if (keeper_) (void)keeper_->enable(QString::fromStdString(name), enabled, "mqtt");
}

}  // namespace tarnwick::service

#include "mqtt/bridge.h"

#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <utility>
#include <variant>

#include "mqtt/topics.h"
#include "names/name_file.h"

namespace tarnwick::mqtt {

namespace {

// Names are read again this long after the last change to their directory:
// a write goes to a temporary file that is then renamed over name.txt.
constexpr int names_settle_ms = 200;
constexpr int discovery_quiet_ms = 500;
constexpr int discovery_burst_max_ms = 3000;
constexpr int refusal_log_ms = 1000;

QString q(const std::string& text) {
    return QString::fromStdString(text);
}

}  // namespace

Bridge::Bridge(BridgeOptions options, link::BoardLine& line, names::NameFileLocation names,
               QObject* parent)
    : QObject(parent),
      options_(std::move(options)),
      line_(line),
      client_(options_.client),
      names_at_(std::move(names)) {
    for (const std::uint8_t address : options_.boards) boards_.push_back(Board{address, {}});
    names_settle_.setSingleShot(true);
    names_settle_.setInterval(names_settle_ms);
    connect(&names_settle_, &QTimer::timeout, this, &Bridge::reload_names);
    discovery_burst_.setSingleShot(true);
    discovery_burst_.setInterval(discovery_quiet_ms);
    connect(&discovery_burst_, &QTimer::timeout, this, &Bridge::republish_discovery);
    refusal_log_.setSingleShot(true);
    refusal_log_.setInterval(refusal_log_ms);
    connect(&refusal_log_, &QTimer::timeout, this, &Bridge::log_refusals);
    connect(&client_, &Client::report, this, &Bridge::report);
    connect(&client_, &Client::connected, this, &Bridge::on_connected);
    connect(&client_, &Client::message_received, this, &Bridge::on_message);
    connect(&line_, &link::BoardLine::board_answered, this, &Bridge::on_answer);
    connect(&line_, &link::BoardLine::board_online_changed, this, &Bridge::on_online);
    connect(&line_, &link::BoardLine::relays_changed, this, &Bridge::on_relays);
    connect(&line_, &link::BoardLine::inputs_changed, this, &Bridge::on_inputs);
    connect(&line_, &link::BoardLine::command_sent, this, &Bridge::on_command);
    connect(&line_, &link::BoardLine::unclaimed_answers, this, &Bridge::on_unclaimed);
    connect(&line_, &link::BoardLine::port_state_changed, this, &Bridge::on_port_state);
    connect(&line_, &link::BoardLine::interlock_failed, this, &Bridge::on_interlock_failed);
}

Bridge::~Bridge() {
    line_.disconnect(this);
}

void Bridge::start() {
    if (names_at_.path.empty()) names_at_ = names::locate_name_file(names::executable_directory());
    // The first reading before the first discovery config.
    {
        std::vector<std::string> reports;
        names::TextMessages messages(
            [&reports](const std::string& text) { reports.push_back(text); });
        names_read(names::names_without_creating(names_at_, board_addresses(), messages), reports);
    }
    const QString names_directory = QFileInfo(q(names_at_.path)).absolutePath();
    if (QFileInfo(names_directory).isDir()) names_watch_.addPath(names_directory);
    connect(&names_watch_, &QFileSystemWatcher::directoryChanged, &names_settle_,
            qOverload<>(&QTimer::start));

    client_.subscribe(std::string(discovery_filter));
    if (options_.read_only) {
        emit report("read-only: no command subscription; sets are neither taken nor answered");
    } else {
        client_.subscribe(set_filter(options_.client.node));
        client_.subscribe(pulse_filter(options_.client.node));
        client_.subscribe(std::string(ha_status_topic));
    }
    started_ = true;
    if (timekeeping_) subscribe_timekeeping();
    client_.start();
}

void Bridge::stop(std::chrono::milliseconds timeout) {
    line_.disconnect(this);
    for (const Board& b : boards_) publish_availability(b.address, false);
    client_.stop(timeout);
}

void Bridge::set_timekeeping(Timekeeping* timekeeping) {
    if (timekeeping_) timekeeping_->disconnect(this);
    timekeeping_ = timekeeping;
    if (!timekeeping) {
        timekeeping_sent_.clear();
        schedules_sent_.clear();
        client_.unsubscribe(scene_filter(options_.client.node));
        client_.unsubscribe(schedule_filter(options_.client.node));
        return;
    }
    connect(timekeeping, &Timekeeping::schedule_changed, this, &Bridge::on_schedule_changed);
    if (!started_) return;
    subscribe_timekeeping();
    publish_timekeeping();
}

// As for relays: no command subscription when read-only.
void Bridge::subscribe_timekeeping() {
    if (options_.read_only) return;
    client_.subscribe(scene_filter(options_.client.node));
    client_.subscribe(schedule_filter(options_.client.node));
}

Bridge::Board* Bridge::board(std::uint8_t address) {
    const auto found = std::find_if(boards_.begin(), boards_.end(),
                                    [address](const Board& b) { return b.address == address; });
    return found == boards_.end() ? nullptr : &*found;
}

void Bridge::on_command(std::uint8_t address, const link::WantedStates::Want& want) {
    for (int relay = 1; relay <= relay_count; ++relay) {
        if (want.relay != 0 && want.relay != relay) continue;
        const auto set = sets_.find({address, relay});
        if (set == sets_.end()) continue;  // wanted by someone else on the line
        if (set->second == want.on_for(relay))
            emit report(QString("switching relay %1 of board %2 %3, as set")
                            .arg(relay)
                            .arg(address)
                            .arg(set->second ? "ON" : "OFF"));
        sets_.erase(set);
    }
}

// A set ON of an interlocked relay that could not be carried out is
// answered on the board's error topic.
void Bridge::on_interlock_failed(std::uint8_t address, int relay, const QString& why) {
    const auto set = sets_.find({address, relay});
    if (set == sets_.end() || !set->second) return;
    sets_.erase(set);
    refuse({board_error_topic(options_.client.node, address),
            "relay " + std::to_string(relay) + " of board " + std::to_string(address) +
                " not switched on: " + why.toStdString()});
}

// A set the board shows already needs no command.
void Bridge::on_answer(std::uint8_t address, std::uint16_t relays, bool to_query) {
    if (!to_query) return;
    std::erase_if(sets_, [&](const auto& set) {
        return set.first.first == address &&
               ((relays & protocol::relay_bit(set.first.second)) != 0) == set.second;
    });
}

// The line tells a board online before the relays its first answer shows.
void Bridge::on_online(std::uint8_t address, bool online, const QString& why) {
    if (!board(address)) return;
    if (online) {
        emit report(QString("board %1 answers").arg(address));
    } else {
        std::erase_if(sets_, [&](const auto& set) { return set.first.first == address; });
        emit report(QString("board %1 is offline: %2").arg(address).arg(why));
    }
    publish_availability(address, online);
}

void Bridge::on_relays(std::uint8_t address, std::optional<std::uint16_t> before, std::uint16_t) {
    if (const Board* b = board(address)) publish_relays(*b, before);
}

// The first, then at most a line a minute: a line full of them says so
// without flooding the log.
void Bridge::on_unclaimed(std::uint8_t address, quint64 since_open) {
    emit report(QString("dropped an answer from address %1, which no poll waits on "
                        "(%2 answers from another address since the line opened)")
                    .arg(address)
                    .arg(since_open));
}

// The line reopens a device that went away when it is back (the loss is
// reported by the line's owner); until then no board can answer, and nothing
// set before the loss is sent after it.
void Bridge::on_port_state(bool open) {
    if (!open) {
        line_lost_ = true;
        sets_.clear();
        return;
    }
    if (std::exchange(line_lost_, false))
        emit report(QString("%1 is back; polling again").arg(line_.device()));
}

// Everything retained again: a broker that restarted may have kept nothing.
void Bridge::on_connected() {
    for (const Board& b : boards_) {
        publish_discovery(b);
        publish_availability(b.address, line_.online(b.address));
        publish_relays(b, std::nullopt);
        publish_inputs(b.address, std::nullopt);
    }
    publish_timekeeping();
}

void Bridge::on_message(const Message& message) {
    if (message.topic == ha_status_topic) {
        // Home Assistant (re)started: it asks for the discovery configs.
        if (message.payload != online_payload) return;
        if (!discovery_burst_.isActive()) discovery_burst_since_.start();
        if (discovery_burst_since_.elapsed() < discovery_burst_max_ms) discovery_burst_.start();
        return;
    }
    if (message.topic == timekeeping_discovery_topic(options_.client.node)) {
        if (message.retained && !message.payload.empty())
            on_earlier_timekeeping_config(message.payload);
        return;
    }
    if (is_timekeeping_topic(options_.client.node, message.topic)) {
        on_timekeeping_message(message);
        return;
    }
    if (message.topic.rfind("homeassistant/", 0) == 0) {
        const auto address = discovery_address(options_.client.node, message.topic);
        if (address && message.retained && !message.payload.empty())
            on_earlier_config(*address, message.payload);
        return;
    }
    const auto read = read_set(options_.client.node, options_.boards, message.topic,
                               message.payload, message.retained);
    if (const auto* refusal = std::get_if<Refusal>(&read)) {
        refuse(*refusal);
        return;
    }
    const auto& set = std::get<SetCommand>(read);
    if (!line_.is_open()) {
        refuse({board_error_topic(options_.client.node, set.address),
                "refused a set for relay " + std::to_string(set.relay) + " of board " +
                    std::to_string(set.address) + ": the serial device " +
                    line_.device().toStdString() + " is gone; a set is not kept until it is back"});
        return;
    }
    sets_[{set.address, set.relay}] = set.on;
    const link::Origin origin{link::Origin::Source::mqtt, message.topic};
    if (set.pulse_ms)
        line_.pulse(set.address, set.relay, std::chrono::milliseconds(*set.pulse_ms), origin);
    else
        line_.want(set.address, set.relay, set.on, origin);
}

void Bridge::publish_timekeeping() {
    if (!timekeeping_) return;
    publish_timekeeping_discovery();
    for (const Timekeeping::Schedule& s : timekeeping_->schedules())
        client_.publish(schedule_state_topic(options_.client.node, s.name),
                        std::string(relay_payload(s.enabled)), true);
}

void Bridge::publish_timekeeping_discovery() {
    if (!timekeeping_) return;
    schedules_sent_.clear();
    for (const Timekeeping::Schedule& s : timekeeping_->schedules())
        schedules_sent_.push_back(s.name);
    timekeeping_sent_ =
        timekeeping_discovery_json(options_.client.node, options_.version, timekeeping_->scenes(),
                                   schedules_sent_, !options_.read_only);
    if (!timekeeping_sent_.empty())
        client_.publish(timekeeping_discovery_topic(options_.client.node), timekeeping_sent_, true);
}

// A schedule not in the config sent is new: the config goes again first.
void Bridge::on_schedule_changed(const QString& name, bool enabled) {
    const std::string schedule = name.toStdString();
    if (std::find(schedules_sent_.begin(), schedules_sent_.end(), schedule) ==
        schedules_sent_.end())
        publish_timekeeping_discovery();
    client_.publish(schedule_state_topic(options_.client.node, schedule),
                    std::string(relay_payload(enabled)), true);
}

void Bridge::on_timekeeping_message(const Message& message) {
    std::vector<std::string> scenes;
    std::vector<std::string> schedules;
    if (timekeeping_) {
        scenes = timekeeping_->scenes();
        for (const Timekeeping::Schedule& s : timekeeping_->schedules())
            schedules.push_back(s.name);
    }
    const auto read = read_timekeeping(options_.client.node, scenes, schedules, message.topic,
                                       message.payload, message.retained);
    if (const auto* refusal = std::get_if<Refusal>(&read)) {
        refuse(*refusal);
    } else if (const auto* scene = std::get_if<SceneCommand>(&read)) {
        emit report(QString("applying the scene %1, as set").arg(q(scene->scene)));
        timekeeping_->apply_scene(scene->scene);
    } else {
        const auto& set = std::get<ScheduleCommand>(read);
        emit report(QString("%1 the schedule %2, as set")
                        .arg(set.enabled ? "enabling" : "disabling", q(set.schedule)));
        timekeeping_->enable_schedule(set.schedule, set.enabled);
    }
}

// As for a board's config: a device with nothing left to show goes, and
// entities that went get a removal before the config is sent again.
void Bridge::on_earlier_timekeeping_config(const std::string& config) {
    if (config == timekeeping_sent_) return;
    const std::string topic = timekeeping_discovery_topic(options_.client.node);
    if (timekeeping_sent_.empty()) {
        emit report(
            "no scenes or schedules are offered any more: removing their Home "
            "Assistant device");
        client_.publish(topic, std::string(), true);
        return;
    }
    const std::string removal = discovery_with_removals(timekeeping_sent_, config);
    if (removal.empty()) return;
    client_.publish(topic, removal, true);
    client_.publish(topic, timekeeping_sent_, true);
}

void Bridge::refuse(const Refusal& refusal) {
    client_.publish(refusal.error_topic, refusal.text, false);
    if (refusal_log_.isActive()) {
        ++refusals_unlogged_;
        return;
    }
    emit report(q(refusal.text));
    refusal_log_.start();
}

void Bridge::log_refusals() {
    if (refusals_unlogged_ == 0) return;
    emit report(QString("refused %1 more sets in the last second, each answered on its error "
                        "topic")
                    .arg(refusals_unlogged_));
    refusals_unlogged_ = 0;
    refusal_log_.start();
}

void Bridge::publish_availability(std::uint8_t address, bool online) {
    client_.publish(availability_topic(options_.client.node, address),
                    std::string(online ? online_payload : offline_payload), true);
}

void Bridge::publish_relays(const Board& b, std::optional<std::uint16_t> before) {
    const std::optional<std::uint16_t> relays = line_.relays(b.address);
    const auto answered = line_.answered_at(b.address);
    if (!relays || !answered) return;
    const std::string& node = options_.client.node;
    for (int relay = 1; relay <= relay_count; ++relay) {
        const std::uint16_t bit = protocol::relay_bit(relay);
        if (before && ((*before ^ *relays) & bit) == 0) continue;
        client_.publish(relay_state_topic(node, b.address, relay),
                        std::string(relay_payload((*relays & bit) != 0)), true);
    }
    client_.publish(board_state_topic(node, b.address),
                    board_state_json({b.address, *relays, b.names, *answered}), true);
}

void Bridge::on_inputs(std::uint8_t address, std::optional<std::uint16_t> before, std::uint16_t) {
    if (board(address)) publish_inputs(address, before);
}

void Bridge::publish_inputs(std::uint8_t address, std::optional<std::uint16_t> before) {
    const std::optional<std::uint16_t> inputs = line_.inputs(address);
    if (!inputs) return;
    for (int input = 1; input <= line_.line_settings().inputs; ++input) {
        const auto bit = static_cast<std::uint16_t>(1U << (input - 1));
        if (before && ((*before ^ *inputs) & bit) == 0) continue;
        client_.publish(input_state_topic(options_.client.node, address, input),
                        std::string(relay_payload((*inputs & bit) != 0)), true);
    }
}

void Bridge::publish_discovery(const Board& b) {
    const std::string& node = options_.client.node;
    std::string& config = discovery_sent_[b.address];
    PulseLengths pulses;
    const auto& rules = line_.rules(b.address);
    for (std::size_t i = 0; i < pulses.size(); ++i)
        if (rules.pulse[i]) pulses[i] = rules.pulse[i]->count();
    config = discovery_json(node, b.address, b.names, options_.version, !options_.read_only, pulses,
                            line_.line_settings().inputs);
    client_.publish(discovery_topic(node, b.address), config, true);
}

void Bridge::republish_discovery() {
    for (const Board& b : boards_) {
        const auto sent = discovery_sent_.find(b.address);
        if (sent == discovery_sent_.end())
            publish_discovery(b);
        else
            client_.publish(discovery_topic(options_.client.node, b.address), sent->second, true);
    }
    if (!timekeeping_sent_.empty())
        client_.publish(timekeeping_discovery_topic(options_.client.node), timekeeping_sent_, true);
    else
        publish_timekeeping_discovery();
}

// A config of this node kept by the broker, from this run or an earlier one.
// A board no longer served loses its device; relays whose platform changed
// (--read-only toggled) are removed before the config is sent again, so that
// Home Assistant keeps no stale entity.
void Bridge::on_earlier_config(std::uint8_t address, const std::string& config) {
    const std::string& node = options_.client.node;
    if (!board(address)) {
        emit report(QString("board %1 is no longer served: removing its Home Assistant device")
                        .arg(address));
        client_.publish(discovery_topic(node, address), std::string(), true);
        return;
    }
    const auto sent = discovery_sent_.find(address);
    if (sent != discovery_sent_.end() && sent->second == config) return;
    const QJsonObject earlier = QJsonDocument::fromJson(QByteArray::fromStdString(config)).object();
    const QString platform = earlier["cmps"]["r1"]["p"].toString();
    const QString now = options_.read_only ? "binary_sensor" : "switch";
    if (platform.isEmpty() || platform == now) return;
    const bool switches = platform == "switch";
    if (!switches && platform != "binary_sensor") return;
    std::string removal = discovery_removal_json(node, address, options_.version, switches);
    if (removal == config) return;  // ours, coming back
    client_.publish(discovery_topic(node, address), removal, true);
    publish_discovery(*board(address));
}

std::vector<int> Bridge::board_addresses() const {
    std::vector<int> addresses;
    for (const Board& b : boards_) addresses.push_back(b.address);
    return addresses;
}

// name.txt as the panel reads it, never created from here: read once for all
// boards, on a worker thread, so that a slow or large file never holds up the
// line's ticks. A change during a reading gets a reading of its own after it.
void Bridge::reload_names() {
    if (names_reading_) {
        names_again_ = true;
        return;
    }
    names_reading_ = true;
    names_worker_.start([this, location = names_at_, addresses = board_addresses()] {
        std::vector<std::string> reports;
        names::TextMessages messages(
            [&reports](const std::string& text) { reports.push_back(text); });
        std::vector<RelayNames> names =
            names::names_without_creating(location, addresses, messages);
        QMetaObject::invokeMethod(
            this,
            [this, names = std::move(names), reports = std::move(reports)] {
                names_reading_ = false;
                names_read(names, reports);
                if (std::exchange(names_again_, false)) reload_names();
            },
            Qt::QueuedConnection);
    });
}

// A board whose names changed gets its discovery config and state again.
void Bridge::names_read(const std::vector<RelayNames>& names,
                        const std::vector<std::string>& reports) {
    for (const std::string& text : reports) emit report(q(text));
    for (std::size_t i = 0; i < boards_.size() && i < names.size(); ++i) {
        Board& b = boards_[i];
        if (names[i] == b.names) continue;
        b.names = names[i];
        if (!names_loaded_) continue;
        emit report(
            QString("the names of board %1 changed in %2").arg(b.address).arg(q(names_at_.path)));
        publish_discovery(b);
        publish_relays(b, line_.relays(b.address));  // no relay changed: the JSON only
    }
    names_loaded_ = true;
}

}  // namespace tarnwick::mqtt

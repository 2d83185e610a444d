#include "service/line.h"

#include <algorithm>
#include <string>

#include "names/gbk.h"
#include "names/profile_file.h"
#include "service/journal.h"

namespace tarnwick::service {

namespace {

constexpr std::uint16_t all_relays = 0xffff;
// A device not there is looked for again this often.
constexpr int retry_open_ms = 1000;
// A state file that could not be written is tried again this often.
constexpr int save_again_ms = 5000;
// A device still missing is said again this often.
constexpr auto open_failure_reminder = std::chrono::minutes(5);
// A board's same refusal is said again this often.
constexpr auto refusal_reminder = std::chrono::minutes(1);

std::string board_section(std::uint8_t address) {
    return "board-" + std::to_string(address);
}

int key(std::uint8_t address, int relay) {
    return protocol::relay_key(address, relay);
}

// A request's end as the bus tells it.
Outcome outcome(const link::Settled& settled) {
    using E = link::Settled::Error;
    const Outcome::Error error = settled.error == E::not_confirmed ? Outcome::Error::not_confirmed
                                 : settled.error == E::offline     ? Outcome::Error::offline
                                 : settled.error == E::interlock   ? Outcome::Error::interlock
                                 : settled.error == E::refused     ? Outcome::Error::refused
                                                                   : Outcome::Error::none;
    return {error, settled.why};
}

QStringList to_list(const std::array<std::string, names::channel_count>& names) {
    QStringList list;
    for (const std::string& name : names) list << QString::fromStdString(name);
    return list;
}

}  // namespace

Line::Line(LineConfig config, names::NameFile& names, const std::string& state_directory,
           QObject* parent)
    : LineModel(parent),
      config_(std::move(config)),
      names_(names),
      line_(port_, *this, config_.boards,
            config_.pace == Pace::answer ? link::BoardLine::Pace::answer
                                         : link::BoardLine::Pace::tick),
      state_(state_directory + "/" + config::state_file_name(config_.name),
             [this](Priority priority, const std::string& text) {
                 log(priority, text, {config_.name, {}, {}, {}});
             }) {
    line_.use_line(config_.settings);
    for (const auto& [address, rules] : config_.rules) line_.set_rules(address, rules);
    restore_state();
    for (const std::uint8_t address : config_.boards)
        names_of_[address] = to_list(names_.load_names(std::to_string(address)));
    retry_open_.setInterval(retry_open_ms);
    save_again_.setInterval(save_again_ms);
    connect(&save_again_, &QTimer::timeout, this, &Line::save_state);
    connect(&retry_open_, &QTimer::timeout, this, &Line::try_open);
    connect(&line_, &link::BoardLine::turned, this, &Line::ticked);
    connect(&line_, &link::BoardLine::board_online_changed, this, &Line::on_online);
    connect(&line_, &link::BoardLine::relays_changed, this, &Line::on_relays);
    connect(&line_, &link::BoardLine::unclaimed_answers, this, &Line::on_unclaimed);
    connect(&line_, &link::BoardLine::port_state_changed, this, &Line::on_port_state);
    connect(&line_, &link::BoardLine::command_sent, this, &Line::on_command);
    connect(&line_, &link::BoardLine::relays_confirmed, this,
            [this](std::uint8_t address, std::uint16_t relays) {
                state_.set(board_section(address), "relays", relays);
                save_state();
            });
    connect(&line_, &link::BoardLine::deadline_changed, this, &Line::on_deadline);
    connect(&line_, &link::BoardLine::interlock_failed, this, &Line::on_interlock_failed);
    connect(&line_, &link::BoardLine::interlock_broken, this, &Line::on_interlock_broken);
    connect(&line_, &link::BoardLine::request_refused, this, &Line::on_refused);
    connect(&line_, &link::BoardLine::inputs_changed, this,
            [this](std::uint8_t address) { emit board_changed(address); });
    if (config_.mqtt) {
        mqtt::BridgeOptions options{*config_.mqtt, config_.boards, config_.read_only,
                                    TARNWICK_VERSION, config_.settings};
        names::NameFileLocation names_at;
        names_at.why = names::NameFileLocation::Why::installed_copy;
        names_at.path = names_.path();
        bridge_ = std::make_unique<mqtt::Bridge>(std::move(options), line_, std::move(names_at));
        connect(bridge_.get(), &mqtt::Bridge::report, this, [this](const QString& text) {
            log(Priority::info, "mqtt: " + text.toStdString(), {config_.name, {}, {}, {}});
        });
    }
    requests_.listen();
}

Line::~Line() {
    stop(std::chrono::milliseconds(0));
}

void Line::stop(std::chrono::milliseconds timeout) {
    requests_.fail_all(std::nullopt, link::Settled::Error::offline, "the service is stopping");
    if (bridge_) bridge_->stop(timeout);
    bridge_.reset();
    retry_open_.stop();
    line_.disconnect(this);
    line_.stop();
}

void Line::port_error(const QString& text) {
    const auto now = std::chrono::steady_clock::now();
    const bool again = text == open_failure_;
    if (again && now - open_failure_said_ < open_failure_reminder) return;
    open_failure_ = text;
    open_failure_said_ = now;
    log(Priority::error, text.toStdString() + (again ? " (still; tried every second)" : ""),
        {config_.name, {}, {}, {}});
}

void Line::save_state() {
    if (state_.save())
        save_again_.stop();
    else if (!save_again_.isActive())
        save_again_.start();
}

void Line::start() {
    if (bridge_) bridge_->start();
    try_open();
    if (!line_.is_open()) {
        log(Priority::warning, "waiting for " + config_.device, {config_.name, {}, {}, {}});
        retry_open_.start();
    }
}

void Line::try_open() {
    if (!line_.open({QString::fromStdString(config_.device), link::PortSource::named}, -1)) return;
    retry_open_.stop();
    open_failure_.clear();
    log(Priority::info,
        "polling boards " + mqtt::boards_text(config_.boards) + " on " + config_.device + " (" +
            protocol::describe(config_.settings) + ")" +
            (config_.pace == Pace::answer ? ", each frame once the last is answered"
                                          : ", one frame every 50 ms"),
        {config_.name, {}, {}, {}});
    line_.start();
}

QString Line::name() const {
    return QString::fromStdString(config_.name);
}
QString Line::device() const {
    return QString::fromStdString(config_.device);
}
bool Line::open() const {
    return line_.is_open();
}
std::vector<std::uint8_t> Line::boards() const {
    return config_.boards;
}
QString Line::protocol() const {
    const std::string_view name = protocol::protocol_name(config_.settings.protocol);
    return QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size()));
}
int Line::boards_online() const {
    return static_cast<int>(std::count_if(config_.boards.begin(), config_.boards.end(),
                                          [this](std::uint8_t a) { return line_.online(a); }));
}

BoardState Line::board(std::uint8_t address) const {
    const auto names = names_of_.find(address);
    if (names == names_of_.end()) return {};
    return {line_.online(address), line_.relays(address).value_or(0), names->second,
            line_.inputs(address).value_or(0)};
}

void Line::on_online(std::uint8_t address, bool online, const QString& why) {
    if (online) {
        log(Priority::info, "answers", {config_.name, address, {}, {}});
    } else {
        log(Priority::warning, "offline: " + why.toStdString(), {config_.name, address, {}, {}});
    }
    emit board_changed(address);
}

// Each change with who asked for it: the command's origin when the answer
// shows what it asked, else nobody here ("observed": the board's buttons,
// another program). Switched goes out before the PropertiesChanged it
// causes, so a watcher has its cause when it sees the change.
void Line::on_relays(std::uint8_t address, std::optional<std::uint16_t> before,
                     std::uint16_t relays) {
    if (!before) return emit board_changed(address);  // came online: said by on_online
    for (int relay = 1; relay <= protocol::relay_count; ++relay) {
        const std::uint16_t bit = protocol::relay_bit(relay);
        if (!((*before ^ relays) & bit)) continue;
        const bool on = relays & bit;
        link::Origin origin;
        const auto expected = expected_.find(key(address, relay));
        if (expected != expected_.end() && expected->second.on == on) {
            origin = expected->second.origin;
            expected_.erase(expected);
        }
        std::string text = on ? "relay on" : "relay off";
        if (!origin.detail.empty()) text += " (" + origin.detail + ")";
        log(Priority::notice, text, origin_fields(origin, address, relay));
        emit relay_switched(address, relay, on, link::source_name(origin.source),
                            QString::fromStdString(origin.detail));
    }
    emit board_changed(address);
}

void Line::on_command(std::uint8_t address, const link::WantedStates::Want& want,
                      const link::Origin& origin) {
    for (int relay = 1; relay <= protocol::relay_count; ++relay)
        if (want.relay == 0 || want.relay == relay)
            expected_[key(address, relay)] = {want.on_for(relay), origin};
    // The service's own decisions are said when taken; a caller's were said
    // when asked.
    using Source = link::Origin::Source;
    if (origin.source != Source::pulse && origin.source != Source::interlock &&
        origin.source != Source::power_on)
        return;
    const std::string what = want.relay == 0 ? (want.on ? "all relays on" : "all relays off")
                                             : (want.on ? "switching on" : "switching off");
    log(Priority::info, std::string(link::source_name(origin.source)) + ": " + what,
        {config_.name, address, want.relay == 0 ? std::optional<int>() : want.relay,
         link::source_name(origin.source)});
}

// Kept before the ON goes out: a restart, or a line that comes back, still
// ends the pulse.
void Line::on_deadline(std::uint8_t address, int relay,
                       std::optional<std::chrono::system_clock::time_point> at) {
    const std::string key = "pulse-deadline." + std::to_string(relay);
    if (at)
        state_.set(
            board_section(address), key,
            std::chrono::duration_cast<std::chrono::milliseconds>(at->time_since_epoch()).count());
    else
        state_.remove(board_section(address), key);
    save_state();
}

void Line::restore_state() {
    state_.load();
    for (const std::uint8_t address : config_.boards) {
        const std::string section = board_section(address);
        const auto relays = state_.value(section, "relays");
        if (relays && *relays >= 0 && *relays <= 0xffff)
            line_.restore_last(address, static_cast<std::uint16_t>(*relays));
        for (int relay = 1; relay <= protocol::relay_count; ++relay) {
            const auto ms = state_.value(section, "pulse-deadline." + std::to_string(relay));
            if (ms)
                line_.restore_deadline(
                    address, relay,
                    std::chrono::system_clock::time_point(std::chrono::milliseconds(*ms)));
        }
    }
    // A file set aside or from an older version is written in full now.
    if (state_.unsaved()) save_state();
}

void Line::on_interlock_failed(std::uint8_t address, int relay, const QString& why) {
    log(Priority::warning, "not switched on: " + why.toStdString(),
        {config_.name, address, relay, "interlock"});
}

void Line::on_interlock_broken(std::uint8_t address, std::uint16_t relays_on) {
    QStringList relays;
    for (int relay = 1; relay <= protocol::relay_count; ++relay)
        if (relays_on & protocol::relay_bit(relay)) relays << QString::number(relay);
    log(Priority::error,
        "relays " + relays.join(" and ").toStdString() +
            " of one interlocked group are on together; releasing the whole group",
        {config_.name, address, {}, "interlock"});
}

// A board that refuses its polls refuses each one: the same refusal is said
// again only now and then, with how often it came meanwhile.
void Line::on_refused(std::uint8_t address, const QString& why) {
    const auto now = std::chrono::steady_clock::now();
    Refusals& said = refusals_[address];
    if (said.why == why && now - said.at < refusal_reminder) {
        ++said.since;
        return;
    }
    std::string text = "refused: " + why.toStdString();
    if (said.why == why && said.since > 0)
        text += " (" + std::to_string(said.since + 1) + " times since it was last said)";
    said = {why, now, 0};
    log(Priority::warning, text, {config_.name, address, {}, {}});
}

void Line::on_unclaimed(std::uint8_t address, quint64 since_open) {
    log(Priority::warning,
        "dropped an answer from address " + std::to_string(address) + ", which no poll waits on (" +
            std::to_string(since_open) + " answers from another address since the line opened)",
        {config_.name, {}, {}, {}});
}

void Line::on_port_state(bool) {
    emit open_changed();
}

void Line::want(std::uint8_t address, std::uint16_t mask, std::uint16_t bits,
                const link::Origin& origin, Done done,
                std::optional<std::chrono::milliseconds> length) {
    requests_.ask(
        address, mask, bits, origin,
        [done = std::move(done)](const link::Settled& settled) { done(outcome(settled)); }, length);
}

void Line::set_relays(std::uint8_t address, std::uint16_t mask, std::uint16_t bits,
                      const link::Origin& origin, Done done) {
    want(address, mask, bits, origin, std::move(done));
}

LogFields Line::origin_fields(const link::Origin& origin, std::uint8_t address,
                              std::optional<int> relay) const {
    using Source = link::Origin::Source;
    LogFields fields{config_.name, address, relay, link::source_name(origin.source)};
    if (origin.source == Source::schedule || origin.source == Source::schedule_catch_up)
        fields.schedule = origin.detail;
    if (origin.source == Source::scene) fields.scene = origin.detail;
    return fields;
}

void Line::apply_setting(std::uint8_t address, std::uint16_t mask, std::uint16_t bits,
                         const link::Origin& origin, Set done) {
    const bool patterns = config_.settings.protocol == protocol::Protocol::modbus &&
                          line_.rules(address) == link::BoardRules{};
    // An all-off step may cover relays outside the setting: they were off.
    setting_steps(address, link::plan_setting(line_.relays(address), mask, bits, patterns), 0,
                  origin, 0, {},
                  [mask, done = std::move(done)](std::uint16_t failed, const QString& why) {
                      done(static_cast<std::uint16_t>(failed & mask), why);
                  });
}

// One step after the other: the energizes only once the releases are seen.
// A step that failed leaves its relays not as wanted as failed, and the next
// step still goes.
void Line::setting_steps(std::uint8_t address, std::vector<link::SettingStep> steps,
                         std::size_t next, const link::Origin& origin, std::uint16_t failed,
                         QString why, Set done) {
    if (next >= steps.size()) return done(failed, why);
    const link::SettingStep step = steps[next];
    requests_.ask(address, step.mask, step.bits, origin,
                  [this, address, steps = std::move(steps), next, origin, failed, why,
                   done = std::move(done), step](const link::Settled& settled) mutable {
                      if (!settled.ok()) {
                          const auto shown = line_.relays(address);
                          const auto wrong = static_cast<std::uint16_t>(
                              shown ? ((*shown ^ step.bits) & step.mask) : step.mask);
                          failed |= wrong;
                          if (why.isEmpty() && wrong) why = settled.why;
                      }
                      // Out of the request's own settling: the next may settle at once.
                      QTimer::singleShot(
                          0, this,
                          [=, this, steps = std::move(steps), done = std::move(done)]() mutable {
                              setting_steps(address, std::move(steps), next + 1, origin, failed,
                                            why, std::move(done));
                          });
                  });
}

void Line::switch_relay(std::uint8_t address, int relay, bool on, const QString& caller,
                        Done done) {
    const std::uint16_t bit = protocol::relay_bit(relay);
    log(Priority::info, (on ? "switching on for " : "switching off for ") + caller.toStdString(),
        {config_.name, address, relay, "dbus"});
    want(address, bit, on ? bit : 0, {link::Origin::Source::dbus, caller.toStdString()},
         std::move(done));
}

void Line::switch_all(std::uint8_t address, bool on, const QString& caller, Done done) {
    log(Priority::info,
        (on ? "switching all on for " : "switching all off for ") + caller.toStdString(),
        {config_.name, address, {}, "dbus"});
    want(address, all_relays, on ? all_relays : 0,
         {link::Origin::Source::dbus, caller.toStdString()}, std::move(done));
}

void Line::pulse(std::uint8_t address, int relay, std::chrono::milliseconds length,
                 const QString& caller, Done done) {
    const std::uint16_t bit = protocol::relay_bit(relay);
    log(Priority::info,
        "pulse of " + std::to_string(length.count()) + " ms for " + caller.toStdString(),
        {config_.name, address, relay, "dbus"});
    want(address, bit, bit, {link::Origin::Source::dbus, caller.toStdString()}, std::move(done),
         length);
}

void Line::rename(std::uint8_t address, int relay, const QString& name, const QString& caller,
                  Done done) {
    const std::string address_text = std::to_string(address);
    const std::string relay_text = std::to_string(relay);
    // The file's readers take at most max_value_bytes of GBK: a longer name
    // would come back cut, and a huge one would make the file too large.
    const QByteArray utf8 = name.toUtf8();
    const auto gbk = utf8.size() > 4 * static_cast<int>(names::max_value_bytes)
                         ? std::nullopt
                         : names::utf8_to_gbk(std::string_view(utf8.constData(), utf8.size()));
    const bool too_long = utf8.size() > 4 * static_cast<int>(names::max_value_bytes) ||
                          (gbk && gbk->size() > names::max_value_bytes);
    if (too_long)
        return done({Outcome::Error::invalid_argument,
                     QString("a name holds at most %1 bytes in GBK (%2 Chinese characters)")
                         .arg(names::max_value_bytes)
                         .arg(names::max_value_bytes / 2)});
    const names::WriteError why =
        names_.set_channel_name(address_text, relay_text, name.toStdString());
    if (why != names::WriteError::none) {
        const std::string text =
            names::refused_name_text(why, names_.path(), address_text, relay_text);
        return done({Outcome::Error::failed,
                     QString::fromStdString(text.empty() ? names_.path() + ": not stored" : text)});
    }
    log(Priority::info, "renamed \"" + name.toStdString() + "\" for " + caller.toStdString(),
        {config_.name, address, relay, "dbus"});
    if (names_of_.count(address)) names_of_[address] = to_list(names_.load_names(address_text));
    emit board_changed(address);
    done({});
}

}  // namespace tarnwick::service

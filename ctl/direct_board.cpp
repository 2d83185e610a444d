#include "ctl/direct_board.h"

#include "config/config.h"
#include "ctl/names_command.h"
#include "names/locations.h"
#include "protocol/number_text.h"
#include "wire/port_texts.h"

namespace tarnwick::ctl {

link::PortDevice requested_device(const QString& port, const link::PortChoices& choices,
                                  int& port_number) {
    // A number is a port number as in the panel; anything else was checked to
    // be a path.
    const auto number = protocol::parse_entry(port.toStdString());
    port_number = number.value_or(-1);
    return number ? link::device_for_port(*number, &choices)
                  : link::PortDevice{port, link::PortSource::named};
}

DirectBoard::DirectBoard(const Request& request, QObject* parent)
    : BoardAccess(parent),
      request_(request),
      address_(static_cast<std::uint8_t>(request.address)),
      choices_(QString::fromStdString(names::settings_file_path())),
      line_(port_, *this, {address_}),
      requests_(line_) {
    deadline_.setSingleShot(true);
    connect(&deadline_, &QTimer::timeout, this, &DirectBoard::on_deadline);
    connect(
        &line_, &link::BoardLine::board_answered, this,
        [this](std::uint8_t address, std::uint16_t relays, bool) { on_answer(address, relays); });
    connect(&line_, &link::BoardLine::relays_changed, this, &BoardAccess::changed);
    connect(&line_, &link::BoardLine::board_online_changed, this, &BoardAccess::changed);
    connect(&line_, &link::BoardLine::port_state_changed, this, &DirectBoard::on_port_state);
    connect(&line_, &link::BoardLine::inputs_changed, this, [this](std::uint8_t address) {
        if (address != address_) return;
        if (waiting_ == Waiting::answer && reported_) settle(std::nullopt);
        emit changed();
    });
    connect(&line_, &link::BoardLine::request_refused, this,
            [this](std::uint8_t address, const QString& why) {
                if (address != address_ || waiting_ == Waiting::nothing) return;
                if (waiting_ == Waiting::watch) return print_error(why);
                settle(Failure{exit_refused, why});
            });
    connect(&line_, &link::BoardLine::interlock_failed, this,
            [this](std::uint8_t, int relay, const QString&) { refused_relay_ = relay; });
    // The wait for the board starts again with each command.
    connect(&line_, &link::BoardLine::command_sent, this, [this] {
        if (waiting_ == Waiting::confirmation) deadline_.start(request_.timeout_ms);
    });
    requests_.let_caller_keep_time();
    requests_.listen();
}

void DirectBoard::port_error(const QString& text) {
    port_message_ = text;
    print_error(text);
}

Outcome DirectBoard::attach() {
    StderrMessages messages;
    names_ = channel_names(request_.address, messages);
    int number = -1;
    const link::PortDevice device = requested_device(request_.port, choices_, number);
    line_.use_line(request_.line);
    if (!line_.open(device, number, &choices_)) return Failure{exit_port, port_message_, true};
    // The service's interlocks hold for this line when it is driven from
    // here; its pulses and power-on states are the service's alone.
    const auto rules = config::rules_for_device(device.path.toStdString());
    if (const auto given = rules.find(address_); given != rules.end()) {
        link::BoardRules groups;
        groups.groups = given->second.groups;
        groups.interlock_wait = given->second.interlock_wait;
        line_.set_rules(address_, groups);
    }
    line_.start();
    return std::nullopt;
}

void DirectBoard::detach() {
    waiting_ = Waiting::nothing;
    deadline_.stop();
    line_.stop();
}

void DirectBoard::wait(Waiting what, Done done) {
    waiting_ = what;
    done_ = std::move(done);
    deadline_.start(request_.timeout_ms);
}

void DirectBoard::settle(const Outcome& outcome) {
    if (waiting_ == Waiting::nothing) return;
    waiting_ = Waiting::nothing;
    deadline_.stop();
    std::exchange(done_, {})(outcome);
}

// With inputs, a read is done once they are read too.
bool DirectBoard::known() const {
    return reported_ && line_.online(address_) &&
           (request_.line.inputs == 0 || line_.inputs(address_));
}

void DirectBoard::read(Done done) {
    if (known()) return done(std::nullopt);
    wait(Waiting::answer, std::move(done));
}

void DirectBoard::set(std::uint16_t mask, std::uint16_t bits, Done done) {
    mask_ = mask;
    bits_ = bits;
    refused_relay_.reset();
    wait(Waiting::confirmation, std::move(done));
    waited_.start();
    requests_.ask(address_, mask, bits, link::Origin{link::Origin::Source::shell, {}},
                  [this](const link::Settled& settled) { on_settled(settled); });
}

// Never asked: a pulse on a line no service holds is refused before it opens.
void DirectBoard::pulse(int, double, Done done) {
    done(Failure{exit_usage, QStringLiteral("pulse: only tarnwickd gives a pulse")});
}

void DirectBoard::watch(Done failed) {
    wait(Waiting::watch, std::move(failed));
}

void DirectBoard::on_answer(std::uint8_t address, std::uint16_t relays) {
    if (address != address_) return;
    reported_ = relays;
    if (waiting_ == Waiting::answer && known()) settle(std::nullopt);
    // A watch waits only for the first answer.
    if (waiting_ == Waiting::watch) deadline_.stop();
}

void DirectBoard::on_settled(const link::Settled& settled) {
    if (waiting_ != Waiting::confirmation) return;
    switch (settled.error) {
        case link::Settled::Error::none:
            return settle(std::nullopt);
        case link::Settled::Error::interlock:
            return settle(refused_by_group());
        case link::Settled::Error::not_confirmed:
            return settle(not_confirmed(false));
        case link::Settled::Error::refused:  // a Modbus exception, in the board's words
            return settle(Failure{exit_not_confirmed,
                                  QStringLiteral("%1拒绝了命令：%2").arg(where(), settled.why)});
        case link::Settled::Error::offline:
            // The device went away: on_port_state says so, in the port's words.
            if (line_.is_open()) settle(no_answer());
            return;
    }
}

void DirectBoard::on_port_state(bool open) {
    emit changed();
    // A watch goes on: it shows the closed port, and the line opens the
    // device again when it comes back.
    if (open || waiting_ == Waiting::watch || waiting_ == Waiting::nothing) return;
    // The line says why the device went away only after it has closed the
    // port: the end waits for its words, which --json carries too.
    QTimer::singleShot(0, this, [this] { settle(Failure{exit_port, port_message_, true}); });
}

void DirectBoard::on_deadline() {
    if (waiting_ == Waiting::nothing) return;
    // An ON waiting for its group's release has the group's own time, which
    // is bounded: a command that never goes out must not wait for ever.
    const auto group_time = link::Interlock::patience + line_.rules(address_).interlock_wait;
    if (waiting_ == Waiting::confirmation && (line_.pending(address_) & mask_) &&
        waited_.elapsed() < request_.timeout_ms + group_time.count()) {
        deadline_.start(request_.timeout_ms);
        return;
    }
    settle(reported_ && waiting_ == Waiting::confirmation ? not_confirmed(true) : no_answer());
}

QString DirectBoard::where() const {
    return QStringLiteral("%1 上地址 %2 的模块").arg(line_.device()).arg(request_.address);
}

Failure DirectBoard::no_answer() const {
    const link::UnknownCause cause{true,
                                   QString::number(request_.address),
                                   false,
                                   request_.port,
                                   request_.line.protocol == protocol::Protocol::modbus,
                                   request_.line.baud};
    const QString why = link::unknown_reason(line_.counters(), cause, link::SteadyClock::now(),
                                             link::Reader::shell);
    return {exit_no_answer, QStringLiteral("%1在 %2 ms 内没有有效应答。\n%3")
                                .arg(where())
                                .arg(request_.timeout_ms)
                                .arg(why)};
}

Failure DirectBoard::not_confirmed(bool timed_out) const {
    QStringList wrong;
    for (int relay = 1; relay <= 16; ++relay) {
        const std::uint16_t bit = protocol::relay_bit(relay);
        if ((mask_ & bit) && ((*reported_ ^ bits_) & bit))
            wrong << QStringLiteral("第 %1 路%2")
                         .arg(relay)
                         .arg((*reported_ & bit) ? QStringLiteral("吸合") : QStringLiteral("断开"));
    }
    const QString within =
        timed_out ? QStringLiteral(" %1 ms 内").arg(request_.timeout_ms) : QString();
    return {exit_not_confirmed,
            QStringLiteral("%1有应答，但%2没有确认：%3")
                .arg(where(), within,
                     wrong.isEmpty() ? QStringLiteral("命令之后没有查询得到应答")
                                     : wrong.join(QStringLiteral("，")))};
}

// The others of its groups still on, as the board showed them last.
Failure DirectBoard::refused_by_group() const {
    if (!refused_relay_) return {exit_not_confirmed, link::interlock_all_on_text()};
    const std::uint16_t partners = line_.rules(address_).partners(*refused_relay_);
    const std::uint16_t on = reported_ ? (*reported_ & partners) : partners;
    QStringList others;
    for (int relay = 1; relay <= 16; ++relay)
        if (on & protocol::relay_bit(relay)) others << QString::number(relay);
    return {exit_not_confirmed,
            link::interlock_not_released_text(*refused_relay_, others.join(u'、'))};
}

link::RelayStates DirectBoard::states() const {
    link::RelayStates states;
    const auto relays = line_.relays(address_);
    if (!line_.is_open())
        states.fill(link::RelayState::port_closed);
    else if (!relays)
        states.fill(link::RelayState::unknown);
    else
        states = pattern_states(*relays);
    return states;
}

std::optional<std::uint16_t> DirectBoard::inputs() const {
    return line_.inputs(address_);
}

void DirectBoard::add_json_head(QJsonObject& head) const {
    head.insert(QStringLiteral("device"), line_.device());
    head.insert(QStringLiteral("protocol"),
                QString::fromUtf8(protocol::protocol_name(request_.line.protocol)));
    // Answers that answered no frame of this command, counted, not used.
    head.insert(QStringLiteral("answers_from_another_address"),
                static_cast<qint64>(line_.counters().since_open.answers_other_address));
}

QString DirectBoard::reason(int status) const {
    return reason_code(status, line_.last_fault());
}

}  // namespace tarnwick::ctl

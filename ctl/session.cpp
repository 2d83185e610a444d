#include "ctl/session.h"

#include <QJsonObject>
#include <cmath>

#include "config/config.h"
#include "ctl/names_command.h"
#include "names/locations.h"
#include "protocol/number_text.h"
#include "wire/port_map.h"
#include "wire/port_texts.h"

namespace tarnwick::ctl {

namespace {

// How often a watch looks whether the reader of its output went away: a
// board at rest prints nothing that would find out.
constexpr int reader_check_ms = 50;

// 10 bits a byte at 9600 baud (start, 8 data, stop).
constexpr double wire_ms(int bytes) {
    return bytes * 10 * 1000.0 / 9600.0;
}

// What a board and its adapter may add to the wire time before an answer is
// whole on our side: the board's turnaround, a USB adapter's packet timer.
constexpr int scan_margin_ms = 10;

}  // namespace

link::PortDevice requested_device(const QString& port, const link::PortChoices& choices,
                                  int& port_number) {
    // A number is a port number as in the panel; anything else was checked to
    // be a path.
    const auto number = protocol::parse_entry(port.toStdString());
    port_number = number.value_or(-1);
    return number ? link::device_for_port(*number, &choices)
                  : link::PortDevice{port, link::PortSource::named};
}

int Session::scan_answer_wait_ms() {
    return static_cast<int>(std::ceil(wire_ms(2 * static_cast<int>(protocol::frame_size)))) +
           scan_margin_ms;
}

Session::Session(const Request& request, QObject* parent)
    : QObject(parent),
      request_(request),
      choices_(QString::fromStdString(names::settings_file_path())),
      link_(port_, panel_, *this) {
    panel_.set_address(request_.address);
    panel_.set_port_text(request_.port);
    link_.use_port_choices(&choices_);
    // A late answer may come right behind the next one.
    link_.judge_every_waiting_answer(true);
    deadline_.setSingleShot(true);
    connect(&deadline_, &QTimer::timeout, this, &Session::on_deadline);
}

link::Reader Session::reader() const {
    return link::Reader::shell;
}

void Session::interlock_refused(const QString& text) {
    finish(exit_not_confirmed, text);
}

void Session::port_error(const QString& text) {
    port_message_ = text;
    print_error(text);
}

int Session::run() {
    if (request_.verb != Verb::scan) {
        StderrMessages messages;
        names_ = channel_names(request_.address, messages);
    }
    int number = -1;
    const link::PortDevice device = requested_device(request_.port, choices_, number);
    if (!link_.open_device(device, number)) {
        finish(exit_port, port_message_, true);
        return *status_;
    }
    // The service's interlocks hold for this line when it drives it itself.
    link_.use_board_rules(config::rules_for_device(device.path.toStdString()));
    connect(&link_, &link::LinkController::frame_sent, this, &Session::on_frame_sent);
    connect(&link_, &link::LinkController::status_answered, this, &Session::on_answer);
    connect(&link_, &link::LinkController::cells_painted, this, &Session::on_cells);
    connect(&link_, &link::LinkController::port_state_changed, this, &Session::on_port_state);
    connect(&link_, &link::LinkController::scan_found, this, &Session::on_scan_found);
    connect(&link_, &link::LinkController::scan_ended, this, &Session::on_scan_ended);

    switch (request_.verb) {
        case Verb::status:
        case Verb::toggle:
            phase_ = Phase::reading;
            break;
        case Verb::watch:
            phase_ = Phase::watching;
            // A reader that went away (head, grep -m1) ends the watch as
            // Ctrl-C does; else the pipeline would wait on it for ever.
            connect(&reader_check_, &QTimer::timeout, this, [this] {
                if (output_reader_gone()) finish(exit_done);
            });
            reader_check_.start(reader_check_ms);
            break;
        case Verb::scan: {
            phase_ = Phase::scanning;
            scan_clock_.start();
            const int wait = request_.timeout_given ? request_.timeout_ms : scan_answer_wait_ms();
            link_.start_scan(request_.first, request_.last, wait);
            break;
        }
        default:
            start_switch(0);
            break;
    }
    if (phase_ != Phase::scanning) {
        // Reading, and a watch's first answer, have the timeout from now; a
        // switch from its last command on.
        if (phase_ != Phase::sending) deadline_.start(request_.timeout_ms);
        link_.tick_now();
    }
    if (!status_) {
        QEventLoop loop;
        loop_ = &loop;
        loop.exec();
        loop_ = nullptr;
    }
    link_.shutdown();
    return *status_;
}

void Session::interrupt() {
    finish(phase_ == Phase::watching ? exit_done : exit_interrupted,
           phase_ == Phase::watching ? QString() : QStringLiteral("已中断"));
}

void Session::start_switch(std::uint16_t reported) {
    const auto add = [this](const protocol::Command& command) { to_send_.push_back(command); };
    switch (request_.verb) {
        case Verb::all_on:
        case Verb::all_off: {
            const bool on = request_.verb == Verb::all_on;
            wanted_.want_all(on);
            add(protocol::all_command(on));
            break;
        }
        default:
            for (const int channel : request_.channels) {
                const bool on =
                    request_.verb == Verb::on || (request_.verb == Verb::toggle &&
                                                  (reported & protocol::relay_bit(channel)) == 0);
                wanted_.want(channel, on);
                add(protocol::switch_command(channel, on));
            }
            break;
    }
    // The wait for the board starts again after the last command.
    deadline_.stop();
    phase_ = Phase::sending;
    link_.set_command(to_send_.front());
}

void Session::on_frame_sent(const protocol::Frame& frame) {
    if (phase_ != Phase::sending || to_send_.empty()) return;
    const protocol::Frame expected =
        protocol::encode_command(static_cast<std::uint8_t>(request_.address), to_send_.front());
    if (frame != expected) return;
    to_send_.pop_front();
    if (!to_send_.empty()) {
        link_.set_command(to_send_.front());  // the next tick's
        return;
    }
    phase_ = Phase::confirming;
    deadline_.start(request_.timeout_ms);
}

void Session::on_answer(const protocol::Frame& sent, const protocol::Frame& status) {
    const std::uint16_t relays = protocol::relay_pattern(status);
    reported_ = relays;
    switch (phase_) {
        case Phase::reading:
            if (request_.verb == Verb::status) {
                report_states(pattern_states(relays), false);
                finish(exit_done);
            } else {
                start_switch(relays);  // toggle: flipped from what the board says
            }
            break;
        case Phase::confirming:
            // Only an answer to a query after the last command confirms: a
            // board may answer a command with its state from before it, and
            // late, after the query went out; `sent` is the frame this
            // answer answers, from the address in it.
            if (sent[2] == protocol::cmd_query && wanted_.confirmed_by(relays)) {
                report_states(pattern_states(relays), true);
                finish(exit_done);
            }
            break;
        default:
            break;
    }
}

void Session::on_cells() {
    if (phase_ != Phase::watching) return;
    const link::RelayStates& states = panel_.states();
    // The first line is the first state the board reports.
    if (!shown_ && !link::known_pattern(states)) return;
    if (shown_ == states) return;
    deadline_.stop();
    shown_ = states;
    const bool printed =
        request_.json ? print_json({{QStringLiteral("time"), timestamp()},
                                    {QStringLiteral("address"), request_.address},
                                    {QStringLiteral("relays"), relays_json(states, &names_)}})
                      : print_line(timestamp() + QStringLiteral("  ") + states_summary(states));
    if (!printed || (request_.count && ++lines_ >= *request_.count)) finish(exit_done);
}

void Session::on_port_state(bool open) {
    // A watch goes on: it shows the closed port, and the link opens the
    // device again when it comes back.
    if (open || phase_ == Phase::watching) return;
    // The link says why the device went away only after it has closed the
    // port: the end waits for its words, which --json carries too.
    QMetaObject::invokeMethod(
        this, [this] { finish(exit_port, port_message_, true); }, Qt::QueuedConnection);
}

void Session::on_deadline() {
    const QString where =
        QStringLiteral("%1 上地址 %2 的模块").arg(link_.open_device()).arg(request_.address);
    if (!reported_) {
        const QString why = link::unknown_reason(link_.counters(), link_.unknown_cause(),
                                                 link::SteadyClock::now(), reader());
        finish(exit_no_answer, QStringLiteral("%1在 %2 ms 内没有有效应答。\n%3")
                                   .arg(where)
                                   .arg(request_.timeout_ms)
                                   .arg(why));
        return;
    }
    QStringList wrong;
    for (int relay = 1; relay <= 16; ++relay) {
        const std::uint16_t bit = protocol::relay_bit(relay);
        if ((wanted_.mask & bit) && ((*reported_ ^ wanted_.energized) & bit))
            wrong << QStringLiteral("第 %1 路%2")
                         .arg(relay)
                         .arg((*reported_ & bit) ? QStringLiteral("吸合") : QStringLiteral("断开"));
    }
    finish(exit_not_confirmed, QStringLiteral("%1有应答，但 %2 ms 内没有确认：%3")
                                   .arg(where)
                                   .arg(request_.timeout_ms)
                                   .arg(wrong.isEmpty() ? QStringLiteral("命令之后没有查询得到应答")
                                                        : wrong.join(QStringLiteral("，"))));
}

void Session::on_scan_found(int address, int relays) {
    const auto pattern = static_cast<std::uint16_t>(relays);
    found_.append(QJsonObject{{QStringLiteral("address"), address},
                              {QStringLiteral("relays"), pattern_text(pattern)},
                              {QStringLiteral("on"), energized_json(pattern)}});
    if (!request_.json)
        print_line(
            QStringLiteral("%1  %2").arg(address, 3).arg(states_summary(pattern_states(pattern))));
}

void Session::on_scan_ended(bool complete) {
    if (!complete) return;  // the port went away: on_port_state says so
    const double seconds = static_cast<double>(scan_clock_.elapsed()) / 1000.0;
    const int wait = request_.timeout_given ? request_.timeout_ms : scan_answer_wait_ms();
    if (request_.json) {
        QJsonObject json = json_head();
        json.insert(QStringLiteral("first"), request_.first);
        json.insert(QStringLiteral("last"), request_.last);
        json.insert(QStringLiteral("answer_wait_ms"), wait);
        json.insert(QStringLiteral("seconds"), std::round(seconds * 100) / 100);
        json.insert(QStringLiteral("found"), found_);
        json.insert(QStringLiteral("ok"), !found_.isEmpty());
        print_json(json);
    }
    print_error(QStringLiteral("asked addresses %1-%2 in %3 s (%4 ms for one that does not "
                               "answer): %5 answered")
                    .arg(request_.first)
                    .arg(request_.last)
                    .arg(seconds, 0, 'f', 1)
                    .arg(wait)
                    .arg(found_.size()));
    finish(found_.isEmpty() ? exit_no_answer : exit_done);
}

void Session::report_states(const link::RelayStates& states, bool confirmed) {
    if (request_.json) {
        QJsonObject json = json_head();
        json.insert(QStringLiteral("ok"), true);
        if (confirmed) json.insert(QStringLiteral("confirmed"), true);
        json.insert(QStringLiteral("relays"), relays_json(states, &names_));
        print_json(json);
        return;
    }
    const bool some = !request_.channels.empty();
    for (int channel = 1; channel <= 16; ++channel) {
        if (some && std::find(request_.channels.begin(), request_.channels.end(), channel) ==
                        request_.channels.end())
            continue;
        const auto i = static_cast<std::size_t>(channel - 1);
        print_line(channel_line(channel, states[i], names_[i]));
    }
}

QJsonObject Session::json_head() const {
    return {{QStringLiteral("command"), request_.verb_name},
            {QStringLiteral("port"), request_.port},
            {QStringLiteral("device"), link_.open_device()},
            {QStringLiteral("address"), request_.address},
            // Answers that answered no frame of this command, counted, not used.
            {QStringLiteral("answers_from_another_address"),
             static_cast<qint64>(link_.counters().since_open.answers_other_address)}};
}

void Session::finish(int status, const QString& error, bool said) {
    if (status_) return;
    status_ = status;
    deadline_.stop();
    reader_check_.stop();
    if (!error.isEmpty() && !said) print_error(error);
    if (status != exit_done && request_.json && !error.isEmpty()) {
        QJsonObject json = json_head();
        json.insert(QStringLiteral("ok"), false);
        json.insert(QStringLiteral("exit"), status);
        json.insert(QStringLiteral("error"), error);
        json.insert(QStringLiteral("reason"), reason_code(status, link_.last_fault()));
        if (reported_)
            json.insert(QStringLiteral("relays"), relays_json(pattern_states(*reported_), &names_));
        print_json(json);
    }
    if (loop_) loop_->quit();
}

}  // namespace tarnwick::ctl

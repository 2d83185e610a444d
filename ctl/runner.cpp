#include "ctl/runner.h"

namespace tarnwick::ctl {

namespace {

// How often a watch looks whether the reader of its output went away: a
// board at rest prints nothing that would find out.
constexpr int reader_check_ms = 50;

constexpr std::uint16_t every_relay = 0xffff;

}  // namespace

Runner::Runner(const Request& request, BoardAccess& board, QObject* parent)
    : QObject(parent), request_(request), board_(board) {}

int Runner::run() {
    if (const Outcome failed = board_.attach()) {
        fail(*failed);
        return *status_;
    }
    names_ = board_.names();
    start();
    if (!status_) {
        QEventLoop loop;
        loop_ = &loop;
        loop.exec();
        loop_ = nullptr;
    }
    board_.detach();
    return *status_;
}

int Runner::run_then(const std::function<int()>& command) {
    if (const Outcome failed = board_.attach()) {
        fail(*failed);
        return *status_;
    }
    return command();
}

void Runner::start() {
    switch (request_.verb) {
        case Verb::status:
            return board_.read([this](const Outcome& read) {
                if (read) return fail(*read);
                report_states(false);
                finish(exit_done);
            });
        case Verb::toggle:
            // Flipped from what the board says.
            return board_.read([this](const Outcome& read) {
                if (read) return fail(*read);
                switch_relays(link::known_pattern(board_.states()).value_or(0));
            });
        case Verb::pulse:
            return board_.pulse(request_.channels.front(), request_.pulse_seconds,
                                [this](const Outcome& done) { switched(done); });
        case Verb::watch:
            return watch();
        default:
            return switch_relays(0);
    }
}

void Runner::switch_relays(std::uint16_t reported) {
    std::uint16_t mask = every_relay;
    std::uint16_t bits = request_.verb == Verb::all_on ? every_relay : 0;
    if (request_.verb != Verb::all_on && request_.verb != Verb::all_off) {
        mask = 0;
        for (const int channel : request_.channels) mask |= protocol::relay_bit(channel);
        bits = request_.verb == Verb::on    ? mask
               : request_.verb == Verb::off ? 0
                                            : static_cast<std::uint16_t>(~reported & mask);
    }
    board_.set(mask, bits, [this](const Outcome& done) { switched(done); });
}

void Runner::switched(const Outcome& outcome) {
    if (outcome) return fail(*outcome);
    // Confirmed: the states shown are the board's now.
    report_states(true);
    finish(exit_done);
}

void Runner::interrupt() {
    if (watching_)
        finish(exit_done);
    else
        finish(exit_interrupted, QStringLiteral("已中断"));
}

// One line per change, until finish() ends the watch.
void Runner::watch() {
    watching_ = true;
    // Who made a change comes before the change: its line can say it at once.
    connect(&board_, &BoardAccess::switched_by, this, [this](const QString& who) {
        if (!sources_.contains(who)) sources_ << who;
    });
    connect(&board_, &BoardAccess::changed, this, &Runner::watch_change);
    // A reader that went away (head, grep -m1) ends the watch as Ctrl-C
    // does; else the pipeline would wait on it for ever.
    connect(&reader_check_, &QTimer::timeout, this, [this] {
        if (output_reader_gone()) finish(exit_done);
    });
    reader_check_.start(reader_check_ms);
    board_.watch([this](const Outcome& failed) {
        if (failed) fail(*failed);
    });
    watch_change();
}

// The first line is the first state the board reports, then one per change.
void Runner::watch_change() {
    if (status_) return;
    const link::RelayStates now = board_.states();
    if (!shown_ && !link::known_pattern(now)) return;
    const std::optional<std::uint16_t> inputs = board_.inputs();
    // A board with inputs is shown once they are read too.
    if (!shown_ && board_.input_count() > 0 && !inputs) return;
    if (shown_ == now && shown_inputs_ == inputs) return;
    shown_ = now;
    shown_inputs_ = inputs;
    const QString by = std::exchange(sources_, {}).join(QStringLiteral(", "));
    QJsonObject json{{QStringLiteral("time"), timestamp()},
                     {QStringLiteral("address"), request_.address},
                     {QStringLiteral("relays"), relays_json(now, &names_)}};
    add_inputs(json);
    if (!by.isEmpty()) json.insert(QStringLiteral("by"), by);
    const bool printed =
        request_.json
            ? print_json(json)
            : print_line(
                  timestamp() + QStringLiteral("  ") + states_summary(now) +
                  (inputs ? QStringLiteral("  inputs ") + inputs_summary(*inputs) : QString()) +
                  (by.isEmpty() ? QString() : QStringLiteral("  (by %1)").arg(by)));
    if (!printed || (request_.count && ++lines_ >= *request_.count)) finish(exit_done);
}

void Runner::report_states(bool confirmed) {
    const link::RelayStates states = board_.states();
    if (request_.json) {
        QJsonObject json = json_head();
        json.insert(QStringLiteral("ok"), true);
        if (confirmed) json.insert(QStringLiteral("confirmed"), true);
        json.insert(QStringLiteral("relays"), relays_json(states, &names_));
        add_inputs(json);
        print_json(json);
        return;
    }
    const auto& some = request_.channels;
    for (int channel = 1; channel <= 16; ++channel) {
        if (!some.empty() && std::find(some.begin(), some.end(), channel) == some.end()) continue;
        const auto i = static_cast<std::size_t>(channel - 1);
        print_line(channel_line(channel, states[i], names_[i]));
    }
    if (request_.channels.empty()) report_inputs();
}

// "on: 1 3", "all off": the inputs that are on.
QString Runner::inputs_summary(std::uint16_t inputs) const {
    QStringList on;
    for (int n = 1; n <= board_.input_count(); ++n)
        if ((inputs >> (n - 1)) & 1U) on << QString::number(n);
    return on.isEmpty() ? QStringLiteral("all off") : QStringLiteral("on: ") + on.join(u' ');
}

// A board's discrete inputs, after its relays, when it has them.
void Runner::report_inputs() const {
    const std::optional<std::uint16_t> inputs = board_.inputs();
    if (!inputs) return;
    for (int n = 1; n <= board_.input_count(); ++n)
        print_line(QStringLiteral("in%1  %2")
                       .arg(n, 2)
                       .arg(state_word((*inputs >> (n - 1)) & 1U ? link::RelayState::energized
                                                                 : link::RelayState::released)));
}

void Runner::add_inputs(QJsonObject& json) const {
    const std::optional<std::uint16_t> inputs = board_.inputs();
    if (!inputs) return;
    QJsonArray list;
    for (int n = 1; n <= board_.input_count(); ++n)
        list.append(QJsonObject{{QStringLiteral("input"), n},
                                {QStringLiteral("on"), ((*inputs >> (n - 1)) & 1U) != 0}});
    json.insert(QStringLiteral("inputs"), list);
}

QJsonObject Runner::json_head() const {
    QJsonObject head{{QStringLiteral("command"), request_.verb_name},
                     {QStringLiteral("port"), request_.port},
                     {QStringLiteral("address"), request_.address}};
    board_.add_json_head(head);
    return head;
}

void Runner::finish(int status, const QString& error, bool said) {
    if (status_) return;
    status_ = status;
    reader_check_.stop();
    if (!error.isEmpty() && !said) print_error(error);
    if (status != exit_done && request_.json && !error.isEmpty()) {
        QJsonObject json = json_head();
        json.insert(QStringLiteral("ok"), false);
        json.insert(QStringLiteral("exit"), status);
        json.insert(QStringLiteral("error"), error);
        json.insert(QStringLiteral("reason"), board_.reason(status));
        if (const auto relays = board_.last_relays())
            json.insert(QStringLiteral("relays"), relays_json(pattern_states(*relays), &names_));
        print_json(json);
    }
    if (loop_) loop_->quit();
}

}  // namespace tarnwick::ctl

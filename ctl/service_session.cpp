#include "ctl/service_session.h"

#include "attach/contract.h"
#include "ctl/names_command.h"
#include "ctl/session.h"
#include "names/locations.h"

namespace tarnwick::ctl {

namespace {

// A watch looks this often whether the reader of its output went away.
constexpr int reader_check_ms = 50;

// While the service is away, a watch looks for it this often.
constexpr int reread_ms = 500;

int status_of(attach::Refusal refusal) {
    switch (refusal) {
        case attach::Refusal::none:
            return exit_done;
        case attach::Refusal::not_confirmed:
        case attach::Refusal::interlock:
            return exit_not_confirmed;
        case attach::Refusal::offline:
        case attach::Refusal::no_answer:
            return exit_no_answer;
        case attach::Refusal::invalid_argument:
            return exit_usage;
        default:
            return exit_port;
    }
}

}  // namespace

ServiceSession::ServiceSession(const Request& request, QDBusConnection bus, attach::HeldLine line,
                               QObject* parent)
    : QObject(parent), request_(request), bus_(std::move(bus)), line_(std::move(line)) {}

int ServiceSession::call_timeout_ms() const {
    return request_.timeout_given ? request_.timeout_ms : attach::reply_timeout_ms;
}

QJsonObject ServiceSession::json_head() const {
    return {{QStringLiteral("command"), request_.verb_name},
            {QStringLiteral("port"), request_.port},
            {QStringLiteral("device"), line_.device},
            {QStringLiteral("address"), request_.address},
            {QStringLiteral("answers_from_another_address"), 0},
            {QStringLiteral("service_line"), line_.name}};
}

int ServiceSession::finish(int status, const QString& error) {
    if (status_) return *status_;
    status_ = status;
    reader_check_.stop();
    if (!error.isEmpty()) print_error(error);
    if (status != exit_done && request_.json && !error.isEmpty()) {
        QJsonObject json = json_head();
        json.insert(QStringLiteral("ok"), false);
        json.insert(QStringLiteral("exit"), status);
        json.insert(QStringLiteral("error"), error);
        json.insert(QStringLiteral("reason"), reason_code(status));
        print_json(json);
    }
    if (loop_) loop_->quit();
    return status;
}

int ServiceSession::refused(const attach::CallResult& result) {
    return finish(status_of(result.refusal),
                  QStringLiteral("tarnwickd（线路 %1）：%2：%3")
                      .arg(line_.name, attach::refusal_text(result.refusal), result.message));
}

link::RelayStates ServiceSession::states() const {
    if (!service_present_ || !board_->properties().online) {
        link::RelayStates unknown;
        unknown.fill(link::RelayState::unknown);
        return unknown;
    }
    return pattern_states(board_->properties().relays);
}

void ServiceSession::report_states(bool confirmed) {
    const link::RelayStates shown = states();
    if (request_.json) {
        QJsonObject json = json_head();
        json.insert(QStringLiteral("ok"), true);
        if (confirmed) json.insert(QStringLiteral("confirmed"), true);
        json.insert(QStringLiteral("relays"), relays_json(shown, &names_));
        print_json(json);
        return;
    }
    const auto& some = request_.channels;
    for (int channel = 1; channel <= 16; ++channel) {
        if (!some.empty() && std::find(some.begin(), some.end(), channel) == some.end()) continue;
        const auto i = static_cast<std::size_t>(channel - 1);
        print_line(channel_line(channel, shown[i], names_[i]));
    }
}

int ServiceSession::run() {
    if (request_.verb == Verb::scan)
        return finish(exit_usage, QStringLiteral("the line is held by tarnwickd; its boards are %1")
                                      .arg(line_.board_list()));
    const auto board = line_.boards.find(request_.address);
    if (board == line_.boards.end())
        return finish(exit_no_answer,
                      QStringLiteral("tarnwickd 的线路 %1 上没有地址 %2 的模块；它的模块是 %3")
                          .arg(line_.name)
                          .arg(request_.address)
                          .arg(line_.board_list()));
    board_.emplace(bus_, board->second);
    const attach::CallResult read = board_->read(call_timeout_ms());
    if (!read.ok()) return refused(read);
    const QStringList& names = board_->properties().names;
    if (names.size() == 16) {
        for (std::size_t i = 0; i < names_.size(); ++i) names_[i] = names[static_cast<int>(i)];
    } else {
        StderrMessages messages;
        names_ = channel_names(request_.address, messages);
    }
    switch (request_.verb) {
        case Verb::names:
            return run_names();
        case Verb::status:
            if (!board_->properties().online)
                return refused({attach::Refusal::offline, QStringLiteral("board offline")});
            report_states(false);
            return finish(exit_done);
        case Verb::watch:
            return watch();
        case Verb::pulse: {
            const attach::CallResult done =
                board_->pulse(request_.channels.front(), request_.pulse_seconds, call_timeout_ms());
            if (!done.ok()) return refused(done);
            const attach::CallResult read = board_->read(call_timeout_ms());
            if (!read.ok()) return refused(read);
            report_states(true);
            return finish(exit_done);
        }
        default:
            return switch_relays();
    }
}

// One line per change, until finish() ends the watch.
int ServiceSession::watch() {
    watching_ = true;
    // Who made a change comes before the change (Switched, then
    // PropertiesChanged): its line can say it at once.
    connect(&*board_, &attach::BoardClient::changed, this, &ServiceSession::watch_change);
    connect(&*board_, &attach::BoardClient::switched, this,
            [this](int, bool, const QString& source, const QString& detail) {
                const QString who = detail.isEmpty() ? source : source + " " + detail;
                if (!sources_.contains(who)) sources_ << who;
            });
    connect(&reader_check_, &QTimer::timeout, this, [this] {
        if (output_reader_gone()) finish(exit_done);
    });
    reader_check_.start(reader_check_ms);
    follow_service();
    watch_change();
    if (!status_) {
        QEventLoop loop;
        loop_ = &loop;
        loop.exec();
        loop_ = nullptr;
    }
    return *status_;
}

// As a watch on the device goes on across an unplug: the relays turn
// unknown while the service is away, and the board is read again once it is
// back (its objects may come a moment after its name).
void ServiceSession::follow_service() {
    service_watch_ = std::make_unique<QDBusServiceWatcher>(
        QString::fromLatin1(attach::bus_name), bus_, QDBusServiceWatcher::WatchForOwnerChange);
    connect(service_watch_.get(), &QDBusServiceWatcher::serviceUnregistered, this, [this] {
        service_present_ = false;
        watch_change();
        read_again_.start();
    });
    connect(service_watch_.get(), &QDBusServiceWatcher::serviceRegistered, this,
            &ServiceSession::read_again);
    read_again_.setInterval(reread_ms);
    connect(&read_again_, &QTimer::timeout, this, &ServiceSession::read_again);
}

void ServiceSession::read_again() {
    if (service_present_ || !board_->read(attach::find_wait_ms()).ok()) return;
    service_present_ = true;
    read_again_.stop();
    watch_change();
}

void ServiceSession::interrupt() {
    if (watching_)
        finish(exit_done);
    else
        finish(exit_interrupted, QStringLiteral("已中断"));
}

// As on the device: the first line is the first known state, then one line
// per change.
void ServiceSession::watch_change() {
    const link::RelayStates now = states();
    if (!shown_ && !board_->properties().online) return;
    if (shown_ == now) return;
    shown_ = now;
    // Who switched: the service says it with each change (none for the
    // first line, the state found).
    const QString by = std::exchange(sources_, {}).join(QStringLiteral(", "));
    QJsonObject json{{QStringLiteral("time"), timestamp()},
                     {QStringLiteral("address"), request_.address},
                     {QStringLiteral("relays"), relays_json(now, &names_)}};
    if (!by.isEmpty()) json.insert(QStringLiteral("by"), by);
    const bool printed =
        request_.json
            ? print_json(json)
            : print_line(timestamp() + QStringLiteral("  ") + states_summary(now) +
                         (by.isEmpty() ? QString() : QStringLiteral("  (by %1)").arg(by)));
    if (!printed || (request_.count && ++lines_ >= *request_.count)) finish(exit_done);
}

int ServiceSession::switch_relays() {
    const int wait = call_timeout_ms();
    if (request_.verb == Verb::all_on || request_.verb == Verb::all_off) {
        const attach::CallResult done = board_->switch_all(request_.verb == Verb::all_on, wait);
        if (!done.ok()) return refused(done);
    } else {
        if (request_.verb == Verb::toggle && !board_->properties().online)
            return refused({attach::Refusal::offline, QStringLiteral("board offline")});
        const quint16 reported = board_->properties().relays;
        for (const int channel : request_.channels) {
            const bool on = request_.verb == Verb::on || (request_.verb == Verb::toggle &&
                                                          (reported & (1u << (channel - 1))) == 0);
            const attach::CallResult done = board_->switch_relay(channel, on, wait);
            if (!done.ok()) return refused(done);
        }
    }
    // The reply came once the board confirmed; the states shown are its now.
    const attach::CallResult read = board_->read(wait);
    if (!read.ok()) return refused(read);
    report_states(true);
    return finish(exit_done);
}

int ServiceSession::run_names() {
    QJsonObject json{{QStringLiteral("command"), QStringLiteral("names")},
                     {QStringLiteral("address"), request_.address},
                     {QStringLiteral("service_line"), line_.name}};
    if (request_.new_name) {
        json.insert(QStringLiteral("channel"), *request_.name_channel);
        json.insert(QStringLiteral("name"), *request_.new_name);
        const attach::CallResult done =
            board_->rename(*request_.name_channel, *request_.new_name, call_timeout_ms());
        if (!done.ok()) {
            const int status = status_of(done.refusal);
            const QString text =
                QStringLiteral("tarnwickd（线路 %1）：%2：%3名称没有保存。")
                    .arg(line_.name, attach::refusal_text(done.refusal), done.message);
            print_error(text);
            if (request_.json) {
                json.insert(QStringLiteral("ok"), false);
                json.insert(QStringLiteral("exit"), status);
                json.insert(QStringLiteral("error"), text);
                json.insert(QStringLiteral("reason"), reason_code(status));
                print_json(json);
            }
            return status;
        }
        json.insert(QStringLiteral("ok"), true);
        if (request_.json) print_json(json);
        return exit_done;
    }
    return report_names(request_, names_, json);
}

std::optional<int> run_if_held(const Request& request,
                               const std::function<void(ServiceSession&)>& prepare) {
    // A pulse must end even if this command is killed: only the service,
    // which outlives it, gives one.
    const QString pulse_needs = QStringLiteral(
        "pulse: only tarnwickd gives a pulse, which must "
        "end even if this command is killed; ");
    if (request.verb == Verb::pulse && request.direct) {
        print_error(pulse_needs + QStringLiteral("--direct does not ask it"));
        return exit_usage;
    }
    if (request.direct || request.verb == Verb::serve) return std::nullopt;
    const link::PortChoices choices(QString::fromStdString(names::settings_file_path()));
    int number = -1;
    const link::PortDevice device = requested_device(request.port, choices, number);
    QDBusConnection bus = attach::service_bus();
    std::optional<attach::HeldLine> line;
    if (!device.path.isEmpty())
        line = attach::find_holder(bus, device.path, attach::find_wait_ms());
    if (!line) {
        if (!request.via_service && request.verb != Verb::pulse) return std::nullopt;
        print_error((request.verb == Verb::pulse ? pulse_needs : QString()) +
                    QStringLiteral("no service holds %1").arg(device.path));
        return exit_port;
    }
    ServiceSession session(request, bus, *line);
    prepare(session);
    return session.run();
}

}  // namespace tarnwick::ctl

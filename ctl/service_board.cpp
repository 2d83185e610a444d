#include "ctl/service_board.h"

#include "attach/contract.h"
#include "ctl/direct_board.h"
#include "ctl/names_command.h"
#include "ctl/runner.h"
#include "names/locations.h"

namespace tarnwick::ctl {

namespace {

// While the service is away, a watch looks for it this often.
constexpr int reread_ms = 500;

constexpr std::uint16_t every_relay = 0xffff;

const attach::CallResult board_offline{attach::Refusal::offline, QStringLiteral("board offline")};

}  // namespace

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

ServiceBoard::ServiceBoard(const Request& request, QDBusConnection bus, attach::HeldLine line,
                           QObject* parent)
    : BoardAccess(parent), request_(request), bus_(std::move(bus)), line_(std::move(line)) {}

int ServiceBoard::call_timeout_ms() const {
    return request_.timeout_given ? request_.timeout_ms : attach::reply_timeout_ms;
}

void ServiceBoard::add_json_head(QJsonObject& head) const {
    head.insert(QStringLiteral("device"), line_.device);
    head.insert(QStringLiteral("answers_from_another_address"), 0);
    head.insert(QStringLiteral("service_line"), line_.name);
}

Failure ServiceBoard::refused(const attach::CallResult& result) const {
    return {status_of(result.refusal),
            QStringLiteral("tarnwickd（线路 %1）：%2：%3")
                .arg(line_.name, attach::refusal_text(result.refusal), result.message)};
}

Outcome ServiceBoard::attach() {
    if (request_.verb == Verb::scan)
        return Failure{exit_usage,
                       QStringLiteral("the line is held by tarnwickd; its boards are %1")
                           .arg(line_.board_list())};
    const auto board = line_.boards.find(request_.address);
    if (board == line_.boards.end())
        return Failure{exit_no_answer,
                       QStringLiteral("tarnwickd 的线路 %1 上没有地址 %2 的模块；它的模块是 %3")
                           .arg(line_.name)
                           .arg(request_.address)
                           .arg(line_.board_list())};
    board_.emplace(bus_, board->second);
    connect(&*board_, &attach::BoardClient::changed, this, &BoardAccess::changed);
    connect(&*board_, &attach::BoardClient::switched, this,
            [this](int, bool, const QString& source, const QString& detail) {
                emit switched_by(detail.isEmpty() ? source : source + " " + detail);
            });
    const attach::CallResult read = board_->read(call_timeout_ms());
    if (!read.ok()) return refused(read);
    const QStringList& names = board_->properties().names;
    if (names.size() == 16) {
        for (std::size_t i = 0; i < names_.size(); ++i) names_[i] = names[static_cast<int>(i)];
    } else {
        StderrMessages messages;
        names_ = channel_names(request_.address, messages);
    }
    return std::nullopt;
}

link::RelayStates ServiceBoard::states() const {
    if (!service_present_ || !board_->properties().online) {
        link::RelayStates unknown;
        unknown.fill(link::RelayState::unknown);
        return unknown;
    }
    return pattern_states(board_->properties().relays);
}

// Inputs read 0 while the board is offline: unknown then, as its relays.
std::optional<std::uint16_t> ServiceBoard::inputs() const {
    if (input_count() == 0 || !service_present_ || !board_->properties().online)
        return std::nullopt;
    return board_->properties().inputs;
}

int ServiceBoard::input_count() const {
    return board_ ? board_->properties().input_count : 0;
}

void ServiceBoard::read(Done done) {
    done(board_->properties().online ? Outcome{} : refused(board_offline));
}

Outcome ServiceBoard::read_after(const attach::CallResult& done) {
    if (!done.ok()) return refused(done);
    // The reply came once the board confirmed; the states shown are its now.
    const attach::CallResult read = board_->read(call_timeout_ms());
    if (!read.ok()) return refused(read);
    return std::nullopt;
}

void ServiceBoard::set(std::uint16_t mask, std::uint16_t bits, Done done) {
    const int wait = call_timeout_ms();
    if (mask == every_relay && (bits == 0 || bits == every_relay))
        return done(read_after(board_->switch_all(bits != 0, wait)));
    attach::CallResult result;
    for (int relay = 1; relay <= 16 && result.ok(); ++relay)
        if (mask & protocol::relay_bit(relay))
            result = board_->switch_relay(relay, (bits & protocol::relay_bit(relay)) != 0, wait);
    done(read_after(result));
}

void ServiceBoard::pulse(int relay, double seconds, Done done) {
    done(read_after(board_->pulse(relay, seconds, call_timeout_ms())));
}

// As a watch on the device goes on across an unplug: the relays turn
// unknown while the service is away, and the board is read again once it is
// back (its objects may come a moment after its name).
void ServiceBoard::watch(Done) {
    service_watch_ = std::make_unique<QDBusServiceWatcher>(
        QString::fromLatin1(attach::bus_name), bus_, QDBusServiceWatcher::WatchForOwnerChange);
    connect(service_watch_.get(), &QDBusServiceWatcher::serviceUnregistered, this, [this] {
        service_present_ = false;
        emit changed();
        read_again_.start();
    });
    connect(service_watch_.get(), &QDBusServiceWatcher::serviceRegistered, this,
            &ServiceBoard::read_again);
    read_again_.setInterval(reread_ms);
    connect(&read_again_, &QTimer::timeout, this, &ServiceBoard::read_again);
}

void ServiceBoard::read_again() {
    if (service_present_ || !board_->read(attach::find_wait_ms()).ok()) return;
    service_present_ = true;
    read_again_.stop();
    emit changed();
}

int ServiceBoard::run_names() {
    QJsonObject json{{QStringLiteral("command"), QStringLiteral("names")},
                     {QStringLiteral("address"), request_.address},
                     {QStringLiteral("service_line"), line_.name}};
    if (!request_.new_name) return report_names(request_, names_, json);
    json.insert(QStringLiteral("channel"), *request_.name_channel);
    json.insert(QStringLiteral("name"), *request_.new_name);
    const attach::CallResult done =
        board_->rename(*request_.name_channel, *request_.new_name, call_timeout_ms());
    json.insert(QStringLiteral("ok"), done.ok());
    if (done.ok()) {
        if (request_.json) print_json(json);
        return exit_done;
    }
    const int status = status_of(done.refusal);
    const QString text = QStringLiteral("tarnwickd（线路 %1）：%2：%3名称没有保存。")
                             .arg(line_.name, attach::refusal_text(done.refusal), done.message);
    print_error(text);
    if (request_.json) {
        json.insert(QStringLiteral("exit"), status);
        json.insert(QStringLiteral("error"), text);
        json.insert(QStringLiteral("reason"), reason_code(status));
        print_json(json);
    }
    return status;
}

std::optional<int> run_if_held(const Request& request,
                               const std::function<void(Runner&)>& prepare) {
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
    ServiceBoard board(request, bus, *line);
    Runner runner(request, board);
    if (request.verb == Verb::names) return runner.run_then([&board] { return board.run_names(); });
    prepare(runner);
    return runner.run();
}

}  // namespace tarnwick::ctl

#include "service/daemon.h"

#include <sys/socket.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDBusConnectionInterface>
#include <QFileInfo>
#include <algorithm>
#include <csignal>
#include <cstdlib>

#include "names/locations.h"
#include "service/journal.h"

namespace tarnwick::service {

namespace {

int signal_pipe[2] = {-1, -1};

void on_signal_number(int number) {
    const char byte = static_cast<char>(number);
    (void)!::write(signal_pipe[1], &byte, 1);
}

bool same_line(const LineConfig& a, const LineConfig& b) {
    auto broker = [](const LineConfig& l) {
        return l.mqtt ? std::make_tuple(l.mqtt->broker.host, l.mqtt->broker.port, l.mqtt->username,
                                        l.mqtt->password, l.mqtt->tls_ca)
                      : decltype(std::make_tuple(l.mqtt->broker.host, 0, l.mqtt->username,
                                                 l.mqtt->password, l.mqtt->tls_ca)){};
    };
    return a.device == b.device && a.boards == b.boards && a.pace == b.pace &&
           a.read_only == b.read_only && a.mqtt.has_value() == b.mqtt.has_value() &&
           broker(a) == broker(b) && a.rules == b.rules;
}

}  // namespace

Daemon::Daemon(QString config_path, QString bus_address, QObject* parent)
    : QObject(parent),
      config_path_(std::move(config_path)),
      bus_address_(std::move(bus_address)),
      name_messages_([](const std::string& text) { log(Priority::warning, text); }) {
    connect(&keep_alive_, &QTimer::timeout, this, &Daemon::keep_alive);
}

Daemon::~Daemon() {
    lines_.clear();
    objects_.reset();
    bus_.reset();
    // A connection of our own is closed before libdbus sees its last reference go.
    if (!bus_address_.isEmpty()) QDBusConnection::disconnectFromBus("tarnwickd");
}

std::string Daemon::state_directory() {
    const char* state = std::getenv("STATE_DIRECTORY");
    if (state && *state == '/') {
        const std::string all(state);
        return all.substr(0, all.find(':'));  // the first of several
    }
    return "/var/lib/tarnwick";
}

// A first start copies the names handed out with the program, as the panel's
// per-user file starts: beside the executable, then under $XDG_CONFIG_DIRS.
void Daemon::seed_name_file() {
    names::NameFileLocation where;
    where.why = names::NameFileLocation::Why::installed_copy;
    where.path = state_directory() + "/name.txt";
    for (const std::string& seed : names::name_file_seeds(names::executable_directory())) {
        const QFileInfo file(QString::fromStdString(seed));
        if (file.isFile() && file.isReadable()) {
            where.seed = seed;
            break;
        }
    }
    const bool there = QFileInfo::exists(QString::fromStdString(where.path));
    names::prepare_name_file(where);
    if (!where.problem.empty())
        log(Priority::warning, "the names start as the defaults: " + where.problem);
    else if (!there && !where.seed.empty())
        log(Priority::info, where.path + " starts as a copy of " + where.seed);
}

bool Daemon::start(const Config& config) {
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signal_pipe) == 0) {
        signals_ = std::make_unique<QSocketNotifier>(signal_pipe[0], QSocketNotifier::Read);
        connect(signals_.get(), &QSocketNotifier::activated, this, &Daemon::on_signal);
        for (const int number : {SIGTERM, SIGINT, SIGHUP}) std::signal(number, on_signal_number);
    }
    bus_ = std::make_unique<QDBusConnection>(
        bus_address_.isEmpty() ? QDBusConnection::systemBus()
                               : QDBusConnection::connectToBus(bus_address_, "tarnwickd"));
    if (!bus_->isConnected()) {
        log(Priority::error,
            "cannot connect to the bus: " + bus_->lastError().message().toStdString());
        return false;
    }
    objects_ = std::make_unique<BusObjects>(*bus_);
    connect(objects_.get(), &BusObjects::report, this,
            [](const QString& text) { log(Priority::notice, text.toStdString()); });
    if (!objects_->register_tree()) {
        log(Priority::error, std::string("cannot register ") + root_path + " on the bus");
        return false;
    }
    seed_name_file();
    names_ = std::make_unique<names::NameFile>(state_directory(), name_messages_);
    (void)names_->load_title();  // a first start writes the file
    apply(config);
    if (!own_bus_name()) return false;
    std::uint64_t watchdog_us = 0;
    const bool watchdog = sd_watchdog_enabled(0, &watchdog_us) > 0;
    keep_alive_.start(watchdog ? static_cast<int>(watchdog_us / 2000) : 1000);
    update_status();
    notify_ready(status_);
    log(Priority::info, "ready on the bus as " + std::string(bus_name));
    return true;
}

// The reason, whatever it is: the bus's error, or who holds the name.
bool Daemon::own_bus_name() {
    QDBusConnectionInterface* bus = bus_->interface();
    const QDBusReply<QDBusConnectionInterface::RegisterServiceReply> owned =
        bus->registerService(bus_name, QDBusConnectionInterface::DontQueueService,
                             QDBusConnectionInterface::DontAllowReplacement);
    if (owned.isValid() && owned.value() == QDBusConnectionInterface::ServiceRegistered)
        return true;
    std::string why = owned.isValid() ? "" : owned.error().message().toStdString();
    if (owned.isValid()) {
        const QString owner = bus->serviceOwner(bus_name);
        const QDBusReply<uint> pid = bus->servicePid(owner);
        why = "another connection (" + owner.toStdString() +
              (pid.isValid() ? ", process " + std::to_string(pid.value()) : std::string()) +
              ") owns it";
    } else if (why.empty()) {
        why = "the bus gave no reason (does its policy let this user own the name?)";
    }
    log(Priority::error, std::string("cannot own the bus name ") + bus_name + ": " + why);
    return false;
}

// Lines no longer configured, or configured otherwise, stop; new ones start.
void Daemon::apply(const Config& config) {
    for (auto line = lines_.begin(); line != lines_.end();) {
        const auto wanted =
            std::find_if(config.lines.begin(), config.lines.end(),
                         [&](const LineConfig& l) { return l.name == (*line)->config().name; });
        if (wanted != config.lines.end() && same_line(*wanted, (*line)->config())) {
            ++line;
            continue;
        }
        log(Priority::info, "stopped", {(*line)->config().name, {}, {}, {}});
        objects_->remove_line(line->get());
        (*line)->stop(std::chrono::milliseconds(1000));  // its broker told "offline"
        offered_.erase(line->get());
        ticked_.erase(std::remove(ticked_.begin(), ticked_.end(), line->get()), ticked_.end());
        line = lines_.erase(line);
    }
    std::vector<Line*> started;
    for (const LineConfig& wanted : config.lines) {
        if (std::any_of(lines_.begin(), lines_.end(),
                        [&](const auto& l) { return l->config().name == wanted.name; }))
            continue;
        auto line = std::make_unique<Line>(wanted, *names_, state_directory());
        Line* raw = line.get();
        connect(raw, &Line::ticked, this, [this, raw] {
            if (std::find(ticked_.begin(), ticked_.end(), raw) == ticked_.end())
                ticked_.push_back(raw);
        });
        connect(raw, &LineModel::board_changed, this, &Daemon::update_status);
        objects_->add_line(raw);
        offered_[raw] = std::make_unique<LineTimekeeping>(wanted.name);
        raw->offer_timekeeping(offered_[raw].get());
        started.push_back(raw);
        lines_.push_back(std::move(line));
    }
    keep_time(config);
    for (Line* line : started) line->start();
}

// Schedules and scenes start afresh with each configuration read: what was
// overridden is forgotten, what is enabled and applied is kept on disk.
void Daemon::keep_time(const Config& config) {
    std::vector<Line*> lines;
    for (const auto& line : lines_) lines.push_back(line.get());
    auto keeper = std::make_unique<Timekeeper>(config, lines, state_directory());
    objects_->set_time_model(keeper.get());
    for (auto& [line, offered] : offered_) offered->use(keeper.get());
    keeper_ = std::move(keeper);
    keeper_->start();
}

void Daemon::on_signal() {
    char number = 0;
    if (::read(signal_pipe[0], &number, 1) != 1) return;
    if (number == SIGHUP)
        reload();
    else
        stop();
}

void Daemon::reload() {
    log(Priority::info, "reading " + config_path_.toStdString() + " again");
    const ConfigResult read = read_config(config_path_.toStdString());
    if (!read.config) {
        log(Priority::error, read.problem + "; the lines run on as before");
        return;
    }
    for (const std::string& warning : read.config->warnings) log(Priority::warning, warning);
    apply(*read.config);
    update_status();
}

void Daemon::stop() {
    notify_stopping();
    log(Priority::info, "stopping");
    keep_alive_.stop();
    // Each broker is told "offline"; together they may take 1.5 s of the
    // 2 s systemd is promised.
    const auto brokers = std::count_if(lines_.begin(), lines_.end(),
                                       [](const auto& l) { return l->config().mqtt.has_value(); });
    const auto each = std::chrono::milliseconds(1500) / std::max<long>(brokers, 1);
    for (auto& line : lines_) {
        objects_->remove_line(line.get());
        line->stop(each);
    }
    lines_.clear();  // closes the ports
    bus_->unregisterService(bus_name);
    QCoreApplication::exit(0);
}

// The keep-alive goes out only while every open line's loop has ticked since
// the last one; without the bus there is nothing to serve: systemd restarts
// the service.
void Daemon::keep_alive() {
    if (!bus_->isConnected()) {
        log(Priority::error, "the bus went away");
        QCoreApplication::exit(1);
        return;
    }
    const bool all_ticked = std::all_of(lines_.begin(), lines_.end(), [this](const auto& l) {
        return !l->open() || std::find(ticked_.begin(), ticked_.end(), l.get()) != ticked_.end();
    });
    ticked_.clear();
    if (all_ticked) notify_watchdog();
    update_status();
}

void Daemon::update_status() {
    int boards = 0, online = 0;
    for (const auto& line : lines_) {
        boards += static_cast<int>(line->boards().size());
        online += line->boards_online();
    }
    const std::string status = std::to_string(online) + " of " + std::to_string(boards) +
                               " boards answer on " + std::to_string(lines_.size()) + " line(s)";
    if (status == status_) return;
    status_ = status;
    notify_status(status_);
}

}  // namespace tarnwick::service

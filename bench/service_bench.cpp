// tarnwickd against simulated boards on pseudo-terminals and a bus of its
// own: frames a second on a line of four answering boards with each pace,
// Switch from the call to its confirmed return (p50/p99), and the service's
// CPU and memory with 4 lines of 4 boards. Figures, not pass/fail.
// Then pulses: how late each ends; and a storm of switches of interlocked
// relays from the bus and the broker; Modbus boards at 9600 baud with each
// pace. Arguments: seconds per measurement (5),
// Switch calls per pace (50), switches in the storm (10000), pulses (100);
// TARNWICK_BENCH_BEHAVIOURS_ONLY=1 for the last two only.
#include <unistd.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDBusVariant>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <bit>
#include <cstdio>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bench/process_figures.h"
#include "mqtt/client.h"
#include "tests/service/private_bus.h"
#include "tests/support/board_sim.h"
#include "tests/support/broker.h"

namespace {

using tarnwick::test::BoardSim;

const QString bus_name = "org.tarnwick.Tarnwick1";
const QString board_interface = "org.tarnwick.Tarnwick1.Board";

// Boards that answer as at 9600 baud: a query and its answer take 17.6 ms on
// such a wire, which a pseudo-terminal does not (tarnwick-board-sim --wire-time).
const std::string wire_time = "9600 baud";

// A running tarnwickd with `lines` lines cab-0.. of four boards 1..4 each,
// every line on a simulator of its own; `delay_ms` late, or wire_time.
class Service {
  public:
    Service(const QString& pace, int lines, const std::string& delay_ms = "0",
            const QString& more_config = {}, const QString& line_keys = {}, bool modbus = false)
        : bus_(TARNWICK_SOURCE_DIR "/packaging/org.tarnwick.Tarnwick1.conf") {
        QString config;
        for (int i = 0; i < lines; ++i) {
            const QString device = dir_.filePath(QString("tty%1").arg(i));
            std::vector<std::string> sim{"--report-frames", "--address", "1,2,3,4", "--link",
                                         device.toStdString()};
            if (modbus) sim.insert(sim.end(), {"--protocol", "modbus", "--inputs", "0"});
            if (delay_ms == wire_time)
                sim.push_back("--wire-time");
            else
                sim.insert(sim.end(), {"--delay", delay_ms});
            boards_.push_back(std::make_unique<BoardSim>(sim));
            config += QString("[line cab-%1]\ndevice=%2\nboards=1-4\npace=%3\n%4\n")
                          .arg(i)
                          .arg(device, pace, line_keys);
        }
        QFile file(dir_.filePath("tarnwickd.conf"));
        file.open(QIODevice::WriteOnly);
        file.write((config + more_config).toUtf8());
        file.close();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("STATE_DIRECTORY", dir_.path());
        daemon_.setProcessEnvironment(env);
        daemon_.setStandardErrorFile(dir_.filePath("log"));
        daemon_.start(TARNWICK_DAEMON, {"--config", file.fileName(), "--bus", bus_.address()});
        connection_ = std::make_unique<QDBusConnection>(
            QDBusConnection::connectToBus(bus_.address(), "bench"));
        ready_ =
            daemon_.waitForStarted() && QTest::qWaitFor([&] { return all_online(lines); }, 10000);
    }
    ~Service() {
        daemon_.terminate();
        daemon_.waitForFinished(3000);
        QDBusConnection::disconnectFromBus("bench");
    }
    [[nodiscard]] bool ready() const { return ready_; }
    [[nodiscard]] QString device(int line) const {
        return dir_.filePath(QString("tty%1").arg(line));
    }
    [[nodiscard]] QString bus_address() const { return bus_.address(); }
    [[nodiscard]] pid_t pid() const { return static_cast<pid_t>(daemon_.processId()); }
    BoardSim& board(int line) { return *boards_[static_cast<std::size_t>(line)]; }

    QDBusMessage call(int line, int address, const QString& method, const QVariantList& args) {
        QDBusMessage message = QDBusMessage::createMethodCall(
            bus_name,
            QString("/org/tarnwick/Tarnwick1/line/cab_2d%1/board/%2").arg(line).arg(address),
            board_interface, method);
        message.setArguments(args);
        return connection_->call(message, QDBus::Block, 5000);
    }
    // The same without waiting for the reply.
    QDBusPendingCall call_async(int line, int address, const QString& method,
                                const QVariantList& args) {
        QDBusMessage message = QDBusMessage::createMethodCall(
            bus_name,
            QString("/org/tarnwick/Tarnwick1/line/cab_2d%1/board/%2").arg(line).arg(address),
            board_interface, method);
        message.setArguments(args);
        return connection_->asyncCall(message, 60000);
    }

  private:
    bool all_online(int lines) {
        for (int line = 0; line < lines; ++line)
            for (int address = 1; address <= 4; ++address) {
                QDBusMessage get = QDBusMessage::createMethodCall(
                    bus_name,
                    QString("/org/tarnwick/Tarnwick1/line/cab_2d%1/board/%2")
                        .arg(line)
                        .arg(address),
                    "org.freedesktop.DBus.Properties", "Get");
                get.setArguments({board_interface, "Online"});
                const QDBusMessage reply = connection_->call(get, QDBus::Block, 1000);
                if (reply.type() != QDBusMessage::ReplyMessage ||
                    !reply.arguments().value(0).value<QDBusVariant>().variant().toBool())
                    return false;
            }
        return true;
    }

    tarnwick::test::PrivateBus bus_;
    QTemporaryDir dir_;
    std::vector<std::unique_ptr<BoardSim>> boards_;
    QProcess daemon_;
    std::unique_ptr<QDBusConnection> connection_;
    bool ready_ = false;
};

// Frames the boards read over `seconds`, with the event loop running.
double frames_per_second(Service& service, int line, int seconds) {
    const std::size_t before = service.board(line).frames().size();  // all so far
    QElapsedTimer timer;
    timer.start();
    // The simulator's report is read as it comes, so that it never waits on
    // a full pipe.
    while (timer.elapsed() < seconds * 1000) {
        QTest::qWait(100);
        service.board(line).frames();
    }
    const std::size_t frames = service.board(line).frames().size() - before;
    return static_cast<double>(frames) * 1000.0 / static_cast<double>(timer.elapsed());
}

// `delay_ms`: the boards answer that late, or as at 9600 baud; Modbus RTU
// boards (each frame a read of 16 coils or a switch) when `modbus`.
void pace_figures(const QString& pace, const std::string& delay_ms, int seconds, int calls,
                  bool modbus = false) {
    Service service(pace, 1, delay_ms, {}, modbus ? "protocol=modbus" : "", modbus);
    const std::string late = std::string(modbus ? "Modbus " : "") +
                             (delay_ms == wire_time ? "answering as at 9600 baud"
                                                    : "answering " + delay_ms + " ms late");
    if (!service.ready()) {
        std::printf("pace=%s: the service did not bring its 4 boards online\n", qPrintable(pace));
        return;
    }
    const double rate = frames_per_second(service, 0, seconds);
    std::printf("pace=%-6s boards %s: %.1f frames/s on a line of 4: each board every %.0f ms\n",
                qPrintable(pace), late.c_str(), rate, 4 * 1000.0 / rate);
    std::vector<double> ms;
    int failed = 0;
    for (int i = 0; i < calls; ++i) {
        QElapsedTimer timer;
        timer.start();
        const QDBusMessage reply =
            service.call(0, 1 + i % 4, "Switch", {QVariant::fromValue<uchar>(3), i % 8 < 4});
        ms.push_back(static_cast<double>(timer.nsecsElapsed()) / 1e6);
        if (reply.type() != QDBusMessage::ReplyMessage) ++failed;
    }
    std::printf(
        "pace=%-6s boards %s: Switch to its confirmed return, %d calls in a row "
        "(%d failed): p50 %.0f ms, p99 %.0f ms\n",
        qPrintable(pace), late.c_str(), calls, failed, tarnwick::bench::percentile(ms, 50),
        tarnwick::bench::percentile(ms, 99));
}

void load_figures(const QString& pace, int seconds) {
    Service service(pace, 4);
    if (!service.ready()) {
        std::printf("4 lines x 4 boards, pace=%s: not all boards online\n", qPrintable(pace));
        return;
    }
    const long before = tarnwick::bench::cpu_ticks(service.pid());
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < seconds * 1000) {
        QTest::qWait(100);
        for (int line = 0; line < 4; ++line) service.board(line).frames();
    }
    const double cpu = static_cast<double>(tarnwick::bench::cpu_ticks(service.pid()) - before) /
                       static_cast<double>(sysconf(_SC_CLK_TCK)) /
                       (static_cast<double>(timer.elapsed()) / 1000.0);
    std::printf(
        "4 lines x 4 boards, pace=%-6s  service CPU %.1f%% of a core, RSS %.1f MB "
        "(peak %.1f MB)\n",
        qPrintable(pace), cpu * 100.0, tarnwick::bench::status_mb(service.pid(), "VmRSS"),
        tarnwick::bench::status_mb(service.pid(), "VmHWM"));
}

// Pulses of 0.2 .. 3 s over the 16 relays of 4 boards, asked 400 ms apart
// (or each once the last has ended, with TARNWICK_BENCH_PULSES_ONE_AT_A_TIME)
// with Pulse (each takes five frames of 50 ms: its ON, a query, a poll in
// turn, its OFF, a query): from the ON frame (or an all-on of its board) to
// the OFF frame on the wire, the time beyond the pulse's length.
void pulse_figures(int count) {
    const bool one_at_a_time = qEnvironmentVariableIsSet("TARNWICK_BENCH_PULSES_ONE_AT_A_TIME");
    Service service("tick", 1);
    if (!service.ready()) return (void)std::printf("pulses: the boards did not come online\n");
    struct Pulse {
        int address, relay;
        double length_ms;
        std::size_t asked;  // frames read when it was asked for
    };
    const auto ended = [](const std::vector<BoardSim::Frame>& frames, const Pulse& p) {
        return std::any_of(frames.begin() + static_cast<std::ptrdiff_t>(p.asked), frames.end(),
                           [&](const BoardSim::Frame& f) {
                               return f[1] == p.address && f[2] == 0x11 && f[6] == p.relay;
                           });
    };
    std::vector<Pulse> pulses;
    std::vector<QDBusPendingCall> calls;
    for (int i = 0; i < count; ++i) {
        const Pulse p{1 + (i / 16) % 4, 1 + i % 16, 200.0 + (i * 37 % 100) * 28.0,
                      service.board(0).frames().size()};
        pulses.push_back(p);
        calls.push_back(service.call_async(
            0, p.address, "Pulse",
            {QVariant::fromValue<uchar>(static_cast<uchar>(p.relay)), p.length_ms / 1000.0}));
        // One at a time: the next once this one's OFF is out.
        if (one_at_a_time)
            (void)QTest::qWaitFor(
                [&] {
                    return service.board(0).frames().size() > p.asked + 3 &&
                           ended(service.board(0).frames(), p);
                },
                5000);
        else
            QTest::qWait(400);
        service.board(0).frames();  // read as they come
    }
    QElapsedTimer settle;
    settle.start();
    while (settle.elapsed() < 4000) {
        QTest::qWait(100);
        service.board(0).frames();
    }
    const auto frames = service.board(0).frames();
    const auto times = service.board(0).frame_times();
    std::vector<double> late;
    int lost = 0, queued = 0;
    for (const Pulse& p : pulses) {
        const auto is = [&](std::size_t i, std::uint8_t code) {
            return frames[i][1] == p.address && frames[i][2] == code && frames[i][6] == p.relay;
        };
        std::size_t on = p.asked;
        const auto all_on = [&](std::size_t i) {
            return frames[i][1] == p.address && frames[i][2] == 0x13 && frames[i][5] == 0xFF;
        };
        while (on < frames.size() && !is(on, 0x21) && !all_on(on)) ++on;
        std::size_t off = on;
        while (off < frames.size() && !is(off, 0x11)) ++off;
        if (off >= frames.size()) {
            ++lost;
            continue;
        }
        late.push_back(std::chrono::duration<double, std::milli>(times[off] - times[on]).count() -
                       p.length_ms);
        // The frame before it was another pulse's OFF: both were due in one tick.
        if (late.back() > 60 && off > 0 && frames[off - 1][2] == 0x11) ++queued;
    }
    const auto over = std::count_if(late.begin(), late.end(), [](double ms) { return ms > 60; });
    std::printf(
        "%d pulses of 0.2..3 s, pace=tick: OFF after ON + length + p50 %.0f ms, p99 %.0f "
        "ms, max %.0f ms, min %.0f ms; %ld over 60 ms (%d right after another pulse's OFF), %d "
        "without an OFF\n",
        count, tarnwick::bench::percentile(late, 50), tarnwick::bench::percentile(late, 99),
        late.empty() ? 0.0 : *std::max_element(late.begin(), late.end()),
        late.empty() ? 0.0 : *std::min_element(late.begin(), late.end()), static_cast<long>(over),
        queued, lost);
}

// Random switches of interlocked relays (groups 1,2 and 3,4,6 on each of
// 4 boards) from the bus and from the broker at once, as fast as they can
// be sent: the relay states the boards report in which two relays of one
// group are on.
void storm_figures(int switches) {
    tarnwick::test::Broker broker;
    QTemporaryDir dir;
    QFile password(dir.filePath("password"));
    password.open(QIODevice::WriteOnly);
    password.write(tarnwick::test::Broker::cabinet_password);
    password.close();
    password.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    QString rules;
    for (int address = 1; address <= 4; ++address)
        rules += QString("[board cab-0 %1]\ninterlock=1,2 3,4,6\n").arg(address);
    Service service("answer", 1, "0", rules,
                    QString("mqtt=127.0.0.1:%1\nusername=%2\npassword-file=%3\n")
                        .arg(broker.port())
                        .arg(tarnwick::test::Broker::cabinet_user, password.fileName()));
    tarnwick::mqtt::Client dashboard(tarnwick::test::dashboard_options(broker, "storm"));
    dashboard.start();
    if (!service.ready() ||
        !QTest::qWaitFor(
            [&] { return dashboard.state() == tarnwick::mqtt::Client::State::connected; }, 10000))
        return (void)std::printf("storm: the service or the broker did not come up\n");
    QTest::qWait(1000);  // the service's own subscription
    std::mt19937 random(7);
    const int relays[] = {1, 2, 3, 4, 6, 5};
    std::vector<QDBusPendingCall> calls;
    // The third client: tarnwick-ctl, one process after another meanwhile.
    QProcess ctl;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("TARNWICK_BUS", service.bus_address());
    ctl.setProcessEnvironment(env);
    ctl.setStandardOutputFile(QProcess::nullDevice());
    ctl.setStandardErrorFile(QProcess::nullDevice());
    std::map<int, int> ctl_exits;
    QObject::connect(&ctl, &QProcess::finished, [&](int code) { ++ctl_exits[code]; });
    const auto next_ctl = [&] {
        if (ctl.state() != QProcess::NotRunning) return;
        const int relay = relays[random() % 6];
        ctl.start(TARNWICK_CTL, {"-p", service.device(0), "-a", QString::number(1 + random() % 4),
                                 random() % 2 ? "on" : "off", QString::number(relay)});
    };
    for (int i = 0; i < switches; ++i) {
        next_ctl();
        const int address = 1 + static_cast<int>(random() % 4);
        const int relay = relays[random() % 6];
        const bool on = random() % 2;
        if (i % 2 == 0)
            calls.push_back(service.call_async(
                0, address, "Switch", {QVariant::fromValue<uchar>(static_cast<uchar>(relay)), on}));
        else
            dashboard.publish("tarnwick/cab-0/" + std::to_string(address) + "/relay/" +
                                  std::to_string(relay) + "/set",
                              on ? "ON" : "OFF", false);
        if (i % 5 == 4) QTest::qWait(10);  // about 400 a second
        if (i % 200 == 199) service.board(0).frames();
    }
    (void)QTest::qWaitFor(
        [&] {
            service.board(0).frames();
            return std::all_of(calls.begin(), calls.end(),
                               [](const QDBusPendingCall& c) { return c.isFinished(); });
        },
        60000);
    QTest::qWait(2000);
    const auto history = service.board(0).relay_history();
    const auto broken = std::count_if(history.begin(), history.end(), [](const auto& state) {
        const std::uint16_t relays = state.second;
        return std::popcount(static_cast<unsigned>(relays & 0x0003)) > 1 ||
               std::popcount(static_cast<unsigned>(relays & 0x002C)) > 1;
    });
    std::map<QString, int> outcomes;
    for (const QDBusPendingCall& call : calls)
        ++outcomes[call.isError() ? call.error().name().section('.', -1) : QString("confirmed")];
    ctl.waitForFinished(5000);
    QString said;
    for (const auto& [outcome, count] : outcomes)
        said += QString(" %1 %2,").arg(count).arg(outcome);
    said.chop(1);
    said += "; tarnwick-ctl runs by exit status:";
    for (const auto& [code, count] : ctl_exits) said += QString(" %1 x %2,").arg(count).arg(code);
    std::printf(
        "storm of %d switches (bus and broker at once, tarnwick-ctl beside them) on 4 interlocked "
        "boards: %zu relay states reported, %ld with two relays of a group on; bus calls:%s\n",
        switches, history.size(), static_cast<long>(broken), qPrintable(said.chopped(1)));
    dashboard.stop();
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    const int calls = argc > 2 ? std::max(1, std::atoi(argv[2])) : 50;
    const int switches = argc > 3 ? std::max(1, std::atoi(argv[3])) : 10000;
    const int pulses = argc > 4 ? std::max(1, std::atoi(argv[4])) : 100;
    if (qEnvironmentVariableIsSet("TARNWICK_BENCH_BEHAVIOURS_ONLY")) {
        pulse_figures(pulses);
        storm_figures(switches);
        return 0;
    }
    for (const std::string& delay : {std::string("0"), wire_time})
        for (const QString pace : {"tick", "answer"}) pace_figures(pace, delay, seconds, calls);
    for (const QString pace : {"tick", "answer"})
        pace_figures(pace, wire_time, seconds, calls, true);
    for (const QString pace : {"tick", "answer"}) load_figures(pace, seconds);
    pulse_figures(pulses);
    storm_figures(switches);
    return 0;
}

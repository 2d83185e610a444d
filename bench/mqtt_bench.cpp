// The MQTT side, through a local broker. First the client alone: a set
// published by a dashboard's client until the cabinet's client hands it to
// its thread, and a state the other way, then two idle clients' CPU and
// memory. Then tarnwick-ctl serve against the simulated board: a set
// published until its command frame is on the wire (the simulator reports
// each frame as it reads it, before it answers), that frame until the state
// from the board's answer reaches the dashboard, and serve's CPU and memory
// while it polls four boards. Prints figures; run from the build directory:
//   bench/mqtt_bench [client samples] [serve sets] [idle seconds]
#include <signal.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <thread>
#include <vector>

#include "bench/process_figures.h"
#include "mqtt/client.h"
#include "mqtt/topics.h"
#include "protocol/frame.h"
#include "tests/support/board_sim.h"
#include "tests/support/broker.h"

using namespace tarnwick::mqtt;
using tarnwick::test::Broker;
using tarnwick::test::cabinet_options;

namespace {

// Runs the event loop until `receiver` has a message or 2 s have passed.
bool wait_message(Client& receiver) {
    QEventLoop loop;
    QObject::connect(&receiver, &Client::message_received, &loop, &QEventLoop::quit);
    QTimer::singleShot(2000, &loop, [&loop] { loop.exit(1); });
    return loop.exec() == 0;
}

bool wait_connected(Client& client) {
    QEventLoop loop;
    QObject::connect(&client, &Client::connected, &loop, &QEventLoop::quit);
    QTimer::singleShot(5000, &loop, [&loop] { loop.exit(1); });
    return loop.exec() == 0;
}

// Milliseconds from each `from.publish(topic)` until `to` hands the message over.
std::vector<double> one_way(Client& from, Client& to, const std::string& topic, int samples) {
    std::vector<double> ms;
    QElapsedTimer clock;
    for (int i = 0; i < samples; ++i) {
        clock.start();
        from.publish(topic, i % 2 ? "ON" : "OFF", false);
        if (!wait_message(to)) {
            std::fprintf(stderr, "mqtt_bench: message %d did not arrive\n", i);
            std::exit(1);
        }
        ms.push_back(static_cast<double>(clock.nsecsElapsed()) / 1e6);
        QEventLoop pause;
        QTimer::singleShot(10, &pause, &QEventLoop::quit);
        pause.exec();
    }
    return ms;
}

void pause_ms(int ms) {
    QEventLoop pause;
    QTimer::singleShot(ms, &pause, &QEventLoop::quit);
    pause.exec();
}

// tarnwick-ctl serve for these boards of the simulator's line, as the cabinet.
// Its log goes to `log` when given; `host` stands for 127.0.0.1, and
// `resolver` makes its lookups hang.
class ServeProcess {
  public:
    ServeProcess(const Broker& broker, const std::string& device, const char* boards,
                 const QString& log = {}, const QString& host = "127.0.0.1",
                 const tarnwick::test::SilentResolver* resolver = nullptr) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("TARNWICK_MQTT_PASSWORD", Broker::cabinet_password);
        process_.setProcessEnvironment(env);
        process_.setStandardErrorFile(log.isEmpty() ? QProcess::nullDevice() : log);
        const QStringList args{"-p",
                               QString::fromStdString(device),
                               "serve",
                               "--mqtt",
                               host + ":" + QString::number(broker.port()),
                               "--node",
                               serve_node,
                               "--boards",
                               boards,
                               "--username",
                               Broker::cabinet_user,
                               "--allow-plaintext-password"};
        if (resolver) {
            const auto [program, wrapped] = resolver->wrap(TARNWICK_CTL, args);
            process_.start(program, wrapped);
        } else {
            process_.start(TARNWICK_CTL, args);
        }
        if (!process_.waitForStarted(5000)) {
            std::fprintf(stderr, "mqtt_bench: tarnwick-ctl serve did not start\n");
            std::exit(1);
        }
    }
    ~ServeProcess() {
        // processId() is 0 once it has ended, and kill(0) signals our own group.
        if (process_.state() == QProcess::NotRunning) return;
        ::kill(pid(), SIGTERM);
        if (!process_.waitForFinished(5000)) process_.kill();
    }
    [[nodiscard]] pid_t pid() const { return static_cast<pid_t>(process_.processId()); }

    static constexpr const char* serve_node = "bench-serve";

  private:
    QProcess process_;
};

// Sets for relay 3 of board 1, one at a time at a random moment of the tick
// (and, with `pair`, relay 4's at the same instant, whose command has to wait
// for the next free tick): ms from the publish to the command frame read by
// the board, and from there to the state from its answer at the dashboard.
struct SetTimes {
    std::vector<double> to_wire, to_state;
};
SetTimes serve_sets(Client& dashboard, tarnwick::test::BoardSim& board, int samples, bool pair) {
    SetTimes times;
    QElapsedTimer clock;
    clock.start();
    const std::string node = ServeProcess::serve_node;
    const int relay = pair ? 4 : 3;
    qint64 state_at = -1;
    std::string wanted_state;
    QObject context;
    QObject::connect(&dashboard, &Client::message_received, &context, [&](const Message& m) {
        if (m.topic == relay_state_topic(node, 1, relay) && m.payload == wanted_state)
            state_at = clock.nsecsElapsed();
    });
    std::mt19937 random(7);
    for (int i = 0; i < samples; ++i) {
        pause_ms(std::uniform_int_distribution<int>(120, 220)(random));
        const bool on = i % 2 == 0;
        const std::size_t before = board.frames().size();
        wanted_state = on ? "ON" : "OFF";
        state_at = -1;
        const qint64 sent = clock.nsecsElapsed();
        if (pair) dashboard.publish(relay_set_topic(node, 1, 3), wanted_state, false);
        dashboard.publish(relay_set_topic(node, 1, relay), wanted_state, false);
        // With a pair, the later of the two commands.
        const std::size_t commands = pair ? 2 : 1;
        qint64 on_wire = -1;
        while (clock.nsecsElapsed() - sent < 2'000'000'000LL && (on_wire < 0 || state_at < 0)) {
            QCoreApplication::processEvents(QEventLoop::AllEvents);
            if (on_wire < 0) {
                const auto frames = board.frames();
                std::size_t seen = 0;
                for (std::size_t f = before; f < frames.size(); ++f)
                    if (frames[f][2] != tarnwick::protocol::cmd_query) ++seen;
                if (seen >= commands) on_wire = clock.nsecsElapsed();
            }
            QThread::usleep(100);
        }
        if (on_wire < 0 || state_at < 0) {
            std::fprintf(stderr, "mqtt_bench: set %d of serve did not come through\n", i);
            std::exit(1);
        }
        times.to_wire.push_back(static_cast<double>(on_wire - sent) / 1e6);
        times.to_state.push_back(static_cast<double>(state_at - on_wire) / 1e6);
    }
    return times;
}

// The gaps between the frames the board reads, in ms, for `seconds`.
std::vector<double> frame_gaps(tarnwick::test::BoardSim& board, int seconds) {
    std::vector<double> gaps;
    QElapsedTimer clock;
    clock.start();
    std::size_t seen = board.frames().size();
    qint64 last = -1;
    while (clock.elapsed() < seconds * 1000) {
        const std::size_t now = board.frames().size();
        const qint64 at = clock.nsecsElapsed();
        if (now > seen) {
            if (last >= 0) gaps.push_back(static_cast<double>(at - last) / 1e6);
            last = at;
            seen = now;
        }
        QThread::usleep(500);
    }
    return gaps;
}

int lines_of(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return -1;
    return static_cast<int>(file.readAll().count('\n'));
}

void print(const char* what, const std::vector<double>& ms) {
    using tarnwick::bench::percentile;
    std::printf("%-48s p50 %.2f ms  p99 %.2f ms  max %.2f ms  (%zu samples)\n", what,
                percentile(ms, 50), percentile(ms, 99), percentile(ms, 100), ms.size());
}

// A burst of 10,000 random sets for both boards: how many relays end in a
// state other than the last set's.
void set_burst(tarnwick::test::BoardSim& board, Client& dashboard) {
    const std::string node = ServeProcess::serve_node;
    std::uint16_t expected[3] = {0, 0, 0};
    std::mt19937 random(11);
    for (int i = 0; i < 10000; ++i) {
        const int address = 1 + i % 2;
        const int relay = 1 + std::uniform_int_distribution<int>(0, 15)(random);
        const bool on = std::uniform_int_distribution<int>(0, 1)(random) == 1;
        dashboard.publish(relay_set_topic(node, static_cast<std::uint8_t>(address), relay),
                          on ? "ON" : "OFF", false);
        const auto bit = static_cast<std::uint16_t>(1u << (relay - 1));
        expected[address] = on ? expected[address] | bit : expected[address] & ~bit;
    }
    for (const std::uint8_t address : {1, 2})
        board.wait_for_relays(address, expected[address], std::chrono::seconds(20));
    int wrong = 0;
    for (const std::uint8_t address : {1, 2})
        wrong += __builtin_popcount(board.last_relays(address).value_or(0) ^ expected[address]);
    std::printf(
        "serve, a burst of 10000 sets (broker: max_queued_messages 100000): %d of 32 "
        "relays differ from the last set\n",
        wrong);
}

// What hostile or clumsy clients can do to serve, and a resolver that hangs.
void network_surface(const Broker& broker, Client& dashboard) {
    using tarnwick::bench::status_mb;
    const std::string node = ServeProcess::serve_node;
    QTemporaryDir dir;
    {
        tarnwick::test::SilentResolver resolver;
        tarnwick::test::BoardSim board({"--report-frames", "--address", "1,2"});
        if (resolver.usable()) {
            ServeProcess serve(broker, board.path(), "1,2", {}, "broker.invalid", &resolver);
            pause_ms(1000);
            print("serve, broker's name lookup hanging: frame to frame", frame_gaps(board, 10));
        } else {
            std::printf("serve with a hanging lookup: skipped (needs root and unshare)\n");
        }
    }
    tarnwick::test::BoardSim board({"--address", "1,2"});
    const QString log = dir.filePath("serve.log");
    ServeProcess serve(broker, board.path(), "1,2", log);
    pause_ms(2000);
    const double peak_before = status_mb(serve.pid(), "VmHWM");
    dashboard.publish(relay_set_topic(node, 1, 3), std::string(200u << 20, 'x'), false);
    pause_ms(5000);
    std::printf("serve, one 200 MB set: peak RSS %.1f MB before, %.1f MB after\n", peak_before,
                status_mb(serve.pid(), "VmHWM"));

    Client watcher(tarnwick::test::dashboard_options(broker, "watcher"));
    int configs = 0;
    QObject::connect(&watcher, &Client::message_received, [&](const Message& m) {
        configs += m.topic.rfind("homeassistant/device/", 0) == 0;
    });
    watcher.subscribe("homeassistant/device/#");
    watcher.start();
    if (!wait_connected(watcher)) std::exit(1);
    pause_ms(1000);
    configs = 0;
    for (int i = 0; i < 10000; ++i) dashboard.publish("homeassistant/status", "online", false);
    pause_ms(5000);
    std::printf("serve, 2 boards, 10000 Home Assistant births: %d discovery publishes\n", configs);
    watcher.stop();

    const int lines_before = lines_of(log);
    for (int i = 0; i < 10000; ++i) dashboard.publish(relay_set_topic(node, 1, 3), "bad", false);
    pause_ms(4000);
    std::printf("serve, 10000 invalid sets: %d log lines\n", lines_of(log) - lines_before);

    set_burst(board, dashboard);
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int samples = argc > 1 ? std::atoi(argv[1]) : 200;
    const int serve_samples = argc > 2 ? std::atoi(argv[2]) : 200;
    const int idle_s = argc > 3 ? std::max(1, std::atoi(argv[3])) : 30;
    Broker broker;
    const double rss_before = tarnwick::bench::rss_mb();
    Client cabinet(cabinet_options(broker, "cabinet-3"));
    Client dashboard(tarnwick::test::dashboard_options(broker, "dashboard"));
    cabinet.subscribe(set_filter("cabinet-3"));
    dashboard.subscribe("tarnwick/cabinet-3/+/relay/+/state");
    dashboard.subscribe("tarnwick/" + std::string(ServeProcess::serve_node) + "/+/relay/+/state");
    cabinet.start();
    dashboard.start();
    if (!wait_connected(cabinet)) return 1;
    if (dashboard.state() != Client::State::connected && !wait_connected(dashboard)) return 1;
    pause_ms(200);

    print("set published -> handed to the cabinet's thread",
          one_way(dashboard, cabinet, relay_set_topic("cabinet-3", 1, 3), samples));
    print("state published -> handed to the dashboard",
          one_way(cabinet, dashboard, relay_state_topic("cabinet-3", 1, 3), samples));

    const double cpu_before = tarnwick::bench::cpu_seconds();
    pause_ms(idle_s * 1000);
    const double cpu = tarnwick::bench::cpu_seconds() - cpu_before;
    std::printf(
        "two connected clients idling %d s: %.2f %% of a core; RSS %.1f MB, %.1f MB of it "
        "since before the clients\n",
        idle_s, cpu / idle_s * 100.0, tarnwick::bench::rss_mb(),
        tarnwick::bench::rss_mb() - rss_before);
    cabinet.stop();

    {
        tarnwick::test::BoardSim board({"--report-frames"});
        ServeProcess serve(broker, board.path(), "1");
        pause_ms(1000);
        const SetTimes single = serve_sets(dashboard, board, serve_samples, false);
        print("serve, one board: set published -> command on the wire", single.to_wire);
        print("serve: command read by the board -> state at the dashboard", single.to_state);
        const SetTimes pairs = serve_sets(dashboard, board, serve_samples / 2, true);
        print("serve: the second of two sets at once -> on the wire", pairs.to_wire);
    }
    {
        tarnwick::test::BoardSim boards({"--address", "1,2,3,4"});
        ServeProcess serve(broker, boards.path(), "1-4");
        pause_ms(2000);  // past the start
        const long ticks_before = tarnwick::bench::cpu_ticks(serve.pid());
        QElapsedTimer clock;
        clock.start();
        pause_ms(idle_s * 1000);
        const long ticks = tarnwick::bench::cpu_ticks(serve.pid()) - ticks_before;
        const double seconds = static_cast<double>(clock.elapsed()) / 1000.0;
        std::printf(
            "serve polling 4 boards for %.0f s: %.2f %% of a core; RSS %.1f MB, peak %.1f MB; "
            "Qt Widgets %s\n",
            seconds,
            100.0 * static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK)) /
                seconds,
            tarnwick::bench::status_mb(serve.pid(), "VmRSS"),
            tarnwick::bench::status_mb(serve.pid(), "VmHWM"),
            tarnwick::bench::maps_library(serve.pid(), "libQt6Widgets") ? "loaded" : "not loaded");
    }
    network_surface(broker, dashboard);
    dashboard.stop();
    return 0;
}

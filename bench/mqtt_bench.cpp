// The MQTT half of a command's way and of a state's: a set published by a
// dashboard's client until the cabinet's client hands it to its thread, and
// the cabinet's state publication until the dashboard has it, through a local
// broker; then the cabinet client's CPU and memory while it idles connected.
// Prints figures; run from the build directory: bench/mqtt_bench [samples]
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "bench/process_figures.h"
#include "mqtt/client.h"
#include "mqtt/topics.h"
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

void print(const char* what, const std::vector<double>& ms) {
    using tarnwick::bench::percentile;
    std::printf("%-48s p50 %.2f ms  p99 %.2f ms  max %.2f ms  (%zu samples)\n", what,
                percentile(ms, 50), percentile(ms, 99), percentile(ms, 100), ms.size());
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int samples = argc > 1 ? std::atoi(argv[1]) : 200;
    Broker broker;
    const double rss_before = tarnwick::bench::rss_mb();
    Client cabinet(cabinet_options(broker, "cabinet-3"));
    Client dashboard(cabinet_options(broker, "dashboard"));
    cabinet.subscribe(set_filter("cabinet-3"));
    dashboard.subscribe("tarnwick/cabinet-3/+/relay/+/state");
    cabinet.start();
    dashboard.start();
    if (!wait_connected(cabinet)) return 1;
    if (dashboard.state() != Client::State::connected && !wait_connected(dashboard)) return 1;
    QEventLoop settle;
    QTimer::singleShot(200, &settle, &QEventLoop::quit);
    settle.exec();

    print("set published -> handed to the cabinet's thread",
          one_way(dashboard, cabinet, relay_set_topic("cabinet-3", 1, 3), samples));
    print("state published -> handed to the dashboard",
          one_way(cabinet, dashboard, relay_state_topic("cabinet-3", 1, 3), samples));

    const double cpu_before = tarnwick::bench::cpu_seconds();
    QEventLoop idle;
    QTimer::singleShot(5000, &idle, &QEventLoop::quit);
    idle.exec();
    const double cpu = tarnwick::bench::cpu_seconds() - cpu_before;
    std::printf(
        "two connected clients idling 5 s: %.2f %% of a core; RSS %.1f MB, %.1f MB of it "
        "since before the clients\n",
        cpu / 5.0 * 100.0, tarnwick::bench::rss_mb(), tarnwick::bench::rss_mb() - rss_before);
    cabinet.stop();
    dashboard.stop();
    return 0;
}

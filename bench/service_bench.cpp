// tarnwickd against simulated boards on pseudo-terminals and a bus of its
// own: frames a second on a line of four answering boards with each pace,
// Switch from the call to its confirmed return (p50/p99), and the service's
// CPU and memory with 4 lines of 4 boards. Figures, not pass/fail.
// Arguments: seconds per measurement (5), Switch calls per pace (50).
#include <unistd.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "bench/process_figures.h"
#include "tests/service/private_bus.h"
#include "tests/support/board_sim.h"

namespace {

using tarnwick::test::BoardSim;

const QString bus_name = "org.tarnwick.Tarnwick1";
const QString board_interface = "org.tarnwick.Tarnwick1.Board";

// A running tarnwickd with `lines` lines cab-0.. of four boards 1..4 each,
// every line on a simulator of its own.
class Service {
  public:
    Service(const QString& pace, int lines, const std::string& delay_ms = "0")
        : bus_(TARNWICK_SOURCE_DIR "/packaging/org.tarnwick.Tarnwick1.conf") {
        QString config;
        for (int i = 0; i < lines; ++i) {
            const QString device = dir_.filePath(QString("tty%1").arg(i));
            boards_.push_back(std::make_unique<BoardSim>(
                std::vector<std::string>{"--report-frames", "--address", "1,2,3,4", "--delay",
                                         delay_ms, "--link", device.toStdString()}));
            config += QString("[line cab-%1]\ndevice=%2\nboards=1-4\npace=%3\n\n")
                          .arg(i)
                          .arg(device, pace);
        }
        QFile file(dir_.filePath("tarnwickd.conf"));
        file.open(QIODevice::WriteOnly);
        file.write(config.toUtf8());
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

// `delay_ms`: the boards answer that late; 17 ms is what a query and its
// answer take on the wire at 9600 baud, which a pseudo-terminal does not.
void pace_figures(const QString& pace, const std::string& delay_ms, int seconds, int calls) {
    Service service(pace, 1, delay_ms);
    if (!service.ready()) {
        std::printf("pace=%s: the service did not bring its 4 boards online\n", qPrintable(pace));
        return;
    }
    const double rate = frames_per_second(service, 0, seconds);
    std::printf(
        "pace=%-6s boards %2s ms late: %.1f frames/s on a line of 4: each board every %.0f ms\n",
        qPrintable(pace), delay_ms.c_str(), rate, 4 * 1000.0 / rate);
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
        "pace=%-6s boards %2s ms late: Switch to its confirmed return, %d calls in a row "
        "(%d failed): p50 %.0f ms, p99 %.0f ms\n",
        qPrintable(pace), delay_ms.c_str(), calls, failed, tarnwick::bench::percentile(ms, 50),
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

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    const int calls = argc > 2 ? std::max(1, std::atoi(argv[2])) : 50;
    for (const char* delay : {"0", "17"})
        for (const QString pace : {"tick", "answer"}) pace_figures(pace, delay, seconds, calls);
    for (const QString pace : {"tick", "answer"}) load_figures(pace, seconds);
    return 0;
}

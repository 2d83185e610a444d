// tarnwick-ctl through tarnwickd: a private bus, the service on a line of
// four simulated boards answering as at 9600 baud, at each of its paces, and
// `on 3`/`off 3` to board 1 in turn (30 runs unless a number is given), each
// from the process's start to its confirmed exit: back to back, a flood in
// which the service still polls the other boards between switches, and
// spaced as a script's calls come, at any moment of the line's polling. Then
// status, the part that is not the service's wait for the board. Then the
// switches with no service on the bus, and with --direct, which does not
// ask: what asking costs a direct open. Figures, not pass/fail.
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <algorithm>
#include <cstdio>
#include <vector>

#include "tests/service/private_bus.h"
#include "tests/support/board_sim.h"

namespace {

// Milliseconds from start to exit, or -1 when the exit was not 0.
double run_ctl(const QStringList& args) {
    QProcess ctl;
    QElapsedTimer clock;
    clock.start();
    ctl.start(TARNWICK_CTL, args);
    if (!ctl.waitForFinished(10000) || ctl.exitCode() != 0) return -1;
    return static_cast<double>(clock.nsecsElapsed()) / 1e6;
}

void print_figures(const QByteArray& what, std::vector<double> ms) {
    const auto failed = std::count(ms.begin(), ms.end(), -1.0);
    std::erase(ms, -1.0);
    std::sort(ms.begin(), ms.end());
    if (ms.empty()) {
        std::printf("%s: no run succeeded\n", what.constData());
        return;
    }
    std::printf("%s: %zu runs, p50 %.1f ms, p90 %.1f ms, max %.1f ms, %lld failed\n",
                what.constData(), ms.size(), ms[ms.size() / 2], ms[ms.size() * 9 / 10], ms.back(),
                static_cast<long long>(failed));
}

// `spaced`: a pause before each run that moves its start across a whole
// polling round (the same pauses every time).
std::vector<double> switches(const QString& device, int runs, const QStringList& options = {},
                             bool spaced = false) {
    std::vector<double> ms;
    for (int i = 0; i < runs; ++i) {
        if (spaced) QThread::msleep(static_cast<unsigned long>(100 + (i * 37) % 200));
        ms.push_back(run_ctl(options + QStringList{"-p", device, i % 2 ? "off" : "on", "3"}));
    }
    return ms;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 30;
    QTemporaryDir dir;
    const QString device = dir.filePath("ttyUSB0");
    tarnwick::test::BoardSim board(std::vector<std::string>{"--address", "1,2,3,4", "--wire-time",
                                                            "--link", device.toStdString()});
    tarnwick::test::PrivateBus bus(TARNWICK_SOURCE_DIR "/packaging/org.tarnwick.Tarnwick1.conf");
    if (!bus.ready()) {
        std::printf("no dbus-daemon\n");
        return 1;
    }
    qputenv("TARNWICK_BUS", bus.address().toUtf8());
    qputenv("XDG_CONFIG_HOME", dir.filePath("config").toUtf8());
    // The service's pace decides most of a switch's time: one frame per 50 ms
    // tick, or the next frame as soon as the answer is in.
    for (const char* pace : {"tick", "answer"}) {
        QFile config(dir.filePath("tarnwickd.conf"));
        config.open(QIODevice::WriteOnly | QIODevice::Truncate);
        config.write(
            QString("[line cab-1]\ndevice=%1\nboards=1-4\npace=%2\n").arg(device, pace).toUtf8());
        config.close();
        QProcess daemon;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("STATE_DIRECTORY", dir.path());
        daemon.setProcessEnvironment(env);
        daemon.start(TARNWICK_DAEMON, {"--config", config.fileName(), "--bus", bus.address()});
        if (!QTest::qWaitFor(
                [&] {
                    return run_ctl({"--via-service", "-p", device, "status"}) >= 0;
                },
                10000)) {
            std::printf("tarnwickd did not come up\n");
            return 1;
        }
        const QByteArray what = QByteArray("through tarnwickd, pace=") + pace;
        print_figures("tarnwick-ctl on/off 3 back to back " + what, switches(device, runs));
        print_figures("tarnwick-ctl on/off 3 spaced " + what, switches(device, runs, {}, true));
        // The part of it that is not the service's wait for the board.
        std::vector<double> reads;
        for (int i = 0; i < runs; ++i) reads.push_back(run_ctl({"-p", device, "status"}));
        print_figures("tarnwick-ctl status " + what, reads);
        daemon.terminate();
        daemon.waitForFinished(3000);
    }
    print_figures("tarnwick-ctl on/off 3 on the device, bus without tarnwickd",
                  switches(device, runs));
    print_figures("tarnwick-ctl --direct on/off 3 on the device",
                  switches(device, runs, {"--direct"}));
    return 0;
}

// Eight simulated boards on one line at 9600 baud's pace, board 1 in the
// address entry: the panel runs with 线路总览 closed and then open, 10 s each
// unless a number of seconds is given, and prints the main window's tick
// intervals (the frames to board 1), the other boards' queries and the
// process's CPU in each. The window and serial link are the real ones,
// offscreen. Figures, not pass/fail; the goals are p99 < 60 ms and < 2 % CPU
// with the window open.
#include <QApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <vector>

#include "bench/process_figures.h"
#include "tests/support/board_sim.h"
#include "tests/support/recording_boxes.h"
#include "tests/support/wait.h"
#include "ui/fonts.h"
#include "ui/line_overview.h"
#include "ui/link_aids.h"
#include "ui/main_form.h"
#include "wire/qt_serial_port.h"

namespace {

using namespace tarnwick;

constexpr int boards = 8;

struct Phase {
    std::vector<double> tick_ms;
    long others = 0;    // frames to boards 2..8
    long answered = 0;  // by them
    double wall_s = 0;
    double cpu_s = 0;
};

// Runs the event loop for a phase, counting the frames `form` sends.
Phase measure(ui::MainForm& form, int seconds) {
    Phase phase;
    QElapsedTimer clock;
    qint64 last_tick_ns = -1;
    const auto counted = QObject::connect(
        &form.link(), &link::LinkController::frame_sent, [&](const protocol::Frame& frame) {
            if (frame[1] != 1) {
                ++phase.others;
                return;
            }
            const qint64 now = clock.nsecsElapsed();
            if (last_tick_ns >= 0)
                phase.tick_ms.push_back(static_cast<double>(now - last_tick_ns) / 1e6);
            last_tick_ns = now;
        });
    // A watched board changes when asked (it waits then) and when it answers.
    const auto answers =
        QObject::connect(&form.link(), &link::LinkController::board_changed, [&](int address) {
            const auto* board = form.link().watched().board(static_cast<std::uint8_t>(address));
            if (board && !board->waiting_since) ++phase.answered;
        });
    const double cpu_start = bench::cpu_seconds();
    clock.start();
    test::run_live_for(seconds * 1000);
    phase.wall_s = static_cast<double>(clock.nsecsElapsed()) / 1e9;
    phase.cpu_s = bench::cpu_seconds() - cpu_start;
    QObject::disconnect(counted);
    QObject::disconnect(answers);
    return phase;
}

void print(const char* what, const Phase& phase) {
    std::printf("  %-26s tick p50 %.2f ms  p99 %.2f ms  max %.2f ms  (%zu ticks)\n", what,
                bench::percentile(phase.tick_ms, 50), bench::percentile(phase.tick_ms, 99),
                bench::percentile(phase.tick_ms, 100), phase.tick_ms.size());
    std::printf(
        "  %-26s other boards' queries %.1f /s (%ld answered of %ld), CPU %.2f %% of one core\n",
        "", static_cast<double>(phase.others) / phase.wall_s, phase.answered, phase.others,
        100.0 * phase.cpu_s / phase.wall_s);
}

}  // namespace

int main(int argc, char** argv) {
    bench::prepare_panel_process();
    QApplication app(argc, argv);
    ui::install_font_substitutions();
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;

    test::BoardSim sim({"--address", "1,2,3,4,5,6,7,8", "--wire-time"});
    qputenv("TARNWICK_COM1", QByteArray::fromStdString(sim.path()));
    test::RecordingBoxes boxes;
    QTemporaryDir dir;
    names::NameFile names(dir.path().toStdString(), boxes);
    link::QtSerialPort port;
    ui::MainForm form(port, boxes, names);
    form.show();
    form.address_entry()->setText("1");
    form.link().open_comm_Click();
    if (!form.link().port_open() || !form.link().start_scan(1, boards)) {
        std::fprintf(stderr, "%s\n", qPrintable(boxes.texts.join('\n')));
        return 1;
    }
    if (!QTest::qWaitFor([&] { return !form.link().scanning(); }, 5000)) return 1;
    test::run_live_for(1000);  // to settle

    const Phase closed = measure(form, seconds);
    ui::LineOverview* view = form.aids().open_overview();
    test::run_live_for(1000);  // every board asked once
    // The rows online, looked at every 100 ms while measuring.
    std::vector<double> online;
    QTimer look;
    QObject::connect(&look, &QTimer::timeout, [&] {
        int n = 0;
        for (int row = 0; row < view->row_count(); ++row) n += view->row_online(row) ? 1 : 0;
        online.push_back(n);
    });
    look.start(100);
    const Phase open = measure(form, seconds);
    look.stop();
    const auto all = std::count(online.begin(), online.end(), static_cast<double>(boards));

    std::printf("overview benchmark: %d boards at 9600 baud's pace on %s, %d s a phase\n", boards,
                sim.path().c_str(), seconds);
    std::printf("  boards found by the scan   %zu\n", form.link().found_boards().size());
    print("overview closed", closed);
    print("overview open", open);
    std::printf("  rows online (every 100 ms) min %.0f of %d, all %d in %.1f %% of looks\n",
                bench::percentile(online, 0), view->row_count(), boards,
                100.0 * static_cast<double>(all) /
                    static_cast<double>(std::max<std::size_t>(online.size(), 1)));
    std::printf("  peak RSS                   %.1f MB\n", bench::peak_rss_mb());
    return 0;
}

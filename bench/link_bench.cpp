// Runs the panel's window and serial link against the simulated board on a
// pseudo-terminal for a while (10 s unless a number of seconds is given) and
// prints what was measured. Figures, not pass/fail.
#include <QApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <vector>

#include "bench/process_figures.h"
#include "tests/support/board_sim.h"
#include "tests/support/recording_boxes.h"
#include "ui/fonts.h"
#include "ui/main_form.h"
#include "wire/qt_serial_port.h"

namespace {

using namespace tarnwick;

// Times the receive notification (the eighth byte waiting) on its way in.
class TimedPort : public link::SerialPort, private link::SerialListener {
  public:
    explicit TimedPort(QElapsedTimer& clock) : clock_(clock) { inner_.set_listener(this); }
    std::optional<link::PortProblem> open(const QString& device) override {
        return inner_.open(device);
    }
    void close() override { inner_.close(); }
    bool is_open() const override { return inner_.is_open(); }
    std::size_t discard_input() override { return inner_.discard_input(); }
    void write(std::span<const std::uint8_t> bytes) override { inner_.write(bytes); }
    std::optional<std::uint8_t> read_byte() override { return inner_.read_byte(); }
    std::size_t bytes_waiting() const override { return inner_.bytes_waiting(); }
    qint64 received_at_ns = -1;

  private:
    void on_received() override {
        received_at_ns = clock_.nsecsElapsed();
        if (listener_) listener_->on_received();
    }
    void on_lost(const link::PortProblem& problem) override {
        if (listener_) listener_->on_lost(problem);
    }
    QElapsedTimer& clock_;
    link::QtSerialPort inner_;
};

}  // namespace

int main(int argc, char** argv) {
    bench::prepare_panel_process();
    QApplication app(argc, argv);
    ui::install_font_substitutions();
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;

    test::BoardSim board({"--relays", "0x00F0"});
    qputenv("TARNWICK_COM1", QByteArray::fromStdString(board.path()));

    QElapsedTimer clock;
    clock.start();
    TimedPort port(clock);
    test::RecordingBoxes boxes;
    QTemporaryDir dir;
    names::NameFile names(dir.path().toStdString(), boxes);
    ui::MainForm form(port, boxes, names);
    form.show();

    std::vector<double> tick_ms, click_ms, repaint_ms;
    qint64 last_frame_ns = -1, click_ns = -1;
    protocol::Command clicked{};
    long frames = 0, answers = 0;
    bool measuring = false;

    QObject::connect(&form.link(), &link::LinkController::frame_sent,
                     [&](const protocol::Frame& f) {
                         const qint64 now = clock.nsecsElapsed();
                         if (!measuring) return;
                         ++frames;
                         if (last_frame_ns >= 0)
                             tick_ms.push_back(static_cast<double>(now - last_frame_ns) / 1e6);
                         last_frame_ns = now;
                         if (click_ns >= 0 && f[2] == clicked.code && f[6] == clicked.b) {
                             click_ms.push_back(static_cast<double>(now - click_ns) / 1e6);
                             click_ns = -1;
                         }
                     });
    QObject::connect(
        &form.link(), &link::LinkController::status_shown, [&](const protocol::Frame&) {
            if (!measuring || port.received_at_ns < 0) return;
            ++answers;
            repaint_ms.push_back(static_cast<double>(clock.nsecsElapsed() - port.received_at_ns) /
                                 1e6);
        });

    // Operator clicks at times unrelated to the tick: one every 173 ms.
    QTimer clicker;
    int next_cell = 1;
    QObject::connect(&clicker, &QTimer::timeout, [&] {
        const ui::Colour colour = form.cell_colour(next_cell);
        if (colour != ui::colour_green && colour != ui::colour_red) return;
        form.link().Picture1_Click(next_cell);
        clicked = form.link().pending_command();
        click_ns = clock.nsecsElapsed();
        next_cell = next_cell % 16 + 1;
    });

    form.link().open_comm_Click();
    if (!form.link().port_open()) {
        std::fprintf(stderr, "%s\n", qPrintable(boxes.texts.join('\n')));
        return 1;
    }
    double cpu_start = 0;
    qint64 wall_start = 0;
    // One second to settle, then measure.
    QTimer::singleShot(1000, [&] {
        measuring = true;
        cpu_start = bench::cpu_seconds();
        wall_start = clock.nsecsElapsed();
        clicker.start(173);
    });
    QTimer::singleShot(1000 + seconds * 1000, [&] { app.quit(); });
    app.exec();

    const double wall = static_cast<double>(clock.nsecsElapsed() - wall_start) / 1e9;
    const double cpu = bench::cpu_seconds() - cpu_start;
    std::printf("link benchmark: %d s against the simulated board on %s\n", seconds,
                board.path().c_str());
    std::printf("  frames on the wire     %.2f /s (%ld frames, %ld answers accepted)\n",
                static_cast<double>(frames) / wall, frames, answers);
    std::printf("  tick interval          p50 %.2f ms  p99 %.2f ms  min %.2f ms  max %.2f ms\n",
                bench::percentile(tick_ms, 50), bench::percentile(tick_ms, 99),
                bench::percentile(tick_ms, 0), bench::percentile(tick_ms, 100));
    std::printf("  click to wire          p50 %.2f ms  p99 %.2f ms  (%zu clicks)\n",
                bench::percentile(click_ms, 50), bench::percentile(click_ms, 99), click_ms.size());
    std::printf("  8th byte to repaint    p50 %.3f ms  p99 %.3f ms\n",
                bench::percentile(repaint_ms, 50), bench::percentile(repaint_ms, 99));
    std::printf("  CPU                    %.2f %% of one core\n", 100.0 * cpu / wall);
    std::printf("  peak RSS               %.1f MB\n", bench::peak_rss_mb());
    return 0;
}

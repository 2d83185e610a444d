// Pulls the simulated board out from under the open panel and plugs it back
// in under the same name, 20 times unless a number is given, and prints how
// soon the panel was polling again by itself: from the moment the device
// reappeared (the board's link was made) to the first frame on the reopened
// port, and to the first accepted answer. The window and serial link are the
// real ones, offscreen. Figures, not pass/fail; the goal is 1.5 s.
#include <signal.h>
#include <sys/stat.h>
#include <time.h>

#include <QApplication>
#include <QTemporaryDir>
#include <chrono>
#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bench/process_figures.h"
#include "tests/support/board_sim.h"
#include "tests/support/recording_boxes.h"
#include "tests/support/wait.h"
#include "ui/fonts.h"
#include "ui/main_form.h"
#include "wire/qt_serial_port.h"

namespace {

using namespace tarnwick;

double realtime_ms() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

// When the name last appeared: the board makes its link under a temporary
// name and renames it into place, which sets the link's change time. The
// kernel's file times are coarse (a scheduler tick), so this errs early and
// the figures err long.
double appeared_ms(const std::string& path) {
    struct stat status {};
    if (lstat(path.c_str(), &status) != 0) return -1;
    return static_cast<double>(status.st_ctim.tv_sec) * 1e3 +
           static_cast<double>(status.st_ctim.tv_nsec) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
    bench::prepare_panel_process();
    QApplication app(argc, argv);
    ui::install_font_substitutions();
    const int replugs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;

    QTemporaryDir dir;
    const std::string name = dir.filePath(QStringLiteral("board")).toStdString();
    qputenv("TARNWICK_COM1", QByteArray::fromStdString(name));
    const std::vector<std::string> board_args{"--link", name, "--relays", "0x00F0"};
    auto board = std::make_unique<test::BoardSim>(board_args);

    link::QtSerialPort port;
    test::RecordingBoxes boxes;
    names::NameFile names(dir.path().toStdString(), boxes);
    ui::MainForm form(port, boxes, names);
    const qsizetype start_messages = boxes.texts.size();  // the first start's two
    link::LinkController& link = form.link();
    double first_frame = -1, first_answer = -1;
    QObject::connect(&link, &link::LinkController::frame_sent, [&](const protocol::Frame&) {
        if (first_frame < 0) first_frame = realtime_ms();
    });
    QObject::connect(&link, &link::LinkController::status_shown, [&](const protocol::Frame&) {
        if (first_answer < 0) first_answer = realtime_ms();
    });

    link.open_comm_Click();
    if (!link.port_open() || !test::wait_until([&] { return first_answer >= 0; })) {
        std::fprintf(stderr, "the panel did not poll the board: %s\n",
                     qPrintable(boxes.texts.join('\n')));
        return 1;
    }

    std::mt19937 random(20);
    std::vector<double> to_frame, to_answer;
    int missed = 0;
    for (int i = 0; i < replugs; ++i) {
        // Pulled: the board ends and takes its link along, as udev takes a
        // pulled adapter's node.
        board->kill(SIGTERM);
        (void)board->wait_exit(std::chrono::seconds(5));
        board.reset();
        if (!test::wait_until([&] { return link.reconnecting(); })) {
            std::fprintf(stderr, "replug %d: the panel did not notice the board was gone\n", i + 1);
            return 1;
        }
        test::run_events_for(std::uniform_int_distribution<>(200, 800)(random));

        first_frame = first_answer = -1;
        board = std::make_unique<test::BoardSim>(board_args);
        const double appeared = appeared_ms(name);
        if (!test::wait_until([&] { return first_answer >= 0; }, 5000)) {
            ++missed;
            std::fprintf(stderr, "replug %d: not polling again within 5 s\n", i + 1);
            link.open_comm_Click();
            continue;
        }
        to_frame.push_back(first_frame - appeared);
        to_answer.push_back(first_answer - appeared);
    }

    std::printf("replug benchmark: %d replugs of the simulated board behind %s\n", replugs,
                name.c_str());
    std::printf("  device back to first frame     p50 %.1f ms  p99 %.1f ms  max %.1f ms\n",
                bench::percentile(to_frame, 50), bench::percentile(to_frame, 99),
                bench::percentile(to_frame, 100));
    std::printf("  device back to first answer    p50 %.1f ms  p99 %.1f ms  max %.1f ms\n",
                bench::percentile(to_answer, 50), bench::percentile(to_answer, 99),
                bench::percentile(to_answer, 100));
    std::printf("  not back within 5 s            %d\n", missed);
    std::printf("  messages                       %lld (one per pull)\n",
                static_cast<long long>(boxes.texts.size() - start_messages));
    return missed == 0 ? 0 : 1;
}

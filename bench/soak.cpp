// Soak: the panel's window and serial link, offscreen, against simulated
// boards that are restarted at random with random faults, switched into and
// out of faults while running, and now and then killed under the open port.
// A random operator clicks cells and buttons all along. Prints figures; exits
// non-zero only when the panel hangs, misses a vanish or a reconnect, or does
// not recover at the end.
//
//   soak SECONDS [--seed S] [--slow]
//
// --slow (under valgrind) gives the panel four times as long before a
// silence counts as a hang and before the final recovery counts as failed.
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QMouseEvent>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bench/process_figures.h"
#include "tests/support/board_sim.h"
#include "tests/support/recording_boxes.h"
#include "ui/fonts.h"
#include "ui/main_form.h"
#include "wire/qt_serial_port.h"

namespace {

using namespace tarnwick;
using bench::cpu_seconds;
using bench::peak_rss_mb;
using bench::rss_mb;

// Where this thread's time went, from the scheduler's statistics and the
// fault counters: on a CPU, runnable but waiting for one (other processes had
// it), and major page faults (code or data read back from disk).
struct ThreadTimes {
    double on_cpu_ms = 0;
    double cpu_wait_ms = 0;
    long major_faults = 0;

    static ThreadTimes now() {
        ThreadTimes t;
        std::ifstream schedstat("/proc/thread-self/schedstat");
        long long on_cpu = 0, waiting = 0;
        schedstat >> on_cpu >> waiting;
        t.on_cpu_ms = static_cast<double>(on_cpu) / 1e6;
        t.cpu_wait_ms = static_cast<double>(waiting) / 1e6;
        rusage usage{};
        getrusage(RUSAGE_THREAD, &usage);
        t.major_faults = usage.ru_majflt;
        return t;
    }
    ThreadTimes operator-(const ThreadTimes& earlier) const {
        return {on_cpu_ms - earlier.on_cpu_ms, cpu_wait_ms - earlier.cpu_wait_ms,
                major_faults - earlier.major_faults};
    }
};

// Watches the panel's thread from beside it: while a frame is overdue, it
// samples what the thread is doing (the system call it sits in, with its
// arguments, and the kernel function it sleeps in), so that a stall can be
// told apart as the event loop waiting, a blocking call, or the CPU. It also
// times its own 5 ms naps: when the watcher is held up as long as the panel
// and the panel hardly ran, the whole process was frozen (a virtual machine
// paused by its host does that), not the panel's thread.
class StallWatch {
  public:
    explicit StallWatch(QElapsedTimer& clock)
        : clock_(clock), tid_(static_cast<long>(::syscall(SYS_gettid))) {
        thread_ = std::thread([this] { run(); });
    }
    ~StallWatch() {
        stop_ = true;
        thread_.join();
    }
    StallWatch(const StallWatch&) = delete;
    StallWatch& operator=(const StallWatch&) = delete;

    // The time of the last frame on the open port; -1 while there is none.
    // Set by the panel's thread only.
    void frame_at(qint64 ns) { last_frame_ns_ = ns; }
    [[nodiscard]] qint64 last_frame_ns() const { return last_frame_ns_; }

    // The longest the watcher overslept a nap since the last call, in ms.
    double take_held_ms() {
        std::lock_guard lock(mutex_);
        return std::exchange(held_ms_, 0.0);
    }

    // What the samples of the gap that just ended showed, most frequent first.
    std::string take_report() {
        std::lock_guard lock(mutex_);
        std::string report;
        for (const auto& [what, count] : samples_)
            report += (report.empty() ? "" : "; ") + std::to_string(count) + "x " + what;
        samples_.clear();
        return report.empty() ? "no samples" : report;
    }

  private:
    void run() {
        const std::string dir = "/proc/self/task/" + std::to_string(tid_) + "/";
        qint64 woke = clock_.nsecsElapsed();
        while (!stop_) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            const qint64 before = woke;
            woke = clock_.nsecsElapsed();
            {
                const double held = static_cast<double>(woke - before) / 1e6 - 5;
                std::lock_guard lock(mutex_);
                held_ms_ = std::max(held_ms_, held);
            }
            const qint64 last = last_frame_ns_;
            if (last < 0 || clock_.nsecsElapsed() - last < 60'000'000) continue;
            std::string call, wchan;
            std::getline(std::ifstream(dir + "syscall"), call);
            std::getline(std::ifstream(dir + "wchan"), wchan);
            std::istringstream words(call);
            std::string number, a1, a2, a3;
            words >> number >> a1 >> a2 >> a3;
            std::string what;
            if (number == "running")
                what = "running";
            else if (number == "7")  // poll(fds, nfds, timeout_ms)
                what = "poll " + a2 + " fds, timeout " +
                       std::to_string(std::strtol(a3.c_str(), nullptr, 16)) + " ms";
            else
                what = "syscall " + number + " (" + a1 + ", " + a2 + ", " + a3 + ")";
            what += " in " + (wchan.empty() ? std::string("-") : wchan);
            std::lock_guard lock(mutex_);
            ++samples_[what];
        }
    }

    QElapsedTimer& clock_;
    const long tid_;
    std::atomic<qint64> last_frame_ns_{-1};
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::map<std::string, int> samples_;
    double held_ms_ = 0;
    std::thread thread_;
};

// Tick gaps in quarter milliseconds up to half a second, the rest in the last
// bin: a fixed size, so that counting them does not add to the memory
// figures of a long run.
class GapHistogram {
  public:
    void add(double ms) {
        const auto bin = static_cast<std::size_t>(std::max(0.0, ms) * bins_per_ms);
        ++bins_[std::min(bin, bins_.size() - 1)];
        ++count_;
    }
    [[nodiscard]] double percentile(double p) const {
        if (count_ == 0) return 0;
        const auto rank = static_cast<long>(p / 100.0 * static_cast<double>(count_ - 1));
        long seen = 0;
        for (std::size_t i = 0; i < bins_.size(); ++i) {
            seen += bins_[i];
            if (seen > rank) return (static_cast<double>(i) + 0.5) / bins_per_ms;
        }
        return static_cast<double>(bins_.size()) / bins_per_ms;
    }

  private:
    static constexpr double bins_per_ms = 4;
    std::array<long, 2000> bins_{};
    long count_ = 0;
};

// A left click as the operator makes it: press and release inside the widget.
void click(QWidget* widget) {
    const QPointF at(widget->width() / 2.0, widget->height() / 2.0);
    const QPointF global = widget->mapToGlobal(at);
    QMouseEvent press(QEvent::MouseButtonPress, at, global, Qt::LeftButton, Qt::LeftButton,
                      Qt::NoModifier);
    QMouseEvent release(QEvent::MouseButtonRelease, at, global, Qt::LeftButton, Qt::NoButton,
                        Qt::NoModifier);
    QApplication::sendEvent(widget, &press);
    QApplication::sendEvent(widget, &release);
}

// One board's faults, as simulator options. Chosen so that most boards can be
// talked to, some only partly, some not at all.
struct Faults {
    const char* name;
    std::vector<std::string> args;
};

const Faults fault_menu[] = {
    {"none", {}},
    {"none", {}},
    {"garbage between answers", {"--garbage", "12", "--garbage-after", "20"}},
    {"short garbage between answers", {"--garbage", "3", "--garbage-after", "10"}},
    {"garbage ahead of answers", {"--garbage", "5"}},
    {"split answers", {"--split", "15"}},
    {"extra bytes", {"--extra", "3"}},
    {"many extra bytes", {"--extra", "40"}},
    {"late answers", {"--delay", "30"}},
    {"answers after the next tick", {"--delay", "70"}},
    {"bad checksums", {"--bad-checksum"}},
    {"silence", {"--silent"}},
    {"another address", {"--address", "7"}},
    {"split and extra", {"--split", "10", "--extra", "5"}},
};

struct Figures {
    long frames = 0, accepted = 0, rejected = 0;
    long unknown_episodes = 0;
    long boards = 0, restarts = 0, vanishes = 0, switches = 0, clicks = 0;
    long opens = 0, reopens = 0, failed_opens = 0, unnoticed_vanishes = 0;
    long reconnects = 0, missed_reconnects = 0;
    double slowest_reconnect_ms = 0;
    long lost_messages = 0, other_messages = 0;
    long hangs = 0;
    double longest_gap_ms = 0;
    // Each gap over 100 ms: its length and where the panel's time went.
    struct Stall {
        double gap_ms;
        ThreadTimes spent;
        double watcher_held_ms;
        std::string seen;

        [[nodiscard]] std::string describe() const {
            char text[200];
            std::snprintf(text, sizeof text,
                          "%.1f ms: %.1f ms on a CPU, %.1f ms waiting for one, %ld major page "
                          "faults, watcher held %.1f ms; the thread was seen: ",
                          gap_ms, spent.on_cpu_ms, spent.cpu_wait_ms, spent.major_faults,
                          watcher_held_ms);
            return text + seen;
        }
    };
    std::vector<Stall> stalls;
    long gaps_over_100ms = 0;
    long frozen_stalls = 0;  // the watcher held up too: the whole process stood still
    GapHistogram gaps;
};

}  // namespace

int main(int argc, char** argv) {
    bench::prepare_panel_process();
    QApplication app(argc, argv);
    ui::install_font_substitutions();
    int seconds = 60;
    std::uint32_t seed = 1;
    int patience = 1;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--slow")
            patience = 4;
        else if (arg == "--seed" && i + 1 < argc)
            seed = static_cast<std::uint32_t>(std::strtoul(argv[++i], nullptr, 10));
        else
            seconds = std::max(1, std::atoi(argv[i]));
    }
    std::mt19937 random(seed);
    const auto chance = [&](double p) {
        return std::uniform_real_distribution<>(0, 1)(random) < p;
    };
    const auto between = [&](int lo, int hi) {
        return std::uniform_int_distribution<>(lo, hi)(random);
    };

    // The board always sits behind the same name, as a USB adapter that is
    // pulled and plugged in again would.
    QTemporaryDir dir;
    const std::string board_name = dir.filePath(QStringLiteral("board")).toStdString();
    qputenv("TARNWICK_COM1", QByteArray::fromStdString(board_name));

    link::QtSerialPort port;
    test::RecordingBoxes boxes;
    names::NameFile names(dir.path().toStdString(), boxes);
    ui::MainForm form(port, boxes, names);
    form.show();
    const qsizetype start_messages = boxes.texts.size();  // the first start's two
    link::LinkController& link = form.link();

    QElapsedTimer clock;
    clock.start();
    Figures fig;
    std::unique_ptr<test::BoardSim> board;
    int board_address = 1;
    std::map<std::string, int> boards_by_fault;

    // Frames and the gaps between them while the port stays open.
    ThreadTimes last_times;
    StallWatch watch(clock);
    const char* last_action = "start";
    bool was_known = false;
    QObject::connect(&link, &link::LinkController::frame_sent, [&](const protocol::Frame&) {
        const qint64 now = clock.nsecsElapsed();
        const ThreadTimes times = ThreadTimes::now();
        ++fig.frames;
        if (const qint64 last = watch.last_frame_ns(); last >= 0) {
            const double gap = static_cast<double>(now - last) / 1e6;
            const std::string seen = gap > 60 ? watch.take_report() : std::string();
            const double held = watch.take_held_ms();
            fig.gaps.add(gap);
            fig.longest_gap_ms = std::max(fig.longest_gap_ms, gap);
            if (gap > 100) {
                ++fig.gaps_over_100ms;
                // Frozen: the watcher missed all of the gap but one tick's worth
                // while the panel hardly ran either. (Under valgrind, which runs
                // one thread at a time, a busy panel holds the watcher up too.)
                const ThreadTimes spent = times - last_times;
                if (held >= gap - 50 && spent.on_cpu_ms < gap / 2) ++fig.frozen_stalls;
                const Figures::Stall stall{gap, spent, held, seen};
                if (fig.stalls.size() < 20) fig.stalls.push_back(stall);
                std::fprintf(stderr, "stall %s at %.1f s; last action: %s\n",
                             stall.describe().c_str(), static_cast<double>(now) / 1e9, last_action);
            }
        }
        watch.frame_at(now);
        last_times = times;
        const ui::Colour c = form.cell_colour(1);
        const bool known = c == ui::colour_green || c == ui::colour_red;
        if (was_known && c == ui::colour_yellow) ++fig.unknown_episodes;
        was_known = known;
    });
    QObject::connect(&link, &link::LinkController::status_shown,
                     [&](const protocol::Frame&) { ++fig.accepted; });
    QObject::connect(&link, &link::LinkController::answer_rejected,
                     [&](const protocol::Frame&) { ++fig.rejected; });

    const auto start_board = [&](bool faults_allowed) {
        const int last = static_cast<int>(std::size(fault_menu)) - 1;
        const Faults& f = fault_menu[faults_allowed ? between(0, last) : 0];
        std::vector<std::string> args{"--link",   board_name,
                                      "--relays", std::to_string(between(0, 0xFFFF)),
                                      "--seed",   std::to_string(random())};
        args.insert(args.end(), f.args.begin(), f.args.end());
        board = std::make_unique<test::BoardSim>(args);
        ++boards_by_fault[f.name];
        board_address = 1;
        for (std::size_t i = 0; i + 1 < f.args.size(); ++i)
            if (f.args[i] == "--address") board_address = std::stoi(f.args[i + 1]);
        ++fig.boards;
    };
    // The operator's open: the port button while the port is closed.
    const auto open_port = [&] {
        watch.frame_at(-1);
        (void)watch.take_report();
        was_known = false;
        const qsizetype before = boxes.texts.size();
        click(form.port_button());
        if (link.port_open()) {
            if (fig.opens++ > 0) ++fig.reopens;
        } else {
            ++fig.failed_opens;
            std::fprintf(stderr, "open refused: %s\n",
                         qPrintable(boxes.texts.mid(before).join(QStringLiteral(" | "))));
        }
    };
    const auto close_port = [&] {
        if (link.port_open()) click(form.port_button());
        watch.frame_at(-1);
    };

    start_board(true);
    open_port();

    // The operator: a click every 100..400 ms on a cell, an all-relay button,
    // or the address entry.
    QTimer operator_hand;
    operator_hand.setSingleShot(true);
    QObject::connect(&operator_hand, &QTimer::timeout, [&] {
        if (board) (void)board->last_relays();  // keeps the board's output pipe drained
        const int what = between(0, 99);
        if (what < 70) {
            click(form.cell(between(1, 16)));
        } else if (what < 80) {
            click(form.all_on_button());
        } else if (what < 90) {
            click(form.all_off_button());
        } else {
            // Now and then the operator types an address: mostly the board's.
            form.address_entry()->setText(QString::fromStdString(
                std::to_string(chance(0.8) ? board_address : between(0, 255))));
        }
        ++fig.clicks;
        last_action = what < 70 ? "cell click" : what < 90 ? "all-relay button" : "address typed";
        operator_hand.start(between(100, 400));
    });
    operator_hand.start(200);

    // The bench: every 2..12 s the board is restarted, killed under the open
    // port, or switched into or out of a fault.
    QTimer director;
    director.setSingleShot(true);
    qint64 vanish_at_ms = -1;  // a kill waiting for the panel to notice
    qint64 back_at_ms = -1;    // a board back under the name, waiting to be reopened
    QObject::connect(&director, &QTimer::timeout, [&] {
        if (back_at_ms >= 0) {
            const qint64 waited = clock.elapsed() - back_at_ms;
            if (link.port_open()) {
                ++fig.reconnects;
                fig.slowest_reconnect_ms =
                    std::max(fig.slowest_reconnect_ms, static_cast<double>(waited));
            } else if (waited < 3000 * patience) {
                director.start(20);
                return;
            } else {
                ++fig.missed_reconnects;  // the panel did not come back by itself
                open_port();
            }
            back_at_ms = -1;
            director.start(between(2000, 12000));
            return;
        }
        if (vanish_at_ms >= 0) {
            if (link.port_open()) {
                if (clock.elapsed() - vanish_at_ms < 5000 * patience) {
                    director.start(20);
                    return;
                }
                ++fig.unnoticed_vanishes;  // the panel never saw the device go
                close_port();
            }
            vanish_at_ms = -1;
            last_action = "board back after a kill";
            board.reset();
            start_board(true);
            // As with an adapter plugged in again: the panel reopens by itself.
            watch.frame_at(-1);
            was_known = false;
            back_at_ms = clock.elapsed();
            director.start(20);
            return;
        }
        const int what = between(0, 99);
        if (what < 40 || !link.port_open()) {
            ++fig.restarts;
            last_action = "board restarted";
            close_port();
            board.reset();
            start_board(true);
            open_port();
        } else if (what < 70) {
            ++fig.vanishes;
            last_action = "board killed";
            board->kill(SIGKILL);
            // The link a killed board leaves behind goes, as a pulled
            // adapter's node does, before the panel looks for it again: the
            // terminal it names may be another program's by then.
            (void)board->wait_exit(std::chrono::seconds(5));
            std::remove(board_name.c_str());
            vanish_at_ms = clock.elapsed();
            director.start(20);
            return;
        } else {
            ++fig.switches;
            last_action = "fault switched";
            board->kill(chance(0.5) ? SIGUSR1 : SIGUSR2);
        }
        director.start(between(2000, 12000));
    });
    director.start(between(2000, 12000));

    // Resident memory once a second; "hang" when the port is open and no
    // frame has gone out for 5 s (a hundred ticks).
    double rss_after_warmup = 0, rss_sampled_peak = 0;
    const int warmup_s = std::min(10, std::max(1, seconds / 10));
    QTimer monitor;
    QObject::connect(&monitor, &QTimer::timeout, [&] {
        const double rss = rss_mb();
        rss_sampled_peak = std::max(rss_sampled_peak, rss);
        if (rss_after_warmup == 0 && clock.elapsed() >= warmup_s * 1000) rss_after_warmup = rss;
        const qint64 last = watch.last_frame_ns();
        if (link.port_open() && last >= 0 &&
            clock.nsecsElapsed() - last > patience * 5'000'000'000LL) {
            ++fig.hangs;
            watch.frame_at(clock.nsecsElapsed());
        }
    });
    monitor.start(1000);

    const double cpu_start = cpu_seconds();
    QTimer::singleShot(seconds * 1000, [&] { app.quit(); });
    app.exec();
    const double wall = static_cast<double>(clock.nsecsElapsed()) / 1e9;
    const double cpu = cpu_seconds() - cpu_start;
    const double rss_final = rss_mb();
    operator_hand.stop();
    director.stop();
    monitor.stop();

    // Recovery: a healthy board after all that must be shown within 3 s.
    const int recovery_ms = 3000 * patience;
    close_port();
    board.reset();
    start_board(false);
    form.address_entry()->setText(QStringLiteral("1"));
    open_port();
    bool recovered = false;
    QElapsedTimer wait;
    wait.start();
    while (!recovered && wait.elapsed() < recovery_ms) {
        QApplication::processEvents(QEventLoop::AllEvents, 10);
        const auto relays = board->last_relays();
        recovered = link.port_open() && relays.has_value();
        for (int n = 1; recovered && n <= 16; ++n) {
            const bool on = (*relays >> (n - 1)) & 1u;
            recovered = form.cell_colour(n) == (on ? ui::colour_green : ui::colour_red);
        }
        usleep(2000);
    }

    for (const QString& text : boxes.texts.mid(start_messages)) {
        if (text.contains(QStringLiteral("已断开")))
            ++fig.lost_messages;
        else
            ++fig.other_messages;
    }
    std::printf(
        "soak: %d s, seed %u, %ld boards (%ld restarts, %ld killed under the open port, "
        "%ld fault switches), %ld operator actions\n",
        seconds, seed, fig.boards, fig.restarts, fig.vanishes, fig.switches, fig.clicks);
    std::printf("  boards by fault       ");
    for (const auto& [name, count] : boards_by_fault) std::printf(" %s %d;", name.c_str(), count);
    std::printf("\n");
    std::printf("  frames sent            %ld (%.2f /s)\n", fig.frames,
                static_cast<double>(fig.frames) / wall);
    std::printf("  answers                %ld accepted, %ld rejected\n", fig.accepted,
                fig.rejected);
    std::printf("  unknown episodes       %ld\n", fig.unknown_episodes);
    std::printf("  port opens             %ld (%ld reopens, %ld refused)\n", fig.opens, fig.reopens,
                fig.failed_opens);
    std::printf(
        "  device vanished        %ld, noticed with %ld messages, %ld unnoticed; "
        "%ld other messages\n",
        fig.vanishes, fig.lost_messages, fig.unnoticed_vanishes, fig.other_messages);
    std::printf(
        "  reopened by itself     %ld times once the board was back, slowest after %.0f ms; "
        "%ld times not within 3 s\n",
        fig.reconnects, fig.slowest_reconnect_ms, fig.missed_reconnects);
    std::printf(
        "  tick gap while open    p50 %.2f ms  p99 %.2f ms  longest %.2f ms  "
        "(%ld over 100 ms, %ld of them with the whole process frozen)\n",
        fig.gaps.percentile(50), fig.gaps.percentile(99), fig.longest_gap_ms, fig.gaps_over_100ms,
        fig.frozen_stalls);
    for (const auto& stall : fig.stalls) std::printf("    stall %s\n", stall.describe().c_str());
    std::printf(
        "  RSS                    %.1f MB after %d s, peak %.1f MB, final %.1f MB "
        "(growth %+.2f MB)\n",
        rss_after_warmup, warmup_s, std::max(peak_rss_mb(), rss_sampled_peak), rss_final,
        rss_final - rss_after_warmup);
    std::printf("  CPU                    %.2f %% of one core\n", 100.0 * cpu / wall);
    std::printf("  recovery at the end    %s\n", recovered ? "yes" : "NO");
    std::printf("  hangs                  %ld\n", fig.hangs);
    std::fflush(stdout);
    return recovered && fig.hangs == 0 && fig.unnoticed_vanishes == 0 && fig.missed_reconnects == 0
               ? 0
               : 1;
}

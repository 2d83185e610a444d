// tarnwick-ctl against the simulated board on a pseudo-terminal, as a shell
// runs it: `on 3` from the process's start to its confirmed exit (30 runs
// unless a number is given), a scan of 0..255 with one board on the line,
// and the CPU a watch uses over 10 s. Also the board's own turnaround on the
// terminal, a query to its whole answer, which the scan's wait per address
// must cover with room to spare. Then two boards on one line answering late
// (0, 30, 70, 120 ms, and board 1 alone 120 ms): `on 3`/`off 3` to board 1
// in turn (50 unless a third number is given) and scans of 0..20, counting
// the confirmations and scan rows that show the other board's relays (board
// 2 has relay 16 on, board 1 never). Figures, not pass/fail.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/process_figures.h"
#include "tests/support/board_sim.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

double ms_since(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Starts tarnwick-ctl with these arguments, its output thrown away.
pid_t start_ctl(const std::vector<std::string>& args) {
    std::vector<std::string> words{TARNWICK_CTL};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

// The exit status, or -1: not started, killed, or not a child to wait for
// (-1 would wait for any child, the simulator included).
int wait_exit(pid_t pid) {
    if (pid <= 0) return -1;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A query written on the terminal to the last byte of its answer read.
std::vector<double> board_turnaround(const std::string& path, int rounds) {
    std::vector<double> times;
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return times;
    const unsigned char query[8] = {0x55, 0x01, 0x10, 0x00, 0x00, 0x00, 0x00, 0x66};
    for (int i = 0; i < rounds; ++i) {
        const auto sent = Clock::now();
        if (write(fd, query, sizeof query) != static_cast<ssize_t>(sizeof query)) break;
        std::size_t got = 0;
        while (got < 8) {
            pollfd pfd{fd, POLLIN, 0};
            if (poll(&pfd, 1, 1000) <= 0) break;
            unsigned char buffer[16];
            const ssize_t n = read(fd, buffer, sizeof buffer);
            if (n > 0) got += static_cast<std::size_t>(n);
        }
        if (got < 8) break;
        times.push_back(ms_since(sent));
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    close(fd);
    return times;
}

// Runs tarnwick-ctl and returns its stdout, or nothing when it did not exit 0.
std::optional<std::string> ctl_output(const std::string& args) {
    const std::string command = std::string(TARNWICK_CTL) + " " + args + " 2>/dev/null";
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    if (!pipe) return std::nullopt;
    std::string out;
    char buffer[4096];
    for (std::size_t n; (n = fread(buffer, 1, sizeof buffer, pipe.get())) > 0;)
        out.append(buffer, n);
    const int status = pclose(pipe.release());
    if (status != 0) return std::nullopt;
    return out;
}

struct SweepCounts {
    int switches = 0, unconfirmed = 0, switches_wrong = 0;
    int scans = 0, rows = 0, rows_wrong = 0;
};

// Whether a --json object shows relay 16 on: board 2's, never board 1's.
bool relay_16_on(const std::string& json) {
    const auto at = json.find("\"channel\":16,");
    return at != std::string::npos &&
           json.substr(at, json.find('}', at) - at).find("\"state\":\"on\"") != std::string::npos;
}

SweepCounts late_sweep(const std::string& delay, int switches) {
    SweepCounts counts;
    tarnwick::test::BoardSim boards({"--address", "1,2", "--delay", delay});
    const std::string port = "-p " + boards.path() + " ";
    if (!ctl_output(port + "-a 2 on 16")) return counts;
    for (int i = 0; i < switches; ++i) {
        const auto out = ctl_output(port + "--json " + (i % 2 ? "off" : "on") + " 3");
        ++counts.switches;
        if (!out || out->find("\"confirmed\":true") == std::string::npos)
            ++counts.unconfirmed;
        else if (relay_16_on(*out))
            ++counts.switches_wrong;
    }
    for (int i = 0; i < std::max(1, switches / 10); ++i) {
        const auto out = ctl_output(port + "scan 0-20");
        ++counts.scans;
        std::istringstream lines(out.value_or(""));
        for (std::string line; std::getline(lines, line);) {
            ++counts.rows;
            const int address = std::atoi(line.c_str());
            const bool sixteen = line.find(" 16") != std::string::npos;
            if (address == 1 ? sixteen : address == 2 ? !sixteen : true) ++counts.rows_wrong;
        }
    }
    return counts;
}

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 30;
    const int watch_seconds = argc > 2 ? std::max(2, std::atoi(argv[2])) : 10;
    const int sweep_switches = argc > 3 ? std::max(1, std::atoi(argv[3])) : 50;
    using tarnwick::bench::percentile;

    tarnwick::test::BoardSim board;
    const std::string port = board.path();
    int failed = 0;

    std::vector<double> on_times;
    for (int i = 0; i < runs; ++i) {
        if (wait_exit(start_ctl({"-p", port, "off", "3"})) != 0) ++failed;
        const auto start = Clock::now();
        const pid_t pid = start_ctl({"-p", port, "on", "3"});
        if (pid < 0 || wait_exit(pid) != 0) ++failed;
        on_times.push_back(ms_since(start));
    }

    const std::vector<double> turnaround = board_turnaround(port, 200);

    tarnwick::test::BoardSim one_board({"--address", "200"});
    const auto scan_start = Clock::now();
    const int scan_status = wait_exit(start_ctl({"-p", one_board.path(), "scan"}));
    const double scan_seconds = ms_since(scan_start) / 1000.0;
    if (scan_status != 0) ++failed;

    const pid_t watch = start_ctl({"-p", port, "watch"});
    std::this_thread::sleep_for(std::chrono::seconds(1));  // past the start
    const long ticks_before = tarnwick::bench::cpu_ticks(watch);
    const auto watch_start = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(watch_seconds));
    const long ticks = tarnwick::bench::cpu_ticks(watch) - ticks_before;
    const double watched_s = ms_since(watch_start) / 1000.0;
    if (watch > 0) kill(watch, SIGINT);  // -1 would signal every process we may
    const int watch_status = wait_exit(watch);
    if (watch_status != 0) ++failed;

    std::printf("tarnwick-ctl benchmark against the simulated board on %s\n", port.c_str());
    std::printf(
        "  on 3, start to confirmed exit   p50 %.1f ms  p99 %.1f ms  max %.1f ms  (%d runs)\n",
        percentile(on_times, 50), percentile(on_times, 99), percentile(on_times, 100), runs);
    std::printf("  scan 0-255, one board          %.2f s (exit %d)\n", scan_seconds, scan_status);
    std::printf(
        "  board turnaround on the pty    p50 %.2f ms  p99 %.2f ms  max %.2f ms  (%zu queries)\n",
        percentile(turnaround, 50), percentile(turnaround, 99), percentile(turnaround, 100),
        turnaround.size());
    std::printf(
        "  watch CPU                      %.2f %% of one core over %.0f s (exit %d on SIGINT)\n",
        100.0 * static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK)) / watched_s,
        watched_s, watch_status);
    std::printf("  two boards answering late: switches of board 1 and scans 0-20\n");
    for (const char* delay : {"0", "30", "70", "120", "120,0"}) {
        const SweepCounts c = late_sweep(delay, sweep_switches);
        std::printf(
            "    --delay %-6s %d on/off, %d unconfirmed, %d confirmed by board 2; "
            "%d scans, %d rows, %d under the wrong address\n",
            delay, c.switches, c.unconfirmed, c.switches_wrong, c.scans, c.rows, c.rows_wrong);
        failed += c.unconfirmed + c.switches_wrong + c.rows_wrong + (c.switches == 0);
    }
    std::printf("  failed runs                    %d\n", failed);
    return failed == 0 ? 0 : 1;
}

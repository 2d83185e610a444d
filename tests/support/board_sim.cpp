#include "tests/support/board_sim.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <stdexcept>
#include <string_view>
#include <thread>

namespace tarnwick::test {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds start_timeout{10000};

[[noreturn]] void fail(const std::string& what) {
    throw std::runtime_error("BoardSim: " + what + ": " + std::strerror(errno));
}

milliseconds until(Clock::time_point deadline) {
    const auto now = Clock::now();
    if (deadline <= now) return milliseconds(0);
    return std::chrono::ceil<milliseconds>(deadline - now);
}

}  // namespace

BoardSim::BoardSim(const std::vector<std::string>& args) {
    std::vector<std::string> words{TARNWICK_BOARD_SIM};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);

    int out[2];
    if (pipe(out) != 0) fail("pipe");
    fcntl(out[0], F_SETFD, FD_CLOEXEC);
    const pid_t parent = getpid();

    pid_ = fork();
    if (pid_ < 0) {
        close(out[0]);
        close(out[1]);
        fail("fork");
    }
    if (pid_ == 0) {
        // Only async-signal-safe calls from here to exec. The board dies with
        // the test process, even when the test crashes.
        dup2(out[1], STDOUT_FILENO);
        close(out[1]);
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(127);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    out_fd_ = out[0];

    const auto deadline = Clock::now() + start_timeout;
    while (path_.empty()) {
        if (out_ended_ || Clock::now() >= deadline) {
            stop_and_reap();
            close(out_fd_);
            throw std::runtime_error("BoardSim: no terminal path from " +
                                     std::string(TARNWICK_BOARD_SIM));
        }
        read_output(until(deadline));
    }
}

BoardSim::~BoardSim() {
    stop_and_reap();
    if (out_fd_ >= 0) close(out_fd_);
}

void BoardSim::stop_and_reap() {
    if (exit_status_) return;
    ::kill(pid_, SIGKILL);
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    exit_status_ = status;
}

bool BoardSim::read_output(milliseconds wait) {
    if (out_ended_) return false;
    pollfd pfd{out_fd_, POLLIN, 0};
    const int ready = poll(&pfd, 1, static_cast<int>(wait.count()));
    if (ready < 0 && errno != EINTR) fail("poll");
    if (ready <= 0) return false;

    char buffer[512];
    const ssize_t n = read(out_fd_, buffer, sizeof buffer);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return false;
    if (n <= 0) {
        out_ended_ = true;
        return false;
    }
    partial_.append(buffer, static_cast<std::size_t>(n));
    std::size_t end;
    while ((end = partial_.find('\n')) != std::string::npos) {
        take_line(partial_.substr(0, end));
        partial_.erase(0, end + 1);
    }
    return true;
}

void BoardSim::drain_output() {
    while (read_output(milliseconds(0))) {
    }
}

namespace {

// The "0xHHHH" that ends a report line.
std::optional<std::uint16_t> hex_pattern(std::string_view text) {
    constexpr std::string_view prefix = "0x";
    if (text.substr(0, prefix.size()) != prefix) return std::nullopt;
    unsigned value = 0;
    const char* first = text.data() + prefix.size();
    const char* last = text.data() + text.size();
    auto [end, error] = std::from_chars(first, last, value, 16);
    if (error != std::errc{} || end != last || value > 0xFFFF) return std::nullopt;
    return static_cast<std::uint16_t>(value);
}

}  // namespace

void BoardSim::take_line(const std::string& line) {
    if (path_.empty()) {
        path_ = line;
        return;
    }
    const std::string_view text = line;
    constexpr std::string_view frame = "frame";
    if (text.substr(0, frame.size()) == frame) {
        // "frame 55 01 10 00 00 00 00 66 at 81234.567": the time on the
        // monotonic clock, which steady_clock reads here too.
        Frame bytes{};
        std::size_t i = 0;
        std::size_t at = frame.size();
        for (; at + 3 <= text.size() && i < bytes.size(); at += 3) {
            unsigned value = 0;
            std::from_chars(text.data() + at + 1, text.data() + at + 3, value, 16);
            bytes[i++] = static_cast<std::uint8_t>(value);
        }
        if (i != bytes.size()) return;
        double ms = 0;
        constexpr std::string_view when = " at ";
        const bool timed =
            text.substr(at, when.size()) == when &&
            std::from_chars(text.data() + at + when.size(), text.data() + text.size(), ms).ec ==
                std::errc{};
        frames_.push_back(bytes);
        frame_times_.push_back(timed
                                   ? Clock::time_point(std::chrono::duration_cast<Clock::duration>(
                                         std::chrono::duration<double, std::milli>(ms)))
                                   : Clock::now());
        return;
    }
    constexpr std::string_view single = "relays ";
    constexpr std::string_view several = "address ";
    if (text.substr(0, single.size()) == single) {
        if (const auto pattern = hex_pattern(text.substr(single.size()))) relays_ = pattern;
    } else if (text.substr(0, several.size()) == several) {
        // "address N relays 0xHHHH"
        const std::string_view rest = text.substr(several.size());
        unsigned address = 0;
        auto [end, error] = std::from_chars(rest.data(), rest.data() + rest.size(), address);
        const std::string_view tail(end, static_cast<std::size_t>(rest.data() + rest.size() - end));
        if (error != std::errc{} || address > 0xFF || tail.substr(0, 8) != " relays ") return;
        if (const auto pattern = hex_pattern(tail.substr(8))) {
            relays_by_address_[static_cast<std::uint8_t>(address)] = *pattern;
            relay_history_.emplace_back(static_cast<std::uint8_t>(address), *pattern);
        }
    }
}

bool BoardSim::wait_for_relays(std::uint16_t expected, milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        drain_output();
        if (relays_ == expected) return true;
        if (out_ended_ || Clock::now() >= deadline) return false;
        read_output(until(deadline));
    }
}

std::optional<std::uint16_t> BoardSim::last_relays() {
    drain_output();
    return relays_;
}

bool BoardSim::wait_for_relays(std::uint8_t address, std::uint16_t expected, milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        if (last_relays(address) == expected) return true;
        if (out_ended_ || Clock::now() >= deadline) return false;
        read_output(until(deadline));
    }
}

std::optional<std::uint16_t> BoardSim::last_relays(std::uint8_t address) {
    drain_output();
    const auto found = relays_by_address_.find(address);
    if (found == relays_by_address_.end()) return std::nullopt;
    return found->second;
}

std::vector<BoardSim::Frame> BoardSim::frames() {
    drain_output();
    return frames_;
}

std::vector<std::chrono::steady_clock::time_point> BoardSim::frame_times() {
    drain_output();
    return frame_times_;
}

void BoardSim::kill(int sig) {
    if (!exit_status_) ::kill(pid_, sig);
}

std::optional<int> BoardSim::wait_exit(milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    // The end of stdout is the sign the process is going; until then there is
    // nothing to do but read.
    while (!out_ended_ && Clock::now() < deadline) read_output(until(deadline));
    for (;;) {
        if (exit_status_) return exit_status_;
        int status = 0;
        const pid_t done = waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            exit_status_ = status;
            continue;
        }
        if (done < 0 && errno != EINTR) fail("waitpid");
        if (Clock::now() >= deadline) return std::nullopt;
        // Stdout closed but the process not yet gone: it is in its last steps.
        std::this_thread::sleep_for(milliseconds(5));
    }
}

}  // namespace tarnwick::test

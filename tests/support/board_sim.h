#pragma once

#include <sys/types.h>

#include <array>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tarnwick::test {

// A running tarnwick-board-sim with its own fresh pseudo-terminal. The
// simulator's stdout comes back on a pipe: its first line is the terminal's
// path, later "relays 0xHHHH" lines tell what the board's relays are, or
// "address N relays 0xHHHH" lines when several boards share the line, and
// "frame 55 01 ..." lines the frames it read.
class BoardSim {
  public:
    // Starts the simulator with these arguments and waits (up to 10 s) for
    // the terminal path. Throws std::runtime_error when it does not come,
    // for example because the arguments were refused.
    explicit BoardSim(const std::vector<std::string>& args = {});
    ~BoardSim();  // kills with SIGKILL and reaps, unless already reaped

    BoardSim(const BoardSim&) = delete;
    BoardSim& operator=(const BoardSim&) = delete;

    // Slave side of the pseudo-terminal, to be opened as the serial port.
    [[nodiscard]] const std::string& path() const { return path_; }
    [[nodiscard]] pid_t pid() const { return pid_; }

    // True once the most recently reported relay state equals expected;
    // false when the timeout passes first. Reads what is waiting, never spins.
    bool wait_for_relays(std::uint16_t expected, std::chrono::milliseconds timeout);
    // The most recently reported relay state; nothing before the first report.
    std::optional<std::uint16_t> last_relays();
    // The same for one of several boards on the line (--address 3,200).
    bool wait_for_relays(std::uint8_t address, std::uint16_t expected,
                         std::chrono::milliseconds timeout);
    std::optional<std::uint16_t> last_relays(std::uint8_t address);

    // The command frames the boards have read so far (with --report-frames),
    // in order, for any address.
    using Frame = std::array<std::uint8_t, 8>;
    std::vector<Frame> frames();
    // Every relay state reported with several boards, in order: (address,
    // relays).
    std::vector<std::pair<std::uint8_t, std::uint16_t>> relay_history() {
        drain_output();
        return relay_history_;
    }
    // When each of frames() was read here: as close to its arrival as the
    // caller reads, which a caller that times frames does often.
    std::vector<std::chrono::steady_clock::time_point> frame_times();

    // Sends a signal; the process is reaped by wait_exit() or the destructor.
    void kill(int sig = SIGKILL);
    // Waits for the process to end and returns its waitpid() status, or
    // nothing when it is still running after the timeout.
    std::optional<int> wait_exit(std::chrono::milliseconds timeout);

  private:
    // Waits up to `wait` for output and takes one piece of it. False when
    // nothing came (or the pipe has reached its end).
    bool read_output(std::chrono::milliseconds wait);
    void drain_output();
    void take_line(const std::string& line);
    void stop_and_reap();

    pid_t pid_ = -1;
    std::optional<int> exit_status_;  // set once reaped
    int out_fd_ = -1;
    bool out_ended_ = false;
    std::string partial_;  // an unfinished line
    std::string path_;
    std::optional<std::uint16_t> relays_;
    std::map<std::uint8_t, std::uint16_t> relays_by_address_;
    std::vector<Frame> frames_;
    std::vector<std::chrono::steady_clock::time_point> frame_times_;
    std::vector<std::pair<std::uint8_t, std::uint16_t>> relay_history_;
};

}  // namespace tarnwick::test

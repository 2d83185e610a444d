#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace tarnwick::test {

// Throws std::runtime_error naming the Debian package when `file` (a
// program or a module the tests run) is not there.
void require_installed(const std::string& file, const std::string& package);

struct ModbusServerOptions {
    std::vector<std::uint8_t> units{1, 2};  // units not listed never answer
    int baud = 9600;
    char parity = 'N';  // 'N', 'E' or 'O'
    int coils = 16;     // of every unit
};

// A Modbus RTU server we did not write (pymodbus, run by Debian's python3)
// behind a pair of pseudo-terminals joined by socat: the server holds one
// end, path() is the other, to be opened as the serial port. Each unit has
// 16 coils, all off at the start, and 8 discrete inputs: unit 1 starts with
// inputs 0b00000101, unit 2 with 0b10100000, others with none. Reading past
// the 16th coil gets exception 02 (illegal data address).
//
// Coil and input numbers here are Modbus addresses from 0; bit n of a
// pattern is coil n. Every wait is bounded; both processes die with the
// test process. Throws std::runtime_error when it cannot start, naming the
// Debian package that is missing if one is.
class ModbusFixture {
  public:
    explicit ModbusFixture(const ModbusServerOptions& options = {});
    ~ModbusFixture();  // kills and reaps both processes, removes the links

    ModbusFixture(const ModbusFixture&) = delete;
    ModbusFixture& operator=(const ModbusFixture&) = delete;

    // The terminal to open as the serial port.
    [[nodiscard]] const std::string& path() const { return path_; }

    // Change the server's data behind the Modbus master's back. Throw
    // std::runtime_error when the server refuses or does not answer.
    void set_coil(std::uint8_t unit, int n, bool on);
    void set_input(std::uint8_t unit, int n, bool on);
    // The unit's 16 coils as the server holds them now.
    std::uint16_t coils(std::uint8_t unit);

    // True once coils(unit) == expected; false when the timeout passes
    // first. between_polls runs between two looks (a Qt test passes one that
    // processes events); without it the thread sleeps a few milliseconds.
    bool wait_for_coils(std::uint8_t unit, std::uint16_t expected,
                        std::chrono::milliseconds timeout,
                        const std::function<void()>& between_polls = {});

    // What socat and the server wrote on stderr, for failure messages.
    [[nodiscard]] std::string log() const;

  private:
    void start_socat();
    void start_server(const ModbusServerOptions& options);
    void wait_for_ready();
    // Sends one command line and returns the server's one line of answer.
    std::string ask(const std::string& command);
    bool read_line(std::string& line, std::chrono::steady_clock::time_point deadline);
    [[noreturn]] void fail(const std::string& what);
    void stop();

    std::string dir_;  // holds socat's links and both stderr logs
    std::string path_;
    pid_t socat_ = -1;
    pid_t server_ = -1;
    int to_server_ = -1;
    int from_server_ = -1;
    std::string partial_;  // server output not yet a whole line
};

}  // namespace tarnwick::test

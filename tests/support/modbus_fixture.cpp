#include "tests/support/modbus_fixture.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string_view>
#include <thread>

namespace tarnwick::test {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds start_timeout{10000};
constexpr milliseconds answer_timeout{5000};
constexpr const char* python = "/usr/bin/python3";  // Debian's, where its pymodbus is
constexpr const char* socat = "/usr/bin/socat";
constexpr const char* pymodbus = "/usr/lib/python3/dist-packages/pymodbus/__init__.py";

// Starts a program with the given descriptors as its stdin, stdout and
// stderr. It dies with the test process, even one that crashes.
pid_t spawn(const std::vector<std::string>& words, int in, int out, int err) {
    std::vector<std::string> copy = words;
    std::vector<char*> argv;
    for (auto& w : copy) argv.push_back(w.data());
    argv.push_back(nullptr);
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid != 0) return pid;
    // Only async-signal-safe calls from here to exec.
    dup2(in, STDIN_FILENO);
    dup2(out, STDOUT_FILENO);
    dup2(err, STDERR_FILENO);
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);
    execv(argv[0], argv.data());
    _exit(127);
}

void reap(pid_t& pid) {
    if (pid <= 0) return;
    ::kill(pid, SIGKILL);
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    pid = -1;
}

bool exited(pid_t pid) {
    return waitpid(pid, nullptr, WNOHANG) == pid;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// write() to a pipe whose reader may be gone: EPIPE, not a SIGPIPE that
// would end the test.
bool write_all(int fd, std::string_view text) {
    sigset_t pipe_signal, old;
    sigemptyset(&pipe_signal);
    sigaddset(&pipe_signal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_signal, &old);
    bool ok = true;
    while (ok && !text.empty()) {
        const ssize_t n = ::write(fd, text.data(), text.size());
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0;
        if (ok) text.remove_prefix(static_cast<std::size_t>(n));
    }
    if (!ok && errno == EPIPE) {
        const timespec none{0, 0};
        sigtimedwait(&pipe_signal, nullptr, &none);
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return ok;
}

int open_log(const std::string& path) {
    return ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
}

}  // namespace

void require_installed(const std::string& file, const std::string& package) {
    if (::access(file.c_str(), F_OK) != 0)
        throw std::runtime_error(file + " is missing: the tests need the Debian package " +
                                 package + " (apt-get install " + package + ")");
}

ModbusFixture::ModbusFixture(const ModbusServerOptions& options) {
    require_installed(python, "python3-pymodbus");
    require_installed(pymodbus, "python3-pymodbus");
    require_installed(socat, "socat");
    std::string pattern = (std::filesystem::temp_directory_path() / "tarnwick-modbus-XXXXXX");
    if (!mkdtemp(pattern.data())) throw std::runtime_error("ModbusFixture: no temporary directory");
    dir_ = pattern;
    try {
        start_socat();
        start_server(options);
        wait_for_ready();
    } catch (...) {
        stop();
        throw;
    }
}

ModbusFixture::~ModbusFixture() {
    stop();
}

void ModbusFixture::stop() {
    reap(server_);
    reap(socat_);
    for (int* fd : {&to_server_, &from_server_}) {
        if (*fd >= 0) ::close(*fd);
        *fd = -1;
    }
    std::error_code ignored;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ignored);
}

void ModbusFixture::fail(const std::string& what) {
    throw std::runtime_error("ModbusFixture: " + what + "\n" + log());
}

std::string ModbusFixture::log() const {
    return "socat:\n" + read_file(dir_ + "/socat.log") + "server:\n" +
           read_file(dir_ + "/server.log");
}

void ModbusFixture::start_socat() {
    path_ = dir_ + "/port";
    const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    const int err = open_log(dir_ + "/socat.log");
    // raw, echo=0: the line carries bytes as they are, as a serial port does.
    socat_ = spawn({socat, "-d", "-d", "pty,raw,echo=0,link=" + dir_ + "/server",
                    "pty,raw,echo=0,link=" + path_},
                   null, null, err);
    ::close(null);
    ::close(err);
    if (socat_ < 0) fail("cannot start socat");
    // Both links are in place once socat says it moves data.
    const auto deadline = Clock::now() + start_timeout;
    while (read_file(dir_ + "/socat.log").find("starting data transfer loop") ==
           std::string::npos) {
        if (exited(socat_)) {
            socat_ = -1;
            fail("socat ended");
        }
        if (Clock::now() >= deadline) fail("socat made no terminals");
        std::this_thread::sleep_for(milliseconds(5));
    }
}

void ModbusFixture::start_server(const ModbusServerOptions& options) {
    std::string units;
    for (auto unit : options.units) units += (units.empty() ? "" : ",") + std::to_string(unit);
    int in[2];
    int out[2];
    if (pipe2(in, O_CLOEXEC) != 0) fail("pipe");
    if (pipe2(out, O_CLOEXEC) != 0) {
        ::close(in[0]);
        ::close(in[1]);
        fail("pipe");
    }
    const int err = open_log(dir_ + "/server.log");
    // -I: nothing from the environment (PYTHONPATH, user site) changes
    // which pymodbus runs.
    server_ = spawn({python, "-I", TARNWICK_MODBUS_SERVER, dir_ + "/server", "--baud",
                     std::to_string(options.baud), "--parity", std::string(1, options.parity),
                     "--units", units, "--coils", std::to_string(options.coils)},
                    in[0], out[1], err);
    ::close(in[0]);
    ::close(out[1]);
    ::close(err);
    to_server_ = in[1];
    from_server_ = out[0];
    if (server_ < 0) fail("cannot start the Modbus server");
}

void ModbusFixture::wait_for_ready() {
    const auto deadline = Clock::now() + start_timeout;
    std::string line;
    while (read_line(line, deadline)) {
        if (line == "ready") return;
    }
    fail("the Modbus server did not get ready");
}

bool ModbusFixture::read_line(std::string& line, Clock::time_point deadline) {
    for (;;) {
        const auto end = partial_.find('\n');
        if (end != std::string::npos) {
            line = partial_.substr(0, end);
            partial_.erase(0, end + 1);
            return true;
        }
        const auto left = std::chrono::ceil<milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return false;
        pollfd pfd{from_server_, POLLIN, 0};
        const int ready = poll(&pfd, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return false;
        char buffer[256];
        const ssize_t n = ::read(from_server_, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;  // the server has gone
        partial_.append(buffer, static_cast<std::size_t>(n));
    }
}

std::string ModbusFixture::ask(const std::string& command) {
    if (!write_all(to_server_, command + "\n")) fail("the Modbus server has gone");
    std::string line;
    if (!read_line(line, Clock::now() + answer_timeout)) fail("no answer to \"" + command + "\"");
    return line;
}

void ModbusFixture::set_coil(std::uint8_t unit, int n, bool on) {
    const std::string command =
        "coil " + std::to_string(unit) + " " + std::to_string(n) + (on ? " 1" : " 0");
    const std::string answer = ask(command);
    if (answer != "ok") fail("\"" + command + "\": " + answer);
}

void ModbusFixture::set_input(std::uint8_t unit, int n, bool on) {
    const std::string command =
        "input " + std::to_string(unit) + " " + std::to_string(n) + (on ? " 1" : " 0");
    const std::string answer = ask(command);
    if (answer != "ok") fail("\"" + command + "\": " + answer);
}

std::uint16_t ModbusFixture::coils(std::uint8_t unit) {
    const std::string command = "coils " + std::to_string(unit);
    const std::string answer = ask(command);
    // "coils 1 0x8001"
    const std::string prefix = command + " 0x";
    unsigned value = 0;
    const char* last = answer.data() + answer.size();
    if (answer.compare(0, prefix.size(), prefix) == 0) {
        auto [end, error] = std::from_chars(answer.data() + prefix.size(), last, value, 16);
        if (error == std::errc{} && end == last && value <= 0xFFFF)
            return static_cast<std::uint16_t>(value);
    }
    fail("\"" + command + "\": " + answer);
}

bool ModbusFixture::wait_for_coils(std::uint8_t unit, std::uint16_t expected, milliseconds timeout,
                                   const std::function<void()>& between_polls) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        if (coils(unit) == expected) return true;
        if (Clock::now() >= deadline) return false;
        if (between_polls)
            between_polls();
        else
            std::this_thread::sleep_for(milliseconds(5));
    }
}

}  // namespace tarnwick::test

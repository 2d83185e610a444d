// The simulated board, driven through its pseudo-terminal the way the panel
// drives a serial port. Expected answers are written out by hand:
// status = 22 addr code 00 00 <relays 9..16> <relays 1..8> sum(bytes 0..6).

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "tests/support/board_sim.h"

using tarnwick::test::BoardSim;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;

namespace {

constexpr auto answer_timeout = 3s;  // generous: the suite also runs sanitized
constexpr auto quiet_time = 150ms;   // how long "no answer" is watched for

// "55 01 10" -> {0x55, 0x01, 0x10}
Bytes hex(std::string_view text) {
    Bytes bytes;
    std::istringstream in{std::string(text)};
    unsigned value;
    while (in >> std::hex >> value) bytes.push_back(static_cast<std::uint8_t>(value));
    return bytes;
}

std::string dump(const Bytes& bytes) {
    std::string out;
    char piece[4];
    for (auto b : bytes) {
        std::snprintf(piece, sizeof piece, "%02X ", b);
        out += piece;
    }
    return out.empty() ? "(nothing)" : out;
}

// The slave side opened and set up as the panel's serial port would be.
class Port {
  public:
    // `as_is` keeps whatever line settings the terminal already has.
    explicit Port(const std::string& path, bool as_is = false) {
        fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd_ < 0) throw std::runtime_error("cannot open " + path);
        if (as_is) return;
        termios tio{};
        tcgetattr(fd_, &tio);
        cfmakeraw(&tio);
        tcsetattr(fd_, TCSANOW, &tio);
        tcflush(fd_, TCIOFLUSH);
    }
    ~Port() { close(fd_); }
    Port(const Port&) = delete;
    Port& operator=(const Port&) = delete;

    void write_all(const Bytes& bytes) {
        ASSERT_EQ(write(fd_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }

    // Up to `count` bytes, whatever has come when the time is up.
    Bytes read(std::size_t count, std::chrono::milliseconds timeout) {
        const auto deadline = Clock::now() + timeout;
        Bytes bytes;
        while (bytes.size() < count) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) break;
            pollfd pfd{fd_, POLLIN, 0};
            if (poll(&pfd, 1, static_cast<int>(left.count())) <= 0) continue;
            std::uint8_t buffer[64];
            const std::size_t want = std::min(sizeof buffer, count - bytes.size());
            const ssize_t n = ::read(fd_, buffer, want);
            if (n > 0) bytes.insert(bytes.end(), buffer, buffer + n);
        }
        return bytes;
    }

    // Everything that arrives within the time.
    Bytes read_all(std::chrono::milliseconds time) { return read(4096, time); }

  private:
    int fd_ = -1;
};

struct Exchange {
    const char* what;
    std::vector<std::string> args;
    std::vector<const char*> writes;  // separate writes, a little apart
    const char* answer;               // every byte the board sends back, in order
    std::size_t leading = 0;          // arbitrary bytes ahead of the answer
    std::size_t trailing = 0;         // arbitrary bytes after it
    std::optional<std::uint16_t> relays = std::nullopt;  // reported state afterwards
    int reporter = -1;  // whose report that is, of several boards; -1: the single board's
};

// clang-format off
const Exchange exchanges[] = {
    // answers to each command
    {"query returns the documented example status", {"--relays", "0x0180"},
     {"55 01 10 00 00 00 00 66"}, "22 01 10 00 00 01 80 B4", 0, 0, 0x0180},
    {"query, all released", {},
     {"55 01 10 00 00 00 00 66"}, "22 01 10 00 00 00 00 33", 0, 0, 0x0000},
    {"energize relay 3", {},
     {"55 01 21 00 00 FA 03 74"}, "22 01 21 00 00 00 04 48", 0, 0, 0x0004},
    {"energize relay 16 lands in byte 5", {},
     {"55 01 21 00 00 FA 10 81"}, "22 01 21 00 00 80 00 C4", 0, 0, 0x8000},
    {"energize relay 9 next to relay 8", {"--relays", "0x0080"},
     {"55 01 21 00 00 FA 09 7A"}, "22 01 21 00 00 01 80 C5", 0, 0, 0x0180},
    {"release relay 3", {"--relays", "5"},
     {"55 01 11 00 00 00 03 6A"}, "22 01 11 00 00 00 01 35", 0, 0, 0x0001},
    {"release relay 16", {"--relays", "0xFFFF"},
     {"55 01 11 00 00 00 10 77"}, "22 01 11 00 00 7F FF B2", 0, 0, 0x7FFF},
    {"energize all", {},
     {"55 01 13 00 00 FF FF 67"}, "22 01 13 00 00 FF FF 34", 0, 0, 0xFFFF},
    {"release all", {"--relays", "0xA5A5"},
     {"55 01 13 00 00 00 00 69"}, "22 01 13 00 00 00 00 36", 0, 0, 0x0000},
    {"relay 17 changes nothing", {"--relays", "0x0004"},
     {"55 01 21 00 00 FA 11 82"}, "22 01 21 00 00 00 04 48", 0, 0, 0x0004},
    {"relay 0 changes nothing", {"--relays", "0x0004"},
     {"55 01 11 00 00 00 00 67"}, "22 01 11 00 00 00 04 38", 0, 0, 0x0004},
    {"energize with data byte A 00 changes nothing", {},
     {"55 01 21 00 00 00 03 7A"}, "22 01 21 00 00 00 00 44", 0, 0, 0x0000},
    {"board at address 255", {"--address", "255"},
     {"55 FF 10 00 00 00 00 64"}, "22 FF 10 00 00 00 00 31"},
    {"board at address 0", {"--address", "0"},
     {"55 00 10 00 00 00 00 65"}, "22 00 10 00 00 00 00 32"},
    {"two boards on one line, the first answers", {"--address", "3,200"},
     {"55 03 10 00 00 00 00 68"}, "22 03 10 00 00 00 00 35"},
    {"two boards on one line, the second answers", {"--address", "3,200"},
     {"55 C8 10 00 00 00 00 2D"}, "22 C8 10 00 00 00 00 FA"},
    {"two boards on one line, each switches its own relays", {"--address", "3,200"},
     {"55 C8 21 00 00 FA 03 3B", "55 03 10 00 00 00 00 68"},
     "22 C8 21 00 00 00 04 0F 22 03 10 00 00 00 00 35", 0, 0, 0x0004, 200},
    {"--stuck answers but switches nothing", {"--stuck"},
     {"55 01 21 00 00 FA 03 74"}, "22 01 21 00 00 00 00 44"},
    {"--stuck keeps its start pattern on all off", {"--stuck", "--relays", "0x0004"},
     {"55 01 13 00 00 00 00 69"}, "22 01 13 00 00 00 04 3A"},

    // frames the board must not act on; the query after them proves it lives
    {"other address ignored", {},
     {"55 02 21 00 00 FA 03 75", "55 01 10 00 00 00 00 66"}, "22 01 10 00 00 00 00 33",
     0, 0, 0x0000},
    {"an address of no board on a line of two ignored", {"--address", "3,200"},
     {"55 01 10 00 00 00 00 66", "55 03 10 00 00 00 00 68"}, "22 03 10 00 00 00 00 35"},
    {"bad checksum ignored", {},
     {"55 01 21 00 00 FA 03 75", "55 01 10 00 00 00 00 66"}, "22 01 10 00 00 00 00 33",
     0, 0, 0x0000},
    {"noise, then a frame", {},
     {"00 FF 55 22 13 55", "55 01 21 00 00 FA 03 74"}, "22 01 21 00 00 00 04 48", 0, 0, 0x0004},
    {"noise and a frame in one write", {},
     {"00 FF 55 22 13 55 01 21 00 00 FA 03 74"}, "22 01 21 00 00 00 04 48", 0, 0, 0x0004},
    {"a cut-off frame, then a whole one", {},
     {"55 01 21", "55 01 21 00 00 FA 03 74"}, "22 01 21 00 00 00 04 48", 0, 0, 0x0004},

    // how the bytes arrive
    {"frame split across two writes", {},
     {"55 01 21", "00 00 FA 03 74"}, "22 01 21 00 00 00 04 48", 0, 0, 0x0004},
    {"frame one byte at a time", {},
     {"55", "01", "10", "00", "00", "00", "00", "66"}, "22 01 10 00 00 00 00 33"},
    {"two frames in one write", {},
     {"55 01 21 00 00 FA 03 74 55 01 21 00 00 FA 10 81"},
     "22 01 21 00 00 00 04 48 22 01 21 00 00 80 04 C8", 0, 0, 0x8004},

    // faults asked for on the command line
    {"--bad-checksum", {"--bad-checksum"},
     {"55 01 10 00 00 00 00 66"}, "22 01 10 00 00 00 00 34"},
    {"--answer-address 7", {"--answer-address", "7"},
     {"55 01 10 00 00 00 00 66"}, "22 07 10 00 00 00 00 39"},
    {"--extra 3", {"--extra", "3"},
     {"55 01 10 00 00 00 00 66"}, "22 01 10 00 00 00 00 33", 0, 3},
    {"--garbage 5", {"--garbage", "5"},
     {"55 01 10 00 00 00 00 66"}, "22 01 10 00 00 00 00 33", 5, 0},
    {"--silent still switches", {"--silent"},
     {"55 01 21 00 00 FA 03 74"}, "", 0, 0, 0x0004},
};
// clang-format on

TEST(BoardSim, AnswersCommandFrames) {
    for (const auto& c : exchanges) {
        SCOPED_TRACE(c.what);
        BoardSim sim(c.args);
        Port port(sim.path());
        for (std::size_t i = 0; i < c.writes.size(); ++i) {
            if (i > 0) std::this_thread::sleep_for(20ms);
            port.write_all(hex(c.writes[i]));
        }

        const Bytes expected = hex(c.answer);
        const Bytes got = port.read(c.leading + expected.size() + c.trailing, answer_timeout);
        ASSERT_EQ(got.size(), c.leading + expected.size() + c.trailing) << dump(got);
        const Bytes answer(got.begin() + static_cast<std::ptrdiff_t>(c.leading),
                           got.end() - static_cast<std::ptrdiff_t>(c.trailing));
        EXPECT_EQ(dump(answer), dump(expected));
        EXPECT_EQ(dump(port.read_all(quiet_time)), dump({})) << "more than expected";

        if (c.relays && c.reporter >= 0) {
            const auto board = static_cast<std::uint8_t>(c.reporter);
            EXPECT_TRUE(sim.wait_for_relays(board, *c.relays, answer_timeout))
                << "last reported " << sim.last_relays(board).value_or(0xDEAD);
        } else if (c.relays) {
            EXPECT_TRUE(sim.wait_for_relays(*c.relays, answer_timeout))
                << "last reported " << sim.last_relays().value_or(0xDEAD);
        }
    }
}

TEST(BoardSim, ReportsStartPatternAndEveryChange) {
    BoardSim sim({"--relays", "0x8001"});
    ASSERT_TRUE(sim.wait_for_relays(0x8001, answer_timeout));
    Port port(sim.path());
    const struct {
        const char* command;
        std::uint16_t relays;
    } steps[] = {
        {"55 01 21 00 00 FA 03 74", 0x8005},
        {"55 01 11 00 00 00 01 68", 0x8004},
        {"55 01 13 00 00 00 00 69", 0x0000},
        {"55 01 13 00 00 FF FF 67", 0xFFFF},
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(s.command);
        port.write_all(hex(s.command));
        EXPECT_EQ(port.read(8, answer_timeout).size(), 8u);
        EXPECT_TRUE(sim.wait_for_relays(s.relays, answer_timeout));
    }
}

// What the host put on the wire, frame by frame, whoever it was for; noise
// and frames with a bad checksum are no frames.
TEST(BoardSim, ReportsEveryFrameItReads) {
    BoardSim sim({"--report-frames"});
    Port port(sim.path());
    port.write_all(
        hex("00 55 02 21 00 00 FA 03 75 55 01 21 00 00 FA 03 74 55 01 10 00 00 00 00 67"));
    EXPECT_EQ(port.read(8, answer_timeout).size(), 8u);
    ASSERT_TRUE(sim.wait_for_relays(0x0004, answer_timeout));
    std::vector<Bytes> frames;
    for (const auto& frame : sim.frames()) frames.emplace_back(frame.begin(), frame.end());
    EXPECT_EQ(frames,
              (std::vector{hex("55 02 21 00 00 FA 03 75"), hex("55 01 21 00 00 FA 03 74")}));
}

// One delay holds back every board's answers; a list, each board's own.
TEST(BoardSim, DelayHoldsTheAnswerBack) {
    const struct {
        std::vector<std::string> args;
        const char* query;
        const char* answer;
        bool held;
    } cases[] = {
        {{"--delay", "300"}, "55 01 10 00 00 00 00 66", "22 01 10 00 00 00 00 33", true},
        {{"--address", "1,2", "--delay", "300,0"},
         "55 01 10 00 00 00 00 66",
         "22 01 10 00 00 00 00 33",
         true},
        {{"--address", "1,2", "--delay", "300,0"},
         "55 02 10 00 00 00 00 67",
         "22 02 10 00 00 00 00 34",
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.query);
        BoardSim sim(c.args);
        Port port(sim.path());
        const auto sent = Clock::now();
        port.write_all(hex(c.query));
        if (c.held) {
            EXPECT_EQ(dump(port.read_all(150ms)), dump({})) << "answered before the delay";
        }
        EXPECT_EQ(dump(port.read(8, answer_timeout)), dump(hex(c.answer)));
        if (c.held) {
            EXPECT_GE(Clock::now() - sent, 300ms);
        } else {
            EXPECT_LT(Clock::now() - sent, 150ms);
        }
    }
}

TEST(BoardSim, SplitSendsThreeBytesThenTheRest) {
    BoardSim sim({"--split", "300", "--extra", "2"});
    Port port(sim.path());
    port.write_all(hex("55 01 21 00 00 FA 03 74"));
    EXPECT_EQ(dump(port.read(3, answer_timeout)), dump(hex("22 01 21")));
    EXPECT_EQ(dump(port.read_all(150ms)), dump({})) << "second part came too early";
    const Bytes rest = port.read(7, answer_timeout);
    ASSERT_EQ(rest.size(), 7u) << dump(rest);
    EXPECT_EQ(dump(Bytes(rest.begin(), rest.begin() + 5)), dump(hex("00 00 00 04 48")));
}

// A burst sent --garbage-after some time lands between answers: the answer
// comes whole first, nothing during the gap, then the burst.
TEST(BoardSim, GarbageAfterComesBetweenAnswers) {
    const struct {
        const char* what;
        std::vector<std::string> args;
        const char* answer;
        std::chrono::milliseconds answer_at;  // least time after the command
        std::chrono::milliseconds burst_at;
    } cases[] = {
        {"after the answer",
         {"--garbage", "4", "--garbage-after", "200"},
         "22 01 10 00 00 00 00 33",
         0ms,
         200ms},
        {"after a delayed answer",
         {"--garbage", "4", "--garbage-after", "200", "--delay", "100"},
         "22 01 10 00 00 00 00 33",
         100ms,
         300ms},
        {"after the command when silent",
         {"--garbage", "4", "--garbage-after", "200", "--silent"},
         "",
         0ms,
         200ms},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        BoardSim sim(c.args);
        Port port(sim.path());
        const auto sent = Clock::now();
        port.write_all(hex("55 01 10 00 00 00 00 66"));
        const Bytes expected = hex(c.answer);
        if (!expected.empty()) {
            EXPECT_EQ(dump(port.read(8, answer_timeout)), dump(expected));
            EXPECT_GE(Clock::now() - sent, c.answer_at);
        }
        // Half the gap: the burst must not have come yet.
        const auto answered = Clock::now();
        const auto gap = c.burst_at - c.answer_at;
        EXPECT_EQ(dump(port.read_all(gap / 2)), dump({})) << "burst came early";
        EXPECT_EQ(port.read(4, answer_timeout).size(), 4u);
        EXPECT_GE(Clock::now() - sent, c.burst_at);
        EXPECT_GE(Clock::now() - answered, gap - 5ms);
        EXPECT_EQ(dump(port.read_all(quiet_time)), dump({})) << "more than one burst";
    }
}

// SIGUSR1 flips bad checksums, SIGUSR2 silence, for every command written
// after the signal; relays switch all the same.
TEST(BoardSim, SignalsSwitchFaultsWhileRunning) {
    const struct {
        int signal;  // 0: none before this command
        const char* command;
        const char* answer;  // "" when the board stays silent
        std::uint16_t relays;
    } steps[] = {
        {0, "55 01 10 00 00 00 00 66", "22 01 10 00 00 00 00 33", 0x0000},
        {SIGUSR1, "55 01 10 00 00 00 00 66", "22 01 10 00 00 00 00 34", 0x0000},
        {0, "55 01 21 00 00 FA 03 74", "22 01 21 00 00 00 04 49", 0x0004},
        {SIGUSR1, "55 01 10 00 00 00 00 66", "22 01 10 00 00 00 04 37", 0x0004},
        {SIGUSR2, "55 01 11 00 00 00 03 6A", "", 0x0000},
        {SIGUSR1, "55 01 21 00 00 FA 10 81", "", 0x8000},
        {SIGUSR2, "55 01 10 00 00 00 00 66", "22 01 10 00 00 80 00 B4", 0x8000},
        {SIGUSR1, "55 01 10 00 00 00 00 66", "22 01 10 00 00 80 00 B3", 0x8000},
    };
    BoardSim sim;
    Port port(sim.path());
    int step = 0;
    for (const auto& s : steps) {
        SCOPED_TRACE(++step);
        if (s.signal != 0) sim.kill(s.signal);
        port.write_all(hex(s.command));
        const Bytes expected = hex(s.answer);
        if (!expected.empty()) {
            EXPECT_EQ(dump(port.read(8, answer_timeout)), dump(expected));
        }
        EXPECT_EQ(dump(port.read_all(quiet_time)), dump({}));
        EXPECT_TRUE(sim.wait_for_relays(s.relays, answer_timeout));
    }
    EXPECT_FALSE(sim.wait_exit(0ms).has_value()) << "a switch ended the board";
}

TEST(BoardSim, GarbageFollowsTheSeed) {
    auto noise = [](const char* seed) {
        BoardSim sim({"--garbage", "6", "--seed", seed});
        Port port(sim.path());
        port.write_all(hex("55 01 10 00 00 00 00 66"));
        Bytes got = port.read(14, answer_timeout);
        EXPECT_EQ(got.size(), 14u) << dump(got);
        got.resize(6);
        return got;
    };
    EXPECT_EQ(dump(noise("7")), dump(noise("7")));
    EXPECT_NE(dump(noise("7")), dump(noise("8")));
}

TEST(BoardSim, KeepsAnsweringAcrossCloseAndReopen) {
    BoardSim sim;
    {
        Port port(sim.path());
        port.write_all(hex("55 01 21 00 00 FA 03 74"));
        EXPECT_EQ(dump(port.read(8, answer_timeout)), dump(hex("22 01 21 00 00 00 04 48")));
    }
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        Port port(sim.path());
        port.write_all(hex("55 01 10 00 00 00 00 66"));
        EXPECT_EQ(dump(port.read(8, answer_timeout)), dump(hex("22 01 10 00 00 00 04 37")));
    }
    EXPECT_FALSE(sim.wait_exit(0ms).has_value()) << "the board went away";
}

// A plain open() of the terminal must already give a raw line: a cooked one
// would turn the 0x0A of relay 10 into 0D 0A on the way out, and hold the
// answer back waiting for a newline on the way in. The settings must also
// survive the port being closed and opened again.
TEST(BoardSim, TerminalIsRawWithoutAnySetup) {
    BoardSim sim;
    {
        Port port(sim.path(), true);
        port.write_all(hex("55 01 21 00 00 FA 0A 7B"));
        EXPECT_EQ(dump(port.read(8, answer_timeout)), dump(hex("22 01 21 00 00 02 00 46")));
    }
    {
        Port port(sim.path(), true);
        port.write_all(hex("55 01 11 00 00 00 0A 71"));
        EXPECT_EQ(dump(port.read(8, answer_timeout)), dump(hex("22 01 11 00 00 00 00 34")));
        EXPECT_EQ(dump(port.read_all(quiet_time)), dump({}));
    }
}

// A port killed while holding the line exclusively (TIOCEXCL) must not
// leave the terminal refusing everyone but root, as an unplugged and
// replugged adapter would not: the flag lasts while anyone still has the
// terminal open, and goes with the last close.
TEST(BoardSim, ExclusiveUseEndsWithTheLastClose) {
    BoardSim sim;
    const auto exclusive = [](int fd) {
        int on = -1;
        return ioctl(fd, TIOCGEXCL, &on) == 0 ? on : -1;
    };
    const int holder = ::open(sim.path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    const pid_t killed = fork();
    if (killed == 0) {
        const int fd = ::open(sim.path().c_str(), O_RDWR | O_NOCTTY);
        if (fd >= 0) ioctl(fd, TIOCEXCL);
        ::raise(SIGKILL);
    }
    ASSERT_GT(killed, 0);
    waitpid(killed, nullptr, 0);
    std::this_thread::sleep_for(quiet_time);
    EXPECT_EQ(exclusive(holder), 1) << "reset while the terminal was still held";
    ::close(holder);
    int after = -1;
    for (const auto until = Clock::now() + answer_timeout; Clock::now() < until && after != 0;) {
        std::this_thread::sleep_for(20ms);
        const int fd = ::open(sim.path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        after = exclusive(fd);
        ::close(fd);
    }
    EXPECT_EQ(after, 0) << "still exclusive after the last close";
    Port port(sim.path(), true);
    port.write_all(hex("55 01 10 00 00 00 00 66"));
    EXPECT_EQ(port.read(8, answer_timeout).size(), 8u) << "not raw after the reset";
}

// User plus system clock ticks the process has used so far.
long cpu_ticks(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));  // skip "pid (name) "
    std::string skip;
    for (int i = 3; i < 14; ++i) fields >> skip;  // state .. cmajflt
    long user = 0, system = 0;
    fields >> user >> system;
    return user + system;
}

// Waiting for the next command, with the port open or closed, costs nothing;
// a poll() that keeps returning at once would burn a core here.
TEST(BoardSim, IdlesWithoutSpinning) {
    BoardSim sim({"--delay", "50"});
    const auto idle_ticks = [&] {
        const long before = cpu_ticks(sim.pid());
        std::this_thread::sleep_for(400ms);
        return cpu_ticks(sim.pid()) - before;
    };
    {
        Port port(sim.path());
        port.write_all(hex("55 01 10 00 00 00 00 66"));
        EXPECT_EQ(port.read(8, answer_timeout).size(), 8u);
        EXPECT_LE(idle_ticks(), 4) << "port open";
    }
    EXPECT_LE(idle_ticks(), 4) << "port closed";
}

// A fresh name beside the test's temporary files.
std::filesystem::path temporary_name(const char* stem) {
    return std::filesystem::temp_directory_path() /
           (std::string(stem) + "." + std::to_string(getpid()));
}

TEST(BoardSim, LinkReplacesThePathAndGoesAwayOnExit) {
    for (int sig : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(sig);
        const auto link = temporary_name("tarnwick-sim-link");
        std::filesystem::remove(link);
        std::FILE* stale = std::fopen(link.c_str(), "w");  // left over from an earlier run
        ASSERT_NE(stale, nullptr);
        std::fclose(stale);

        BoardSim sim({"--link", link.string()});
        ASSERT_TRUE(std::filesystem::is_symlink(link));
        EXPECT_EQ(std::filesystem::read_symlink(link).string(), sim.path());
        {
            Port port(link.string());
            port.write_all(hex("55 01 10 00 00 00 00 66"));
            EXPECT_EQ(dump(port.read(8, answer_timeout)), dump(hex("22 01 10 00 00 00 00 33")));
        }

        sim.kill(sig);
        const auto status = sim.wait_exit(5s);
        ASSERT_TRUE(status.has_value()) << "still running";
        EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status;
        EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link)));
    }
}

TEST(BoardSim, RefusesBadArguments) {
    const std::vector<std::string> refused[] = {
        {"--address", "256"},
        {"--address", "-1"},
        {"--relays", "0x10000"},
        {"--relays", "12ab"},
        {"--delay"},
        {"--delay", "70,"},
        {"--address", "1,2", "--delay", "70,0,0"},
        {"--no-such-option"},
        {"--garbage-after", "soon"},
        {"--address", "3,3"},
        {"--address", "3,"},
        {"--address", "1,256"},
        {"stray"},
    };
    for (const auto& args : refused) {
        SCOPED_TRACE(args[0] + (args.size() > 1 ? " " + args[1] : ""));
        EXPECT_THROW(BoardSim sim(args), std::runtime_error);
    }
}

}  // namespace

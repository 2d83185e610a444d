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

    // Modbus RTU: answers as the standard frames them, CRCs computed apart
    // from our code
    {"modbus: read 16 coils", {"--protocol", "modbus", "--relays", "0x8001"},
     {"01 01 00 00 00 10 3D C6"}, "01 01 02 01 80 B9 CC", 0, 0, 0x8001},
    {"modbus: read coils 2 and 3", {"--protocol", "modbus", "--relays", "0x000C"},
     {"01 01 00 02 00 02 1C 0B"}, "01 01 01 03 11 89"},
    {"modbus: read 8 inputs", {"--protocol", "modbus", "--input-bits", "0xA5"},
     {"01 02 00 00 00 08 79 CC"}, "01 02 01 A5 61 F3"},
    {"modbus: read 16 inputs", {"--protocol", "modbus", "--inputs", "16", "--input-bits", "0x8001"},
     {"01 02 00 00 00 10 79 C6"}, "01 02 02 01 80 B9 88"},
    {"modbus: coil 2 on", {"--protocol", "modbus"},
     {"01 05 00 02 FF 00 2D FA"}, "01 05 00 02 FF 00 2D FA", 0, 0, 0x0004},
    {"modbus: coil 2 off", {"--protocol", "modbus", "--relays", "5"},
     {"01 05 00 02 00 00 6C 0A"}, "01 05 00 02 00 00 6C 0A", 0, 0, 0x0001},
    {"modbus: coil 15 is relay 16", {"--protocol", "modbus"},
     {"01 05 00 0F FF 00 BC 39"}, "01 05 00 0F FF 00 BC 39", 0, 0, 0x8000},
    {"modbus: all 16 coils on", {"--protocol", "modbus"},
     {"01 0F 00 00 00 10 02 FF FF E3 90"}, "01 0F 00 00 00 10 54 07", 0, 0, 0xFFFF},
    {"modbus: coils 3-10 from one byte", {"--protocol", "modbus"},
     {"01 0F 00 03 00 08 01 81 7A F5"}, "01 0F 00 03 00 08 A4 0D", 0, 0, 0x0408},
    {"modbus: 03 is an illegal function", {"--protocol", "modbus"},
     {"01 03 00 00 00 0A C5 CD"}, "01 83 01 80 F0"},
    {"modbus: coils past 16 are an illegal address", {"--protocol", "modbus"},
     {"01 01 00 0F 00 02 8D C8"}, "01 81 02 C1 91"},
    {"modbus: reading no coils is an illegal address", {"--protocol", "modbus"},
     {"01 01 00 00 00 00 3C 0A"}, "01 81 02 C1 91"},
    {"modbus: inputs past 8 are an illegal address", {"--protocol", "modbus"},
     {"01 02 00 07 00 02 48 0A"}, "01 82 02 C1 61"},
    {"modbus: coil 16 is an illegal address", {"--protocol", "modbus"},
     {"01 05 00 10 FF 00 8D FF"}, "01 85 02 C3 51", 0, 0, 0x0000},
    {"modbus: FF01 is an illegal value", {"--protocol", "modbus"},
     {"01 05 00 00 FF 01 4D FA"}, "01 85 03 02 91", 0, 0, 0x0000},
    {"modbus: one byte for 16 coils is an illegal value", {"--protocol", "modbus"},
     {"01 0F 00 00 00 10 01 FF 3E D2"}, "01 8F 03 04 31", 0, 0, 0x0000},
    {"modbus: writing no coils is an illegal value", {"--protocol", "modbus"},
     {"01 0F 00 00 00 00 00 0B 3F"}, "01 8F 03 04 31"},
    {"modbus: writing coils 8-16 is an illegal address", {"--protocol", "modbus"},
     {"01 0F 00 08 00 09 02 FF 01 64 04"}, "01 8F 02 C5 F1", 0, 0, 0x0000},
    {"modbus: unit 247", {"--protocol", "modbus", "--address", "247"},
     {"F7 01 00 00 00 10 29 50"}, "F7 01 02 00 00 71 E9"},
    {"modbus: a broadcast switches unanswered", {"--protocol", "modbus"},
     {"00 05 00 02 FF 00 2C 2B", "01 01 00 00 00 10 3D C6"}, "01 01 02 04 00 BB 3C",
     0, 0, 0x0004},
    {"modbus: a broadcast reaches every board", {"--protocol", "modbus", "--address", "3,200"},
     {"00 0F 00 00 00 10 02 FF FF EE 00", "03 01 00 00 00 10 3C 24", "C8 01 00 00 00 10 2C 5F"},
     "03 01 02 FF FF C1 8C C8 01 02 FF FF 64 5C", 0, 0, 0xFFFF, 3},
    {"modbus: a broadcast read gets no answer", {"--protocol", "modbus"},
     {"00 01 00 00 00 10 3C 17", "00 03 00 00 00 01 85 DB", "01 01 00 00 00 10 3D C6"},
     "01 01 02 00 00 B9 FC"},
    {"modbus: a unit not simulated gets no answer", {"--protocol", "modbus"},
     {"02 01 00 00 00 10 3D F5", "01 01 00 00 00 10 3D C6"}, "01 01 02 00 00 B9 FC"},
    {"modbus: bad CRC ignored", {"--protocol", "modbus"},
     {"01 05 00 02 FF 00 2D FB", "01 01 00 00 00 10 3D C6"}, "01 01 02 00 00 B9 FC",
     0, 0, 0x0000},
    {"modbus: noise, then a request", {"--protocol", "modbus"},
     {"00 FF 55 22", "01 05 00 02 FF 00 2D FA"}, "01 05 00 02 FF 00 2D FA", 0, 0, 0x0004},
    {"modbus: a cut-off request, then a whole one", {"--protocol", "modbus"},
     {"01 05 00", "01 05 00 02 FF 00 2D FA"}, "01 05 00 02 FF 00 2D FA", 0, 0, 0x0004},
    {"modbus: a head that claims a long request goes with the silence", {"--protocol", "modbus"},
     {"01 10 00 00 00 78 F0", "01 05 00 02 FF 00 2D FA"}, "01 05 00 02 FF 00 2D FA",
     0, 0, 0x0004},
    {"modbus: a request one byte at a time", {"--protocol", "modbus"},
     {"01", "0F", "00", "00", "00", "10", "02", "01", "80", "E2", "10"},
     "01 0F 00 00 00 10 54 07", 0, 0, 0x8001},
    {"modbus: two requests in one write", {"--protocol", "modbus"},
     {"01 05 00 02 FF 00 2D FA 01 01 00 00 00 10 3D C6"},
     "01 05 00 02 FF 00 2D FA 01 01 02 04 00 BB 3C", 0, 0, 0x0004},
    {"modbus: --stuck echoes but switches nothing", {"--protocol", "modbus", "--stuck"},
     {"01 05 00 02 FF 00 2D FA", "01 01 00 00 00 10 3D C6"},
     "01 05 00 02 FF 00 2D FA 01 01 02 00 00 B9 FC"},
    {"modbus: --bad-checksum", {"--protocol", "modbus", "--bad-checksum"},
     {"01 01 00 00 00 10 3D C6"}, "01 01 02 00 00 BA FC"},
    {"modbus: --answer-address 7", {"--protocol", "modbus", "--answer-address", "7"},
     {"01 01 00 00 00 10 3D C6"}, "07 01 02 00 00 31 FC"},
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

// As at 9600 baud (10 bits a byte): the answer's first byte comes 8 bytes'
// time plus 1 ms after the command, its last 7 bytes' time after that.
TEST(BoardSim, WireTimeTakesTheTimeOfTheLine) {
    BoardSim sim({"--wire-time"});
    Port port(sim.path());
    const auto sent = Clock::now();
    port.write_all(hex("55 01 10 00 00 00 00 66"));
    EXPECT_EQ(port.read(1, answer_timeout).size(), 1u);
    EXPECT_GE(Clock::now() - sent, 8 * 1042us + 1ms);
    EXPECT_EQ(dump(port.read(7, answer_timeout)), dump(hex("01 10 00 00 00 00 33")));
    EXPECT_GE(Clock::now() - sent, 15 * 1042us + 1ms);
}

// Modbus at the speed given: a byte is 1 start, 8 data, a parity and the stop
// bits; the answer waits for the request's bytes and 3.5 bytes of silence
// (1.75 ms above 19200 baud). Bounds worked out by hand for the 8-byte
// request and the 7-byte answer to reading 16 coils.
TEST(BoardSim, ModbusWireTimeFollowsTheLineSettings) {
    const struct {
        std::vector<std::string> args;
        std::chrono::microseconds first;  // least time to the answer's first byte
        std::chrono::microseconds last;   // and to its last
    } cases[] = {
        // 10 bits: 1042 us a byte; 11.5 bytes to the first, 6 more to the last
        {{}, 11979us, 18229us},
        // 9600 8E2, 12 bits: 1250 us a byte
        {{"--parity", "even", "--stop-bits", "2"}, 14375us, 21875us},
        // 1200 8N1: 8333 us a byte
        {{"--baud", "1200"}, 95833us, 145833us},
        // 38400 8O1, 11 bits: 286 us a byte, 1.75 ms of silence
        {{"--baud", "38400", "--parity", "odd"}, 4041us, 5760us},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args{"--protocol", "modbus", "--wire-time"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        SCOPED_TRACE(args.size() > 3 ? args[3] : "9600 8N1");
        BoardSim sim(args);
        Port port(sim.path());
        const auto sent = Clock::now();
        port.write_all(hex("01 01 00 00 00 10 3D C6"));
        EXPECT_EQ(port.read(1, answer_timeout).size(), 1u);
        EXPECT_GE(Clock::now() - sent, c.first);
        EXPECT_EQ(dump(port.read(6, answer_timeout)), dump(hex("01 02 00 00 B9 FC")));
        EXPECT_GE(Clock::now() - sent, c.last);
    }
}

// Modbus requests are reported whole, noise and bad CRCs are not; the
// harness reads the first 8 bytes of each.
TEST(BoardSim, ReportsEveryModbusRequestItReads) {
    BoardSim sim({"--protocol", "modbus", "--report-frames"});
    Port port(sim.path());
    port.write_all(
        hex("FF 02 01 00 00 00 10 3D F5 01 05 00 02 FF 00 2D FB "
            "01 0F 00 00 00 10 02 01 80 E2 10"));
    EXPECT_EQ(dump(port.read(8, answer_timeout)), dump(hex("01 0F 00 00 00 10 54 07")));
    ASSERT_TRUE(sim.wait_for_relays(0x8001, answer_timeout));
    std::vector<Bytes> frames;
    for (const auto& frame : sim.frames()) frames.emplace_back(frame.begin(), frame.end());
    EXPECT_EQ(frames,
              (std::vector{hex("02 01 00 00 00 10 3D F5"), hex("01 0F 00 00 00 10 02 01")}));
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
        {"--protocol", "rtu"},
        {"--baud", "9600"},
        {"--parity", "even"},
        {"--stop-bits", "2"},
        {"--inputs", "4"},
        {"--input-bits", "0x1"},
        {"--protocol", "modbus", "--address", "0"},
        {"--protocol", "modbus", "--address", "1,248"},
        {"--protocol", "modbus", "--baud", "600"},
        {"--protocol", "modbus", "--baud", "230400"},
        {"--protocol", "modbus", "--parity", "mark"},
        {"--protocol", "modbus", "--stop-bits", "0"},
        {"--protocol", "modbus", "--stop-bits", "3"},
        {"--protocol", "modbus", "--inputs", "17"},
        {"--protocol", "modbus", "--input-bits", "0x100"},
        {"--protocol", "modbus", "--inputs", "0", "--input-bits", "1"},
    };
    for (const auto& args : refused) {
        SCOPED_TRACE(args[0] + (args.size() > 1 ? " " + args[1] : ""));
        EXPECT_THROW(BoardSim sim(args), std::runtime_error);
    }
}

}  // namespace

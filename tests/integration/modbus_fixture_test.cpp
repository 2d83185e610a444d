// The Modbus fixture as mbpoll, a Modbus master of its own, sees it. The
// values expected are written out by hand from what the fixture promises;
// mbpoll numbers references from 1, so reference r is coil address r - 1.

#include "tests/support/modbus_fixture.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

using tarnwick::test::ModbusFixture;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

constexpr const char* mbpoll = "/usr/bin/mbpoll";

struct MbpollRun {
    int status = -1;  // exit code, -1 when it did not end by itself
    std::string output;
};

// mbpoll once against the device: one poll, a timeout short enough for the
// silent rows, the fixture's 9600 8N1; it writes `write` when there is one.
// Its stdout and stderr together.
MbpollRun run_mbpoll(const std::vector<std::string>& args, const std::string& device,
                     const std::string& write) {
    std::vector<std::string> words{mbpoll, "-m",   "rtu", "-b",  "9600",
                                   "-P",   "none", "-o",  "0.5", "-1"};
    words.insert(words.end(), args.begin(), args.end());
    words.push_back(device);
    if (!write.empty()) words.push_back(write);
    std::vector<char*> argv;
    for (auto& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return {};
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        dup2(out[1], STDERR_FILENO);
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    MbpollRun run;
    const auto deadline = Clock::now() + 10s;
    char buffer[512];
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd pfd{out[0], POLLIN, 0};
        if (left.count() <= 0 || poll(&pfd, 1, static_cast<int>(left.count())) <= 0) break;
        const ssize_t n = read(out[0], buffer, sizeof buffer);
        if (n <= 0) break;
        run.output.append(buffer, static_cast<std::size_t>(n));
    }
    close(out[0]);
    kill(pid, SIGKILL);  // nothing when it has ended already
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status)) run.status = WEXITSTATUS(status);
    return run;
}

// mbpoll's "[5]: \t1" lines: reference -> value.
// Read with sscanf, not <regex>: GCC 12 warns inside <regex> under the
// sanitizers' build, where warnings are errors.
std::map<int, int> values(const std::string& output) {
    std::map<int, int> found;
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        const std::size_t open = line.find('[');
        int reference = 0, value = 0;
        if (open != std::string::npos &&
            std::sscanf(line.c_str() + open, "[%d]: %d", &reference, &value) == 2)
            found[reference] = value;
    }
    return found;
}

// References 1..count, all 0 but those listed.
std::map<int, int> bits(int count, const std::vector<int>& on) {
    std::map<int, int> all;
    for (int r = 1; r <= count; ++r) all[r] = 0;
    for (int r : on) all[r] = 1;
    return all;
}

struct Row {
    const char* name;
    std::function<void(ModbusFixture&)> before;
    std::vector<std::string> args;  // for mbpoll, without the device
    std::string write;              // the value mbpoll writes; none: it reads
    bool succeeds;
    std::map<int, int> values;  // what mbpoll shows, when it succeeds
    std::string error;          // part of what it says, when it fails
    std::vector<std::pair<std::uint8_t, std::uint16_t>> coils_after;  // (unit, coils)
};

void PrintTo(const Row& row, std::ostream* out) {
    *out << row.name;
}

const std::vector<Row> rows = {
    {"Unit1CoilsSetByTheTest",
     [](ModbusFixture& f) {
         f.set_coil(1, 0, true);
         f.set_coil(1, 9, true);
         f.set_coil(1, 15, true);
     },
     {"-a", "1", "-t", "0", "-r", "1", "-c", "16"},
     "",
     true,
     bits(16, {1, 10, 16}),
     "",
     {}},
    {"Unit1CoilsStartOff",
     {},
     {"-a", "1", "-t", "0", "-r", "1", "-c", "16"},
     "",
     true,
     bits(16, {}),
     "",
     {{1, 0x0000}, {2, 0x0000}}},
    {"CoilWrittenOnUnit2",
     {},
     {"-a", "2", "-t", "0", "-r", "6"},
     "1",
     true,
     {},
     "",
     {{2, 0x0020}, {1, 0x0000}}},
    {"CoilSwitchedOffOnUnit2",
     [](ModbusFixture& f) { f.set_coil(2, 3, true); },
     {"-a", "2", "-t", "0", "-r", "4"},
     "0",
     true,
     {},
     "",
     {{2, 0x0000}}},
    {"Unit1Inputs",
     {},
     {"-a", "1", "-t", "1", "-r", "1", "-c", "8"},
     "",
     true,
     bits(8, {1, 3}),
     "",
     {}},
    {"Unit2Inputs",
     {},
     {"-a", "2", "-t", "1", "-r", "1", "-c", "8"},
     "",
     true,
     bits(8, {6, 8}),
     "",
     {}},
    {"Unit2InputSetByTheTest",
     [](ModbusFixture& f) {
         f.set_input(2, 0, true);
         f.set_input(2, 7, false);
     },
     {"-a", "2", "-t", "1", "-r", "1", "-c", "8"},
     "",
     true,
     bits(8, {1, 6}),
     "",
     {}},
    {"Unit3Silent",
     {},
     {"-a", "3", "-t", "0", "-r", "1", "-c", "16"},
     "",
     false,
     {},
     "timed out",
     {}},
    {"Coil16IsThere",
     [](ModbusFixture& f) { f.set_coil(1, 15, true); },
     {"-a", "1", "-t", "0", "-r", "16", "-c", "1"},
     "",
     true,
     {{16, 1}},
     "",
     {}},
    {"ReadPastCoil16",
     {},
     {"-a", "1", "-t", "0", "-r", "16", "-c", "2"},
     "",
     false,
     {},
     "Illegal data address",
     {}},
    {"ReadPastInput8",
     {},
     {"-a", "1", "-t", "1", "-r", "9", "-c", "1"},
     "",
     false,
     {},
     "Illegal data address",
     {}},
    {"WritePastCoil16",
     {},
     {"-a", "1", "-t", "0", "-r", "17"},
     "1",
     false,
     {},
     "Illegal data address",
     {{1, 0x0000}}},
};

class ModbusFixtureTest : public testing::TestWithParam<Row> {
  protected:
    void SetUp() override { tarnwick::test::require_installed(mbpoll, "mbpoll"); }
};

TEST_P(ModbusFixtureTest, AsMbpollSeesIt) {
    const Row& row = GetParam();
    ModbusFixture fixture;
    if (row.before) row.before(fixture);
    const MbpollRun run = run_mbpoll(row.args, fixture.path(), row.write);
    SCOPED_TRACE("mbpoll said:\n" + run.output + "\n" + fixture.log());
    if (row.succeeds) {
        EXPECT_EQ(run.status, 0);
        if (!row.values.empty()) {
            EXPECT_EQ(values(run.output), row.values);
        }
    } else {
        EXPECT_NE(run.status, 0);
        EXPECT_NE(run.output.find(row.error), std::string::npos) << "expected: " << row.error;
    }
    for (const auto& [unit, expected] : row.coils_after)
        EXPECT_EQ(fixture.coils(unit), expected) << "unit " << int(unit);
}

INSTANTIATE_TEST_SUITE_P(Rows, ModbusFixtureTest, testing::ValuesIn(rows),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace

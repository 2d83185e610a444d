// tarnwick-ctl against the simulated board on a pseudo-terminal: what each
// command puts on the wire, prints and exits with, what the board's relays
// are afterwards, and the name file it shares with the panel. One row a
// case; the program runs as its own process, from a copy in a fresh
// directory, which is where it keeps name.txt, as the panel does.
#include <gtest/gtest.h>
#include <signal.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "names/gbk.h"
#include "names/name_file.h"
#include "tests/names/names_support.h"
#include "tests/support/board_sim.h"
#include "tests/support/golden_frames.h"
#include "tests/support/program_copy.h"
#include "wire/qt_serial_port.h"

namespace {

using namespace tarnwick;
using test::BoardSim;

constexpr int run_timeout_ms = 20000;  // generous: the suite also runs sanitized

enum class Hold { none, panel, watch };

// Where the name file stands before a case.
// stored: channel 3 of address 1 is "进水泵"; utf8: that file, then saved as
// UTF-8 by an editor.
enum class Names { none, stored, utf8 };

struct Outcome {
    int exit = -1;  // -1: did not end by itself
    QStringList out;
    QString err;
};

struct CtlCase {
    const char* what;
    std::vector<std::string> board;  // the simulator's arguments
    QStringList args;                // "{port}" stands for the board's terminal
    int exit;
    // Frames that go out first, in this order, by the name of an example
    // frame or as hex; any later ones are queries of the last one's address.
    // A refused command line sends nothing at all.
    std::vector<const char*> frames = {};
    std::optional<std::uint16_t> relays = std::nullopt;         // the board's, afterwards
    QStringList out = {};                                       // each found in stdout
    QStringList err = {};                                       // each found in stderr
    std::optional<std::uint16_t> json_relays = std::nullopt;    // in the last JSON object
    std::optional<std::pair<int, int>> scanned = std::nullopt;  // exactly queries of these
    std::optional<int> lines = std::nullopt;                    // stdout lines
    // Called after each line of stdout (from 1), to act on the board or the program.
    std::function<void(BoardSim&, QProcess&, int)> on_line = {};
    Names names = Names::none;
    std::optional<std::string> name_after = std::nullopt;  // of channel 3, as the panel reads it
    // The port is held open while it runs: by this process, as by a panel,
    // or by another tarnwick-ctl (a watch), whose pid "{holder}" stands for.
    Hold hold_port = Hold::none;
    // stdout read by `head -n N`, which then exits; on_line runs once it has.
    std::optional<int> reader_lines = std::nullopt;
    // The board's terminal goes away (its process killed) this long after the start.
    std::optional<int> board_gone_ms = std::nullopt;
};

// A JSON line's "relays" as a pattern (bit r-1 = relay r on).
std::optional<std::uint16_t> json_pattern(const QString& line) {
    const QJsonObject object = QJsonDocument::fromJson(line.toUtf8()).object();
    if (!object.contains(QStringLiteral("relays"))) return std::nullopt;
    std::uint16_t pattern = 0;
    for (const QJsonValue relay : object[QStringLiteral("relays")].toArray()) {
        if (relay[QStringLiteral("state")].toString() == QStringLiteral("on"))
            pattern = static_cast<std::uint16_t>(
                pattern | 1u << (relay[QStringLiteral("channel")].toInt() - 1));
    }
    return pattern;
}

void signal_board(BoardSim& board, int sig) {
    board.kill(sig);
}

// An example frame by name, or "55 01 ..." in hex.
protocol::Frame expected_frame(std::string_view text) {
    if (text.substr(0, 3) != "55 ") return test::golden_frame(text);
    protocol::Frame frame{};
    for (std::size_t i = 0; i < frame.size(); ++i)
        frame[i] =
            static_cast<std::uint8_t>(std::stoi(std::string(text.substr(i * 3, 2)), nullptr, 16));
    return frame;
}

// clang-format off
const CtlCase cases[] = {
    // what each command sends, and its confirmation
    {"status", {"--relays", "0x0104"}, {"status"}, 0,
     {"query, address 1"}, 0x0104, {" 3  on   第3路", " 9  on   第9路", " 4  off  第4路"}, {}, {}, {}, 16},
    {"status of address 0 and 255", {"--address", "0,255"}, {"-a", "255", "status"}, 0,
     {"query, address 255"}},
    {"on 3, by the device's path", {}, {"-p", "{port}", "on", "3"}, 0,
     {"energize relay 3", "query, address 1"}, 0x0004, {" 3  on   第3路"}, {}, {}, {}, 1},
    {"off 3", {"--relays", "0x0104"}, {"off", "3"}, 0,
     {"release relay 3", "query, address 1"}, 0x0100, {" 3  off  第3路"}},
    {"toggle flips from the reported state", {"--relays", "0x0104"}, {"toggle", "3"}, 0,
     {"query, address 1", "release relay 3", "query, address 1"}, 0x0100},
    // each command's query right behind its answer, as the service does
    {"on several channels, each confirmed at once", {}, {"on", "9", "3", "3"}, 0,
     {"energize relay 3", "query, address 1", "55 01 21 00 00 FA 09 7A", "query, address 1"}, 0x0104,
     {" 3  on", " 9  on"}, {}, {}, {}, 2},
    {"all-on", {}, {"all-on"}, 0, {"energize all", "query, address 1"}, 0xFFFF},
    {"all-off", {"--relays", "0xA5A5"}, {"all-off"}, 0, {"release all", "query, address 1"}, 0x0000},
    {"--json on", {}, {"--json", "on", "3"}, 0,
     {"energize relay 3"}, 0x0004, {"\"confirmed\":true", "\"name\":\"第3路\""}, {}, 0x0004, {}, 1},
    {"--json status", {"--relays", "0x8001"}, {"--json", "status"}, 0,
     {"query, address 1"}, 0x8001, {"\"ok\":true"}, {}, 0x8001},

    // Modbus RTU boards (frames checked in the simulator's and the wire's
    // tables; here what a user sees)
    {"modbus status with inputs", {"--protocol", "modbus", "--relays", "0x0104", "--input-bits", "0x05"},
     {"--protocol", "modbus", "--inputs", "8", "status"}, 0,
     {}, 0x0104, {" 3  on   第3路", " 4  off", "in 1  on", "in 2  off", "in 3  on", "in 8  off"}, {}, {}, {}, 24},
    {"modbus on two channels", {"--protocol", "modbus"}, {"--protocol", "modbus", "on", "3", "5"}, 0,
     {}, 0x0014, {" 3  on", " 5  on"}},
    {"modbus toggle with inputs read", {"--protocol", "modbus", "--relays", "0x8001"},
     {"--protocol", "modbus", "--inputs", "4", "toggle", "16", "2"}, 0, {}, 0x0003},
    // answers that come a byte at a time, as at 9600 baud: the rest of one
    // shorter than any whole answer
    {"modbus answers at the pace of the wire", {"--protocol", "modbus", "--wire-time", "--input-bits", "0x80"},
     {"--protocol", "modbus", "--inputs", "8", "on", "4"}, 0, {}, 0x0008, {" 4  on"}},
    {"modbus all-on, one frame", {"--protocol", "modbus", "--relays", "0x0100"}, {"--protocol", "modbus", "all-on"}, 0,
     {}, 0xFFFF},
    {"modbus all-off", {"--protocol", "modbus", "--relays", "0xA5A5"}, {"--protocol", "modbus", "all-off"}, 0,
     {}, 0x0000},
    {"modbus at 19200 even on unit 17", {"--protocol", "modbus", "--address", "17", "--baud", "19200", "--parity", "even"},
     {"--protocol", "modbus", "--baud", "19200", "--parity", "even", "-a", "17", "on", "1"}, 0, {}, 0x0001},
    {"modbus --json with inputs", {"--protocol", "modbus", "--input-bits", "0x02"},
     {"--protocol", "modbus", "--inputs", "2", "--json", "status"}, 0, {}, 0x0000,
     {"\"inputs\":[{\"input\":1,\"on\":false},{\"input\":2,\"on\":true}]", "\"protocol\":\"modbus\""}},
    {"modbus: inputs the board lacks are its refusal", {"--protocol", "modbus", "--inputs", "4"},
     {"--protocol", "modbus", "--inputs", "8", "status"}, 6, {}, 0x0000, {},
     {"unit 1 refused read discrete inputs (02): illegal data address (02)"}},
    {"modbus: a unit not on the line", {"--protocol", "modbus"}, {"--protocol", "modbus", "-a", "9", "on", "3"}, 4,
     {}, 0x0000, {}, {"没有有效应答"}},
    {"modbus: unit 0 is broadcast", {"--protocol", "modbus"}, {"--protocol", "modbus", "-a", "0", "on", "3"}, 2,
     {}, 0x0000, {}, {"no Modbus unit id 1..247"}},
    {"modbus: unit 248", {"--protocol", "modbus"}, {"--protocol", "modbus", "-a", "248", "status"}, 2,
     {}, 0x0000, {}, {"no Modbus unit id 1..247"}},
    {"modbus: a speed no line runs at", {}, {"--protocol", "modbus", "--baud", "12345", "status"}, 2,
     {}, 0x0000, {}, {"baud must be one of"}},
    {"modbus: parity", {}, {"--protocol", "modbus", "--parity", "mark", "status"}, 2,
     {}, 0x0000, {}, {"--parity 'mark'"}},
    {"modbus: 17 inputs", {}, {"--protocol", "modbus", "--inputs", "17", "status"}, 2,
     {}, 0x0000, {}, {"inputs must be 0..16"}},
    {"native refuses a speed", {}, {"--baud", "19200", "status"}, 2,
     {}, 0x0000, {}, {"--baud applies to --protocol modbus only"}},
    {"an unknown protocol", {}, {"--protocol", "rtu", "status"}, 2,
     {}, 0x0000, {}, {"--protocol 'rtu' is neither native nor modbus"}},

    // two boards on the line, answering late: only board 1's answer to a
    // query after the command confirms
    {"on 3, two boards answering 70 ms late", {"--address", "1,2", "--delay", "70"},
     {"--json", "on", "3"}, 0, {"energize relay 3", "query, address 1"}, {},
     {"\"confirmed\":true", "\"answers_from_another_address\":0"}, {}, 0x0004, {}, 1},
    {"off 3, board 1 answering 120 ms late", {"--address", "1,2", "--delay", "120,0", "--relays", "0x0104"},
     {"--json", "off", "3"}, 0, {"release relay 3", "query, address 1"}, {},
     {"\"confirmed\":true"}, {}, 0x0100, {}, 1},
    {"answers carrying another address confirm nothing", {"--answer-address", "2"},
     {"--json", "--timeout", "200", "on", "3"}, 4, {"energize relay 3", "query, address 1"}, 0x0004,
     {"\"ok\":false", "\"exit\":4", "\"answers_from_another_address\":"},
     {"地址 1 的模块", "没有有效应答", "个应答来自其他地址"}},

    // each exit status
    {"a silent board: no answer", {"--silent"}, {"--timeout", "200", "status"}, 4,
     {"query, address 1"}, {}, {}, {"上地址 1 的模块在 200 ms 内没有有效应答", "没有收到任何字节",
                                     "tarnwick-ctl -p 1 scan"}},
    {"a board that ignores the command: not confirmed", {"--stuck"}, {"--timeout", "200", "on", "3"}, 5,
     {"energize relay 3", "query, address 1"}, 0x0000, {}, {"没有确认", "第 3 路断开"}},
    {"--json says why it failed", {"--stuck"}, {"--json", "--timeout", "200", "on", "3"}, 5,
     {"energize relay 3"}, 0x0000, {"\"ok\":false", "\"exit\":5", "\"reason\":\"not_confirmed\""}, {}, 0x0000},
    {"--json gives a reason a script can test", {"--silent"}, {"--json", "--timeout", "200", "status"}, 4,
     {"query, address 1"}, {}, {"\"reason\":\"no_answer\""}},
    {"a port held by the panel", {}, {"status"}, 3,
     {}, {}, {}, {"设备正被其他程序使用", "{port}"}, {}, {}, {}, {}, Names::none, {}, Hold::panel},
    {"a port held by another program names it", {}, {"--json", "status"}, 3,
     {}, {}, {"\"reason\":\"busy\""}, {"设备正被其他程序使用（tarnwick-ctl -p {port} watch，进程 {holder}）"},
     {}, {}, {}, {}, Names::none, {}, Hold::watch},
    {"a device that is not there", {}, {"-p", "/nonexistent/ttyUSB9", "status"}, 3,
     {}, {}, {}, {"无法打开设备 /nonexistent/ttyUSB9", "设备不存在"}},
    {"--json says the device went away", {"--stuck"}, {"--json", "--timeout", "5000", "on", "3"}, 3,
     {"energize relay 3"}, {}, {"\"ok\":false", "\"exit\":3", "已断开", "\"reason\":\"lost\""},
     {"已断开"}, 0x0000, {}, 1, {}, Names::none, {}, Hold::none, {}, 300},
    {"channel 17", {}, {"on", "17"}, 2, {}, 0x0000, {}, {"channel '17' is not a number 1..16"}},
    {"channel 0", {}, {"off", "0"}, 2, {}, 0x0000},
    {"no channel", {}, {"on"}, 2, {}, 0x0000},
    {"address 256", {}, {"-a", "256", "on", "3"}, 2, {}, 0x0000, {}, {"--address '256'"}},
    {"an unknown command", {}, {"frob"}, 2, {}, 0x0000, {}, {"unknown command 'frob'"}},
    {"an unknown option of a command", {}, {"on", "3", "--fast"}, 2, {}, 0x0000},
    {"a port that is no number and no path", {}, {"-p", "ttyUSB0", "on", "3"}, 2, {}, 0x0000},
    {"a backwards scan range", {}, {"scan", "9-3"}, 2, {}, 0x0000},
    {"watch --count 0", {}, {"watch", "--count", "0"}, 2},
    {"serve with the port held by the panel", {}, {"serve", "--mqtt", "127.0.0.1:1", "--node", "cab1"}, 3,
     {}, {}, {}, {"设备正被其他程序使用", "{port}"}, {}, {}, {}, {}, Names::none, {}, Hold::panel},
    {"serve --help", {}, {"serve", "--help"}, 0, {}, {}, {"--keepalive S", "--password-file FILE"}},
    {"--help lists every exit status", {}, {"--help"}, 0, {}, {}, {"130  interrupted"}},
    {"--help lists every command with its arguments",
     {},
     {"--help"},
     0,
     {},
     {},
     {"  on CH...           energize", "  all-off            release all 16",
      "  pulse CH SECONDS   through tarnwickd only", "  scan [FROM-TO]     query",
      "  serve --mqtt HOST[:PORT] --node NODE", "                     put the boards",
      "  schedule NAME enable|disable\n                     through tarnwickd",
      "  scene [NAME]       through tarnwickd: apply"}},
    {"serve without a broker", {}, {"serve", "--node", "cab1"}, 2, {}, {}, {}, {"give --mqtt"}},
    {"serve with a node that cannot be in a topic", {}, {"serve", "--mqtt", "h", "--node", "cab/1"}, 2,
     {}, {}, {}, {"may hold only"}},
    {"serve with boards counting down", {}, {"serve", "--mqtt", "h", "--node", "c", "--boards", "7-3"}, 2,
     {}, {}, {}, {"counts down"}},
    {"serve --insecure without TLS", {}, {"serve", "--mqtt", "h", "--node", "c", "--insecure"}, 2,
     {}, {}, {}, {"give --tls-ca"}},
    {"serve with a password file that is not there", {},
     {"serve", "--mqtt", "h", "--node", "c", "--username", "u", "--password-file", "/nonexistent/pw"}, 2,
     {}, {}, {}, {"cannot read the password file /nonexistent/pw"}},
    {"serve with a password in plain text to another machine", {},
     {"serve", "--mqtt", "h", "--node", "c", "--username", "u", "--password-file", "/proc/version"}, 2,
     {}, {}, {}, {"--allow-plaintext-password"}},
    {"serve with a CA file that is a directory", {},
     {"serve", "--mqtt", "h", "--node", "c", "--tls-ca", "/"}, 2, {}, {}, {}, {"/ is a directory"}},
    {"serve with --address", {}, {"-a", "2", "serve", "--mqtt", "h", "--node", "c"}, 2,
     {}, {}, {}, {"--address does not apply"}},

    // watch
    {"watch: a line per change, unknown while the board is silent",
     {"--relays", "0x0104"}, {"watch", "--count", "3"}, 0,
     {"query, address 1"}, {}, {"on: 3 9", "unknown"}, {}, {}, {}, 3,
     [](BoardSim& board, QProcess&, int) { signal_board(board, SIGUSR2); }},
    {"watch --json ends cleanly on Ctrl-C", {}, {"--json", "watch"}, 0,
     {}, {}, {"\"time\":\"", "\"state\":\"off\""}, {}, 0x0000, {}, 1,
     [](BoardSim&, QProcess& ctl, int) { ::kill(static_cast<pid_t>(ctl.processId()), SIGINT); }},
    {"watch of a board that never answers", {"--silent"}, {"--timeout", "200", "watch"}, 4,
     {}, {}, {}, {"没有有效应答"}, {}, {}, 0},
    {"watch ends when the reader of its output goes away", {}, {"watch"}, 0,
     {"query, address 1"}, {}, {"all off"}, {}, {}, {}, 1,
     [](BoardSim& board, QProcess&, int) { signal_board(board, SIGUSR2); },
     Names::none, {}, Hold::none, 1},
    {"watch of a board at rest ends when the reader of its output goes away", {}, {"--json", "watch"}, 0,
     {"query, address 1"}, {}, {"\"time\":\""}, {}, {}, {}, 1, {}, Names::none, {}, Hold::none, 1},

    // scan
    {"scan finds boards at two addresses", {"--address", "3,200", "--relays", "0x0104"}, {"scan"}, 0,
     {}, {}, {"  3  on: 3 9", "200  on: 3 9"}, {"0-255", "2 answered"}, {}, std::pair{0, 255}, 2},
    {"--json scan of a range", {"--address", "3,200", "--relays", "0x0104"}, {"--json", "scan", "2-10"}, 0,
     {}, {}, {"\"found\":[{\"address\":3,\"on\":[3,9],\"relays\":\"0x0104\"}]",
              "\"answers_from_another_address\":0"}, {},
     {}, std::pair{2, 10}, 1},
    // a late answer comes while later addresses are asked: still its own board's
    {"scan of boards answering 30 ms late", {"--address", "3,12", "--relays", "0x0104", "--delay", "30"},
     {"scan", "0-20"}, 0, {}, {}, {"  3  on: 3 9", " 12  on: 3 9"}, {"2 answered"}, {}, std::pair{0, 20}, 2},
    {"scan of boards answering 70 ms late", {"--address", "3,12", "--relays", "0x0104", "--delay", "70"},
     {"scan", "0-20"}, 0, {}, {}, {"  3  on: 3 9", " 12  on: 3 9"}, {"2 answered"}, {}, std::pair{0, 20}, 2},
    {"scan of boards answering 120 ms late", {"--address", "3,12", "--relays", "0x0104", "--delay", "120"},
     {"scan", "0-20"}, 0, {}, {}, {"  3  on: 3 9", " 12  on: 3 9"}, {"2 answered"}, {}, std::pair{0, 20}, 2},
    {"scan, one board 120 ms late", {"--address", "3,12", "--relays", "0x0104", "--delay", "120,0"},
     {"scan", "0-20"}, 0, {}, {}, {"  3  on: 3 9", " 12  on: 3 9"}, {"2 answered"}, {}, std::pair{0, 20}, 2},
    {"scan of a line where nothing answers", {"--silent"}, {"scan", "0-3"}, 4,
     {}, {}, {}, {"0 answered"}, {}, std::pair{0, 3}, 0},

    // the name file the panel uses
    {"status shows the panel's names", {"--relays", "0x0104"}, {"status"}, 0,
     {}, {}, {" 3  on   进水泵"}, {}, {}, {}, {}, {}, Names::stored},
    {"names reads without creating the file", {}, {"names"}, 0,
     {}, {}, {" 3  第3路", "16  第16路"}, {"not there yet"}, {}, {}, 16},
    {"--json names", {}, {"--json", "names"}, 0, {}, {}, {"\"ok\":true", "\"name\":\"第16路\""}, {}, {}, {}, 1},
    {"names CH reads one", {}, {"names", "3"}, 0,
     {}, {}, {"进水泵"}, {}, {}, {}, 1, {}, Names::stored},
    {"names CH NAME stores it where the panel reads it, creating the file", {}, {"names", "3", "出水阀"}, 0,
     {}, {}, {}, {"名称文件被创建。"}, {}, {}, 0, {}, Names::none, "出水阀"},
    {"--json names CH NAME", {}, {"--json", "-a", "1", "names", "3", "出水阀"}, 0,
     {}, {}, {"\"ok\":true", "\"name\":\"出水阀\""}, {}, {}, {}, 1, {}, Names::stored, "出水阀"},
    {"a name GBK cannot hold is refused", {}, {"names", "3", "水\xF0\x9F\x98\x80"}, 2,
     {}, {}, {}, {"GBK"}, {}, {}, 0, {}, Names::stored, "进水泵"},
    {"a name with a line break is refused", {}, {"names", "3", "a\nb"}, 2,
     {}, {}, {}, {"换行"}, {}, {}, 0, {}, Names::none, ""},
    {"pulse needs its seconds", {}, {"pulse", "3"}, 2, {}, {}, {}, {"no time of 0.1 .. 86400"}},
    {"a pulse of 0.05 s is refused", {}, {"pulse", "3", "0.05"}, 2, {}, {}, {}, {"0.1 .. 86400"}},
    {"a pulse on a line no service holds is refused", {}, {"pulse", "3", "1"}, 3, {}, {}, {},
     {"only tarnwickd gives a pulse", "no service holds"}},
    {"status reads a UTF-8 name file as it is and writes nothing", {"--relays", "0x0104"}, {"status"}, 0,
     {}, {}, {" 3  on   进水泵"}, {"UTF-8"}, {}, {}, {}, {}, Names::utf8},
    {"names CH NAME converts a UTF-8 name file first", {}, {"names", "4", "出水阀"}, 0,
     {}, {}, {}, {"已把它转换为 GBK"}, {}, {}, 0, {}, Names::utf8, "进水泵"},
};
// clang-format on

void PrintTo(const CtlCase& c, std::ostream* out) {
    *out << c.what;
}

class CtlTest : public ::testing::TestWithParam<CtlCase> {
  protected:
    static void SetUpTestSuite() {
        dir_ = test::program_copy(QStringLiteral(TARNWICK_CTL));
        ASSERT_TRUE(dir_);
    }
    static void TearDownTestSuite() { dir_.reset(); }

    static QString name_file() { return dir_->filePath("name.txt"); }

    Outcome run(const QStringList& args, BoardSim& board, const CtlCase& c) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("TARNWICK_COM1", QString::fromStdString(board.path()));
        env.insert("XDG_CONFIG_HOME", dir_->filePath("config"));
        QProcess ctl;
        QProcess head;
        ctl.setProcessEnvironment(env);
        if (c.reader_lines) ctl.setStandardOutputProcess(&head);
        ctl.start(dir_->filePath("tarnwick-ctl"), args);
        EXPECT_TRUE(ctl.waitForStarted());
        if (c.reader_lines) {
            head.start(QStringLiteral("head"),
                       {QStringLiteral("-n"), QString::number(*c.reader_lines)});
            EXPECT_TRUE(head.waitForStarted());
        }
        QProcess& reader = c.reader_lines ? head : ctl;
        Outcome result;
        QByteArray pending;
        const auto take_lines = [&] {
            pending += reader.readAllStandardOutput();
            for (qsizetype end; (end = pending.indexOf('\n')) >= 0;) {
                result.out << QString::fromUtf8(pending.left(end));
                pending.remove(0, end + 1);
                if (c.reader_lines && result.out.size() == *c.reader_lines)
                    head.waitForFinished(1000);
                if (c.on_line) c.on_line(board, ctl, static_cast<int>(result.out.size()));
            }
        };
        QElapsedTimer clock;
        clock.start();
        std::optional<qint64> reader_gone_at;
        bool board_gone = false;
        while (ctl.state() != QProcess::NotRunning && clock.elapsed() < run_timeout_ms) {
            if (c.board_gone_ms && !board_gone && clock.elapsed() >= *c.board_gone_ms) {
                board.kill(SIGKILL);
                board_gone = true;
            }
            if (c.reader_lines && !reader_gone_at && head.state() == QProcess::NotRunning)
                reader_gone_at = clock.elapsed();
            if (reader.state() == QProcess::NotRunning)
                ctl.waitForFinished(50);
            else
                reader.waitForReadyRead(50);
            take_lines();
        }
        if (reader_gone_at && ctl.state() == QProcess::NotRunning) {
            // Measured here at the test's own 50 ms steps: an upper bound.
            std::printf("[ figure ] the reader gone, tarnwick-ctl ended within %lld ms\n",
                        static_cast<long long>(clock.elapsed() - *reader_gone_at));
        }
        if (!ctl.waitForFinished(1000)) ctl.kill();
        ctl.waitForFinished(1000);
        take_lines();
        result.err = QString::fromUtf8(ctl.readAllStandardError());
        if (ctl.exitStatus() == QProcess::NormalExit) result.exit = ctl.exitCode();
        return result;
    }

    static std::unique_ptr<QTemporaryDir> dir_;
};

std::unique_ptr<QTemporaryDir> CtlTest::dir_;

TEST_P(CtlTest, CommandOnTheWire) {
    const CtlCase& c = GetParam();
    std::vector<std::string> board_args{"--report-frames"};
    board_args.insert(board_args.end(), c.board.begin(), c.board.end());
    BoardSim board(board_args);
    const std::optional<std::uint16_t> start = board.last_relays();

    QFile::remove(name_file());
    names::test::SilentMessages silent;
    names::NameFile panel_names(dir_->path().toStdString(), silent);
    if (c.names == Names::stored) {
        (void)panel_names.load_title();
        ASSERT_EQ(panel_names.set_channel_name("1", "3", "进水泵"), names::WriteError::none);
    }
    QByteArray before;
    if (c.names == Names::utf8) {
        (void)panel_names.load_title();
        ASSERT_EQ(panel_names.set_channel_name("1", "3", "进水泵"), names::WriteError::none);
        QFile file(name_file());
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        before = QByteArray::fromStdString(names::gbk_to_utf8(file.readAll().toStdString()));
        file.close();
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(before);
    }
    link::QtSerialPort holder;
    if (c.hold_port == Hold::panel) {
        ASSERT_FALSE(holder.open(QString::fromStdString(board.path())));
    }
    QProcess holder_watch;
    QString holder_pid;
    if (c.hold_port == Hold::watch) {
        holder_watch.start(dir_->filePath("tarnwick-ctl"),
                           {"-p", QString::fromStdString(board.path()), "watch"});
        // Its first line: the port is open and the board answered.
        ASSERT_TRUE(holder_watch.waitForReadyRead(run_timeout_ms));
        holder_pid = QString::number(holder_watch.processId());
    }

    QStringList args = c.args;
    args.replaceInStrings(QStringLiteral("{port}"), QString::fromStdString(board.path()));
    const Outcome result = run(args, board, c);
    holder_watch.kill();
    holder_watch.waitForFinished(1000);
    const QString said = result.out.join('\n') + "\n--- stderr:\n" + result.err;
    EXPECT_EQ(result.exit, c.exit) << said.toStdString();

    // What went out: the example frames in order, then only queries; nothing
    // at all from a command line that was refused.
    const std::vector<BoardSim::Frame> frames = board.frames();
    if (c.exit == 2) {
        EXPECT_TRUE(frames.empty()) << frames.size() << " frames sent";
    }
    for (std::size_t i = 0; i < frames.size(); ++i) {
        if (c.scanned) {
            ASSERT_EQ(frames.size(),
                      static_cast<std::size_t>(c.scanned->second - c.scanned->first + 1));
            EXPECT_EQ(frames[i],
                      protocol::encode_command(static_cast<std::uint8_t>(c.scanned->first + i),
                                               {protocol::cmd_query, 0, 0}))
                << "frame " << i;
        } else if (i < c.frames.size()) {
            EXPECT_EQ(frames[i], expected_frame(c.frames[i])) << c.frames[i];
        } else if (!c.frames.empty()) {
            const std::uint8_t address = expected_frame(c.frames.back())[1];
            EXPECT_EQ(frames[i], protocol::encode_command(address, {protocol::cmd_query, 0, 0}))
                << "frame " << i << " after the expected ones";
        }
    }
    EXPECT_GE(frames.size(), c.frames.size());
    if (c.relays) {
        EXPECT_EQ(board.last_relays(), c.relays);
    }
    if (c.exit == 2) {
        EXPECT_EQ(board.last_relays(), start) << "a refused command switched something";
    }

    for (const QString& part : c.out)
        EXPECT_TRUE(result.out.join('\n').contains(part)) << part.toStdString() << "\n"
                                                          << said.toStdString();
    for (QString part : c.err) {
        part.replace(QStringLiteral("{port}"), QString::fromStdString(board.path()));
        part.replace(QStringLiteral("{holder}"), holder_pid);
        EXPECT_TRUE(result.err.contains(part)) << part.toStdString() << "\n" << said.toStdString();
    }
    // A shell user is pointed at options and commands, not at the panel's
    // menus, and a wait below a second is not "0 秒".
    for (const char* panel_only : {"右键菜单", "选择设备…", "查找模块…", " 0 秒"}) {
        EXPECT_FALSE(said.contains(QString::fromUtf8(panel_only))) << panel_only << "\n"
                                                                   << said.toStdString();
    }
    if (c.json_relays) {
        ASSERT_FALSE(result.out.isEmpty());
        EXPECT_EQ(json_pattern(result.out.back()), c.json_relays) << said.toStdString();
    }
    if (c.lines) {
        EXPECT_EQ(result.out.size(), *c.lines) << said.toStdString();
    }
    if (c.name_after) {
        if (c.name_after->empty())
            EXPECT_FALSE(QFile::exists(name_file())) << "the file was created";
        else
            EXPECT_EQ(panel_names.channel_name("1", "3"), *c.name_after);
    } else if (c.names == Names::none) {
        EXPECT_FALSE(QFile::exists(name_file())) << "a read created the name file";
    } else if (c.names == Names::utf8) {
        QFile file(name_file());
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        EXPECT_EQ(file.readAll(), before) << "a read rewrote the name file";
        EXPECT_FALSE(QFile::exists(name_file() + ".utf8")) << "a read made a backup";
    }
    QFile::remove(name_file() + ".utf8");
}

// The service's configuration puts relays 1 and 2 of board 1 in one group:
// tarnwick-ctl, driving that line itself, keeps it.
TEST_F(CtlTest, TheServicesInterlocksHoldOnALineDrivenDirectly) {
    struct Row {
        const char* what;
        std::vector<std::string> board;
        QStringList args;
        int exit;
        std::uint16_t relays;
        const char* err;
    };
    const Row rows[] = {
        {"on 2 releases 1 first", {"--relays", "0x0001"}, {"on", "2"}, 0, 0x0002, ""},
        {"1 never lets go",
         {"--relays", "0x0001", "--stuck"},
         {"on", "2"},
         5,
         0x0001,
         "同组的第 1 路在 1 秒内没有断开"},
        {"all on is refused", {}, {"all-on"}, 5, 0x0000, "不能全部吸合"},
    };
    const QString config = dir_->filePath("tarnwickd.conf");
    qputenv("TARNWICK_SERVICE_CONFIG", config.toUtf8());
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        BoardSim board(row.board);
        QFile file(config);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(QString("[line t]\ndevice=%1\n[board t 1]\ninterlock=1,2\n")
                       .arg(QString::fromStdString(board.path()))
                       .toUtf8());
        file.close();
        const Outcome result = run(row.args, board, CtlCase{row.what, {}, {}, 0});
        EXPECT_EQ(result.exit, row.exit) << result.err.toStdString();
        EXPECT_TRUE(result.err.contains(row.err)) << result.err.toStdString();
        EXPECT_TRUE(board.wait_for_relays(1, row.relays, std::chrono::milliseconds(500)) ||
                    board.last_relays() == row.relays);
    }
    qunsetenv("TARNWICK_SERVICE_CONFIG");
}

INSTANTIATE_TEST_SUITE_P(Ctl, CtlTest, ::testing::ValuesIn(cases),
                         [](const ::testing::TestParamInfo<CtlCase>& info) {
                             std::string name = std::to_string(info.index) + "_";
                             for (const char* p = info.param.what; *p; ++p)
                                 name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
                             return name;
                         });

}  // namespace

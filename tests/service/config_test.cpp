#include "config/config.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QTemporaryDir>
#include <cstdlib>
#include <fstream>
#include <string>

#include "service/state_file.h"

namespace tarnwick::config {
namespace {

// Each bad file against the start of the one sentence that refuses it: the
// file and line, the section, the key, then why.
struct Bad {
    std::string_view text;  // may hold a NUL
    const char* problem;
};

class BadConfig : public ::testing::TestWithParam<Bad> {};

TEST_P(BadConfig, IsRefusedWithThePlace) {
    const auto result = parse_config(GetParam().text, "t.conf");
    EXPECT_FALSE(result.config);
    EXPECT_EQ(result.problem.substr(0, std::string(GetParam().problem).size()), GetParam().problem)
        << result.problem;
}

INSTANTIATE_TEST_SUITE_P(
    Files, BadConfig,
    ::testing::Values(
        Bad{"", "t.conf:1: no [line NAME] section"},
        Bad{"device=/dev/null\n", "t.conf:1: device: a key before any section"},
        Bad{"[line a]\ndevice=/dev/null\nspeed=9600\n", "t.conf:3: [line a] speed: unknown key"},
        Bad{"[line a]\ndevice=/dev/null\ndevice=/dev/zero\n",
            "t.conf:3: [line a] device: given twice"},
        Bad{"[line a]\nboards=1\n", "t.conf:1: [line a] device: missing"},
        Bad{"[line a]\ndevice=dev/ttyUSB0\n", "t.conf:2: [line a] device: give the device's"},
        Bad{"[line a]\ndevice=/dev/null\n[line a]\ndevice=/dev/zero\n",
            "t.conf:3: [line a]: the line \"a\" is configured twice"},
        Bad{"[line a]\ndevice=/dev/null\n[line b]\ndevice=/dev/../dev/null\n",
            "t.conf:3: [line b] device: /dev/../dev/null is the device of the line a too"},
        Bad{"[line a b]\ndevice=/dev/null\n", "t.conf:1: [line a b]: the line's name \"a b\""},
        Bad{"[line]\n", "t.conf:1: [line]: a line needs a name"},
        Bad{"[lines a]\n", "t.conf:1: [lines a]: unknown section"},
        Bad{"[line a\n", "t.conf:1: a section header ends with ']'"},
        Bad{"[line a]\ndevice /dev/null\n", "t.conf:2: [line a]: \"device /dev/null\" is neither"},
        Bad{"[line a]\ndevice=/dev/null\nboards=1,300\n",
            "t.conf:3: [line a] boards: \"1,300\": \"300\" goes beyond 255"},
        Bad{"[line a]\ndevice=/dev/null\nboards=1,1\n",
            "t.conf:3: [line a] boards: \"1,1\": address 1 is given twice"},
        Bad{"[line a]\ndevice=/dev/null\npace=fast\n", "t.conf:3: [line a] pace: \"fast\""},
        Bad{"[line a]\ndevice=/dev/null\nread-only=maybe\n", "t.conf:3: [line a] read-only:"},
        Bad{"[line a]\ndevice=/dev/null\nmqtt=host:70000\n",
            "t.conf:1: [line a] mqtt: \"host:70000\": the port must be a number 1..65535"},
        Bad{"[line a]\ndevice=/dev/null\nusername=u\n", "t.conf:1: [line a] mqtt: missing"},
        Bad{"[line a]\ndevice=/dev/null\nmqtt=h\npassword-file=/nonexistent/pw\n",
            "t.conf:1: [line a] password-file: cannot read the password file /nonexistent/pw"},
        Bad{"[line a]\ndevice=/dev/null\nmqtt=h\ntls-ca=/nonexistent/ca\n",
            "t.conf:1: [line a]: cannot read the CA file /nonexistent/ca"},
        Bad{"[line a]\ndevice=/dev/null\nboards=7\n[board b 7]\n",
            "t.conf:4: [board b 7]: there is no [line b]"},
        Bad{"[line a]\ndevice=/dev/null\nboards=7\n[board a 8]\n",
            "t.conf:4: [board a 8]: board 8 is not in the boards=7 of its line"},
        Bad{"[board a 256]\n", "t.conf:1: [board a 256]: write a board's section as"},
        Bad{"[line a]\ndevice=/dev/null\n[board a 1]\n[board a 1]\n",
            "t.conf:4: [board a 1]: this board is configured twice"},
        Bad{"[line a]\ndevice=/dev/null\n[board a 1]\npulse.17=1\n",
            "t.conf:4: [board a 1] pulse.17: unknown key"},
        Bad{"[line a]\ndevice=/dev/null\n[board a 1]\npulse.1=0.05\n",
            "t.conf:4: [board a 1] pulse.1: \"0.05\" is no time of 0.1 ... 86400 seconds"},
        Bad{"[line a]\ndevice=/dev/null\n[board a 1]\npulse.1=1e3\n",
            "t.conf:4: [board a 1] pulse.1: \"1e3\""},
        Bad{"[line a]\ndevice=/dev/null\n[board a 1]\ninterlock=1,2 2,3\n",
            "t.conf:4: [board a 1] interlock: relay 2 is in two groups"},
        Bad{"[line a]\ndevice=/dev/null\n[board a 1]\ninterlock=1,17\n",
            "t.conf:4: [board a 1] interlock: \"17\" is no relay 1..16"},
        Bad{"[line a]\ndevice=/dev/null\n[board a 1]\ninterlock=1\n",
            "t.conf:4: [board a 1] interlock: the group \"1\" needs two relays"},
        Bad{"[line a]\ndevice=/dev/null\n[board a 1]\ninterlock-wait=11\n",
            "t.conf:4: [board a 1] interlock-wait:"},
        Bad{"[line a]\ndevice=/dev/null\n[board a 1]\npower-on=sometimes\n",
            "t.conf:4: [board a 1] power-on: \"sometimes\""},
        Bad{"[line a]\ndevice=/dev/null\n[board a 1]\ninterlock=1,2\npulse.1=2\npower-on=on\n",
            "t.conf:3: [board a 1] pulse.1: relay 1 is interlocked, pulsed and switched on"},
        Bad{"[line a]\ndevice=/dev/null\n[board a 1]\ninterlock=1,2\npower-on.1=on\n"
            "power-on.2=on\n",
            "t.conf:3: [board a 1] power-on: relays 1 and 2 are interlocked and both"},
        Bad{"[line a]\ndevice=/dev/null\n[board a 1]\nbaud=9600\n",
            "t.conf:4: [board a 1] baud: unknown key"},
        Bad{"[line a]\ndevice=/dev/null\n[board a 1]\npulse.1=1\npulse.01=2\n",
            "t.conf:5: [board a 1] pulse.01: write the relay as 1..16, without sign or leading "
            "zero: pulse.1"},
        Bad{"[line a]\ndevice=/dev/null\n[board a 1]\npulse.+1=1\n",
            "t.conf:4: [board a 1] pulse.+1: write the relay as"},
        Bad{"[line a]\ndevice=/dev/null\n[board a 1]\npower-on.07=on\n",
            "t.conf:4: [board a 1] power-on.07: write the relay as"},
        // Modbus RTU: standard rates only, 8 data bits with none/even/odd
        // parity, 1 or 2 stop bits; unit 0 is the broadcast, 248..255 reserved.
        Bad{"[line a]\ndevice=/dev/null\nprotocol=rtu\n",
            "t.conf:3: [line a] protocol: \"rtu\" is neither native nor modbus"},
        Bad{"[line a]\ndevice=/dev/null\nprotocol=modbus\nbaud=9601\n",
            "t.conf:4: [line a] baud: \"9601\" is none of 1200, 2400, 4800, 9600, 19200, 38400, "
            "57600 and 115200"},
        Bad{"[line a]\ndevice=/dev/null\nprotocol=modbus\nbaud=230400\n",
            "t.conf:4: [line a] baud: \"230400\" is none of"},
        Bad{"[line a]\ndevice=/dev/null\nprotocol=modbus\nbaud=600\n",
            "t.conf:4: [line a] baud: \"600\" is none of"},
        Bad{"[line a]\ndevice=/dev/null\nprotocol=modbus\nparity=mark\n",
            "t.conf:4: [line a] parity: \"mark\" is none of none, even and odd"},
        Bad{"[line a]\ndevice=/dev/null\nprotocol=modbus\nstop-bits=1.5\n",
            "t.conf:4: [line a] stop-bits: \"1.5\" is neither 1 nor 2"},
        Bad{"[line a]\ndevice=/dev/null\nprotocol=modbus\nstop-bits=0\n",
            "t.conf:4: [line a] stop-bits: \"0\" is neither 1 nor 2"},
        Bad{"[line a]\ndevice=/dev/null\nprotocol=modbus\ninputs=17\n",
            "t.conf:4: [line a] inputs: \"17\" is no number of inputs 0..16"},
        Bad{"[line a]\ndevice=/dev/null\nprotocol=modbus\ninputs=-1\n",
            "t.conf:4: [line a] inputs: \"-1\" is no number of inputs 0..16"},
        Bad{"[line a]\ndevice=/dev/null\nbaud=9600\n",
            "t.conf:3: [line a] baud: only on a Modbus line (protocol=modbus); native boards run "
            "at 9600 baud, 8N1, without inputs"},
        Bad{"[line a]\ndevice=/dev/null\ninputs=4\nprotocol=native\n",
            "t.conf:3: [line a] inputs: only on a Modbus line"},
        Bad{"[line a]\ndevice=/dev/null\nparity=even\n", "t.conf:3: [line a] parity: only on"},
        Bad{"[line a]\ndevice=/dev/null\nstop-bits=2\n", "t.conf:3: [line a] stop-bits: only on"},
        Bad{"[line a]\ndevice=/dev/null\nboards=0-3\nprotocol=modbus\n",
            "t.conf:3: [line a] boards: address 0 is the broadcast of a Modbus line; units are "
            "1..247"},
        Bad{"[line a]\ndevice=/dev/null\nprotocol=modbus\nboards=1,248\n",
            "t.conf:4: [line a] boards: address 248 is past 247, the last unit of a Modbus line"},
        Bad{"[line a]\ndevice=/dev/null\nprotocol=modbus\nprotocol=modbus\n",
            "t.conf:4: [line a] protocol: given twice"},
        Bad{std::string_view("[line a]\ndevice=/dev/ttyUSB0\0/etc/shadow\n", 41),
            "t.conf:2: [line a]: the line holds the control character 0x00"},
        Bad{"[line a]\ndevice=/dev/null\x1b[2J\n",
            "t.conf:2: [line a]: the line holds the control character 0x1B"},
        Bad{"[line "
            "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa"
            "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa"
            "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa"
            "]\ndevice=/dev/null\n",
            "t.conf:1: [line aaaa"},
        // Schedules and scenes: the line, board, relay and scene must exist.
        Bad{"[line a]\ndevice=/dev/null\nboards=7\n[scene s]\nb/7/1=on\n",
            "t.conf:5: [scene s] b/7: there is no [line b]"},
        Bad{"[line a]\ndevice=/dev/null\nboards=7\n[scene s]\na/8/1=on\n",
            "t.conf:5: [scene s] a/8: board 8 is not in the boards=7 of the line a"},
        Bad{"[line a]\ndevice=/dev/null\n[scene s]\na/1/17=on\n",
            "t.conf:4: [scene s] a/1/17: unknown key; write relays as LINE/ADDRESS/RELAY"},
        Bad{"[line a]\ndevice=/dev/null\n[scene s]\na/1/6-2=on\n",
            "t.conf:4: [scene s] a/1/6-2: unknown key"},
        Bad{"[line a]\ndevice=/dev/null\n[scene s]\na/1/1=yes\n",
            "t.conf:4: [scene s] a/1/1: \"yes\" is neither on nor off"},
        Bad{"[line a]\ndevice=/dev/null\n[scene s]\na/1/2-4=on\na/1/3=off\n",
            "t.conf:5: [scene s] a/1/3: relay 3 of a/1 is in this scene twice"},
        Bad{"[line a]\ndevice=/dev/null\n[scene s]\n[scene s]\n",
            "t.conf:4: [scene s]: this scene is configured twice"},
        Bad{"[line a]\ndevice=/dev/null\n[schedule e]\nscene=none\nat=06:00\n",
            "t.conf:4: [schedule e] scene: there is no [scene none]"},
        Bad{"[line a]\ndevice=/dev/null\n[schedule w]\nrelays=a/1/1\non=06:00\noff=06:00\n",
            "t.conf:6: [schedule w] off: the same time as on="},
        Bad{"[line a]\ndevice=/dev/null\n[schedule w]\nrelays=a/1/1\non=06:00\n",
            "t.conf:3: [schedule w] off: missing; a window needs relays, on and off"},
        Bad{"[line a]\ndevice=/dev/null\n[schedule w]\nrelays=a/1/1\non=6\n",
            "t.conf:5: [schedule w] on: \"6\" is no time of day"},
        Bad{"[line a]\ndevice=/dev/null\n[schedule w]\nrelays=a/1/1\non=24:00\n",
            "t.conf:5: [schedule w] on: \"24:00\" is no time of day"},
        Bad{"[line a]\ndevice=/dev/null\n[schedule w]\nrelays=a/1/1\non=01:00\noff=02:00\n"
            "days=mon-xyz\n",
            "t.conf:7: [schedule w] days: \"mon-xyz\" is no list of days"},
        Bad{"[line a]\ndevice=/dev/null\n[schedule w]\nrelays=a/1/1\non=01:00\noff=02:00\n"
            "from=2026-02-30\n",
            "t.conf:7: [schedule w] from: \"2026-02-30\" is no date"},
        Bad{"[line a]\ndevice=/dev/null\n[schedule w]\nrelays=a/1/1\non=01:00\noff=02:00\n"
            "from=2026-05-01\nuntil=2026-04-01\n",
            "t.conf:8: [schedule w] until: before from="},
        Bad{"[line a]\ndevice=/dev/null\n[scene s]\na/1/1=on\n[schedule w]\nrelays=a/1/1\n"
            "scene=s\n",
            "t.conf:5: [schedule w]: give either relays, on and off (a window) or scene and at"},
        Bad{"[line a]\ndevice=/dev/null\n[schedule w]\nrelays=a/1/1,a/1/1-2\n",
            "t.conf:4: [schedule w] relays: relay 1 of a/1 is in this schedule twice"},
        Bad{"[line a]\ndevice=/dev/null\n[schedule v]\nrelays=a/1/1-3\non=01:00\noff=02:00\n"
            "[schedule w]\nrelays=a/1/3\non=03:00\noff=04:00\n",
            "t.conf:8: [schedule w] relays: relay 3 of a/1 is in the window of [schedule v] too"},
        Bad{"[line a]\ndevice=/dev/null\n[board a 1]\npulse.2=1\n[schedule w]\n"
            "relays=a/1/2\non=01:00\noff=02:00\n",
            "t.conf:6: [schedule w] relays: relay 2 of a/1 has pulse.2"},
        Bad{"[line a]\ndevice=/dev/null\n[schedule w]\nrelays=a/1/1\non=sunset\n"
            "off=23:00\n",
            "t.conf:5: [schedule w] on: sunrise and sunset need the site"},
        Bad{"[line a]\ndevice=/dev/null\n[site]\nlatitude=91\n",
            "t.conf:4: [site] latitude: \"91\" is no latitude of -90 ... 90 degrees"},
        Bad{"[line a]\ndevice=/dev/null\n[site]\nlatitude=52.5\n",
            "t.conf:3: [site] longitude: missing"},
        Bad{"[line a]\ndevice=/dev/null\n[site]\nlatitude=1\nlongitude=2\n[site]\n",
            "t.conf:6: [site]: the site is configured twice"},
        Bad{"[line a]\ndevice=/dev/null\n[schedule a b]\n",
            "t.conf:3: [schedule a b]: the schedule's name \"a b\""}));

TEST(Config, ReadsEveryKeyOfTheExample) {
    // The CA file must hold a certificate: one as openssl makes it.
    QTemporaryDir dir;
    const std::string ca = dir.filePath("ca.crt").toStdString();
    const std::string make_ca =
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout " +
        dir.filePath("ca.key").toStdString() + " -out " + ca +
        " -days 2 -subj /CN=test 2>/dev/null";
    ASSERT_EQ(std::system(make_ca.c_str()), 0);
    const auto result = parse_config(
        "; the cabinet\n"
        "[line cabinet-3]\n"
        "device=/dev/null\n"
        "boards=1,7,20-23\n"
        "pace=answer          ; next frame once the answer is in\n"
        "                     ; and the silence after it\n"
        "mqtt=broker.example\n"
        "username=cabinet-3\n"
        "tls-ca=" +
            ca +
            "\n"
            "read-only=true\n"
            "[line b]\n"
            "device=/dev/tarnwick-not-here\n"
            "[board cabinet-3 7]\n"
            "pulse.5=1.5\n"
            "interlock=1,2 3,4,6\n"
            "interlock-wait=0.2\n"
            "power-on.9=last\n"
            "power-on=off\n",
        "t.conf");
    ASSERT_TRUE(result.config) << result.problem;
    const Config& c = *result.config;
    ASSERT_EQ(c.lines.size(), 2u);
    const LineConfig& a = c.lines[0];
    EXPECT_EQ(a.name, "cabinet-3");
    EXPECT_EQ(a.boards, (std::vector<std::uint8_t>{1, 7, 20, 21, 22, 23}));
    EXPECT_EQ(a.pace, Pace::answer);
    EXPECT_TRUE(a.read_only);
    ASSERT_TRUE(a.mqtt);
    EXPECT_EQ(a.mqtt->broker, (mqtt::BrokerAddress{"broker.example", 8883}));  // TLS: 8883
    EXPECT_EQ(a.mqtt->node, "cabinet-3");
    EXPECT_EQ(a.mqtt->username, "cabinet-3");
    EXPECT_EQ(c.lines[1].boards, (std::vector<std::uint8_t>{1}));
    EXPECT_EQ(c.lines[1].pace, Pace::tick);
    EXPECT_FALSE(c.lines[1].mqtt);
    ASSERT_EQ(c.boards.size(), 1u);
    const BoardConfig& b = c.boards[0];
    EXPECT_EQ(b.address, 7);
    EXPECT_EQ(b.pulse_ms[4], 1500);
    EXPECT_EQ(b.interlock, (std::vector<std::vector<int>>{{1, 2}, {3, 4, 6}}));
    EXPECT_EQ(b.interlock_wait_ms, 200);
    EXPECT_EQ(b.power_on[8], PowerOn::last);  // power-on.9 stands, before power-on= or after
    EXPECT_EQ(b.power_on[0], PowerOn::off);
    ASSERT_EQ(c.warnings.size(), 1u);
    EXPECT_EQ(c.warnings[0],
              "t.conf:11: [line b] device: /dev/tarnwick-not-here does not exist; the line "
              "waits for it");
}

// Scenes one entry per board, in order; a window's relays left to it at
// power-on, with a warning where the board said otherwise.
TEST(Config, ReadsSchedulesAndScenes) {
    const auto result = parse_config(
        "[line cabinet-3]\ndevice=/dev/null\nboards=7,9\n"
        "[board cabinet-3 7]\npower-on=on\n"
        "[site]\nlatitude=52.52\nlongitude=-13.4\n"
        "[scene evening]\ncabinet-3/7/1=on\ncabinet-3/9/16=on\ncabinet-3/7/2-6=off\n"
        "[schedule pump]\nrelays=cabinet-3/7/3,cabinet-3/7/4\non=06:00\noff=06:10:30\n"
        "days=mon-fri\nfrom=2026-04-01\nuntil=2026-10-31\n"
        "[schedule lights]\nscene=evening\nat=sunset+00:30\n",
        "t.conf");
    ASSERT_TRUE(result.config) << result.problem;
    const Config& c = *result.config;
    ASSERT_EQ(c.scenes.size(), 1U);
    EXPECT_EQ(c.scenes[0].boards, (std::vector<BoardRelays>{{"cabinet-3", 7, 0x003f, 0x0001},
                                                            {"cabinet-3", 9, 0x8000, 0x8000}}));
    ASSERT_EQ(c.schedules.size(), 2U);
    const ScheduleConfig& pump = c.schedules[0];
    EXPECT_TRUE(pump.window());
    EXPECT_EQ(pump.relays, (std::vector<BoardRelays>{{"cabinet-3", 7, 0x000c, 0}}));
    EXPECT_EQ(pump.timing.on.seconds, 6 * 3600);
    EXPECT_EQ(pump.timing.off->seconds, 6 * 3600 + 630);
    EXPECT_EQ(pump.timing.days, 0x1f);
    EXPECT_EQ(pump.timing.from, (service::when::Date{2026, 4, 1}));
    ASSERT_TRUE(pump.timing.site);
    EXPECT_DOUBLE_EQ(pump.timing.site->longitude, -13.4);
    const ScheduleConfig& lights = c.schedules[1];
    EXPECT_FALSE(lights.window());
    EXPECT_EQ(lights.scene, "evening");
    EXPECT_EQ(lights.timing.on.kind, service::when::Moment::Kind::sunset);
    EXPECT_EQ(lights.timing.on.seconds, 1800);
    const auto& rules = c.lines[0].rules.at(7);
    EXPECT_EQ(rules.power_on[2], PowerOn::keep);
    EXPECT_EQ(rules.power_on[3], PowerOn::keep);
    EXPECT_EQ(rules.power_on[4], PowerOn::on);
    ASSERT_EQ(c.warnings.size(), 2U);
    EXPECT_NE(c.warnings[0].find("power-on.3: the relay is in [schedule pump]"), std::string::npos)
        << c.warnings[0];
}

// A Modbus line takes its serial settings; any it leaves out are 9600 8N1
// without inputs. Units 1 and 247 are the first and the last.
TEST(Config, ReadsAModbusLine) {
    struct Row {
        const char* keys;
        protocol::LineSettings settings;
    };
    using protocol::Parity;
    using protocol::Protocol;
    const Row rows[] = {
        {"protocol=modbus\nbaud=19200\nparity=even\nstop-bits=2\ninputs=8\n",
         {Protocol::modbus, 19200, Parity::even, 2, 8}},
        {"inputs=16\nparity=odd\nbaud=115200\nprotocol=modbus\n",
         {Protocol::modbus, 115200, Parity::odd, 1, 16}},
        {"protocol=modbus\nbaud=1200\nparity=none\ninputs=0\nstop-bits=1\n",
         {Protocol::modbus, 1200, Parity::none, 1, 0}},
        {"protocol=modbus\n", {Protocol::modbus, 9600, Parity::none, 1, 0}},
        {"protocol=native\n", {}},
        {"", {}},
    };
    for (const Row& row : rows) {
        const auto result = parse_config(
            std::string("[line a]\ndevice=/dev/null\nboards=1,247\n") + row.keys, "t.conf");
        ASSERT_TRUE(result.config) << row.keys << result.problem;
        EXPECT_EQ(result.config->lines[0].settings, row.settings) << row.keys;
        EXPECT_EQ(result.config->lines[0].boards, (std::vector<std::uint8_t>{1, 247}));
    }
}

// Windows editors start a UTF-8 file with a byte order mark.
TEST(Config, ByteOrderMarkIsNoText) {
    const auto result = parse_config("\xEF\xBB\xBF[line a]\ndevice=/dev/null\n", "t.conf");
    ASSERT_TRUE(result.config) << result.problem;
    EXPECT_EQ(result.config->lines.at(0).name, "a");
}

// The names earlier versions gave the files (percent-encoding as RFC 3986,
// as Python's urllib.parse.quote(name, safe='') writes it): an upgrade finds
// what the last run kept.
TEST(Config, StateFileNamesAsBefore) {
    EXPECT_EQ(state_file_name("cabinet-3"), "line-cabinet-3.state");
    EXPECT_EQ(state_file_name("a_b~c.d"), "line-a_b~c.d.state");
    EXPECT_EQ(state_file_name("a b/ü"), "line-a%20b%2F%C3%BC.state");
}

// The line's state file as earlier versions wrote it (Qt's INI layout) is
// read; anything else is not a state file, and the line it fails on is said.
TEST(StateFile, ReadsWhatEarlierVersionsWroteAndNothingElse) {
    struct Row {
        const char* text;
        int bad_line;  // 0: read
        const char* section;
        const char* key;
        std::int64_t value;
    };
    const Row rows[] = {
        {"[board-7]\nrelays=5\npulse-deadline.3=1765262049000\n", 0, "board-7", "pulse-deadline.3",
         1765262049000},
        {"[board-1]\r\nrelays=65535\r\n\r\n[board-2]\r\nrelays=0\r\n", 0, "board-1", "relays",
         65535},
        {"", 0, nullptr, nullptr, 0},
        {"relays=5\n", 1, nullptr, nullptr, 0},
        {"[board-7]\nrelays=-5\n", 2, nullptr, nullptr, 0},
        {"[board-7]\nrelays=0x10\n", 2, nullptr, nullptr, 0},
        {"[board-7]\nrelays=9223372036854775808\n", 2, nullptr, nullptr, 0},
        {"[board-7]\n=5\n", 2, nullptr, nullptr, 0},
        {"[board-7]\nrelays 5\n", 2, nullptr, nullptr, 0},
        {"[]\n", 1, nullptr, nullptr, 0},
    };
    for (const Row& row : rows) {
        int bad = 0;
        const auto values = service::StateFile::parse(row.text, &bad);
        EXPECT_EQ(values.has_value(), row.bad_line == 0) << row.text;
        EXPECT_EQ(bad, row.bad_line) << row.text;
        if (values && row.section) {
            EXPECT_EQ(values->at(row.section).at(row.key), row.value);
        }
    }
}

TEST(Config, WarnsOfAPasswordFileOthersCanRead) {
    QTemporaryDir dir;
    const std::string file = dir.filePath("pw").toStdString();
    std::ofstream(file) << "secret\n";
    ::chmod(file.c_str(), 0644);
    const auto result = parse_config(
        "[line a]\ndevice=/dev/null\nmqtt=localhost:1\nusername=u\npassword-file=" + file + "\n",
        "t.conf");
    ASSERT_TRUE(result.config) << result.problem;
    EXPECT_EQ(result.config->lines[0].mqtt->password, "secret");
    ASSERT_EQ(result.config->warnings.size(), 1u);
    EXPECT_EQ(result.config->warnings[0],
              "t.conf:1: [line a] password-file: the password file " + file +
                  " can be read by every user of this machine; chmod o-r it");
}

}  // namespace
}  // namespace tarnwick::config

namespace tarnwick::config {
namespace {

// A program driving a line itself finds its boards' interlocks by the
// device, under any name of it, without reading the broker's password.
TEST(Config, RulesAreFoundByTheDeviceUnderAnyOfItsNames) {
    QTemporaryDir dir;
    const std::string base = dir.path().toStdString();
    std::ofstream(base + "/ttyUSB0") << "";
    std::ofstream(base + "/ttyUSB1") << "";
    const std::string link = base + "/usb-FTDI-if00-port0";
    ASSERT_EQ(::symlink((base + "/ttyUSB0").c_str(), link.c_str()), 0);
    std::ofstream(base + "/secret") << "pw";
    ::chmod((base + "/secret").c_str(), 0);  // nobody may read it; root still can
    std::ofstream(base + "/tarnwickd.conf")
        << "[line a]\ndevice=" << link << "\nboards=1,7\nmqtt=localhost\nusername=a\n"
        << "password-file=" << base << "/secret\n"
        << "[line b]\ndevice=" << base << "/ttyUSB1\nprotocol=modbus\ninputs=4\n"
        << "[board a 7]\ninterlock=1,2\n";
    const std::string config = base + "/tarnwickd.conf";
    struct Row {
        std::string device, config;
        std::size_t boards;
    };
    const Row rows[] = {
        {base + "/ttyUSB0", config, 1},  // the link's target
        {link, config, 1},
        {base + "/ttyUSB1", config, 0},  // a line without rules
        {base + "/ttyUSB9", config, 0},
        {link, base + "/absent.conf", 0},
        {link, base, 0},  // a directory
    };
    for (const Row& row : rows) {
        const auto rules = rules_for_device(row.device, row.config);
        EXPECT_EQ(rules.size(), row.boards) << row.device << " in " << row.config;
        EXPECT_EQ(settings_for_device(row.device, row.config).has_value(),
                  row.device != base + "/ttyUSB9" && row.config == config)
            << row.device << " in " << row.config;
        if (rules.size() == 1) {
            EXPECT_EQ(rules.at(7).groups, std::vector<std::uint16_t>{0x0003});
        }
    }
    const auto modbus = settings_for_device(base + "/ttyUSB1", config);
    ASSERT_TRUE(modbus);
    EXPECT_EQ(modbus->protocol, protocol::Protocol::modbus);
    EXPECT_EQ(modbus->inputs, 4);
    EXPECT_EQ(settings_for_device(link, config), protocol::LineSettings{});
}

}  // namespace
}  // namespace tarnwick::config

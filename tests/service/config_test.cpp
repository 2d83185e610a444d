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
            "t.conf:1: [line aaaa"}));

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

#include "panel/link_controller.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <functional>

#include "engine/board_liveness.h"
#include "protocol/modbus.h"
#include "tests/support/fake_link.h"
#include "tests/support/golden_frames.h"
#include "wire/answer_attribution.h"
#include "wire/port_choices.h"
#include "wire/port_texts.h"

namespace {

using tarnwick::link::LinkController;
using tarnwick::protocol::Frame;
using namespace tarnwick::link;
using namespace tarnwick::test;
using RS = tarnwick::link::RelayState;

// Frames of the board's documented examples (address 1).
const Frame query_1 = golden_frame("query, address 1");
const Frame energize_all_1 = golden_frame("energize all");
const Frame release_all_1 = golden_frame("release all");
const Frame release_3_1 = golden_frame("release relay 3");
const Frame energize_3_1 = golden_frame("energize relay 3");
// byte 5 = 0x01: relay 9 on; byte 6 = 0x80: relay 8 on.
const Frame status_8_9{0x22, 0x01, 0x10, 0x00, 0x00, 0x01, 0x80, 0xB4};
const Frame status_8_9_bad{0x22, 0x01, 0x10, 0x00, 0x00, 0x01, 0x80, 0xB5};
// All relays released: 22 + 01 + 10 = 0x33.
const Frame status_all_off{0x22, 0x01, 0x10, 0x00, 0x00, 0x00, 0x00, 0x33};

class LinkTest : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char* n : {"0", "1", "7", "12"})
            qunsetenv((std::string("TARNWICK_COM") + n).c_str());
    }

    FakePort port;
    FakePanel panel;
    RecordingMessages messages;
    LinkController link{port, panel, messages, LinkController::Ticks::manual};

    void open() {
        link.open_comm_Click();
        ASSERT_TRUE(port.is_open());
    }
    // Open, then let the board paint the panel with one accepted answer.
    void open_with(const Frame& status) {
        open();
        port.deliver(status);
        ASSERT_EQ(link.live_count(), 5);
    }
    std::vector<Frame> tick_and_take(int ticks = 1) {
        port.written.clear();
        for (int i = 0; i < ticks; ++i) link.Timer1_Timer();
        return port.written;
    }
};

TEST_F(LinkTest, AtStartTheTimerRunsAndFramesAreDroppedUntilOpen) {
    EXPECT_TRUE(link.timer_enabled());
    EXPECT_EQ(link.live_count(), 0);
    EXPECT_FALSE(link.pending());
    link.openall_Click();
    EXPECT_TRUE(tick_and_take().empty());
    // The command queued while closed was consumed by that tick and is lost.
    EXPECT_FALSE(link.pending());
    EXPECT_TRUE(panel.all(RS::unknown));
    open();
    EXPECT_EQ(tick_and_take(), std::vector{query_1});
}

TEST_F(LinkTest, EveryTickSendsOneFrameAndACommandReplacesExactlyOneQuery) {
    struct Case {
        const char* what;
        void (LinkController::*click)();
        Frame expected;
    } cases[] = {
        {"energize all", &LinkController::openall_Click, energize_all_1},
        {"release all", &LinkController::closeall_Click, release_all_1},
    };
    open();
    for (const auto& c : cases) {
        EXPECT_EQ(tick_and_take(), std::vector{query_1}) << c.what;
        (link.*c.click)();
        EXPECT_EQ(tick_and_take(), std::vector{c.expected}) << c.what;
        EXPECT_EQ(tick_and_take(2), (std::vector{query_1, query_1})) << c.what;
    }
}

TEST_F(LinkTest, CellClicksQueueByTheBoxColour) {
    // Relay 3 released (red) in status_all_off; relay 8 energized in status_8_9.
    struct Case {
        const char* what;
        Frame status;
        int cell;
        std::vector<Frame> expected;
    } cases[] = {
        {"red cell 3 energizes", status_all_off, 3, {energize_3_1}},
        {"green cell 8 releases",
         status_8_9,
         8,
         {{0x55, 0x01, 0x11, 0x00, 0x00, 0x00, 0x08, 0x6F}}},
        {"green cell 9 releases",
         status_8_9,
         9,
         {{0x55, 0x01, 0x11, 0x00, 0x00, 0x00, 0x09, 0x70}}},
        {"red cell 16 energizes",
         status_8_9,
         16,
         {{0x55, 0x01, 0x21, 0x00, 0x00, 0xFA, 0x10, 0x81}}},
    };
    for (const auto& c : cases) {
        if (!port.is_open()) open();
        port.deliver(c.status);
        link.Picture1_Click(c.cell);
        EXPECT_EQ(tick_and_take(), c.expected) << c.what;
        // The click itself never changes the cell; only an answer does.
        EXPECT_EQ(panel.cell_state(c.cell),
                  (c.status == status_all_off || c.cell == 16) ? RS::released : RS::energized)
            << c.what;
    }
}

TEST_F(LinkTest, StatusLabelClickActsLikeTheBox) {
    open_with(status_all_off);
    link.Label2_Click(3);
    EXPECT_EQ(tick_and_take(), std::vector{energize_3_1});
}

TEST_F(LinkTest, UnknownAndGreyCellsQueueNothing) {
    open();  // all yellow
    link.Picture1_Click(3);
    EXPECT_FALSE(link.pending());
    link.open_comm_Click();  // closed: all grey
    link.Picture1_Click(3);
    EXPECT_FALSE(link.pending());
}

TEST_F(LinkTest, TwoClicksWithinOneTickSendOnlyTheLast) {
    open_with(status_all_off);
    link.Picture1_Click(5);
    link.Picture1_Click(3);
    EXPECT_EQ(tick_and_take(), std::vector{energize_3_1});
    EXPECT_EQ(tick_and_take(), std::vector{query_1});
}

TEST_F(LinkTest, GreenCellClickedTwiceQueuesOneRelease) {
    open_with({0x22, 0x01, 0x10, 0x00, 0x00, 0x00, 0x04, 0x37});  // relay 3 on
    link.Picture1_Click(3);
    link.Picture1_Click(3);
    EXPECT_EQ(tick_and_take(2), (std::vector{release_3_1, query_1}));
}

TEST_F(LinkTest, AcceptedAnswerPaintsEveryCell) {
    open_with(status_8_9);
    for (int n = 1; n <= 16; ++n) {
        const bool on = n == 8 || n == 9;
        EXPECT_EQ(panel.states[n - 1], on ? RS::energized : RS::released) << n;
    }
}

TEST_F(LinkTest, TheSixthSilentTickMarksUnknown) {
    open_with(status_8_9);
    for (int tick = 1; tick <= 5; ++tick) {
        link.Timer1_Timer();
        EXPECT_EQ(link.live_count(), 5 - tick);
        EXPECT_EQ(panel.states[7], RS::energized) << "tick " << tick;
    }
    link.Timer1_Timer();
    EXPECT_TRUE(panel.all(RS::unknown));
    EXPECT_EQ(link.live_count(), 0);
    port.deliver(status_8_9);  // a later answer paints again
    EXPECT_EQ(panel.states[8], RS::energized);
}

TEST_F(LinkTest, RejectedAnswersChangeNothing) {
    struct Case {
        const char* what;
        std::vector<std::uint8_t> bytes;
    } cases[] = {
        {"bad checksum", {0x22, 0x01, 0x10, 0x00, 0x00, 0x01, 0x80, 0xB5}},
        {"echoed command", {0x55, 0x01, 0x10, 0x00, 0x00, 0x00, 0x00, 0x66}},
        {"garbage", {0xFF, 0x00, 0x22, 0x13, 0x37, 0x42, 0x99, 0x01}},
        {"frame shifted by one byte", {0x00, 0x22, 0x01, 0x10, 0x00, 0x00, 0x01, 0x80}},
    };
    for (const auto& c : cases) {
        open_with(status_all_off);
        link.Timer1_Timer();  // live_count 4
        port.deliver(c.bytes);
        EXPECT_EQ(link.live_count(), 4) << c.what;
        EXPECT_TRUE(panel.all(RS::released)) << c.what;
        link.open_comm_Click();
    }
}

TEST_F(LinkTest, ABoardAnsweringWithBadChecksumsTurnsUnknownAfterFiveTicks) {
    open_with(status_all_off);
    for (int tick = 1; tick <= 6; ++tick) {
        link.Timer1_Timer();
        port.deliver(status_8_9_bad);
        EXPECT_EQ(panel.all(RS::unknown), tick == 6) << "tick " << tick;
    }
}

TEST_F(LinkTest, PartialAnswerIsNotJudgedUntilEightBytesWait) {
    open();
    port.deliver({0x22, 0x01, 0x10, 0x00});
    EXPECT_EQ(link.live_count(), 0);
    port.deliver({0x00, 0x01, 0x80, 0xB4});
    EXPECT_EQ(link.live_count(), 5);
    EXPECT_EQ(panel.states[7], RS::energized);
}

TEST_F(LinkTest, BytesBeyondEightWaitUntilTheNextSendDiscardsThem) {
    open();
    std::vector<std::uint8_t> burst(status_8_9.begin(), status_8_9.end());
    burst.insert(burst.end(), {0xAA, 0xBB, 0xCC});
    port.deliver(burst);
    EXPECT_EQ(panel.states[7], RS::energized);
    EXPECT_EQ(port.input.size(), 3u);
    const int discards = port.discards;
    link.Timer1_Timer();
    EXPECT_EQ(port.discards, discards + 1);
    EXPECT_TRUE(port.input.empty());

    // On a line several boards share, every whole answer waiting counts.
    link.judge_every_waiting_answer(true);
    panel.address = "2";
    link.Timer1_Timer();
    QSignalSpy answered(&link, &LinkController::status_answered);
    burst.assign(status_8_9.begin(), status_8_9.end());
    const Frame status_2 = tarnwick::protocol::encode_status(2, 0x10, 0x0001);
    burst.insert(burst.end(), status_2.begin(), status_2.end());
    burst.insert(burst.end(), {0xAA, 0xBB, 0xCC});
    port.deliver(burst);
    ASSERT_EQ(answered.size(), 2);
    EXPECT_EQ(answered[0][1].value<Frame>(), status_8_9);
    EXPECT_EQ(answered[1][1].value<Frame>(), status_2);
    // The first answer of all came before any query.
    EXPECT_EQ(link.counters().since_open.answers_other_address, 1);
    EXPECT_EQ(port.input.size(), 3u);
}

// The operator's close keeps a queued command for the next open; a device
// that vanished takes it along: by the time it is back the command is stale.
TEST_F(LinkTest, APendingCommandSurvivesCloseAndReopenButNotAVanish) {
    struct Case {
        const char* what;
        bool vanish;
        std::vector<Frame> first_after_reopen;
    } cases[] = {
        {"operator's close", false, {energize_3_1, query_1}},
        {"device vanished", true, {query_1, query_1}},
    };
    for (const auto& c : cases) {
        open_with(status_all_off);
        link.Picture1_Click(3);
        if (c.vanish)
            port.vanish();
        else
            link.open_comm_Click();  // close
        EXPECT_FALSE(link.timer_enabled()) << c.what;
        EXPECT_EQ(link.pending(), !c.vanish) << c.what;
        EXPECT_EQ(link.live_count(), 5) << c.what;  // nothing resets on close
        open();
        EXPECT_EQ(link.live_count(), 5) << c.what;  // nor on open
        EXPECT_EQ(tick_and_take(2), c.first_after_reopen) << c.what;
        link.open_comm_Click();
    }
}

TEST_F(LinkTest, PortStatesDriveTheControlsInOrder) {
    open();
    QStringList expected_open;
    for (int n = 1; n <= 16; ++n) expected_open << QStringLiteral("cell %1").arg(n);
    expected_open << "buttons 1"
                  << "entry 0" << QStringLiteral("caption 关闭串口");
    EXPECT_EQ(panel.log, expected_open);
    EXPECT_TRUE(panel.all(RS::unknown));
    EXPECT_TRUE(link.timer_enabled());

    panel.log.clear();
    link.open_comm_Click();
    QStringList expected_closed;
    for (int n = 1; n <= 16; ++n) expected_closed << QStringLiteral("cell %1").arg(n);
    expected_closed << "buttons 0"
                    << "entry 1" << QStringLiteral("caption 打开串口");
    EXPECT_EQ(panel.log, expected_closed);
    EXPECT_TRUE(panel.all(RS::port_closed));
    EXPECT_FALSE(link.timer_enabled());
    EXPECT_FALSE(port.is_open());
}

TEST_F(LinkTest, TheAddressIsReadFromTheEntryForEveryFrame) {
    struct Case {
        const char* text;
        std::vector<Frame> expected;
    } cases[] = {
        {"0", {{0x55, 0x00, 0x10, 0x00, 0x00, 0x00, 0x00, 0x65}}},
        {"255", {{0x55, 0xFF, 0x10, 0x00, 0x00, 0x00, 0x00, 0x64}}},
        {"05", {{0x55, 0x05, 0x10, 0x00, 0x00, 0x00, 0x00, 0x6A}}},
        // Not an address 0..255: nothing goes on the wire.
        {"256", {}},
        {"-1", {}},
        {"", {}},
        {"1a", {}},
        {"1", {query_1}},
    };
    open();
    for (const auto& c : cases) {
        panel.address = c.text;
        EXPECT_EQ(tick_and_take(), c.expected) << c.text;
    }
}

// Each open takes the line its port number has in the saved choices: its
// bytes and its serial settings. On a Modbus line the address entry is the
// unit id, and no frame goes to a unit outside 1..247 (unit 0 would reach
// every board on the line).
TEST_F(LinkTest, EachOpenTakesThePortsLineAndAModbusLineOnlyItsUnits) {
    namespace modbus = tarnwick::protocol::modbus;
    using tarnwick::protocol::LineSettings;
    using tarnwick::protocol::Parity;
    using tarnwick::protocol::Protocol;
    QTemporaryDir dir;
    PortChoices choices(dir.filePath("tarnwick.conf"));
    const LineSettings even_19200{
        .protocol = Protocol::modbus, .baud = 19200, .parity = Parity::even};
    ASSERT_FALSE(choices.save_line(2, even_19200).has_value());
    link.use_port_choices(&choices);
    using Bytes = std::vector<std::uint8_t>;
    // A query, then all on, each in the line's bytes.
    const auto modbus_turns = [](std::uint8_t unit) {
        return std::vector<Bytes>{modbus::read_bits(unit, modbus::read_coils, 0, 16),
                                  modbus::write_coils(unit, 0, 16, 0xFFFF)};
    };
    const auto native_turns = [](std::uint8_t address) {
        std::vector<Bytes> turns;
        for (const auto& command :
             {tarnwick::protocol::Command{tarnwick::protocol::cmd_query, 0, 0},
              tarnwick::protocol::all_command(true)}) {
            const Frame frame = tarnwick::protocol::encode_command(address, command);
            turns.emplace_back(frame.begin(), frame.end());
        }
        return turns;
    };
    struct {
        const char* port;
        const char* address;
        std::vector<Bytes> sent;
        bool address_valid;
    } cases[] = {
        {"2", "1", modbus_turns(1), true},
        {"2", "247", modbus_turns(247), true},
        {"2", "0", {}, false},
        {"2", "248", {}, false},
        {"2", "255", {}, false},
        {"2", "x", {}, false},
        // Back on a native port, after a Modbus one: every address goes out.
        {"1", "0", native_turns(0), true},
        {"1", "255", native_turns(255), true},
    };
    for (const auto& c : cases) {
        panel.port = c.port;
        panel.address = c.address;
        open();
        const bool modbus_port = QString(c.port) == "2";
        EXPECT_EQ(port.settings().baud, modbus_port ? 19200 : 9600) << c.port;
        EXPECT_EQ(port.settings().parity, modbus_port ? Parity::even : Parity::none) << c.port;
        port.written_bytes.clear();
        link.Timer1_Timer();
        link.openall_Click();
        link.Timer1_Timer();
        EXPECT_EQ(port.written_bytes, c.sent) << c.port << " " << c.address;
        EXPECT_EQ(link.unknown_cause().address_valid, c.address_valid) << c.address;
        EXPECT_EQ(link.unknown_cause().modbus, modbus_port) << c.address;
        link.open_comm_Click();
    }
}

TEST_F(LinkTest, ThePortNumberComesFromTheEntryOnEveryOpen) {
    panel.port = "7";
    open();
    link.open_comm_Click();
    panel.port = "12";
    open();
    EXPECT_EQ(port.opened_devices, (QStringList{"/dev/ttyS6", "/dev/ttyS11"}));
}

TEST_F(LinkTest, PortTextThatIsNoNumberOpensNothing) {
    for (const char* text : {"", "abc", "-1", "256", "1.5"}) {
        panel.port = text;
        link.open_comm_Click();
        EXPECT_FALSE(port.is_open()) << text;
    }
    EXPECT_TRUE(port.opened_devices.isEmpty());
    ASSERT_EQ(messages.texts.size(), 5);
    EXPECT_TRUE(messages.texts[1].contains("abc"));
    EXPECT_TRUE(panel.all(RS::port_closed));
    EXPECT_TRUE(panel.port_entry_enabled);
}

TEST_F(LinkTest, AFailedOpenLeavesTheClosedStateAndSaysWhy) {
    struct Case {
        const char* what;
        const char* port_text;
        std::optional<PortProblem> failure;
        QStringList must_say;
    } cases[] = {
        {"missing device",
         "1",
         PortProblem{"/dev/ttyS0", PortFault::not_found, "No such file or directory"},
         {"/dev/ttyS0", "默认", "设备不存在（No such file or directory）", "选择设备…"}},
        {"busy device",
         "1",
         PortProblem{"/dev/ttyS0", PortFault::busy, {}},
         {"/dev/ttyS0", "其他程序"}},
        {"no permission",
         "1",
         PortProblem{"/dev/ttyS0", PortFault::permission, {}},
         {"/dev/ttyS0", "没有访问权限", "dialout"}},
        // A device policy (systemd's DeviceAllow=) refuses the kind of device:
        // the file's mode and the dialout group have nothing to do with it.
        {"refused by a device policy",
         "1",
         PortProblem{"/dev/ttyAMA0", PortFault::not_permitted, "Operation not permitted"},
         {"/dev/ttyAMA0", "不允许使用这类设备（Operation not permitted）", "DeviceAllow="}},
        {"not a terminal",
         "1",
         PortProblem{"/dev/ttyS0", PortFault::not_serial, "Inappropriate ioctl for device"},
         {"不是串口设备（Inappropriate ioctl for device）"}},
        // Port 0 has no default device: nothing is even tried.
        {"no device for the number", "0", std::nullopt, {"串口 0", "选择设备…", "TARNWICK_COM0"}},
    };
    for (const auto& c : cases) {
        messages.texts.clear();
        port.opened_devices.clear();
        port.next_failure = c.failure;
        panel.port = c.port_text;
        link.open_comm_Click();
        EXPECT_FALSE(port.is_open()) << c.what;
        EXPECT_EQ(port.opened_devices.size(), c.failure ? 1 : 0) << c.what;
        EXPECT_TRUE(panel.all(RS::port_closed)) << c.what;
        EXPECT_FALSE(link.timer_enabled()) << c.what;
        EXPECT_EQ(panel.port_caption, caption_open_port) << c.what;
        ASSERT_EQ(messages.texts.size(), 1) << c.what;
        for (const auto& part : c.must_say)
            EXPECT_TRUE(messages.texts[0].contains(part))
                << c.what << ": " << messages.texts[0].toStdString();
    }
}

TEST_F(LinkTest, AVanishedDeviceClosesThePortOnceAndAReopenWorks) {
    open_with(status_8_9);
    port.vanish();
    port.vanish();  // a flood of errors is reported once
    EXPECT_FALSE(port.is_open());
    EXPECT_EQ(messages.texts.size(), 1);
    EXPECT_TRUE(messages.texts[0].contains("/dev/ttyS0"));
    EXPECT_TRUE(messages.texts[0].contains("已断开"));
    EXPECT_TRUE(messages.texts[0].contains("设备已不存在（可能已拔出）（Input/output error）"));
    EXPECT_TRUE(messages.texts[0].contains("自动重新打开"));
    EXPECT_TRUE(panel.all(RS::port_closed));
    EXPECT_FALSE(link.timer_enabled());
    open();
    EXPECT_EQ(tick_and_take(), std::vector{query_1});
}

// Unknown cells while the port is open say why, from what the line did since
// the last accepted answer; the port entry adds the counts since the open.
TEST_F(LinkTest, UnknownCellsSayWhatTheLineDid) {
    const Frame echoed = query_1;
    struct Case {
        const char* what;
        std::vector<Frame> answers;        // one after each tick
        std::vector<std::uint8_t> scraps;  // arriving after the answers
        const char* address;
        QStringList reason_says;
        const char* since_open;
    } cases[] = {
        {"a silent line",
         {},
         {},
         "1",
         {"7 秒内没有收到任何字节", "接线", "9600", "查找模块…"},
         "发送 3 帧，收到 0 字节，接受 0 个应答，拒绝 0 个"},
        {"answers with bad checksums",
         {status_8_9_bad, status_8_9_bad},
         {},
         "1",
         {"收到 2 个应答，全部被拒绝", "2 个校验和错误"},
         "发送 3 帧，收到 16 字节，接受 0 个应答，拒绝 2 个（校验和错 2 个，首字节错 0 个）"},
        {"echoes of our own frames",
         {echoed, status_8_9_bad, echoed},
         {},
         "1",
         {"收到 3 个应答，全部被拒绝", "1 个校验和错误", "2 个首字节不是 0x22"},
         "发送 3 帧，收到 24 字节，接受 0 个应答，拒绝 3 个（校验和错 1 个，首字节错 2 个）"},
        {"bytes that never make a whole answer",
         {},
         {0x22, 0x01, 0x10},
         "1",
         {"收到 3 字节，但凑不成一个完整的 8 字节应答"},
         "发送 4 帧，收到 3 字节，接受 0 个应答，拒绝 0 个"},
        {"a good answer, then silence",
         {status_8_9},
         {},
         "1",
         {"没有收到任何字节（上一个有效应答之后）"},
         "发送 3 帧，收到 8 字节，接受 1 个应答，拒绝 0 个"},
        {"a board at another address answers: shown, and counted",
         {tarnwick::protocol::encode_status(7, tarnwick::protocol::cmd_query, 0x0104)},
         {},
         "1",
         {"没有收到任何字节（上一个有效应答之后）", "打开以来有 1 个应答来自其他地址"},
         "发送 3 帧，收到 8 字节，接受 1 个应答，拒绝 0 个；1 个应答来自其他地址"},
        {"an address entry without an address",
         {},
         {},
         "",
         {"模块地址“”不是 0 到 255 之间的整数"},
         "发送 0 帧，收到 0 字节，接受 0 个应答，拒绝 0 个"},
    };
    for (const auto& c : cases) {
        panel.address = c.address;
        open();
        for (int i = 0; i < 3; ++i) {
            link.Timer1_Timer();
            if (i < static_cast<int>(c.answers.size())) port.deliver(c.answers[i]);
        }
        if (!c.scraps.empty()) {
            port.deliver(c.scraps);
            link.Timer1_Timer();  // the next send drops them, counted
        }
        const LinkCounters& counters = link.counters();
        const QString reason = unknown_reason(
            counters, link.unknown_cause(), counters.since_answer.since + std::chrono::seconds(7));
        for (const auto& part : c.reason_says)
            EXPECT_TRUE(reason.contains(part)) << c.what << ": " << reason.toStdString();
        EXPECT_EQ(tally_text(counters.since_open), QString(c.since_open)) << c.what;
        link.open_comm_Click();
    }
}

// The watch for a vanished device ends when the device is back (and the port
// open again), on the operator's open click, on another port number and when
// the window closes; the operator's own close starts none.
TEST_F(LinkTest, TheReconnectWatchEndsOnEachOfItsCauses) {
    struct Case {
        const char* what;
        bool vanish;  // false: the operator closes
        std::function<void()> then;
        bool reopens;
    } cases[] = {
        {"the device comes back", true, [] {}, true},
        {"the port text keeps its number", true,
         [this] {
             panel.port = "01";
             link.port_text_changed();
         },
         true},
        {"the operator's open click", true,
         [this] {
             port.next_failure = PortProblem{"x", PortFault::not_found, {}};
             link.open_comm_Click();
             port.next_failure.reset();
         },
         false},
        {"another port number", true,
         [this] {
             panel.port = "2";
             link.port_text_changed();
         },
         false},
        {"the window closes", true, [this] { link.shutdown(); }, false},
        {"the operator closed the port", false, [] {}, false},
    };
    QTemporaryDir dir;
    const QString device = dir.filePath("ttyUSB0");
    qputenv("TARNWICK_COM1", device.toLocal8Bit());
    for (const auto& c : cases) {
        panel.port = "1";
        QFile(device).open(QIODevice::WriteOnly);
        open();
        QFile::remove(device);  // the node goes with the device
        if (c.vanish)
            port.vanish();
        else
            link.open_comm_Click();
        EXPECT_EQ(link.reconnecting(), c.vanish) << c.what;
        c.then();
        EXPECT_EQ(link.reconnecting(), c.reopens) << c.what;
        const qsizetype opens = port.opened_devices.size();
        QFile(device).open(QIODevice::WriteOnly);
        if (c.reopens) {
            // Well within the poll's second: the directory watch saw it.
            EXPECT_TRUE(QTest::qWaitFor([&] { return port.is_open(); }, 900)) << c.what;
            EXPECT_EQ(port.opened_devices.back(), device) << c.what;
            EXPECT_FALSE(link.reconnecting()) << c.what;
            EXPECT_TRUE(link.timer_enabled()) << c.what;
            EXPECT_EQ(panel.port_caption, caption_close_port) << c.what;
            link.open_comm_Click();
        } else {
            QTest::qWait(ReconnectWatch::poll_ms + 200);
            EXPECT_EQ(port.opened_devices.size(), opens) << c.what;
            EXPECT_FALSE(port.is_open()) << c.what;
        }
        QFile::remove(device);
        messages.texts.clear();
    }
    qunsetenv("TARNWICK_COM1");
}

// A scan queries each address in its own tick and finds a board under the
// address in its answer, also when it comes in a later address's tick; a
// queued command goes first and its answer finds no board; no scan answer
// paints the cells.
TEST_F(LinkTest, AScanFindsTheBoardsThatAnswerInTheirTicks) {
    struct Board {
        std::uint8_t address;
        std::uint16_t relays;
        int late_ticks = 0;  // its answer comes after this many more frames
    };
    struct Case {
        const char* what;
        std::vector<Board> boards;
        int command_at;  // the address whose turn a click comes before; -1: none
        std::vector<AddressScan::Found> found;
    } cases[] = {
        {"two boards", {{3, 0x0104}, {200, 0x8001}}, -1, {{3, 0x0104}, {200, 0x8001}}},
        {"no board", {}, -1, {}},
        {"a command in the middle", {{3, 0x0104}, {200, 0x8001}}, 3, {{3, 0x0104}, {200, 0x8001}}},
        {"boards answering one and two ticks late",
         {{3, 0x0104, 2}, {4, 0x0002, 1}, {200, 0x8001, 1}},
         -1,
         {{3, 0x0104}, {4, 0x0002}, {200, 0x8001}}},
    };
    for (const auto& c : cases) {
        open();
        std::vector<AddressScan::Found> found;
        bool ended = false, complete = false;
        const auto on_found =
            QObject::connect(&link, &LinkController::scan_found, [&](int a, int r) {
                found.push_back({static_cast<std::uint8_t>(a), static_cast<std::uint16_t>(r)});
            });
        const auto on_end = QObject::connect(&link, &LinkController::scan_ended, [&](bool done) {
            ended = true;
            complete = done;
        });
        ASSERT_TRUE(link.start_scan()) << c.what;
        std::vector<int> asked;
        std::vector<std::pair<int, Frame>> late;  // ticks to go, answer
        bool clicked = false;
        while (link.scanning()) {
            if (!clicked && link.scan_asked() == c.command_at) {
                link.openall_Click();
                clicked = true;
            }
            const auto frames = tick_and_take();
            ASSERT_EQ(frames.size(), 1u) << c.what;
            const Frame& f = frames[0];
            if (f[2] == tarnwick::protocol::cmd_query) asked.push_back(f[1]);
            // The answers due in this tick, the oldest first.
            for (auto& [ticks, answer] : late)
                if (--ticks == 0) port.deliver(answer);
            std::erase_if(late, [](const auto& l) { return l.first <= 0; });
            // Every board answers a frame for its address; here the one of the
            // command's turn answers it as well, with its own address.
            for (const auto& board : c.boards) {
                if (f[1] != board.address &&
                    !(f[2] == tarnwick::protocol::cmd_all && board.address == 3))
                    continue;
                const Frame answer =
                    tarnwick::protocol::encode_status(board.address, f[2], board.relays);
                if (board.late_ticks == 0)
                    port.deliver(answer);
                else
                    late.emplace_back(board.late_ticks, answer);
            }
            EXPECT_TRUE(panel.all(RS::unknown) || asked.size() < 6) << c.what;
        }
        EXPECT_TRUE(ended && complete) << c.what;
        EXPECT_EQ(found, c.found) << c.what;
        // 0..255 in order, then the entry's address again from the same tick.
        ASSERT_EQ(asked.size(), 257u) << c.what;
        for (int a = 0; a < 256; ++a) EXPECT_EQ(asked[a], a) << c.what;
        EXPECT_EQ(asked[256], 1) << c.what;
        QObject::disconnect(on_found);
        QObject::disconnect(on_end);
        link.open_comm_Click();
    }
}

TEST_F(LinkTest, AScanEndsWithTheOpenPort) {
    struct Case {
        const char* what;
        std::function<void()> end;
    } cases[] = {
        {"operator's close", [this] { link.open_comm_Click(); }},
        {"device vanished", [this] { port.vanish(); }},
        {"window closes", [this] { link.shutdown(); }},
        {"cancelled", [this] { link.cancel_scan(); }},
    };
    EXPECT_FALSE(link.start_scan()) << "started with the port closed";
    for (const auto& c : cases) {
        open();
        ASSERT_TRUE(link.start_scan());
        tick_and_take(5);
        QSignalSpy ended(&link, &LinkController::scan_ended);
        c.end();
        EXPECT_FALSE(link.scanning()) << c.what;
        ASSERT_EQ(ended.size(), 1) << c.what;
        EXPECT_FALSE(ended[0][0].toBool()) << c.what;
        if (port.is_open()) {
            EXPECT_EQ(tick_and_take(), std::vector{query_1}) << c.what;
            link.open_comm_Click();
        }
        link.shutdown();
    }
}

// Boards polled in turn on one line: each is live from an answer in its turn
// until six of its own polls in a row go unanswered; another board's
// answers and polls do not count for it.
TEST(BoardLiveness, SixUnansweredPollsOfItsOwnMakeABoardOffline) {
    struct Case {
        const char* what;
        const char* turns;  // per turn: 'a'/'b' polled, 'A'/'B' polled and answered
        bool a_live, b_live;
    } cases[] = {
        {"never answered", "abab", false, false},
        {"answered once", "A", true, false},
        {"five silent polls after an answer", "Aaaaaa", true, false},
        {"the sixth", "Aaaaaaa", false, false},
        {"polls of the other board do not count", "Abbbbbbbbbbb", true, false},
        {"round robin, one board silent", "ABaBaBaBaBaBaB", false, true},
        {"back after an answer",
         "Aaaaaaaa"
         "A",
         true, false},
    };
    for (const auto& c : cases) {
        BoardLiveness liveness;
        for (const char* turn = c.turns; *turn; ++turn) {
            const std::uint8_t address = (*turn == 'a' || *turn == 'A') ? 3 : 200;
            liveness.polled(address);
            if (*turn == 'A' || *turn == 'B') liveness.answered(address);
        }
        EXPECT_EQ(liveness.live(3), c.a_live) << c.what;
        EXPECT_EQ(liveness.live(200), c.b_live) << c.what;
    }
}

// Which frame an answer answers: the oldest still waiting that went to the
// address in the answer's byte 1, however many frames went out since, for
// 300 ms; an answer from any other address answers nothing.
TEST(AnswerAttribution, AnAnswerGoesToTheOldestFrameWaitingOnItsAddress) {
    using namespace std::chrono_literals;
    using tarnwick::protocol::encode_command;
    using tarnwick::protocol::encode_status;
    struct Step {
        int at_ms;
        // 'q' query sent, 'c' command sent, 'a' answer carrying the query's
        // code, 'e' one carrying the command's (a board that echoes it)
        char what;
        std::uint8_t address;
        int answers = -1;  // 'a': the index of the step it answers; -1: none
    };
    struct Case {
        const char* what;
        std::vector<Step> steps;
        bool codes_always = false;  // a Modbus line: every answer carries its function
    } cases[] = {
        {"in time", {{0, 'q', 1}, {10, 'a', 1, 0}}},
        {"70 ms late, after the next board was asked",
         {{0, 'q', 1}, {50, 'q', 2}, {60, 'a', 2, 1}, {70, 'a', 1, 0}}},
        {"120 ms late, after its own board was asked again",
         {{0, 'q', 1},
          {50, 'q', 2},
          {100, 'q', 1},
          {120, 'a', 1, 0},
          {125, 'a', 2, 1},
          {220, 'a', 1, 2}}},
        {"a command's late answer is the command's, not the query's after it",
         {{0, 'c', 1}, {50, 'q', 1}, {120, 'a', 1, 0}, {170, 'a', 1, 1}}},
        {"another address", {{0, 'q', 1}, {10, 'a', 7}, {20, 'a', 1, 0}}},
        {"each frame answered once", {{0, 'q', 1}, {10, 'a', 1, 0}, {20, 'a', 1}}},
        {"a frame waits 300 ms, no longer",
         {{0, 'q', 1}, {50, 'q', 1}, {301, 'a', 1, 1}, {351, 'a', 1}}},
        // A frame the board never got: a board that echoes the code is
        // back in step at the first answer that tells them apart.
        {"a lost query given up when the echoed code shows the command's answer",
         {{0, 'q', 1}, {50, 'c', 1}, {60, 'e', 1, 1}, {100, 'q', 1}, {110, 'a', 1, 3}}},
        {"a lost command given up by the query's answer once the board is known to echo",
         {{0, 'c', 1},
          {10, 'e', 1, 0},
          {50, 'c', 1},
          {100, 'q', 1},
          {110, 'a', 1, 3},
          {120, 'e', 1}}},
        {"an echoing board's late answers still go to their own frames",
         {{0, 'c', 1}, {50, 'q', 1}, {120, 'e', 1, 0}, {170, 'a', 1, 1}}},
        {"a board not known to echo is matched by address alone",
         {{0, 'q', 1}, {50, 'c', 1}, {60, 'a', 1, 0}, {100, 'q', 1}, {110, 'a', 1, 1}}},
        {"what one board echoes says nothing of another",
         {{0, 'c', 1}, {10, 'e', 1, 0}, {50, 'c', 2}, {60, 'q', 2}, {70, 'a', 2, 2}}},
        {"Modbus: an answer of another function answers nothing",
         {{0, 'c', 1}, {10, 'a', 1}, {20, 'e', 1, 0}},
         true},
        {"Modbus: a lost query is given up by the first command's answer",
         {{0, 'q', 1}, {50, 'c', 1}, {60, 'e', 1, 1}, {70, 'a', 1}},
         true},
        {"Modbus: late answers in order still go to their own frames",
         {{0, 'c', 1}, {50, 'q', 1}, {120, 'e', 1, 0}, {170, 'a', 1, 1}},
         true},
    };
    for (const auto& c : cases) {
        AnswerAttribution answers(300ms);
        answers.match_codes_always(c.codes_always);
        const AnswerAttribution::Clock::time_point start{};
        std::vector<Frame> frames;
        for (const Step& step : c.steps) {
            const auto now = start + std::chrono::milliseconds(step.at_ms);
            const std::uint8_t code = step.what == 'c' || step.what == 'e'
                                          ? tarnwick::protocol::cmd_energize
                                          : tarnwick::protocol::cmd_query;
            frames.push_back(encode_command(step.address, {code, 0, 0}));
            if (step.what != 'a' && step.what != 'e') {
                answers.sent(frames.back(), now);
                continue;
            }
            const auto asked = answers.answered(encode_status(step.address, code, 0x0104), now);
            if (step.answers < 0)
                EXPECT_FALSE(asked) << c.what << " at " << step.at_ms;
            else
                EXPECT_EQ(asked, frames[static_cast<std::size_t>(step.answers)])
                    << c.what << " at " << step.at_ms;
        }
    }
}

}  // namespace

namespace {

// Relays 1 and 2 of board 1 interlocked, 100 ms apart (the configuration's
// rules). Frames from the board's documentation: 22 01 10 00 00 <9..16>
// <1..8> <sum>, 55 01 11 00 00 00 n <sum> releases relay n, 55 01 21 00 00 FA n
// <sum> energizes it.
TEST(Interlock, AnOnWaitsForItsGroupToBeSeenReleased) {
    const Frame status_1_on{0x22, 0x01, 0x10, 0x00, 0x00, 0x00, 0x01, 0x34};
    const Frame release_1{0x55, 0x01, 0x11, 0x00, 0x00, 0x00, 0x01, 0x68};
    const Frame energize_2{0x55, 0x01, 0x21, 0x00, 0x00, 0xFA, 0x02, 0x73};
    const Frame energize_2_of_2{0x55, 0x02, 0x21, 0x00, 0x00, 0xFA, 0x02, 0x74};
    BoardRules rules;
    rules.groups = {0x0003};
    rules.interlock_wait = std::chrono::milliseconds(100);
    struct Row {
        const char* what;
        const char* address;
        Frame start;                 // the board's first answer
        std::vector<Frame> answers;  // to the OFF, then to the query after it
        std::vector<Frame> sent;     // after the click, a tick each
        const char* said;
    };
    const Row rows[] = {
        {"released, waited, energized",
         "1",
         status_1_on,
         {status_all_off, status_all_off},
         {release_1, query_1, query_1, energize_2},
         ""},
        {"not released within a second",
         "1",
         status_1_on,
         {status_1_on, status_1_on},
         {release_1, query_1, query_1, query_1},
         "第 2 路没有吸合：同组的第 1 路在 1 秒内没有断开"},
        {"nothing to release", "1", status_all_off, {}, {energize_2}, ""},
        {"another board has no groups", "2", status_1_on, {}, {energize_2_of_2}, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        FakePort port;
        FakePanel panel;
        RecordingMessages messages;
        LinkController link{port, panel, messages, LinkController::Ticks::manual};
        link.use_board_rules({{1, rules}});
        panel.address = row.address;
        link.open_comm_Click();
        port.deliver(row.start);
        link.Picture1_Click(2);
        std::vector<Frame> sent;
        for (std::size_t i = 0; i < row.sent.size(); ++i) {
            port.written.clear();
            if (i == row.sent.size() - 1 && !row.answers.empty())
                QTest::qWait(*row.said ? 1010 : 110);  // the wait, or the second, is over
            link.Timer1_Timer();
            sent.insert(sent.end(), port.written.begin(), port.written.end());
            if (i < row.answers.size()) port.deliver(row.answers[i]);
        }
        EXPECT_EQ(sent, row.sent);
        EXPECT_EQ(messages.texts.join("|").contains(row.said), true)
            << messages.texts.join("|").toStdString();
        EXPECT_FALSE(link.interlocking());
    }
    // All on is refused on the board with groups, said once; the tick polls.
    FakePort port;
    FakePanel panel;
    RecordingMessages messages;
    LinkController link{port, panel, messages, LinkController::Ticks::manual};
    link.use_board_rules({{1, rules}});
    link.open_comm_Click();
    link.openall_Click();
    link.Timer1_Timer();
    EXPECT_EQ(port.written, std::vector{query_1});
    EXPECT_EQ(messages.texts, QStringList{"该模块设有互锁继电器组，不能全部吸合；请逐路吸合"});
}

}  // namespace

// The panel's real serial link against the simulated board on a fresh
// pseudo-terminal per test, with the real 50 ms timer.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTemporaryDir>
#include <filesystem>

#include "panel/link_controller.h"
#include "tests/support/board_sim.h"
#include "tests/support/fake_link.h"
#include "tests/support/wait.h"
#include "wire/port_choices.h"
#include "wire/qt_serial_port.h"

namespace {

using namespace tarnwick;
using test::wait_until;
using namespace std::chrono_literals;
using link::LinkController;
using test::BoardSim;
using test::FakePanel;
using test::RecordingMessages;
using RS = link::RelayState;

class LinkSimTest : public ::testing::Test {
  protected:
    void TearDown() override { qunsetenv("TARNWICK_COM1"); }

    void map_port_1(const std::string& device) {
        qputenv("TARNWICK_COM1", QByteArray::fromStdString(device));
    }

    bool all_red_but(std::initializer_list<int> green) {
        for (int n = 1; n <= 16; ++n) {
            const bool on = std::find(green.begin(), green.end(), n) != green.end();
            if (panel.cell_state(n) != (on ? RS::energized : RS::released)) return false;
        }
        return true;
    }

    link::QtSerialPort port;
    FakePanel panel;
    RecordingMessages messages;
    LinkController link{port, panel, messages};
};

// The same conversation on each family: the port's saved line says which.
TEST_F(LinkSimTest, OpenPollClickAndSeeTheRelayEnergize) {
    using protocol::LineSettings;
    using protocol::Parity;
    using protocol::Protocol;
    struct {
        const char* what;
        std::vector<std::string> sim;  // relay 9 on
        LineSettings line;
        const char* address;
    } cases[] = {
        {"native", {"--relays", "0x0100"}, {}, "1"},
        {"modbus 9600 8N1",
         {"--protocol", "modbus", "--relays", "0x0100"},
         {.protocol = Protocol::modbus},
         "1"},
        {"modbus 19200 8E1, unit 17",
         {"--protocol", "modbus", "--address", "17", "--baud", "19200", "--parity", "even",
          "--relays", "0x0100"},
         {.protocol = Protocol::modbus, .baud = 19200, .parity = Parity::even},
         "17"},
    };
    for (const auto& c : cases) {
        QTemporaryDir dir;
        link::PortChoices choices(dir.filePath("tarnwick.conf"));
        ASSERT_FALSE(choices.save_line(1, c.line).has_value());
        link.use_port_choices(&choices);
        panel.address = c.address;
        BoardSim board(c.sim);
        map_port_1(board.path());
        link.open_comm_Click();
        ASSERT_TRUE(link.port_open()) << c.what << messages.texts.join("\n").toStdString();
        ASSERT_TRUE(wait_until([&] { return all_red_but({9}); })) << c.what;

        link.Picture1_Click(3);  // red: energize relay 3
        ASSERT_TRUE(wait_until([&] { return board.last_relays() == 0x0104; })) << c.what;
        ASSERT_TRUE(wait_until([&] { return all_red_but({3, 9}); })) << c.what;

        link.Picture1_Click(9);  // green: release relay 9
        ASSERT_TRUE(wait_until([&] { return all_red_but({3}); })) << c.what;
        link.openall_Click();
        ASSERT_TRUE(wait_until([&] { return board.last_relays() == 0xFFFF; })) << c.what;
        ASSERT_TRUE(wait_until([&] { return panel.all(RS::energized); })) << c.what;
        EXPECT_TRUE(messages.texts.isEmpty()) << c.what;
        link.open_comm_Click();
        link.use_port_choices(nullptr);
    }
}

TEST_F(LinkSimTest, ASilentBoardTurnsTheCellsUnknown) {
    BoardSim board({"--silent"});
    map_port_1(board.path());
    link.open_comm_Click();
    ASSERT_TRUE(link.port_open());
    for (int n = 1; n <= 16; ++n) panel.paint_cell(n, RS::released);
    EXPECT_TRUE(wait_until([&] { return panel.all(RS::unknown); }));
}

TEST_F(LinkSimTest, ClosingAndReopeningKeepsTheConversationGoing) {
    BoardSim board({"--relays", "0x8000"});
    map_port_1(board.path());
    for (int round = 0; round < 3; ++round) {
        link.open_comm_Click();
        ASSERT_TRUE(link.port_open()) << round;
        ASSERT_TRUE(wait_until([&] { return all_red_but({16}); })) << round;
        link.open_comm_Click();
        EXPECT_TRUE(panel.all(RS::port_closed));
    }
}

TEST_F(LinkSimTest, AnOpenThatFailsLeavesTheClosedState) {
    map_port_1("/nonexistent/tarnwick-no-such-device");
    link.open_comm_Click();
    EXPECT_FALSE(link.port_open());
    EXPECT_TRUE(panel.all(RS::port_closed));
    EXPECT_FALSE(link.timer_enabled());
    ASSERT_EQ(messages.texts.size(), 1);
    EXPECT_TRUE(messages.texts[0].contains("/nonexistent/tarnwick-no-such-device"));
}

TEST_F(LinkSimTest, KillingTheBoardLeavesTheClosedStateAndAReopenWorks) {
    // The first board behind a name of this test's own: after the kill the
    // panel watches that name for the board's return, and a bare
    // /dev/pts/N could meanwhile be handed to another program's terminal.
    QTemporaryDir dir;
    const std::string name = dir.filePath(QStringLiteral("board")).toStdString();
    auto board =
        std::make_unique<BoardSim>(std::vector<std::string>{"--link", name, "--relays", "0x0001"});
    map_port_1(name);
    link.open_comm_Click();
    ASSERT_TRUE(wait_until([&] { return all_red_but({1}); }));

    board.reset();  // SIGKILL: the terminal goes away under the open port
    std::filesystem::remove(name);  // as udev removes a pulled adapter's node
    ASSERT_TRUE(wait_until([&] { return !link.port_open(); }));
    EXPECT_TRUE(panel.all(RS::port_closed));
    EXPECT_FALSE(link.timer_enabled());
    test::run_events_for(300);  // let any further errors arrive
    EXPECT_EQ(messages.texts.size(), 1) << messages.texts.join("\n").toStdString();

    BoardSim again({"--relays", "0x0002"});
    map_port_1(again.path());
    link.open_comm_Click();
    ASSERT_TRUE(link.port_open());
    EXPECT_TRUE(wait_until([&] { return all_red_but({2}); }));
}

}  // namespace

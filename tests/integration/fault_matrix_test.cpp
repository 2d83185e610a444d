// Faults on the line and at the port, each tried against the panel's real
// link: the real Qt serial port on a fresh pseudo-terminal with the simulated
// board behind it, paced by the real 50 ms timer. Every table row is one case
// with the outcome it must have.
//
// What the outcomes follow from: the panel judges the first 8 bytes waiting
// whenever 8 or more are there, leaves the rest, and empties its input before
// each frame it sends; an accepted answer buys five ticks, the sixth tick
// without one turns every cell unknown.
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "panel/link_controller.h"
#include "tests/support/board_sim.h"
#include "tests/support/fake_link.h"
#include "tests/support/wait.h"
#include "wire/qt_serial_port.h"

namespace {

using namespace tarnwick;
using link::LinkController;
using test::BoardSim;
using test::run_events_for;
using test::wait_until;

constexpr std::uint16_t board_relays = 0x0104;  // relays 3 and 9 energized
const std::vector<std::string> board_start = {"--relays", "0x0104"};
constexpr int answer_wait_ms = 3000;  // generous: the suite also runs sanitized

// What the 16 cells show at one moment.
struct Shown {
    enum Kind { relays, unknown, closed, mixed } kind = mixed;
    std::uint16_t pattern = 0;  // bit r-1 = relay r, when kind is relays
    bool operator==(const Shown&) const = default;
};

const Shown shows_board{Shown::relays, board_relays};
const Shown shows_unknown{Shown::unknown};
const Shown shows_closed{Shown::closed};

std::ostream& operator<<(std::ostream& out, const Shown& s) {
    switch (s.kind) {
        case Shown::relays: {
            char hex[8];
            std::snprintf(hex, sizeof hex, "0x%04x", s.pattern);
            return out << "relays " << hex;
        }
        case Shown::unknown:
            return out << "unknown";
        case Shown::closed:
            return out << "port closed";
        case Shown::mixed:
            break;
    }
    return out << "mixed cells";
}

Shown shown(const test::FakePanel& panel) {
    if (panel.all(link::RelayState::unknown)) return shows_unknown;
    if (panel.all(link::RelayState::port_closed)) return shows_closed;
    if (const auto pattern = link::known_pattern(panel.states)) return {Shown::relays, *pattern};
    return {};
}

void map_port(int n, const std::string& device) {
    qputenv(("TARNWICK_COM" + std::to_string(n)).c_str(), QByteArray::fromStdString(device));
}

struct Event {
    enum Kind { frame, accepted, rejected } kind;
    Shown shown;  // for a frame: what the cells showed when it went out
};

// One panel: the window's controls stood in for, the port and the link real.
class Panel {
  public:
    Panel() {
        QObject::connect(&link, &LinkController::frame_sent, [this](const protocol::Frame&) {
            log.push_back({Event::frame, now()});
        });
        QObject::connect(&link, &LinkController::status_shown, [this](const protocol::Frame&) {
            log.push_back({Event::accepted, {}});
        });
        QObject::connect(&link, &LinkController::answer_rejected, [this](const protocol::Frame&) {
            log.push_back({Event::rejected, {}});
        });
    }

    [[nodiscard]] Shown now() const { return shown(view); }
    [[nodiscard]] int count(Event::Kind kind, std::size_t from = 0) const {
        int n = 0;
        for (std::size_t i = from; i < log.size(); ++i) n += log[i].kind == kind;
        return n;
    }
    [[nodiscard]] std::string messages_said() const {
        return messages.texts.join(QStringLiteral(" | ")).toStdString();
    }

    std::vector<Event> log;
    link::QtSerialPort port;
    test::FakePanel view;
    test::RecordingMessages messages;
    LinkController link{port, view, messages};
};

// How many of the frames sent in a watch an answer count should match.
enum class Share { none, some, every };

// "every" allows one in four to go missing: the last answers may still be on
// their way when a watch ends, and a busy machine may hand two answers over
// in one read, of which only the first is judged.
::testing::AssertionResult share_is(Share share, int count, int frames) {
    const bool ok = share == Share::none   ? count == 0
                    : share == Share::some ? count > 0
                                           : count * 4 >= frames * 3;
    if (ok) return ::testing::AssertionSuccess();
    static const char* names[] = {"none", "some", "every"};
    return ::testing::AssertionFailure()
           << count << " of " << frames << " frames, expected " << names[static_cast<int>(share)];
}

struct LineFault {
    const char* fault;
    std::vector<std::string> args;  // to the board, besides its start pattern
    Shown cells;                    // at every frame sent once the panel has settled
    Share accepted;
    Share rejected;
    bool commands_reach;  // the energize-all command switches the board's relays
};

// clang-format off
const LineFault line_faults[] = {
    {"no fault", {},
     shows_board, Share::every, Share::none, true},
    // A burst of 12 has 8 judged (and rejected) and 4 left for the next
    // send to discard; the answers between the bursts are untouched.
    {"garbage bursts between answers", {"--garbage", "12", "--garbage-after", "20"},
     shows_board, Share::every, Share::some, true},
    // The first 8 bytes are 5 of noise and 3 of the answer: every answer is
    // lost, and the panel has no way to find the frame in the bytes.
    {"garbage burst ahead of every answer", {"--garbage", "5"},
     shows_unknown, Share::none, Share::every, true},
    {"answers split in two writes", {"--split", "20"},
     shows_board, Share::every, Share::none, true},
    {"extra bytes after every answer", {"--extra", "3"},
     shows_board, Share::every, Share::none, true},
    {"answers 30 ms late", {"--delay", "30"},
     shows_board, Share::every, Share::none, true},
    {"bad checksum on every answer", {"--bad-checksum"},
     shows_unknown, Share::none, Share::every, true},
    {"silence", {"--silent"},
     shows_unknown, Share::none, Share::none, true},
    {"a board at another address", {"--address", "2"},
     shows_unknown, Share::none, Share::none, false},
};
// clang-format on

TEST(FaultMatrix, FaultsOnTheLine) {
    for (const auto& c : line_faults) {
        SCOPED_TRACE(c.fault);
        auto args = board_start;
        args.insert(args.end(), c.args.begin(), c.args.end());
        BoardSim board(args);
        map_port(1, board.path());
        Panel panel;
        panel.link.open_comm_Click();
        ASSERT_TRUE(panel.link.port_open()) << panel.messages_said();
        if (c.cells == shows_board) {
            ASSERT_TRUE(wait_until([&] { return panel.now() == shows_board; }, answer_wait_ms))
                << panel.now();
        } else {
            run_events_for(400);  // past the five ticks any answer would have bought
        }

        const std::size_t from = panel.log.size();
        run_events_for(1000);
        const int frames = panel.count(Event::frame, from);
        EXPECT_GE(frames, 10) << "the timer hardly ran";
        int off = 0;
        std::optional<Shown> first_off;
        for (std::size_t i = from; i < panel.log.size(); ++i) {
            if (panel.log[i].kind != Event::frame || panel.log[i].shown == c.cells) continue;
            if (off++ == 0) first_off = panel.log[i].shown;
        }
        EXPECT_EQ(off, 0) << "frames sent while the cells showed something else, first: "
                          << *first_off;
        const int accepted = panel.count(Event::accepted, from);
        const int rejected = panel.count(Event::rejected, from);
        std::printf("%-36s %3d frames, %3d answers accepted, %3d rejected\n", c.fault, frames,
                    accepted, rejected);
        EXPECT_TRUE(share_is(c.accepted, accepted, frames)) << "accepted";
        EXPECT_TRUE(share_is(c.rejected, rejected, frames)) << "rejected";

        panel.link.openall_Click();
        if (c.commands_reach) {
            EXPECT_TRUE(wait_until([&] { return board.last_relays() == 0xFFFF; }, answer_wait_ms));
            if (c.cells == shows_board) {
                EXPECT_TRUE(wait_until(
                    [&] {
                        return panel.now() == Shown{Shown::relays, 0xFFFF};
                    },
                    answer_wait_ms));
            }
        } else {
            run_events_for(300);
            EXPECT_EQ(board.last_relays(), board_relays) << "a frame for address 1 switched it";
        }
        EXPECT_TRUE(panel.link.port_open());
        EXPECT_TRUE(panel.messages.texts.isEmpty()) << panel.messages_said();
        qunsetenv("TARNWICK_COM1");
    }
}

// The address entry is read for every frame: typing the board's address
// finds it without reopening the port.
TEST(FaultMatrix, ABoardAtAnotherAddressIsFoundByItsAddress) {
    BoardSim board({"--address", "2", "--relays", "0x0104"});
    map_port(1, board.path());
    Panel panel;
    panel.link.open_comm_Click();
    ASSERT_TRUE(panel.link.port_open()) << panel.messages_said();
    run_events_for(400);
    EXPECT_EQ(panel.now(), shows_unknown);
    panel.view.address = QStringLiteral("2");
    EXPECT_TRUE(wait_until([&] { return panel.now() == shows_board; }, answer_wait_ms))
        << panel.now();
    qunsetenv("TARNWICK_COM1");
}

// A board that has been answering goes wrong: the cells keep what the last
// good answer said for five ticks and turn unknown at the sixth; when the
// board recovers, so do the cells.
TEST(FaultMatrix, FaultsThatStartAfterGoodAnswers) {
    const struct {
        const char* fault;
        int signal;  // switches the fault in the simulator, on and off
        Share rejected;
    } cases[] = {
        {"bad checksums on every answer", SIGUSR1, Share::every},
        {"silence", SIGUSR2, Share::none},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fault);
        BoardSim board(board_start);
        map_port(1, board.path());
        Panel panel;
        panel.link.open_comm_Click();
        ASSERT_TRUE(panel.link.port_open()) << panel.messages_said();
        ASSERT_TRUE(wait_until([&] { return panel.now() == shows_board; }, answer_wait_ms));

        board.kill(c.signal);
        // Until ten frames have gone out after the last accepted answer.
        const auto frames_after_last_answer = [&] {
            std::vector<Shown> after;
            for (const Event& e : panel.log) {
                if (e.kind == Event::accepted) after.clear();
                if (e.kind == Event::frame) after.push_back(e.shown);
            }
            return after;
        };
        ASSERT_TRUE(
            wait_until([&] { return frames_after_last_answer().size() >= 10; }, answer_wait_ms));
        const std::vector<Shown> after = frames_after_last_answer();
        for (std::size_t tick = 0; tick < after.size(); ++tick)
            EXPECT_EQ(after[tick], tick < 5 ? shows_board : shows_unknown) << "tick " << tick + 1;
        const auto kept = std::find(after.begin(), after.end(), shows_unknown) - after.begin();
        std::printf("%-36s cells kept for %d ticks after the last good answer\n", c.fault,
                    static_cast<int>(kept));
        std::size_t last_answer = 0;
        for (std::size_t i = 0; i < panel.log.size(); ++i)
            if (panel.log[i].kind == Event::accepted) last_answer = i;
        EXPECT_TRUE(share_is(c.rejected, panel.count(Event::rejected, last_answer),
                             static_cast<int>(after.size())))
            << "rejected";

        board.kill(c.signal);
        EXPECT_TRUE(wait_until([&] { return panel.now() == shows_board; }, answer_wait_ms))
            << panel.now();
        EXPECT_TRUE(panel.messages.texts.isEmpty()) << panel.messages_said();
        qunsetenv("TARNWICK_COM1");
    }
}

// The device goes away under the open port and comes back under the same
// name: the panel shows the closed state, says so once, and opens again by
// itself, whether or not the message is still on the screen. A command the
// operator queued just before the loss is not sent to the board that comes
// back.
TEST(FaultMatrix, TheDeviceVanishesWhileOpenAndComesBack) {
    const struct {
        const char* how;
        int signal;
        bool while_box_open;  // the board comes back while the message box is up
    } cases[] = {
        {"board process killed", SIGKILL, false},
        {"board process ends", SIGTERM, false},
        {"board back while the message box is still open", SIGKILL, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.how);
        QTemporaryDir dir;
        const std::string name = dir.filePath(QStringLiteral("board")).toStdString();
        auto board = std::make_unique<BoardSim>(
            std::vector<std::string>{"--link", name, "--relays", "0x0001"});
        map_port(1, name);
        Panel panel;
        panel.link.open_comm_Click();
        ASSERT_TRUE(panel.link.port_open()) << panel.messages_said();
        ASSERT_TRUE(wait_until(
            [&] {
                return panel.now() == Shown{Shown::relays, 0x0001};
            },
            answer_wait_ms));

        // Queued, and the board pulled before any tick could send it.
        panel.link.Picture1_Click(2);  // red: energize relay 2
        board->kill(c.signal);
        ASSERT_TRUE(board->wait_exit(std::chrono::seconds(5)).has_value());
        // A killed board leaves its link behind; udev removes a pulled
        // adapter's node, and so does this, before the panel looks.
        std::filesystem::remove(name);
        board.reset();

        std::unique_ptr<BoardSim> again;
        bool open_when_box_returned = false;
        if (c.while_box_open) {
            panel.messages.while_shown = [&] {
                again = std::make_unique<BoardSim>(std::vector<std::string>{"--link", name});
                // What a modal box does: its own event loop, until dismissed.
                wait_until([&] { return panel.link.port_open(); }, answer_wait_ms);
                open_when_box_returned = panel.link.port_open();
            };
        }
        ASSERT_TRUE(wait_until([&] { return panel.messages.texts.size() == 1; }, answer_wait_ms))
            << "the panel did not notice; cells: " << panel.now();
        ASSERT_EQ(panel.messages.texts.size(), 1) << panel.messages_said();
        const QString said = panel.messages.texts[0];
        for (const QString& part : {QString::fromStdString(name), QStringLiteral("已断开"),
                                    QStringLiteral("自动重新打开")})
            EXPECT_TRUE(said.contains(part)) << panel.messages_said();
        if (c.while_box_open) {
            EXPECT_TRUE(open_when_box_returned) << "not reopened while the box was up";
        } else {
            const std::size_t closed_at = panel.log.size();
            run_events_for(300);  // any further error would arrive by now
            EXPECT_EQ(panel.now(), shows_closed);
            EXPECT_FALSE(panel.link.timer_enabled());
            EXPECT_EQ(panel.count(Event::frame, closed_at), 0) << "frames sent after the close";
            EXPECT_EQ(panel.view.port_caption, link::caption_open_port);
            EXPECT_TRUE(panel.view.port_entry_enabled);
            EXPECT_FALSE(panel.view.buttons_enabled);
            EXPECT_TRUE(panel.link.reconnecting());
            again = std::make_unique<BoardSim>(std::vector<std::string>{"--link", name});
        }

        // Back, without a click, polling the board that is there now.
        EXPECT_TRUE(wait_until(
            [&] {
                return panel.now() == Shown{Shown::relays, 0x0000};
            },
            answer_wait_ms))
            << panel.now();
        EXPECT_FALSE(panel.link.reconnecting());
        run_events_for(300);
        EXPECT_EQ(again->last_relays(), 0x0000) << "the command queued before the loss was sent";
        panel.link.Picture1_Click(2);
        EXPECT_TRUE(wait_until([&] { return again->last_relays() == 0x0002; }, answer_wait_ms));
        EXPECT_EQ(panel.messages.texts.size(), 1) << panel.messages_said();
        qunsetenv("TARNWICK_COM1");
    }
}

// "查找模块…" over a real line: one query per tick to each address 0..255,
// an answer taken for the address of its tick. The lines are scanned side by
// side, each by its own panel.
TEST(FaultMatrix, AScanFindsEveryBoardOnTheLine) {
    const struct {
        const char* line;
        std::vector<std::string> args;
        std::vector<int> found;
    } cases[] = {
        {"boards at 3 and 200", {"--address", "3,200", "--relays", "0x0104"}, {3, 200}},
        {"a board at 0 and one at 255", {"--address", "0,255", "--relays", "0x0104"}, {0, 255}},
        {"nothing answers", {"--silent"}, {}},
    };
    struct Scan {
        std::unique_ptr<BoardSim> board;
        std::unique_ptr<Panel> panel;
        std::vector<int> found;
        std::vector<int> relays;
        std::optional<bool> complete;
    };
    std::vector<Scan> scans(std::size(cases));
    QElapsedTimer clock;
    for (std::size_t i = 0; i < scans.size(); ++i) {
        Scan& scan = scans[i];
        scan.board = std::make_unique<BoardSim>(cases[i].args);
        map_port(1, scan.board->path());
        scan.panel = std::make_unique<Panel>();
        LinkController& link = scan.panel->link;
        link.open_comm_Click();
        ASSERT_TRUE(link.port_open()) << scan.panel->messages_said();
        QObject::connect(&link, &LinkController::scan_found, [&scan](int address, int relays) {
            scan.found.push_back(address);
            scan.relays.push_back(relays);
        });
        QObject::connect(&link, &LinkController::scan_ended,
                         [&scan](bool complete) { scan.complete = complete; });
    }
    clock.start();
    for (Scan& scan : scans) ASSERT_TRUE(scan.panel->link.start_scan());
    const bool all_ended = wait_until(
        [&] {
            return std::all_of(scans.begin(), scans.end(),
                               [](const Scan& s) { return s.complete.has_value(); });
        },
        30000);
    const double seconds = static_cast<double>(clock.elapsed()) / 1000.0;
    EXPECT_TRUE(all_ended);
    std::printf("scan of 256 addresses on %zu lines at once: %.1f s\n", scans.size(), seconds);
    for (std::size_t i = 0; i < scans.size(); ++i) {
        SCOPED_TRACE(cases[i].line);
        EXPECT_EQ(scans[i].complete, std::optional<bool>(true));
        EXPECT_EQ(scans[i].found, cases[i].found);
        for (const int relays : scans[i].relays) EXPECT_EQ(relays, 0x0104);
        EXPECT_TRUE(scans[i].panel->messages.texts.isEmpty()) << scans[i].panel->messages_said();
        EXPECT_TRUE(scans[i].panel->link.port_open());
    }
    qunsetenv("TARNWICK_COM1");
}

const std::string built_probe = TARNWICK_FAULT_PROBE;

struct ProbeResult {
    int exit_code = -1;  // -1: did not exit normally
    std::string output;
};

// Runs a probe on port 1 in a child process, as user `uid` unless that is
// -1. Exit code 77 means the child could not become that user, 78 that it
// could not run the probe.
ProbeResult run_probe(const std::string& probe, uid_t uid = static_cast<uid_t>(-1)) {
    int out[2];
    if (::pipe(out) != 0) return {};
    const pid_t child = ::fork();
    if (child == 0) {
        ::dup2(out[1], STDOUT_FILENO);
        ::close(out[0]);
        ::close(out[1]);
        if (uid != static_cast<uid_t>(-1)) {
            if (::setgroups(0, nullptr) != 0 || ::setgid(uid) != 0 || ::setuid(uid) != 0 ||
                ::geteuid() != uid)
                ::_exit(77);
        }
        const char* argv[] = {probe.c_str(), "1", nullptr};
        ::execv(argv[0], const_cast<char* const*>(argv));
        ::_exit(78);
    }
    ::close(out[1]);
    ProbeResult result;
    char buffer[512];
    ssize_t n;
    // The probe is quick; a hung one ends the read by the test's timeout.
    while ((n = ::read(out[0], buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR))
        if (n > 0) result.output.append(buffer, static_cast<std::size_t>(n));
    ::close(out[0]);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
    return result;
}

// A second panel, in this process or another, by the device's name or by a
// link to it, is refused with a clear message and leaves the first one
// polling undisturbed; once the first closes, the second gets the port.
TEST(FaultMatrix, ASecondPanelOnTheSamePortIsRefused) {
    const struct {
        const char* how;
        bool by_link;
        bool other_process;
    } cases[] = {
        {"same name, same process", false, false},
        {"by a link, same process", true, false},
        {"same name, another process", false, true},
        {"by a link, another process", true, true},
    };
    const QString in_use = QStringLiteral("设备正被其他程序使用");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.how);
        QTemporaryDir dir;
        const std::string name = dir.filePath(QStringLiteral("board")).toStdString();
        BoardSim board({"--link", name, "--relays", "0x0104"});
        map_port(1, board.path());
        Panel first;
        first.link.open_comm_Click();
        ASSERT_TRUE(first.link.port_open()) << first.messages_said();
        ASSERT_TRUE(wait_until([&] { return first.now() == shows_board; }, answer_wait_ms));
        map_port(1, c.by_link ? name : board.path());

        auto second = std::make_unique<Panel>();
        if (c.other_process) {
            const ProbeResult result = run_probe(built_probe);
            EXPECT_EQ(result.exit_code, 3) << result.output;
            EXPECT_NE(result.output.find(in_use.toStdString()), std::string::npos) << result.output;
        } else {
            second->link.open_comm_Click();
            EXPECT_FALSE(second->link.port_open());
            EXPECT_EQ(second->now(), shows_closed);
            EXPECT_EQ(second->messages.texts.size(), 1);
            const QString said = second->messages.texts.join('\n');
            EXPECT_TRUE(said.contains(in_use)) << said.toStdString();
            EXPECT_TRUE(said.contains(QString::fromStdString(c.by_link ? name : board.path())))
                << said.toStdString();
        }

        const std::size_t from = first.log.size();
        run_events_for(300);
        EXPECT_GE(first.count(Event::accepted, from), 3) << "the first panel was disturbed";
        EXPECT_EQ(first.now(), shows_board);
        EXPECT_TRUE(first.messages.texts.isEmpty()) << first.messages_said();

        first.link.open_comm_Click();  // closes
        ASSERT_FALSE(first.link.port_open());
        if (c.other_process) {
            const ProbeResult result = run_probe(built_probe);
            EXPECT_EQ(result.exit_code, 0) << result.output;
        } else {
            second = std::make_unique<Panel>();
            second->link.open_comm_Click();
            ASSERT_TRUE(second->link.port_open()) << second->messages_said();
            EXPECT_TRUE(wait_until([&] { return second->now() == shows_board; }, answer_wait_ms));
        }
        qunsetenv("TARNWICK_COM1");
    }
}

// A device the user may not open: the panel stays closed and tells the
// operator about the dialout group. Run as user nobody, since root opens
// anything.
TEST(FaultMatrix, APortWithoutPermissionNamesTheDialoutGroup) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "runs as root only: it needs to switch to user nobody (65534) to be "
                        "refused, and a non-root user cannot";
    BoardSim board(board_start);
    ASSERT_EQ(::chown(board.path().c_str(), 0, 0), 0) << std::strerror(errno);
    ASSERT_EQ(::chmod(board.path().c_str(), 0600), 0) << std::strerror(errno);
    map_port(1, board.path());

    // A copy where user nobody can reach it: the build tree may sit in a
    // directory closed to others.
    QTemporaryDir reachable;
    ASSERT_TRUE(reachable.isValid());
    const QString probe = reachable.filePath(QStringLiteral("fault_matrix_probe"));
    ASSERT_TRUE(QFile::copy(QString::fromStdString(built_probe), probe));
    const auto open_to_all = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                             QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther |
                             QFile::ExeOther;
    ASSERT_TRUE(QFile::setPermissions(reachable.path(), open_to_all));
    ASSERT_TRUE(QFile::setPermissions(probe, open_to_all));

    const ProbeResult as_nobody = run_probe(probe.toStdString(), 65534);
    if (as_nobody.exit_code == 77)
        GTEST_SKIP() << "this machine does not let root switch to user nobody (65534)";
    if (as_nobody.exit_code == 78)
        GTEST_SKIP() << "user nobody cannot run " << probe.toStdString()
                     << " (a directory on its way is closed to others)";
    EXPECT_EQ(as_nobody.exit_code, 3) << as_nobody.output;
    EXPECT_NE(as_nobody.output.find("没有访问权限"), std::string::npos) << as_nobody.output;
    EXPECT_NE(as_nobody.output.find("dialout"), std::string::npos) << as_nobody.output;
    EXPECT_NE(as_nobody.output.find(board.path()), std::string::npos) << as_nobody.output;

    // The same device, the same probe, as root: the refusal was the permission.
    const ProbeResult as_root = run_probe(probe.toStdString());
    EXPECT_EQ(as_root.exit_code, 0) << as_root.output;
    qunsetenv("TARNWICK_COM1");
}

}  // namespace

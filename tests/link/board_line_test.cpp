// Several boards on one line, one frame per turn, turns driven by hand.
#include "engine/board_line.h"

#include <gtest/gtest.h>

#include <QString>
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <initializer_list>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "engine/requests.h"
#include "tests/support/fake_link.h"

namespace {

using namespace std::chrono_literals;
using tarnwick::link::BoardLine;
using tarnwick::link::BoardRules;
using tarnwick::link::Origin;
using tarnwick::link::PortDevice;
using tarnwick::link::PortSource;
using tarnwick::link::PowerOn;
using tarnwick::link::Requests;
using tarnwick::link::Settled;
using tarnwick::protocol::Frame;
using tarnwick::test::FakePort;
using tarnwick::test::RecordingMessages;
using Addresses = std::vector<std::uint8_t>;

// A settled request as a row writes it: the error and its sentence.
std::string text(const Settled& s) {
    using E = Settled::Error;
    const char* error = s.error == E::none            ? "ok"
                        : s.error == E::not_confirmed ? "not_confirmed"
                        : s.error == E::offline       ? "offline"
                                                      : "interlock";
    return s.ok() ? error : std::string(error) + " " + s.why.toStdString();
}

// Byte 7 of both frame kinds: the low byte of the sum of bytes 0..6.
Frame with_sum(std::array<std::uint8_t, 7> bytes) {
    unsigned sum = 0;
    Frame frame{};
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        frame[i] = bytes[i];
        sum += bytes[i];
    }
    frame[7] = static_cast<std::uint8_t>(sum & 0xFF);
    return frame;
}

Frame query(std::uint8_t a) {
    return with_sum({0x55, a, 0x10, 0x00, 0x00, 0x00, 0x00});
}
Frame energize(std::uint8_t a, std::uint8_t relay) {
    return with_sum({0x55, a, 0x21, 0x00, 0x00, 0xFA, relay});
}
Frame release(std::uint8_t a, std::uint8_t relay) {
    return with_sum({0x55, a, 0x11, 0x00, 0x00, 0x00, relay});
}
Frame all_on(std::uint8_t a) {
    return with_sum({0x55, a, 0x13, 0x00, 0x00, 0xFF, 0xFF});
}
Frame all_off(std::uint8_t a) {
    return with_sum({0x55, a, 0x13, 0x00, 0x00, 0x00, 0x00});
}
// A board's answer: byte 5 relays 9..16, byte 6 relays 1..8; byte 2 echoes
// the code of the frame it answers.
Frame status(std::uint8_t a, std::uint16_t relays, std::uint8_t code = 0x10) {
    return with_sum({0x22, a, code, 0x00, 0x00, static_cast<std::uint8_t>(relays >> 8),
                     static_cast<std::uint8_t>(relays & 0xFF)});
}

std::string hex(const Frame& frame) {
    std::string text;
    char byte[4];
    for (const std::uint8_t b : frame) {
        std::snprintf(byte, sizeof byte, "%02X ", b);
        text += byte;
    }
    text.pop_back();
    return text;
}
std::vector<std::string> hex(const std::vector<Frame>& frames) {
    std::vector<std::string> texts;
    for (const Frame& f : frames) texts.push_back(hex(f));
    return texts;
}
std::string hex16(std::uint16_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "%04X", value);
    return text;
}

// A line on the fake port, opened and started, its signals written down.
struct Line {
    explicit Line(Addresses boards, BoardLine::Pace pace = BoardLine::Pace::tick)
        : line(port, messages, std::move(boards), pace) {
        QObject::connect(&line, &BoardLine::board_online_changed,
                         [this](std::uint8_t a, bool online, const QString&) {
                             log.push_back((online ? "online " : "offline ") + std::to_string(a));
                         });
        QObject::connect(&line, &BoardLine::board_answered,
                         [this](std::uint8_t a, std::uint16_t relays, bool to_query) {
                             log.push_back("answered " + std::to_string(a) + " " + hex16(relays) +
                                           (to_query ? " query" : " command"));
                         });
        QObject::connect(
            &line, &BoardLine::unclaimed_answers, [this](std::uint8_t a, quint64 since_open) {
                log.push_back("unclaimed " + std::to_string(a) + " " + std::to_string(since_open));
            });
        QObject::connect(&line, &BoardLine::interlock_failed,
                         [this](std::uint8_t a, int relay, const QString&) {
                             log.push_back("interlock failed " + std::to_string(a) + " " +
                                           std::to_string(relay));
                         });
        QObject::connect(
            &line, &BoardLine::interlock_broken, [this](std::uint8_t a, std::uint16_t on) {
                log.push_back("interlock broken " + std::to_string(a) + " " + hex16(on));
            });
    }

    void open() {
        line.drive_turns_by_hand();
        EXPECT_TRUE(line.open(PortDevice{QStringLiteral("/dev/fake"), PortSource::named}, 1));
        line.start();
    }
    // One turn: exactly one frame goes out.
    Frame turn() {
        const std::size_t before = port.written.size();
        line.turn_now();
        EXPECT_EQ(port.written.size(), before + 1) << "a turn sends one frame";
        return port.written.empty() ? Frame{} : port.written.back();
    }
    void turns(int n) {
        for (int i = 0; i < n; ++i) turn();
    }
    void answer(std::uint8_t a, std::uint16_t relays, std::uint8_t code = 0x10) {
        port.deliver(status(a, relays, code));
    }
    // The signals whose entry starts with one of `kinds`.
    std::vector<std::string> seen(std::initializer_list<std::string_view> kinds) const {
        std::vector<std::string> picked;
        for (const std::string& entry : log)
            if (std::any_of(kinds.begin(), kinds.end(),
                            [&](std::string_view k) { return entry.starts_with(k); }))
                picked.push_back(entry);
        return picked;
    }

    FakePort port;
    RecordingMessages messages;
    BoardLine line;
    std::vector<std::string> log;
};

// Boards that do what they are told and answer every frame at once.
struct Boards {
    std::map<std::uint8_t, std::uint16_t> relays;

    void answer(Line& l) {
        const Frame sent = l.port.written.back();
        const auto found = relays.find(sent[1]);
        if (found == relays.end()) return;
        std::uint16_t& r = found->second;
        // Byte 6 is the relay of a switch (1..16); a query's is 0.
        const int relay = sent[6];
        const auto bit =
            relay >= 1 && relay <= 16 ? static_cast<std::uint16_t>(1U << (relay - 1)) : 0;
        if (sent[2] == 0x21) r |= bit;
        if (sent[2] == 0x11) r &= static_cast<std::uint16_t>(~bit);
        if (sent[2] == 0x13) r = sent[5] == 0xFF ? 0xFFFF : 0x0000;
        l.answer(sent[1], r, sent[2]);
    }
};

// The frames the helpers build are the board's documented examples.
TEST(BoardLine, FramesAsTheBoardTakesThem) {
    const struct {
        const char* what;
        Frame built, expected;
    } cases[] = {
        {"query 1", query(1), {0x55, 0x01, 0x10, 0x00, 0x00, 0x00, 0x00, 0x66}},
        {"query 255", query(255), {0x55, 0xFF, 0x10, 0x00, 0x00, 0x00, 0x00, 0x64}},
        {"energize 3", energize(1, 3), {0x55, 0x01, 0x21, 0x00, 0x00, 0xFA, 0x03, 0x74}},
        {"release 3", release(1, 3), {0x55, 0x01, 0x11, 0x00, 0x00, 0x00, 0x03, 0x6A}},
        {"all on", all_on(1), {0x55, 0x01, 0x13, 0x00, 0x00, 0xFF, 0xFF, 0x67}},
        {"all off", all_off(1), {0x55, 0x01, 0x13, 0x00, 0x00, 0x00, 0x00, 0x69}},
        {"status 8 and 9", status(1, 0x0180), {0x22, 0x01, 0x10, 0x00, 0x00, 0x01, 0x80, 0xB4}},
    };
    for (const auto& c : cases) EXPECT_EQ(hex(c.built), hex(c.expected)) << c.what;
}

struct FrameCase {
    const char* what;
    Addresses boards;
    std::function<void(Line&)> steps;
    std::vector<Frame> expected;
};

void expect_frames(const FrameCase& c) {
    Line l(c.boards);
    l.open();
    c.steps(l);
    EXPECT_EQ(hex(l.port.written), hex(c.expected)) << c.what;
}

// A switch is confirmed by a query to its board in the very next turn.
TEST(BoardLine, TheConfirmingQueryFollowsItsCommand) {
    const FrameCase cases[] = {
        {"a switch to board 2 after a poll of 1",
         {1, 2, 3},
         [](Line& l) {
             l.turn();
             l.answer(1, 0x0000);
             l.line.want(2, 5, true);
             l.turns(2);
         },
         {query(1), energize(2, 5), query(2)}},
        {"a release before any poll",
         {1, 2, 3},
         [](Line& l) {
             l.line.want(3, 16, false);
             l.turns(4);
         },
         {release(3, 16), query(3), query(1), query(2)}},
        {"switches to two boards",
         {1, 2, 3},
         [](Line& l) {
             l.line.want(1, 1, true);
             l.line.want(2, 2, true);
             l.turns(4);
         },
         {energize(1, 1), query(1), energize(2, 2), query(2)}},
        {"the next switch to the same board waits for the query",
         {1, 2, 3},
         [](Line& l) {
             l.line.want(1, 1, true);
             l.line.want(1, 2, false);
             l.turns(4);
         },
         {energize(1, 1), query(1), release(1, 2), query(1)}},
        {"all relays of a board",
         {1, 2},
         [](Line& l) {
             l.line.want_all(2, true);
             l.turns(2);
         },
         {all_on(2), query(2)}},
        {"answered commands are confirmed all the same",
         {1, 2},
         [](Line& l) {
             l.line.want(2, 7, true);
             l.turn();
             l.answer(2, 0x0040, 0x21);
             l.turn();
         },
         {energize(2, 7), query(2)}},
    };
    for (const auto& c : cases) expect_frames(c);
}

// When the timer would bring the next turn: at once once the answer is in
// when a frame waits to go, else at the tick.
TEST(BoardLine, TheNextTurnComesEarlyWhenAFrameWaits) {
    const struct {
        const char* what;
        BoardLine::Pace pace;
        std::function<void(Line&)> steps;
        std::optional<int> due;
    } cases[] = {
        {"started, nothing sent", BoardLine::Pace::tick, [](Line&) {}, 0},
        {"a poll out, no answer", BoardLine::Pace::tick, [](Line& l) { l.turn(); }, 50},
        {"a poll answered, nothing wanted", BoardLine::Pace::tick,
         [](Line& l) {
             l.turn();
             l.answer(1, 0);
         },
         50},
        {"a poll answered, a switch waiting", BoardLine::Pace::tick,
         [](Line& l) {
             l.turn();
             l.line.want(2, 1, true);
             l.answer(1, 0);
         },
         4},
        {"a command answered: its query waits", BoardLine::Pace::tick,
         [](Line& l) {
             l.line.want(1, 1, true);
             l.turn();
             l.answer(1, 0x0001, 0x21);
         },
         4},
        {"a command not yet answered", BoardLine::Pace::tick,
         [](Line& l) {
             l.line.want(1, 1, true);
             l.turn();
         },
         50},
        {"the confirming query answered, nothing left", BoardLine::Pace::tick,
         [](Line& l) {
             l.line.want(1, 1, true);
             l.turn();
             l.answer(1, 0x0001, 0x21);
             l.turn();
             l.answer(1, 0x0001);
         },
         50},
        {"the confirming query answered, another switch waiting", BoardLine::Pace::tick,
         [](Line& l) {
             l.line.want(1, 1, true);
             l.line.want(2, 1, true);
             l.turn();
             l.answer(1, 0x0001, 0x21);
             l.turn();
             l.answer(1, 0x0001);
         },
         4},
        {"a late answer to an older frame", BoardLine::Pace::tick,
         [](Line& l) {
             l.turns(2);
             l.line.want(2, 1, true);
             l.answer(1, 0);
         },
         50},
        {"answer pace, a poll answered", BoardLine::Pace::answer,
         [](Line& l) {
             l.turn();
             l.answer(1, 0);
         },
         4},
        {"answer pace, a poll out", BoardLine::Pace::answer, [](Line& l) { l.turn(); }, 50},
    };
    for (const auto& c : cases) {
        Line l({1, 2}, c.pace);
        l.open();
        c.steps(l);
        EXPECT_EQ(l.line.turn_due_in_ms(), c.due) << c.what;
    }
}

// Nothing wanted: one query a turn, to the board asked longest ago.
TEST(BoardLine, PollsGoRoundTheBoards) {
    const FrameCase cases[] = {
        {"three silent boards",
         {1, 2, 3},
         [](Line& l) { l.turns(7); },
         {query(1), query(2), query(3), query(1), query(2), query(3), query(1)}},
        {"three boards answering",
         {1, 2, 3},
         [](Line& l) {
             for (int i = 0; i < 7; ++i) l.answer(l.turn()[1], 0x0000);
         },
         {query(1), query(2), query(3), query(1), query(2), query(3), query(1)}},
        {"addresses out of order",
         {9, 4},
         [](Line& l) { l.turns(4); },
         {query(9), query(4), query(9), query(4)}},
        {"one board", {200}, [](Line& l) { l.turns(3); }, {query(200), query(200), query(200)}},
        {"a confirming query counts as the board's poll",
         {1, 2, 3},
         [](Line& l) {
             l.turns(2);
             l.line.want(1, 4, true);
             l.turns(5);
         },
         {query(1), query(2), energize(1, 4), query(1), query(3), query(2), query(1)}},
    };
    for (const auto& c : cases) expect_frames(c);
}

// Four boards: none may go unasked for more than max(2 * 4, 3 * 3) = 9
// frames, however many switches one board gets; each relay ends as its last
// switch wanted.
TEST(BoardLine, AFloodOfSwitchesLeavesNoBoardUnasked) {
    constexpr std::uint64_t longest_gap = 9;
    const struct {
        const char* what;
        std::uint8_t flooded;
        // The switches wanted before turn i: {relay, on}.
        std::function<std::vector<std::pair<int, bool>>(int)> switches;
        int polls_first = 4;  // turns before the flood
    } cases[] = {
        {"one relay toggled every turn", 1,
         [](int i) {
             return std::vector{std::pair{1, i % 2 == 0}};
         }},
        {"eight relays, one a turn", 2,
         [](int i) {
             return std::vector{std::pair{1 + i % 8, (i / 8) % 2 == 0}};
         }},
        {"three relays a turn, all sixteen", 4,
         [](int i) {
             std::vector<std::pair<int, bool>> s;
             for (int k = 0; k < 3; ++k) s.emplace_back(1 + (3 * i + k) % 16, (i + k) % 3 != 0);
             return s;
         }},
        // No board asked yet: they must not all fall due in the same turn.
        {"from the line's first turn", 2,
         [](int i) {
             return std::vector{std::pair{1 + i % 8, (i / 8) % 2 == 0}};
         },
         0},
    };
    for (const auto& c : cases) {
        Line l({1, 2, 3, 4});
        l.open();
        Boards boards{{{1, 0}, {2, 0}, {3, 0}, {4, 0}}};
        // A round of polls first, as a line that was started polls.
        for (int i = 0; i < c.polls_first; ++i) {
            l.turn();
            boards.answer(l);
        }
        std::uint16_t last_wanted = 0;
        constexpr int flood_turns = 240;
        for (int i = 0; i < flood_turns; ++i) {
            for (const auto& [relay, on] : c.switches(i)) {
                l.line.want(c.flooded, relay, on);
                const auto bit = static_cast<std::uint16_t>(1U << (relay - 1));
                last_wanted =
                    static_cast<std::uint16_t>(on ? last_wanted | bit : last_wanted & ~bit);
            }
            l.turn();
            boards.answer(l);
        }
        for (int i = 0; i < 40; ++i) {
            l.turn();
            boards.answer(l);
        }
        const std::vector<Frame>& sent = l.port.written;
        int commands = 0;
        for (int i = c.polls_first; i < c.polls_first + flood_turns; ++i)
            if (sent[static_cast<std::size_t>(i)][2] != 0x10) ++commands;
        // A flood indeed: about every third frame is a command.
        EXPECT_GE(commands, flood_turns / 4) << c.what;
        for (std::uint8_t board = 1; board <= 4; ++board) {
            if (board == c.flooded) continue;
            std::uint64_t asked = 0;  // frame numbers count from 1
            for (std::uint64_t n = 1; n <= sent.size(); ++n) {
                if (sent[n - 1] != query(board)) continue;
                EXPECT_LE(n - asked, longest_gap)
                    << c.what << ": board " << int(board) << " asked at frame " << n;
                asked = n;
            }
            EXPECT_GE(asked + longest_gap, sent.size()) << c.what << ": board " << int(board);
        }
        EXPECT_EQ(hex16(boards.relays[c.flooded]), hex16(last_wanted)) << c.what;
        EXPECT_EQ(l.line.relays(c.flooded), last_wanted) << c.what;
        EXPECT_EQ(l.line.pending(c.flooded), 0) << c.what;
    }
}

// A switch to each board in turn: command and query, no poll between.
TEST(BoardLine, SwitchesRoundTheBoardsNeedNoPolls) {
    const FrameCase cases[] = {
        {"one round of four boards",
         {1, 2, 3, 4},
         [](Line& l) {
             for (std::uint8_t a = 1; a <= 4; ++a) l.line.want(a, 1, true);
             l.turns(8);
         },
         {energize(1, 1), query(1), energize(2, 1), query(2), energize(3, 1), query(3),
          energize(4, 1), query(4)}},
        {"three rounds, the boards answering",
         {1, 2, 3, 4},
         [](Line& l) {
             Boards boards{{{1, 0}, {2, 0}, {3, 0}, {4, 0}}};
             for (int round = 0; round < 3; ++round) {
                 // On, off again, then another relay on.
                 for (std::uint8_t a = 1; a <= 4; ++a)
                     l.line.want(a, round == 2 ? 1 : 3, round != 1);
                 for (int i = 0; i < 8; ++i) {
                     l.turn();
                     boards.answer(l);
                 }
             }
         },
         {energize(1, 3), query(1), energize(2, 3), query(2), energize(3, 3), query(3),
          energize(4, 3), query(4), release(1, 3),  query(1), release(2, 3),  query(2),
          release(3, 3),  query(3), release(4, 3),  query(4), energize(1, 1), query(1),
          energize(2, 1), query(2), energize(3, 1), query(3), energize(4, 1), query(4)}},
        {"a switch wanted at each board's turn",
         {1, 2, 3, 4},
         [](Line& l) {
             for (int i = 0; i < 12; ++i) {
                 l.line.want(static_cast<std::uint8_t>(1 + i % 4), 9, true);
                 l.turns(2);
             }
         },
         {energize(1, 9), query(1), energize(2, 9), query(2), energize(3, 9), query(3),
          energize(4, 9), query(4), energize(1, 9), query(1), energize(2, 9), query(2),
          energize(3, 9), query(3), energize(4, 9), query(4), energize(1, 9), query(1),
          energize(2, 9), query(2), energize(3, 9), query(3), energize(4, 9), query(4)}},
    };
    for (const auto& c : cases) expect_frames(c);
}

// A pulse's OFF, once due, goes out before anything else.
TEST(BoardLine, APulsesOffGoesAheadOfAWaitingCommand) {
    const Origin origin{Origin::Source::shell, "test"};
    const FrameCase cases[] = {
        {"due, a command waiting",
         {1},
         [&](Line& l) {
             l.turn();
             l.answer(1, 0);
             l.line.pulse(1, 3, 1ms, origin);
             l.turn();
             l.answer(1, 0x0004, 0x21);
             l.line.want(1, 5, true);
             std::this_thread::sleep_for(5ms);
             l.turns(3);
         },
         {query(1), energize(1, 3), release(1, 3), query(1), energize(1, 5)}},
        {"due, the other board's command waiting",
         {1, 2},
         [&](Line& l) {
             l.turn();
             l.answer(1, 0);
             l.line.pulse(1, 16, 1ms, origin);
             l.turn();
             l.answer(1, 0x8000, 0x21);
             l.line.want(2, 5, true);
             std::this_thread::sleep_for(5ms);
             l.turns(4);
         },
         // Board 2, never asked, is polled before its command.
         {query(1), energize(1, 16), release(1, 16), query(1), query(2), energize(2, 5)}},
        {"not yet due",
         {1},
         [&](Line& l) {
             l.turn();
             l.answer(1, 0);
             l.line.pulse(1, 3, 10s, origin);
             l.turn();
             l.answer(1, 0x0004, 0x21);
             l.line.want(1, 5, true);
             std::this_thread::sleep_for(5ms);
             l.turns(3);
         },
         {query(1), energize(1, 3), query(1), energize(1, 5), query(1)}},
        {"due, its ON's query already answered",
         {1},
         [&](Line& l) {
             l.turn();
             l.answer(1, 0);
             l.line.pulse(1, 3, 1ms, origin);
             l.turn();
             l.answer(1, 0x0004, 0x21);
             l.turn();
             l.answer(1, 0x0004);
             l.line.want(1, 5, true);
             std::this_thread::sleep_for(5ms);
             l.turns(2);
         },
         {query(1), energize(1, 3), query(1), release(1, 3), query(1)}},
    };
    for (const auto& c : cases) expect_frames(c);
}

// Relays 1 and 2 interlocked: never both on.
TEST(BoardLine, AnInterlockedOnWaitsForTheOthersRelease) {
    const struct {
        const char* what;
        std::chrono::milliseconds wait;
        std::function<void(Line&)> steps;
        std::vector<Frame> frames;
        std::vector<std::string> told;
    } cases[] = {
        {"1 on: released, seen off, waited, then 2 on",
         200ms,
         [](Line& l) {
             l.turn();
             l.answer(1, 0x0001);
             l.line.want(1, 2, true);
             l.turn();
             l.answer(1, 0x0000, 0x11);
             l.turn();
             l.answer(1, 0x0000);
             l.turn();  // the wait is not over
             std::this_thread::sleep_for(250ms);
             l.turns(2);
         },
         {query(1), release(1, 1), query(1), query(1), energize(1, 2), query(1)},
         {}},
        {"1 off: 2 on at once",
         200ms,
         [](Line& l) {
             l.turn();
             l.answer(1, 0x0000);
             l.line.want(1, 2, true);
             l.turns(2);
         },
         {query(1), energize(1, 2), query(1)},
         {}},
        {"1 not known yet: released first",
         0ms,
         [](Line& l) {
             l.line.want(1, 2, true);
             l.turn();
             l.answer(1, 0x0000, 0x11);
             l.turn();
             l.answer(1, 0x0000);
             l.turns(2);
         },
         {release(1, 1), query(1), energize(1, 2), query(1)},
         {}},
        {"only a query's answer shows the release",
         0ms,
         [](Line& l) {
             l.turn();
             l.answer(1, 0x0001);
             l.line.want(1, 2, true);
             l.turn();
             l.answer(1, 0x0000, 0x11);
             l.turn();  // its confirming query, unanswered
             l.turn();
             l.answer(1, 0x0000);
             l.turn();
         },
         {query(1), release(1, 1), query(1), query(1), energize(1, 2)},
         {}},
        {"1 not released within a second",
         0ms,
         [](Line& l) {
             l.turn();
             l.answer(1, 0x0001);
             l.line.want(1, 2, true);
             l.turn();
             l.turn();
             l.answer(1, 0x0001);
             std::this_thread::sleep_for(1100ms);
             l.turns(2);
         },
         {query(1), release(1, 1), query(1), query(1), query(1)},
         {"interlock failed 1 2"}},
        {"1 and 2 seen on together",
         0ms,
         [](Line& l) {
             l.turn();
             l.answer(1, 0x0003);
             l.turns(3);
         },
         {query(1), release(1, 1), release(1, 2), query(1)},
         {"interlock broken 1 0003"}},
        {"1 and 2 on together, 5 on as well",
         0ms,
         [](Line& l) {
             l.turn();
             l.answer(1, 0x0013);
             l.turns(3);
         },
         {query(1), release(1, 1), release(1, 2), query(1)},
         {"interlock broken 1 0003"}},
        {"2 on, 1 off: no release",
         0ms,
         [](Line& l) {
             l.turn();
             l.answer(1, 0x0002);
             l.turns(2);
         },
         {query(1), query(1), query(1)},
         {}},
    };
    for (const auto& c : cases) {
        Line l({1});
        BoardRules rules;
        rules.groups = {0x0003};
        rules.interlock_wait = c.wait;
        l.line.set_rules(1, rules);
        l.open();
        c.steps(l);
        EXPECT_EQ(hex(l.port.written), hex(c.frames)) << c.what;
        EXPECT_EQ(l.seen({"interlock"}), c.told) << c.what;
    }
}

// At a board's first answer its relays are switched as its rules say; a
// relay that already shows so gets no frame.
TEST(BoardLine, PowerOnSwitchesAsTheRulesSay) {
    struct Mode {
        int relay;  // 0: every relay
        PowerOn mode;
    };
    const struct {
        const char* what;
        std::vector<Mode> modes;
        std::optional<std::uint16_t> kept;  // the relays last confirmed
        std::uint16_t shown;                // the first answer
        std::vector<Frame> expected;        // the turns after the first poll
    } cases[] = {
        {"off, shown on", {{3, PowerOn::off}}, {}, 0x0004, {release(1, 3), query(1), query(2)}},
        {"off, shown off", {{3, PowerOn::off}}, {}, 0x0000, {query(2), query(1), query(2)}},
        {"on, shown off", {{4, PowerOn::on}}, {}, 0x0000, {energize(1, 4), query(1), query(2)}},
        {"on, shown on", {{4, PowerOn::on}}, {}, 0x0008, {query(2), query(1), query(2)}},
        {"last on, shown off",
         {{5, PowerOn::last}},
         0x0010,
         0x0000,
         {energize(1, 5), query(1), query(2)}},
        {"last off, shown on",
         {{5, PowerOn::last}},
         0x0000,
         0x0010,
         {release(1, 5), query(1), query(2)}},
        {"last on, shown on", {{5, PowerOn::last}}, 0x0010, 0x0010, {query(2), query(1), query(2)}},
        {"last, nothing kept", {{5, PowerOn::last}}, {}, 0x0010, {query(2), query(1), query(2)}},
        {"keep", {{6, PowerOn::keep}}, 0x0000, 0x0020, {query(2), query(1), query(2)}},
        {"every relay off", {{0, PowerOn::off}}, {}, 0x8001, {all_off(1), query(1), query(2)}},
        {"every relay on", {{0, PowerOn::on}}, {}, 0x0000, {all_on(1), query(1), query(2)}},
        {"3 off and 4 on, shown the other way",
         {{3, PowerOn::off}, {4, PowerOn::on}},
         {},
         0x0004,
         // Board 2, never asked, is polled before the second command.
         {release(1, 3), query(1), query(2), energize(1, 4), query(1)}},
        {"3 off and 4 on, 3 shown right",
         {{3, PowerOn::off}, {4, PowerOn::on}},
         {},
         0x0000,
         {energize(1, 4), query(1), query(2)}},
    };
    for (const auto& c : cases) {
        Line l({1, 2});
        BoardRules rules;
        for (const Mode& m : c.modes)
            for (int relay = 1; relay <= 16; ++relay)
                if (m.relay == 0 || m.relay == relay)
                    rules.power_on[static_cast<std::size_t>(relay - 1)] = m.mode;
        l.line.set_rules(1, rules);
        if (c.kept) l.line.restore_last(1, *c.kept);
        l.open();
        EXPECT_EQ(hex(l.turn()), hex(query(1))) << c.what;
        l.answer(1, c.shown);
        l.port.written.clear();
        l.turns(static_cast<int>(c.expected.size()));
        EXPECT_EQ(hex(l.port.written), hex(c.expected)) << c.what;
    }
}

// A power-on switch the board shows already needs no frame, then or later:
// a change by hand afterwards is the board's own.
TEST(BoardLine, APowerOnSwitchShownAlreadyIsDone) {
    Line l({1, 2});
    BoardRules rules;
    rules.power_on[2] = PowerOn::off;
    l.line.set_rules(1, rules);
    l.open();
    l.turn();
    l.answer(1, 0x0000);  // relay 3 off already
    l.turn();
    l.answer(2, 0x0000);
    EXPECT_EQ(l.line.pending(1), 0);
    l.turn();
    l.answer(1, 0x0004);  // switched on by hand on the board
    l.turns(2);
    EXPECT_EQ(hex(l.port.written),
              hex(std::vector<Frame>{query(1), query(2), query(1), query(2), query(1)}));
}

// Only the first answer brings power-on's switches, not a later one.
TEST(BoardLine, PowerOnSwitchesOnlyAtTheFirstAnswer) {
    Line l({1, 2});
    BoardRules rules;
    rules.power_on[2] = PowerOn::off;
    l.line.set_rules(1, rules);
    l.open();
    l.turn();
    l.answer(1, 0x0004);
    l.turn();
    l.answer(1, 0x0000, 0x11);
    l.turn();
    l.answer(1, 0x0000);
    l.turn();
    l.answer(2, 0x0000);
    l.turn();
    l.answer(1, 0x0004);  // switched on by hand on the board
    l.turns(2);
    EXPECT_EQ(hex(l.port.written), hex(std::vector<Frame>{query(1), release(1, 3), query(1),
                                                          query(2), query(1), query(2), query(1)}));
}

// An answer is its own board's, however late; one that answers no frame is
// told, not credited.
TEST(BoardLine, AnAnswerIsCreditedToTheBoardItAnswers) {
    const struct {
        const char* what;
        std::function<void(Line&)> steps;
        std::vector<std::string> told;
    } cases[] = {
        {"in order",
         [](Line& l) {
             l.turns(2);
             l.answer(1, 0x0001);
             l.answer(2, 0x0102);
         },
         {"online 1", "answered 1 0001 query", "online 2", "answered 2 0102 query"}},
        {"board 1's answer after board 2's",
         [](Line& l) {
             l.turns(2);
             l.answer(2, 0x0102);
             l.answer(1, 0x0001);
         },
         {"online 2", "answered 2 0102 query", "online 1", "answered 1 0001 query"}},
        {"a command's answer",
         [](Line& l) {
             l.line.want(2, 3, true);
             l.turn();
             l.answer(2, 0x0004, 0x21);
         },
         {"online 2", "answered 2 0004 command"}},
        {"a late answer to a query sent before the board's command",
         [](Line& l) {
             l.turns(2);
             l.line.want(1, 3, true);
             l.turn();
             l.answer(1, 0x0000);
             l.answer(1, 0x0004, 0x21);
         },
         // Neither shows what the command has done.
         {"online 1", "answered 1 0000 command", "answered 1 0004 command"}},
        {"from an address not on the line",
         [](Line& l) {
             l.turns(2);
             l.answer(7, 0x0001);
         },
         {"unclaimed 7 1"}},
        {"from a board with no frame waiting",
         [](Line& l) {
             l.turns(2);
             l.answer(1, 0x0001);
             l.answer(1, 0x0001);
         },
         {"online 1", "answered 1 0001 query", "unclaimed 1 1"}},
        {"before any frame", [](Line& l) { l.answer(1, 0x0001); }, {"unclaimed 1 1"}},
        {"a wrong checksum",
         [](Line& l) {
             l.turn();
             l.port.deliver({0x22, 0x01, 0x10, 0x00, 0x00, 0x00, 0x01, 0x35});
         },
         {}},
    };
    for (const auto& c : cases) {
        Line l({1, 2});
        l.open();
        c.steps(l);
        EXPECT_EQ(l.seen({"online", "offline", "answered", "unclaimed"}), c.told) << c.what;
    }
}

// A board that answers late: the answer to a query sent before a switch
// shows the relay as it was, which must not pass for the switch wanted next.
TEST(BoardLine, AnAnswerFromBeforeASwitchDoesNotUndoTheNextOne) {
    Line l({1});
    l.open();
    l.turn();
    l.answer(1, 0x0004);                      // relay 3 on
    EXPECT_EQ(hex(l.turn()), hex(query(1)));  // its answer comes late
    l.line.want(1, 3, false);
    EXPECT_EQ(hex(l.turn()), hex(release(1, 3)));
    l.line.want(1, 3, true);  // and on again, before any answer came
    l.answer(1, 0x0004);      // the query's, from before the release
    l.answer(1, 0x0000, 0x11);
    std::vector<std::string> next;
    std::uint16_t relays = 0x0000;
    for (int i = 0; i < 3; ++i) {
        const Frame sent = l.turn();
        next.push_back(hex(sent));
        if (sent == energize(1, 3)) relays = 0x0004;
        l.answer(1, relays, sent[2]);
    }
    EXPECT_NE(std::find(next.begin(), next.end(), hex(energize(1, 3))), next.end())
        << "the ON wanted last never went out";
    EXPECT_EQ(l.line.relays(1), 0x0004);
}

TEST(BoardLine, ALateAnswerShowsItsOwnBoardsRelays) {
    Line l({1, 2});
    l.open();
    l.turns(2);
    l.answer(2, 0x0102);
    l.answer(1, 0x0001);
    EXPECT_EQ(l.line.relays(1), 0x0001);
    EXPECT_EQ(l.line.relays(2), 0x0102);
}

// A board is online from an answer until six of its own polls in a row go
// unanswered; then what was wanted of it is forgotten.
TEST(BoardLine, SixSilentPollsMakeABoardOffline) {
    const struct {
        const char* what;
        Addresses boards;
        std::function<void(Line&)> steps;
        std::vector<std::string> told;
        bool online;
    } cases[] = {
        {"five silent polls after an answer",
         {1},
         [](Line& l) {
             l.turn();
             l.answer(1, 0);
             l.turns(5);
         },
         {"online 1"},
         true},
        {"the sixth",
         {1},
         [](Line& l) {
             l.turn();
             l.answer(1, 0);
             l.turns(6);
         },
         {"online 1", "offline 1"},
         false},
        {"an answer every fifth poll",
         {1},
         [](Line& l) {
             for (int i = 0; i < 30; ++i)
                 if (l.turn() == query(1) && i % 5 == 0) l.answer(1, 0);
         },
         {"online 1"},
         true},
        {"the other board's answers do not count",
         {1, 2},
         [](Line& l) {
             l.turn();
             l.answer(1, 0);
             for (int i = 0; i < 12; ++i)
                 if (l.turn() == query(2)) l.answer(2, 0);
         },
         {"online 1", "online 2", "offline 1"},
         false},
    };
    for (const auto& c : cases) {
        Line l(c.boards);
        l.open();
        c.steps(l);
        EXPECT_EQ(l.seen({"online", "offline"}), c.told) << c.what;
        EXPECT_EQ(l.line.online(1), c.online) << c.what;
        EXPECT_EQ(l.line.relays(1).has_value(), c.online) << c.what;
    }
}

TEST(BoardLine, WhatWasWantedOfABoardGoneOfflineIsForgotten) {
    Line l({1, 2});
    l.open();
    l.turn();
    l.answer(1, 0);
    l.turns(8);  // four silent polls of 1
    l.line.want(1, 3, true);
    l.line.want(1, 4, true);
    l.turns(2);  // the command and its query: the sixth silent frame
    EXPECT_EQ(l.seen({"online", "offline"}), (std::vector<std::string>{"online 1", "offline 1"}));
    EXPECT_EQ(l.line.pending(1), 0);
    l.turns(3);
    EXPECT_EQ(hex(l.port.written),
              hex(std::vector<Frame>{query(1), query(2), query(1), query(2), query(1), query(2),
                                     query(1), query(2), query(1), energize(1, 3), query(1),
                                     query(2), query(1), query(2)}));
}

// A request settles once: by a query's answer, a later request, the board
// or the device going away, the board's rules, or a pulse's end.
TEST(BoardLine, ARequestSettlesOnce) {
    const Origin bus{Origin::Source::dbus, "uid 1000"};
    const struct {
        const char* what;
        std::function<void(Line&, Requests&, std::vector<std::string>&)> steps;
        std::vector<std::string> settled;  // in order: "error why-prefix"
    } cases[] = {
        {"confirmed by the query after its command",
         [&](Line& l, Requests& r, auto& seen) {
             r.ask(1, 0x0004, 0x0004, bus, [&](const Settled& s) { seen.push_back(text(s)); });
             l.turn();  // energize 3
             l.answer(1, 0x0000, 0x21);
             EXPECT_TRUE(seen.empty()) << "a command's answer confirms nothing";
             l.turn();  // its query
             l.answer(1, 0x0004);
         },
         {"ok"}},
        {"a poll the board never got does not make the command's answer a query's",
         [&](Line& l, Requests& r, auto& seen) {
             EXPECT_EQ(hex(l.turn()), hex(query(1)));  // lost on the way
             r.ask(1, 0x0004, 0x0004, bus, [&](const Settled& s) { seen.push_back(text(s)); });
             EXPECT_EQ(hex(l.turn()), hex(energize(1, 3)));
             l.answer(1, 0x0004, 0x21);
             EXPECT_TRUE(seen.empty()) << "the command's answer taken for the lost poll's";
             EXPECT_EQ(hex(l.turn()), hex(query(1)));
             l.answer(1, 0x0004);
         },
         {"ok"}},
        {"three queries' answers otherwise",
         [&](Line& l, Requests& r, auto& seen) {
             r.ask(1, 0x0004, 0x0004, bus, [&](const Settled& s) { seen.push_back(text(s)); });
             l.turn();
             l.answer(1, 0x0000, 0x21);
             int asked = 0;  // board 1's queries answered
             while (seen.empty() && asked < 5) {
                 const std::uint8_t a = l.turn()[1];
                 if (a == 1) ++asked;
                 l.answer(a, 0x0000);
             }
             EXPECT_EQ(asked, 3);
         },
         {"not_confirmed board 1 answered but did not switch"}},
        {"a later request wants the relay otherwise",
         [&](Line& l, Requests& r, auto& seen) {
             r.ask(1, 0x0004, 0x0004, bus, [&](const Settled& s) { seen.push_back(text(s)); });
             r.ask(1, 0x0004, 0x0000, bus, [&](const Settled& s) { seen.push_back(text(s)); });
             // The later one: the board shows relay 3 off at its next query.
             for (int i = 0; i < 2; ++i) l.answer(l.turn()[1], 0x0000);
         },
         {"not_confirmed a later call", "ok"}},
        {"a later request for another relay does not",
         [&](Line& l, Requests& r, auto& seen) {
             r.ask(1, 0x0004, 0x0004, bus, [&](const Settled& s) { seen.push_back(text(s)); });
             r.ask(1, 0x0008, 0x0000, bus, [&](const Settled& s) { seen.push_back(text(s)); });
             l.turn();
             l.answer(1, 0x0000, 0x21);
             l.turn();
             l.answer(1, 0x0004);
         },
         {"ok", "ok"}},
        {"the board offline when asked",
         [&](Line&, Requests& r, auto& seen) {
             r.ask(2, 0x0001, 0x0001, bus, [&](const Settled& s) { seen.push_back(text(s)); });
         },
         {"offline board 2 is offline"}},
        {"the device goes away",
         [&](Line& l, Requests& r, auto& seen) {
             r.ask(1, 0x0001, 0x0001, bus, [&](const Settled& s) { seen.push_back(text(s)); });
             l.port.vanish();
         },
         // Every board goes offline with the device, and says so first.
         {"offline board 1 is offline"}},
        {"the board stops answering",
         [&](Line& l, Requests& r, auto& seen) {
             r.ask(1, 0x0001, 0x0001, bus, [&](const Settled& s) { seen.push_back(text(s)); });
             for (int i = 0; i < 14; ++i) l.turn();  // board 1's six polls, and more
         },
         {"offline board 1 is offline"}},
        {"all on where relays are interlocked",
         [&](Line&, Requests& r, auto& seen) {
             r.ask(3, 0xFFFF, 0xFFFF, bus, [&](const Settled& s) { seen.push_back(text(s)); });
         },
         {"interlock board 3 has interlocked relays"}},
        {"a pulse ends before its query could show it on",
         [&](Line& l, Requests& r, auto& seen) {
             r.ask(
                 1, 0x0002, 0x0002, bus, [&](const Settled& s) { seen.push_back(text(s)); }, 1ms);
             l.turn();  // energize 2
             std::this_thread::sleep_for(5ms);
             l.turn();  // its OFF, ahead of the confirming query
         },
         {"ok"}},
    };
    for (const auto& c : cases) {
        Line l({1, 3});
        BoardRules rules;
        rules.groups = {0x0003};
        l.line.set_rules(3, rules);
        l.open();
        l.turn();
        l.answer(1, 0x0000);
        l.turn();
        l.answer(3, 0x0000);
        Requests requests(l.line);
        requests.listen();
        std::vector<std::string> seen;
        c.steps(l, requests, seen);
        ASSERT_EQ(seen.size(), c.settled.size()) << c.what;
        for (std::size_t i = 0; i < seen.size(); ++i)
            EXPECT_TRUE(seen[i].starts_with(c.settled[i])) << c.what << ": " << seen[i];
        EXPECT_EQ(requests.waiting(), 0u) << c.what;
    }
}

// A program that opened the line for one command keeps its own time: it asks
// before the board ever answered, and a slow board may still switch.
TEST(BoardLine, ARequestWhoseCallerKeepsTheTime) {
    const Origin shell{Origin::Source::shell, {}};
    const struct {
        const char* what;
        bool heard_before = false;  // the board answered once before the request
        std::function<void(Line&)> steps;
        std::vector<std::string> frames;  // what went out after the request
        std::vector<std::string> settled;
    } cases[] = {
        {"a board not heard yet gets the command first",
         false,
         [](Line& l) {
             l.turn();
             l.answer(1, 0x0004, 0x21);
             l.turn();
             l.answer(1, 0x0004);
         },
         {hex(energize(1, 3)), hex(query(1))},
         {"ok"}},
        {"answers otherwise do not fail it; the first that shows it confirms",
         true,
         [](Line& l) {
             l.turn();
             l.answer(1, 0x0000, 0x21);
             for (int i = 0; i < 4; ++i) {
                 l.turn();
                 l.answer(1, 0x0000);
             }
             l.turn();
             l.answer(1, 0x0004);
         },
         {hex(energize(1, 3)), hex(query(1)), hex(query(1)), hex(query(1)), hex(query(1)),
          hex(query(1))},
         {"ok"}},
        {"a board never heard is not called offline",
         false,
         [](Line& l) { l.turns(14); },
         {hex(energize(1, 3)), hex(query(1)), hex(query(1)), hex(query(1)), hex(query(1)),
          hex(query(1)), hex(query(1)), hex(query(1)), hex(query(1)), hex(query(1)), hex(query(1)),
          hex(query(1)), hex(query(1)), hex(query(1))},
         {}},
    };
    for (const auto& c : cases) {
        Line l({1});
        l.open();
        if (c.heard_before) {
            l.turn();
            l.answer(1, 0x0000);
        }
        Requests requests(l.line);
        requests.let_caller_keep_time();
        requests.listen();
        std::vector<std::string> seen;
        const std::size_t before = l.port.written.size();
        requests.ask(1, 0x0004, 0x0004, shell, [&](const Settled& s) { seen.push_back(text(s)); });
        c.steps(l);
        const std::vector<Frame> sent(l.port.written.begin() + static_cast<long>(before),
                                      l.port.written.end());
        EXPECT_EQ(hex(sent), c.frames) << c.what;
        EXPECT_EQ(seen, c.settled) << c.what;
    }
}

// A board seen going offline is not waited for, however the caller keeps time.
TEST(BoardLine, ARequestForABoardGoneOfflineFailsAtOnce) {
    Line l({1});
    l.open();
    l.turn();
    l.answer(1, 0x0000);
    Requests requests(l.line);
    requests.let_caller_keep_time();
    requests.listen();
    l.turns(7);  // six polls unanswered
    ASSERT_FALSE(l.line.online(1));
    std::vector<std::string> seen;
    requests.ask(1, 0x0004, 0x0004, {}, [&](const Settled& s) { seen.push_back(text(s)); });
    EXPECT_EQ(seen, std::vector<std::string>{"offline board 1 is offline"});
}

}  // namespace

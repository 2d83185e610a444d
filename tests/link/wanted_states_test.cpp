// The latest wanted state per relay, one command at a time.
#include "engine/wanted_states.h"

#include <gtest/gtest.h>

#include <optional>
#include <set>
#include <vector>

namespace {

using namespace tarnwick::link;
using tarnwick::protocol::relay_count;
using Want = WantedStates::Want;

std::vector<Want> take_all(WantedStates& wanted) {
    std::vector<Want> taken;
    while (auto want = wanted.take()) taken.push_back(*want);
    return taken;
}

TEST(WantedStates, ABurstEndsInTheStateOfItsLastSet) {
    WantedStates wanted;
    for (int i = 0; i < 1000; ++i) wanted.want(1, 3, i % 3 == 0);   // the last, 999: ON
    for (int i = 0; i < 1000; ++i) wanted.want(7, 16, i % 2 == 0);  // the last, 999: OFF
    EXPECT_EQ(wanted.size(), 2u);
    EXPECT_EQ(take_all(wanted), (std::vector<Want>{{1, 3, true, {}}, {7, 16, false, {}}}));
}

TEST(WantedStates, CommandsAsTheBoardTakesThem) {
    // 0x21 FA n energizes relay n, 0x11 00 n releases it.
    EXPECT_EQ((Want{1, 3, true, {}}).command(), (tarnwick::protocol::Command{0x21, 0xFA, 0x03}));
    EXPECT_EQ((Want{1, 16, false, {}}).command(), (tarnwick::protocol::Command{0x11, 0x00, 0x10}));
    // Relay 3 of board 1 energized: 55 01 21 00 00 FA 03 74 on the wire.
    EXPECT_EQ(tarnwick::protocol::encode_command(1, (Want{1, 3, true, {}}).command()),
              (tarnwick::protocol::Frame{0x55, 0x01, 0x21, 0x00, 0x00, 0xFA, 0x03, 0x74}));
    // All relays of board 1 energized: 55 01 13 00 00 FF FF 67.
    EXPECT_EQ(tarnwick::protocol::encode_command(1, (Want{1, 0, true, {}}).command()),
              (tarnwick::protocol::Frame{0x55, 0x01, 0x13, 0x00, 0x00, 0xFF, 0xFF, 0x67}));
}

TEST(WantedStates, WhatTheBoardShowsNeedsNoCommand) {
    constexpr std::uint16_t relay3_on = 1U << 2;
    struct {
        const char* what;
        void (*steps)(WantedStates&);
        std::vector<Want> expected;
    } cases[] = {
        {"shown before the set",
         [](WantedStates& w) {
             w.board_status(1, relay3_on);
             w.want(1, 3, true);
             w.want(1, 4, true);
         },
         {{1, 4, true, {}}}},
        {"shown after the set",
         [](WantedStates& w) {
             w.want(1, 3, true);
             w.want(1, 3 + 1, false);
             w.board_status(1, relay3_on);
         },
         {}},
        {"another board's status counts not",
         [](WantedStates& w) {
             w.board_status(2, relay3_on);
             w.want(1, 3, true);
         },
         {{1, 3, true, {}}}},
        {"the opposite is wanted",
         [](WantedStates& w) {
             w.board_status(1, relay3_on);
             w.want(1, 3, false);
         },
         {{1, 3, false, {}}}},
        {"a board that fell silent",
         [](WantedStates& w) {
             w.board_status(1, relay3_on);
             w.board_unknown(1);
             w.want(1, 3, true);
         },
         {{1, 3, true, {}}}},
        // ON goes out while the board still shows OFF; OFF is wanted before
        // the board's answer: the old status must not drop it, or ON stays.
        {"a set while a command is on its way",
         [](WantedStates& w) {
             w.board_status(1, 0);
             w.want(1, 3, true);
             EXPECT_EQ(w.take(), (Want{1, 3, true, {}}));
             w.want(1, 3, false);
         },
         {{1, 3, false, {}}}},
        {"all sixteen wanted alike: one command",
         [](WantedStates& w) {
             w.want(1, 3, false);
             w.want_all(1, true);
         },
         {{1, 0, true, {}}}},
        {"all sixteen, already shown",
         [](WantedStates& w) {
             w.board_status(1, 0xffff);
             w.want_all(1, true);
         },
         {}},
        {"fifteen alike and one otherwise: a command each, as the board needs",
         [](WantedStates& w) {
             w.want_all(2, false);
             w.want(2, 16, true);
             w.board_status(2, 0x0001);
         },
         {{2, 1, false, {}}, {2, 16, true, {}}}},
    };
    for (const auto& c : cases) {
        WantedStates wanted;
        c.steps(wanted);
        // The board of the next command is known before it is taken: the
        // line decides by it whether a poll goes first.
        const std::optional<std::uint8_t> next = wanted.next_board();
        const std::vector<Want> taken = take_all(wanted);
        EXPECT_EQ(next, taken.empty() ? std::nullopt : std::optional(taken.front().address))
            << c.what;
        EXPECT_EQ(taken, c.expected) << c.what;
    }
}

// A board that takes a pattern gets all 16 relays in one command; others, and
// fewer than 16 relays, one by one.
TEST(WantedStates, AWholeBoardInOneFrameWhereItTakesOne) {
    const struct {
        bool patterns;
        std::uint16_t mask, bits;
        std::optional<std::uint16_t> shown;
        std::vector<Want> expected;
    } rows[] = {
        {true, 0xffff, 0x8155, std::nullopt, {{1, 0, true, 0x8155}}},
        {true, 0xffff, 0x8155, 0x8155, {}},
        {true, 0xffff, 0xffff, std::nullopt, {{1, 0, true, {}}}},
        {true, 0xffff, 0x0000, 0x0001, {{1, 0, false, {}}}},
        // After a command the board's state is unknown: relay 2 goes too.
        {true, 0x0003, 0x0001, 0x0000, {{1, 1, true, {}}, {1, 2, false, {}}}},
        {false, 0xffff, 0x7fff, 0x0000, {}},  // one by one, counted below
    };
    for (const auto& row : rows) {
        WantedStates wanted;
        wanted.take_patterns(1, row.patterns);
        if (row.shown) wanted.board_status(1, *row.shown);
        for (int relay = 1; relay <= relay_count; ++relay) {
            const std::uint16_t bit = static_cast<std::uint16_t>(1U << (relay - 1));
            if (row.mask & bit) wanted.want(1, relay, (row.bits & bit) != 0);
        }
        const auto taken = take_all(wanted);
        if (!row.patterns) {
            EXPECT_EQ(taken.size(), 16U);
            continue;
        }
        EXPECT_EQ(taken, row.expected) << std::hex << row.bits;
    }
    // The pattern's frame: A relays 16..9, B relays 8..1.
    EXPECT_EQ((Want{1, 0, true, 0x8155}).command(),
              (tarnwick::protocol::Command{0x13, 0x81, 0x55}));
}

TEST(WantedStates, AFloodedRelayKeepsNoOtherWaiting) {
    WantedStates wanted;
    for (int relay = 1; relay <= relay_count; ++relay) wanted.want(20, relay, relay % 2 == 0);
    wanted.want(21, 5, true);
    std::set<std::pair<int, int>> served;
    for (int tick = 0; tick < 17; ++tick) {
        wanted.want(20, 1, tick % 2 == 0);  // a set for relay 1 before every tick
        const auto next = wanted.next_board();
        const auto want = wanted.take();
        ASSERT_TRUE(want);
        EXPECT_EQ(next, want->address) << tick;
        served.insert({want->address, want->relay});
    }
    EXPECT_EQ(served.size(), 17u);  // every relay of both boards had its turn
}

}  // namespace

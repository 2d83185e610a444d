// The round of the other boards: who is asked next, and when a board counts
// as online, step by step on a clock of its own.
#include "panel/board_round.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using std::chrono::milliseconds;
using tarnwick::link::BoardRound;

// Patience 120 ms, a turn 50 ms, boards 1 and 2: a round is 100 ms, and a
// board not heard from for 2 rounds and the patience (320 ms) is stale.
TEST(BoardRound, OnlineUntilTwoQueriesInARowGoUnanswered) {
    enum Op { ask, answer, forget, online, offline };
    struct Step {
        int at_ms;
        Op op;
    };
    const struct {
        const char* what;
        std::vector<Step> steps;
    } cases[] = {
        {"never asked", {{0, offline}}},
        {"asked, never answered", {{0, ask}, {50, offline}, {100, ask}, {500, offline}}},
        {"answered", {{0, ask}, {10, answer}, {10, online}, {300, online}}},
        {"asked again and waiting", {{0, ask}, {10, answer}, {100, ask}, {219, online}}},
        {"one answer lost", {{0, ask}, {10, answer}, {100, ask}, {230, online}, {300, online}}},
        {"two in a row lost: offline once the second waited past its patience",
         {{0, ask}, {10, answer}, {100, ask}, {200, ask}, {319, online}, {321, offline}}},
        {"a lost one, then an answer: the count starts again",
         {{0, ask},
          {10, answer},
          {100, ask},
          {200, ask},
          {210, answer},
          {300, ask},
          {450, online}}},
        {"a silent board back after being offline",
         {{0, ask},
          {10, answer},
          {100, ask},
          {200, ask},
          {400, offline},
          {400, ask},
          {405, answer},
          {405, online}}},
        {"not asked for two rounds and the patience",
         {{0, ask}, {10, answer}, {330, online}, {331, offline}}},
        {"forgotten", {{0, ask}, {10, answer}, {20, forget}, {20, offline}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        BoardRound round(milliseconds(120), milliseconds(50));
        round.set_boards({1, 2});
        const BoardRound::Clock::time_point start{};
        for (const Step& step : c.steps) {
            SCOPED_TRACE(step.at_ms);
            const auto now = start + milliseconds(step.at_ms);
            switch (step.op) {
                case ask:
                    round.asked(1, now);
                    break;
                case answer:
                    EXPECT_TRUE(round.answered(1, 0x0003, now));
                    break;
                case forget:
                    round.forget();
                    break;
                case online:
                case offline:
                    EXPECT_EQ(round.online(1, now), step.op == online);
                    break;
            }
        }
    }
}

TEST(BoardRound, TakesTheBoardsInTurnAndKeepsWhatAKeptBoardSaid) {
    BoardRound round(milliseconds(120), milliseconds(50));
    EXPECT_FALSE(round.next().has_value());
    round.set_boards({7, 1, 3});
    std::vector<int> order;
    for (int i = 0; i < 4; ++i) order.push_back(*round.next());
    EXPECT_EQ(order, (std::vector<int>{1, 3, 7, 1}));

    const BoardRound::Clock::time_point start{};
    round.asked(7, start);
    EXPECT_TRUE(round.answered(7, 0x8001, start));
    EXPECT_FALSE(round.answered(9, 0x0001, start)) << "not one of the round's";
    round.set_boards({9, 7});
    EXPECT_EQ(round.addresses(), (std::vector<std::uint8_t>{7, 9}));
    ASSERT_NE(round.board(7), nullptr);
    EXPECT_EQ(round.board(7)->relays, 0x8001);
    EXPECT_EQ(round.board(1), nullptr);
    // After 1 the turn goes on from 2: 7, then 9, then round again.
    EXPECT_EQ(*round.next(), 7);
    EXPECT_EQ(*round.next(), 9);
    EXPECT_EQ(*round.next(), 7);
    round.set_boards({200, 255});
    EXPECT_EQ(*round.next(), 200);
    EXPECT_EQ(*round.next(), 255);
    EXPECT_EQ(*round.next(), 200) << "past 255 the round starts again";
}

}  // namespace

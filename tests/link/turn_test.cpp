// What one turn of a shared line sends, from what the line knows then.
#include "engine/turn.h"

#include <gtest/gtest.h>

namespace {

using tarnwick::link::decide_turn;
using tarnwick::link::TurnKind;
using tarnwick::link::TurnSituation;

TEST(Turn, TheFrameOfATurnFollowsItsPrecedence) {
    struct Row {
        const char* what;
        TurnSituation situation;
        TurnKind expected;
    };
    // Fields: off due, confirmation due, poll overdue, command waiting.
    const Row rows[] = {
        {"an idle line polls", {false, false, false, false}, TurnKind::poll},
        {"a switch goes out at once", {false, false, false, true}, TurnKind::command},
        {"a board unasked too long is polled before a switch", {false, false, true, true},
         TurnKind::poll},
        {"overdue with nothing wanted: a poll all the same", {false, false, true, false},
         TurnKind::poll},
        {"the query after a command comes next", {false, true, false, false}, TurnKind::confirm},
        {"a confirmation goes before another switch", {false, true, false, true},
         TurnKind::confirm},
        {"a confirmation is not held back by an overdue poll", {false, true, true, true},
         TurnKind::confirm},
        {"a pulse's end goes first", {true, false, false, false}, TurnKind::off},
        {"a pulse's end before a switch", {true, false, false, true}, TurnKind::off},
        {"a pulse's end before a confirmation", {true, true, false, true}, TurnKind::off},
        {"a pulse's end before an overdue poll", {true, false, true, true}, TurnKind::off},
        {"everything at once", {true, true, true, true}, TurnKind::off},
    };
    for (const Row& row : rows) EXPECT_EQ(decide_turn(row.situation), row.expected) << row.what;
}

// The decision needs no line: it can be made at compile time.
static_assert(decide_turn({}) == TurnKind::poll);

}  // namespace

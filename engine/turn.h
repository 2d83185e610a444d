#pragma once

namespace tarnwick::link {

// What one turn of a line several boards share puts on the wire.
enum class TurnKind {
    off,      // a pulse's end or an interlock's release, ahead of anything else
    confirm,  // the query to the board commanded in the turn before
    command,  // a wanted state's command
    poll,     // a query to the next board in turn
};

// What the line knows at the turn.
struct TurnSituation {
    bool off_due = false;          // an OFF waits that the board may not show yet
    bool confirm_due = false;      // a command went out; its board not asked since
    bool poll_overdue = false;     // a board was not asked for too many frames
    bool command_waiting = false;  // some wanted state has no command out yet
};

// The frame's kind: under a flood of switches a board that was not asked for
// too long is polled before the next command, so every board is still asked
// however many switches come. The confirming query and the OFF are never
// held back. A command turn that finds nothing left to send polls.
constexpr TurnKind decide_turn(const TurnSituation& s) {
    if (s.off_due) return TurnKind::off;
    if (s.confirm_due) return TurnKind::confirm;
    if (!s.poll_overdue && s.command_waiting) return TurnKind::command;
    return TurnKind::poll;
}

}  // namespace tarnwick::link

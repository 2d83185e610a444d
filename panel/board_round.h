#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "wire/link_counters.h"

namespace tarnwick::link {

// The other boards of a line, queried one after another between the panel's
// ticks, and what each last said. A board is online while it answered and,
// since, no two of its queries in a row went without an answer for longer
// than `patience`: one answer lost (cut short by the tick's own frame on a
// busy line) does not make a row flicker offline, a board that stopped
// answering is offline one round later. A silent board is told apart from
// one never asked, and one not asked for two whole rounds and its patience
// (a busy line) is not taken for online. No I/O, no clock of its own.
class BoardRound {
  public:
    using Clock = SteadyClock;

    struct Board {
        std::optional<std::uint16_t> relays;  // from its last accepted answer
        std::optional<Clock::time_point> answered;
        std::optional<Clock::time_point> waiting_since;  // its latest query, unanswered
        int missed = 0;  // earlier queries unanswered since its last answer
        int asked = 0;
    };

    // `turn`: the least time between two of its queries to the boards.
    BoardRound(std::chrono::milliseconds patience, std::chrono::milliseconds turn)
        : patience_(patience), turn_time_(turn) {}

    // The boards from now on; those kept keep what they said.
    void set_boards(const std::vector<std::uint8_t>& addresses);
    [[nodiscard]] bool empty() const { return boards_.empty(); }
    [[nodiscard]] std::vector<std::uint8_t> addresses() const;

    // The board whose turn it is, the turn then passing on; nothing when empty.
    std::optional<std::uint8_t> next();
    void asked(std::uint8_t address, Clock::time_point now);
    // False when the address is none of the round's.
    bool answered(std::uint8_t address, std::uint16_t relays, Clock::time_point now);
    // Forgets every answer (the port closed or opened again).
    void forget();

    [[nodiscard]] const Board* board(std::uint8_t address) const;
    [[nodiscard]] bool online(std::uint8_t address, Clock::time_point now) const;

  private:
    std::chrono::milliseconds patience_;
    std::chrono::milliseconds turn_time_;
    std::map<std::uint8_t, Board> boards_;
    std::uint8_t turn_ = 0;  // the next one asked is the first at or after it
};

}  // namespace tarnwick::link

#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>

#include "protocol/frame.h"

namespace tarnwick::link {

// What the owner of a line wants the relays of its boards to be: the latest
// wanted state of each relay, not a queue of commands, so that a flood of
// switches costs one command per relay however long it is, and ends in the
// state of its last one. Plain logic, no Qt, no clock: the owner asks for at
// most one command per frame and polls between them.
class WantedStates {
  public:
    struct Want {
        std::uint8_t address = 0;
        int relay = 0;  // 1..16; 0: every relay of the board, one command
        bool on = false;
        // relay 0 on a board that takes one: each relay as its bit says
        // (bit r-1: relay r), in one frame; `on` is then whether any is.
        std::optional<std::uint16_t> pattern;
        // 0x21 FA n energizes relay n, 0x11 00 n releases it; 0x13 FF FF
        // energizes all of them, 0x13 00 00 releases all; 0x13 A B sets each
        // as the pattern A B says.
        [[nodiscard]] protocol::Command command() const;
        // What the command wants of one relay of the board.
        [[nodiscard]] bool on_for(int r) const {
            if (relay != 0 || !pattern) return on;
            return (*pattern >> (r - 1)) & 1U;
        }
        friend bool operator==(const Want&, const Want&) = default;
    };

    // Replaces what was wanted of that relay.
    void want(std::uint8_t address, int relay, bool on);
    void want_all(std::uint8_t address, bool on);
    // Forgets what was wanted of a relay, of a board, or of every board.
    void drop(std::uint8_t address, int relay) { wanted_.erase(key(address, relay)); }
    void forget(std::uint8_t address);
    void clear();
    // The board takes a pattern (Modbus coils written at once): when all 16
    // relays are wanted, however alike, one command switches them.
    void take_patterns(std::uint8_t address, bool patterns) { patterns_[address] = patterns; }

    // An accepted status frame of a board, answering a frame sent after the
    // last command handed out for it: wants it already shows are dropped.
    void board_status(std::uint8_t address, std::uint16_t relays);
    // The board stopped answering: what it showed before no longer counts.
    void board_unknown(std::uint8_t address);

    // The next command to send, taken out of the wants; nothing when none is
    // left. Goes round the boards and relays, so one busy relay cannot keep
    // the others waiting. A want the board is known to show already is
    // dropped on the way; when all 16 relays of a board are wanted alike,
    // one command switches them all. Until the board answers again, its
    // status counts as unknown: the command may change it.
    [[nodiscard]] std::optional<Want> take();
    // The board whose command take() would hand out now, without taking it.
    [[nodiscard]] std::optional<std::uint8_t> next_board() const;

    // What the board showed in an answer to a query after the last command
    // handed out for it; nothing while a command may have changed it.
    [[nodiscard]] std::optional<std::uint16_t> shown(std::uint8_t address) const {
        return shown_[address];
    }
    // A command went out for the board without take(): its status is unknown.
    void sent(std::uint8_t address) { shown_[address].reset(); }
    // The relays of a board still waiting for their command (bit r-1: relay r).
    [[nodiscard]] std::uint16_t pending(std::uint8_t address) const;
    [[nodiscard]] std::size_t size() const { return wanted_.size(); }

  private:
    static constexpr int relays = protocol::relay_count;
    static int key(std::uint8_t address, int relay) { return protocol::relay_key(address, relay); }
    [[nodiscard]] bool shown(int key, bool on) const;
    // The whole board wanted alike: which way.
    [[nodiscard]] std::optional<bool> all_alike(std::uint8_t address) const;

    // The whole board wanted, as one pattern, when it takes one.
    [[nodiscard]] std::optional<std::uint16_t> whole_pattern(std::uint8_t address) const;

    std::array<bool, 256> patterns_{};
    std::map<int, bool> wanted_;                           // key(address, relay) -> on
    std::array<std::optional<std::uint16_t>, 256> shown_;  // bit r-1: relay r
    int last_taken_ = -1;
};

}  // namespace tarnwick::link

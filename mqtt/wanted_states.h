#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>

#include "mqtt/topics.h"
#include "protocol/frame.h"

namespace tarnwick::mqtt {

// What the dashboards want the relays of the served boards to be: the latest
// wanted state of each relay, not a queue of commands, so that a flood of
// sets costs one command per relay however long it is, and ends in the state
// of its last set. Plain logic, no Qt, no clock: the owner asks for at most
// one command per tick and polls between them.
class WantedStates {
  public:
    struct Want {
        std::uint8_t address = 0;
        int relay = 0;
        bool on = false;
        // The board command: 0x21 FA n to energize, 0x11 00 n to release.
        [[nodiscard]] protocol::Command command() const;
        friend bool operator==(const Want&, const Want&) = default;
    };

    // A fresh set from a dashboard; replaces what was wanted of that relay.
    void want(const SetCommand& set);

    // An accepted status frame of a board, answering a frame sent after the
    // last command handed out for it: wants it already shows are dropped.
    void board_status(std::uint8_t address, std::uint16_t relays);
    // The board stopped answering: what it showed before no longer counts.
    void board_unknown(std::uint8_t address);

    // The next command to send, taken out of the wants; nothing when none is
    // left. Goes round the boards and relays, so one busy relay cannot keep
    // the others waiting. A want the board is known to show already is
    // dropped on the way. Until the board answers again, its status counts
    // as unknown: the command may change it.
    [[nodiscard]] std::optional<Want> take();

    [[nodiscard]] std::size_t size() const { return wanted_.size(); }

  private:
    static int key(std::uint8_t address, int relay) { return address * relay_count + relay - 1; }
    [[nodiscard]] bool shown(int key, bool on) const;

    std::map<int, bool> wanted_;                           // key(address, relay) -> on
    std::array<std::optional<std::uint16_t>, 256> shown_;  // bit r-1: relay r
    int last_taken_ = -1;
};

}  // namespace tarnwick::mqtt

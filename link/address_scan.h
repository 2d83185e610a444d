#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace tarnwick::link {

// Finding the boards on a line: one status query per turn to each address
// 0..255 in turn. Nothing pairs an answer with its query on the wire, so an
// accepted answer is taken as coming from the address asked in the turn it
// arrived in. The pacing is the caller's: the panel takes one turn per
// polling tick; a tool that owns the line can take one per query and answer
// time on the wire. No I/O here.
class AddressScan {
  public:
    static constexpr int address_count = 256;

    struct Found {
        std::uint8_t address = 0;
        std::uint16_t relays = 0;  // bit r-1 = relay r
        friend bool operator==(const Found&, const Found&) = default;
    };

    // Starts a turn: the address to query in it, or nothing once all 256 have
    // been asked, which completes the scan.
    std::optional<std::uint8_t> next_query();
    // Starts a turn that sends something else (a queued command goes first):
    // an answer in it belongs to no address.
    void turn_without_query();
    // An accepted answer arrived in the current turn. The first one of a turn
    // that queried an address is recorded for it and returned.
    std::optional<Found> answered(std::uint16_t relays);

    [[nodiscard]] int asked() const { return next_; }
    [[nodiscard]] bool complete() const { return complete_; }
    [[nodiscard]] const std::vector<Found>& found() const { return found_; }

  private:
    int next_ = 0;
    std::optional<std::uint8_t> current_;  // the address asked in this turn
    bool complete_ = false;
    std::vector<Found> found_;
};

}  // namespace tarnwick::link

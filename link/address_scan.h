#pragma once

#include <cstdint>
#include <optional>

namespace tarnwick::link {

// Finding the boards on a line: one status query per turn to each address of
// a range (0..255 unless given) in turn. Nothing pairs an answer with its query on the wire, so an
// accepted answer is taken as coming from the address asked in the turn it
// arrived in. The pacing is the caller's: the panel takes one turn per
// polling tick; a tool that owns the line takes one per query and answer
// time on the wire (LinkController::start_scan). No I/O here.
class AddressScan {
  public:
    static constexpr int address_count = 256;

    // Addresses first..last, both within 0..255, first <= last.
    explicit AddressScan(int first = 0, int last = address_count - 1);

    struct Found {
        std::uint8_t address = 0;
        std::uint16_t relays = 0;  // bit r-1 = relay r
        friend bool operator==(const Found&, const Found&) = default;
    };

    // Starts a turn: the address to query in it, or nothing once all of the
    // range have been asked.
    std::optional<std::uint8_t> next_query();
    // Starts a turn that sends something else (a queued command goes first):
    // an answer in it belongs to no address.
    void turn_without_query();
    // An accepted answer arrived in the current turn. The first one of a turn
    // that queried an address is that address's board.
    std::optional<Found> answered(std::uint16_t relays);

    [[nodiscard]] int total() const { return last_ - first_ + 1; }
    [[nodiscard]] int asked() const { return next_ - first_; }

  private:
    int first_;
    int last_;
    int next_;
    std::optional<std::uint8_t> current_;  // the address asked in this turn
};

}  // namespace tarnwick::link

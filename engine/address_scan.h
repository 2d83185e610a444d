#pragma once

#include <bitset>
#include <cstdint>
#include <optional>

namespace tarnwick::link {

// Finding the boards on a line: one status query to each address of a range
// (0..255 unless given) in turn. Which answer belongs to which address is
// the link's to say (answer_attribution.h): a board that answers late, in
// the turn of a later address, is still found under its own. The pacing is
// the caller's: the panel takes one turn per polling tick; a tool that owns
// the line takes one per query and answer time on the wire
// (LineScan). No I/O here.
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
    // The address asked last, while the scan has asked any.
    [[nodiscard]] std::optional<std::uint8_t> last_asked() const;
    // The board at `address` answered one of the scan's queries: found,
    // unless it was already.
    std::optional<Found> answered(std::uint8_t address, std::uint16_t relays);

    [[nodiscard]] int total() const { return last_ - first_ + 1; }
    [[nodiscard]] int asked() const { return next_ - first_; }

  private:
    int first_;
    int last_;
    int next_;
    std::bitset<address_count> found_;
};

}  // namespace tarnwick::link

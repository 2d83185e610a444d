#include "link/address_scan.h"

namespace tarnwick::link {

AddressScan::AddressScan(int first, int last) : first_(first), last_(last), next_(first) {}

std::optional<std::uint8_t> AddressScan::next_query() {
    current_.reset();
    if (next_ > last_) return std::nullopt;
    current_ = static_cast<std::uint8_t>(next_++);
    return current_;
}

void AddressScan::turn_without_query() {
    current_.reset();
}

std::optional<AddressScan::Found> AddressScan::answered(std::uint16_t relays) {
    if (!current_) return std::nullopt;
    const Found found{*current_, relays};
    current_.reset();  // a second answer in the same turn is no board of its own
    return found;
}

}  // namespace tarnwick::link

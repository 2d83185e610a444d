#include "engine/address_scan.h"

namespace tarnwick::link {

AddressScan::AddressScan(int first, int last) : first_(first), last_(last), next_(first) {}

std::optional<std::uint8_t> AddressScan::next_query() {
    if (next_ > last_) return std::nullopt;
    return static_cast<std::uint8_t>(next_++);
}

std::optional<std::uint8_t> AddressScan::last_asked() const {
    if (next_ == first_) return std::nullopt;
    return static_cast<std::uint8_t>(next_ - 1);
}

std::optional<AddressScan::Found> AddressScan::answered(std::uint8_t address,
                                                        std::uint16_t relays) {
    // Only an address this scan has asked, and each board once.
    if (address < first_ || address >= next_ || found_.test(address)) return std::nullopt;
    found_.set(address);
    return Found{address, relays};
}

}  // namespace tarnwick::link

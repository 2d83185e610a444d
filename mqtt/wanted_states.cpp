#include "mqtt/wanted_states.h"

namespace tarnwick::mqtt {

protocol::Command WantedStates::Want::command() const {
    return protocol::switch_command(relay, on);
}

void WantedStates::want(const SetCommand& set) {
    wanted_[key(set.address, set.relay)] = set.on;
}

void WantedStates::board_status(std::uint8_t address, std::uint16_t relays) {
    shown_[address] = relays;
    auto it = wanted_.lower_bound(key(address, 1));
    const auto end = wanted_.upper_bound(key(address, relay_count));
    while (it != end) {
        if (shown(it->first, it->second))
            it = wanted_.erase(it);
        else
            ++it;
    }
}

void WantedStates::board_unknown(std::uint8_t address) {
    shown_[address].reset();
}

bool WantedStates::shown(int key, bool on) const {
    const auto& relays = shown_[static_cast<std::size_t>(key / relay_count)];
    if (!relays) return false;
    return ((*relays >> (key % relay_count)) & 1U) == (on ? 1U : 0U);
}

std::optional<WantedStates::Want> WantedStates::take() {
    while (!wanted_.empty()) {
        auto it = wanted_.upper_bound(last_taken_);
        if (it == wanted_.end()) it = wanted_.begin();
        const auto [k, on] = *it;
        wanted_.erase(it);
        last_taken_ = k;
        if (shown(k, on)) continue;
        const auto address = static_cast<std::uint8_t>(k / relay_count);
        shown_[address].reset();
        return Want{address, k % relay_count + 1, on};
    }
    return std::nullopt;
}

}  // namespace tarnwick::mqtt

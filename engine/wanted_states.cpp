#include "engine/wanted_states.h"

namespace tarnwick::link {

protocol::Command WantedStates::Want::command() const {
    if (relay == 0 && pattern)
        return {protocol::cmd_all, static_cast<std::uint8_t>(*pattern >> 8),
                static_cast<std::uint8_t>(*pattern & 0xff)};
    return relay == 0 ? protocol::all_command(on) : protocol::switch_command(relay, on);
}

void WantedStates::want(std::uint8_t address, int relay, bool on) {
    wanted_[key(address, relay)] = on;
}

void WantedStates::want_all(std::uint8_t address, bool on) {
    for (int relay = 1; relay <= relays; ++relay) want(address, relay, on);
}

void WantedStates::forget(std::uint8_t address) {
    wanted_.erase(wanted_.lower_bound(key(address, 1)), wanted_.upper_bound(key(address, relays)));
}

void WantedStates::clear() {
    wanted_.clear();
}

void WantedStates::board_status(std::uint8_t address, std::uint16_t status) {
    shown_[address] = status;
    auto it = wanted_.lower_bound(key(address, 1));
    const auto end = wanted_.upper_bound(key(address, relays));
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
    const auto& status = shown_[static_cast<std::size_t>(key / relays)];
    if (!status) return false;
    return ((*status >> (key % relays)) & 1U) == (on ? 1U : 0U);
}

std::optional<bool> WantedStates::all_alike(std::uint8_t address) const {
    const auto first = wanted_.lower_bound(key(address, 1));
    const auto end = wanted_.upper_bound(key(address, relays));
    if (first == end || std::distance(first, end) != relays) return std::nullopt;
    for (auto it = first; it != end; ++it)
        if (it->second != first->second) return std::nullopt;
    return first->second;
}

std::optional<std::uint16_t> WantedStates::whole_pattern(std::uint8_t address) const {
    if (!patterns_[address]) return std::nullopt;
    const auto first = wanted_.lower_bound(key(address, 1));
    const auto end = wanted_.upper_bound(key(address, relays));
    if (std::distance(first, end) != relays) return std::nullopt;
    std::uint16_t bits = 0;
    for (auto it = first; it != end; ++it)
        if (it->second) bits |= static_cast<std::uint16_t>(1U << (it->first % relays));
    return bits;
}

std::optional<WantedStates::Want> WantedStates::take() {
    while (!wanted_.empty()) {
        auto it = wanted_.upper_bound(last_taken_);
        if (it == wanted_.end()) it = wanted_.begin();
        const auto [k, on] = *it;
        const auto address = protocol::key_address(k);
        if (const auto bits = whole_pattern(address); bits && *bits != 0 && *bits != 0xffff) {
            forget(address);
            last_taken_ = key(address, relays);
            if (shown_[address] == *bits) continue;
            shown_[address].reset();
            return Want{address, 0, true, *bits};
        }
        if (const auto all = all_alike(address)) {
            forget(address);
            last_taken_ = key(address, relays);
            const std::uint16_t every = 0xffff;
            if (shown_[address] == (*all ? every : 0)) continue;
            shown_[address].reset();
            return Want{address, 0, *all, {}};
        }
        wanted_.erase(it);
        last_taken_ = k;
        if (shown(k, on)) continue;
        shown_[address].reset();
        return Want{address, protocol::key_relay(k), on, {}};
    }
    return std::nullopt;
}

// As take() goes, skipping what the boards show already.
std::optional<std::uint8_t> WantedStates::next_board() const {
    auto it = wanted_.upper_bound(last_taken_);
    for (std::size_t looked = 0; looked < wanted_.size(); ++looked, ++it) {
        if (it == wanted_.end()) it = wanted_.begin();
        const auto address = protocol::key_address(it->first);
        if (const auto bits = whole_pattern(address)) {
            if (shown_[address] != *bits) return address;
            it = std::prev(wanted_.upper_bound(key(address, relays)));
            looked += relays - 1;
            continue;
        }
        if (const auto all = all_alike(address)) {
            const std::uint16_t every = 0xffff;
            if (shown_[address] != (*all ? every : 0)) return address;
            it = std::prev(wanted_.upper_bound(key(address, relays)));
            looked += relays - 1;
            continue;
        }
        if (!shown(it->first, it->second)) return address;
    }
    return std::nullopt;
}

std::uint16_t WantedStates::pending(std::uint8_t address) const {
    std::uint16_t mask = 0;
    for (auto it = wanted_.lower_bound(key(address, 1));
         it != wanted_.upper_bound(key(address, relays)); ++it)
        mask |= static_cast<std::uint16_t>(1U << (it->first % relays));
    return mask;
}

}  // namespace tarnwick::link

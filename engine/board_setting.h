#pragma once

#include <cstdint>
#include <optional>
#include <vector>

// Setting many relays of a board at once (a scene): the requests that do it
// with the fewest frames. Releases go before energizes, so no interlocked
// group has two on at any moment. Plain logic.
namespace tarnwick::link {

struct SettingStep {
    std::uint16_t mask = 0, bits = 0;  // as Requests::ask takes them
    friend bool operator==(const SettingStep&, const SettingStep&) = default;
};

// `shown`: what the board shows now, when known. `patterns`: the board takes
// all 16 relays in one frame (WantedStates::take_patterns).
// - patterns and known: one step, the relays outside `mask` as shown;
// - else the releases, as one all-off frame when at least two relays must be
//   released and every relay on now is one of them, then the energizes, each
//   relay one frame (one all-on frame for all 16).
[[nodiscard]] std::vector<SettingStep> plan_setting(std::optional<std::uint16_t> shown,
                                                    std::uint16_t mask, std::uint16_t bits,
                                                    bool patterns);

}  // namespace tarnwick::link

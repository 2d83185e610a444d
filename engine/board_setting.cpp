#include "engine/board_setting.h"

#include <bit>

namespace tarnwick::link {

std::vector<SettingStep> plan_setting(std::optional<std::uint16_t> shown, std::uint16_t mask,
                                      std::uint16_t bits, bool patterns) {
    constexpr std::uint16_t every = 0xffff;
    bits &= mask;
    if (mask == 0) return {};
    if (patterns && (shown || mask == every))
        return {{every, static_cast<std::uint16_t>((shown.value_or(0) & ~mask) | bits)}};
    std::vector<SettingStep> steps;
    const auto offs = static_cast<std::uint16_t>(mask & ~bits);
    if (offs) {
        const std::uint16_t to_release = shown ? (*shown & offs) : offs;
        const bool all_off = shown && std::popcount(to_release) >= 2 && (*shown & ~offs) == 0;
        steps.push_back(all_off ? SettingStep{every, 0} : SettingStep{offs, 0});
    }
    if (bits) steps.push_back({bits, bits});
    return steps;
}

}  // namespace tarnwick::link

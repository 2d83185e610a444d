#include "protocol/number_text.h"

#include <charconv>
#include <cstdint>

namespace tarnwick::protocol {

std::optional<std::int32_t> parse_whole_number(std::string_view text) {
    // One sign at most, then digits only: "+-0" is no number.
    const bool negative = !text.empty() && text.front() == '-';
    if (!text.empty() && (text.front() == '+' || negative)) text.remove_prefix(1);
    if (text.empty() || text.front() < '0' || text.front() > '9') return std::nullopt;
    std::uint32_t magnitude = 0;
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, magnitude);
    if (ec != std::errc{} || ptr != end) return std::nullopt;
    const std::int64_t value = negative ? -static_cast<std::int64_t>(magnitude) : magnitude;
    if (value < INT32_MIN || value > INT32_MAX) return std::nullopt;
    return static_cast<std::int32_t>(value);
}

std::optional<int> parse_entry(std::string_view text) {
    auto value = parse_whole_number(text);
    if (!value || *value < entry_min || *value > entry_max) return std::nullopt;
    return *value;
}

}  // namespace tarnwick::protocol

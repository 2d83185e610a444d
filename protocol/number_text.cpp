#include "protocol/number_text.h"

#include <charconv>

namespace tarnwick::protocol {

std::optional<std::int32_t> parse_whole_number(std::string_view text) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    // from_chars takes a leading '-' but no '+', and stops at the first non-digit.
    if (text.empty() || (text.front() != '-' && (text.front() < '0' || text.front() > '9')))
        return std::nullopt;
    std::int32_t value = 0;
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (ec != std::errc{} || ptr != end) return std::nullopt;
    return value;
}

std::optional<int> parse_entry(std::string_view text) {
    auto value = parse_whole_number(text);
    if (!value || *value < entry_min || *value > entry_max) return std::nullopt;
    return *value;
}

}  // namespace tarnwick::protocol

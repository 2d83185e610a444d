#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace tarnwick::protocol {

// A whole number as the operator types it: an optional sign and decimal digits,
// nothing else (no blanks, no fraction), within a signed 32-bit integer.
[[nodiscard]] std::optional<std::int32_t> parse_whole_number(std::string_view text);

// The address and port entries hold 0..255, the range of their spinners.
inline constexpr int entry_min = 0;
inline constexpr int entry_max = 255;

// The entry's number when its text is a whole number in 0..255, else nothing.
[[nodiscard]] std::optional<int> parse_entry(std::string_view text);

}  // namespace tarnwick::protocol

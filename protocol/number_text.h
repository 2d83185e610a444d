#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <string_view>

namespace tarnwick::protocol {

// How an unsigned number may be written: decimal digits, or also 0x and hex
// digits (a bit pattern such as a relay mask reads better in hex).
enum class Digits { decimal, decimal_or_hex };

// An unsigned whole number: digits only (no sign, no blanks, no fraction),
// at most `max`. Every option parser of the programs reads its numbers here.
[[nodiscard]] std::optional<std::uint32_t> parse_unsigned(
    std::string_view text, std::uint32_t max = std::numeric_limits<std::uint32_t>::max(),
    Digits digits = Digits::decimal);

// The same for what needs 64 bits (milliseconds since 1970), decimal only.
[[nodiscard]] std::optional<std::uint64_t> parse_unsigned_64(std::string_view text);

// A whole number as the operator types it: an optional sign and decimal digits,
// nothing else (no blanks, no fraction), within a signed 32-bit integer.
[[nodiscard]] std::optional<std::int32_t> parse_whole_number(std::string_view text);

// The address and port entries hold 0..255, the range of their spinners.
inline constexpr int entry_min = 0;
inline constexpr int entry_max = 255;

// The entry's number when its text is a whole number in 0..255, else nothing.
[[nodiscard]] std::optional<int> parse_entry(std::string_view text);

// A time in seconds as a person writes it, "1.5" or "0.2" or "86400": digits
// and one decimal point, nothing else (no sign, no exponent, no blanks), in
// milliseconds (rounded), when within min_ms..max_ms.
[[nodiscard]] std::optional<std::int64_t> parse_seconds_ms(std::string_view text,
                                                           std::int64_t min_ms,
                                                           std::int64_t max_ms);

// A signed decimal as a person writes a latitude or longitude, "-33.87" or
// "151": an optional sign, digits, and one point with digits after it,
// nothing else (no exponent, no blanks), when within min..max.
[[nodiscard]] std::optional<double> parse_decimal(std::string_view text, double min, double max);

}  // namespace tarnwick::protocol

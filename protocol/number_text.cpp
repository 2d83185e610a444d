#include "protocol/number_text.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>

namespace tarnwick::protocol {

namespace {

bool digit(char c, int base) {
    return (c >= '0' && c <= '9') ||
           (base == 16 && ((c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')));
}

}  // namespace

namespace {

// from_chars would take a sign or stop early; the whole text is digits.
template <typename Unsigned>
std::optional<Unsigned> digits_only(std::string_view text, Unsigned max, Digits digits) {
    int base = 10;
    if (digits == Digits::decimal_or_hex && text.size() > 2 && text[0] == '0' &&
        (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    if (text.empty() || !digit(text.front(), base)) return std::nullopt;
    Unsigned value = 0;
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value, base);
    if (ec != std::errc{} || ptr != end || value > max) return std::nullopt;
    return value;
}

}  // namespace

std::optional<std::uint32_t> parse_unsigned(std::string_view text, std::uint32_t max,
                                            Digits digits) {
    return digits_only(text, max, digits);
}

std::optional<std::uint64_t> parse_unsigned_64(std::string_view text) {
    return digits_only(text, std::numeric_limits<std::uint64_t>::max(), Digits::decimal);
}

std::optional<std::int32_t> parse_whole_number(std::string_view text) {
    // One sign at most, then digits only: "+-0" is no number.
    const bool negative = !text.empty() && text.front() == '-';
    if (!text.empty() && (text.front() == '+' || negative)) text.remove_prefix(1);
    const auto magnitude = parse_unsigned(text);
    if (!magnitude) return std::nullopt;
    const std::int64_t value = negative ? -static_cast<std::int64_t>(*magnitude) : *magnitude;
    if (value < INT32_MIN || value > INT32_MAX) return std::nullopt;
    return static_cast<std::int32_t>(value);
}

std::optional<int> parse_entry(std::string_view text) {
    auto value = parse_whole_number(text);
    if (!value || *value < entry_min || *value > entry_max) return std::nullopt;
    return *value;
}

std::optional<std::int64_t> parse_seconds_ms(std::string_view text, std::int64_t min_ms,
                                             std::int64_t max_ms) {
    if (text.empty() || text.size() > 32 ||
        text.find_first_not_of("0123456789.") != std::string_view::npos)
        return std::nullopt;
    double seconds = 0;
    const auto [end, ec] =
        std::from_chars(text.data(), text.data() + text.size(), seconds, std::chars_format::fixed);
    if (ec != std::errc{} || end != text.data() + text.size()) return std::nullopt;
    const double ms = std::round(seconds * 1000);
    if (ms < static_cast<double>(min_ms) || ms > static_cast<double>(max_ms)) return std::nullopt;
    return static_cast<std::int64_t>(ms);
}

std::optional<double> parse_decimal(std::string_view text, double min, double max) {
    const bool negative = !text.empty() && text.front() == '-';
    if (!text.empty() && (text.front() == '+' || negative)) text.remove_prefix(1);
    // Digits on both sides of the point: "1." and ".5" are typing slips.
    const auto point = text.find('.');
    const auto whole = text.substr(0, point);
    const auto fraction =
        point == std::string_view::npos ? std::string_view{"0"} : text.substr(point + 1);
    const auto digits_only = [](std::string_view part) {
        return !part.empty() && part.size() <= 20 &&
               part.find_first_not_of("0123456789") == std::string_view::npos;
    };
    if (!digits_only(whole) || !digits_only(fraction)) return std::nullopt;
    double value = 0;
    const auto [end, ec] =
        std::from_chars(text.data(), text.data() + text.size(), value, std::chars_format::fixed);
    if (ec != std::errc{} || end != text.data() + text.size()) return std::nullopt;
    if (negative) value = -value;
    if (value < min || value > max) return std::nullopt;
    return value;
}

}  // namespace tarnwick::protocol
